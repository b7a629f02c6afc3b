#include "platform/tasks/Task.h"
#include "platform/tasks/Scheduler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace quillmere;
// quillmere::sleep is spelled out below: POSIX ::sleep would make a bare call ambiguous here.

namespace {

// Installs a virtual scheduler for one test and drains it before restoring the real one, so no
// coroutine frame outlives the test.
class VirtualTime : public ::testing::Test {
protected:
    void SetUp() override { Scheduler::setCurrent(&scheduler); }
    void TearDown() override {
        scheduler.runUntil([] { return false; }, 1e6, 0);
        Scheduler::setCurrent(nullptr);
    }
    VirtualScheduler scheduler{1000.0};
};

// Runs the real event loop until `done` or a real-time limit.
bool spinUntil(const std::function<bool()>& done, int milliseconds = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

} // namespace

// MARK: - spawn

TEST_F(VirtualTime, SpawnDefersTheBodyToALaterTurn) {
    std::vector<std::string> order;
    spawn("deferred", [&order]() -> QCoro::Task<void> {
        order.push_back("body");
        co_return;
    });
    order.push_back("caller");
    EXPECT_EQ(order, std::vector<std::string>{"caller"});
    scheduler.advance(0);
    EXPECT_EQ(order, (std::vector<std::string>{"caller", "body"}));
}

TEST(RealScheduler, SpawnDefersTheBodyUntilTheEventLoopRuns) {
    bool ran = false;
    spawn("real", [&ran]() -> QCoro::Task<void> {
        ran = true;
        co_return;
    });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(spinUntil([&] { return ran; }));
}

TEST_F(VirtualTime, SpawnKeepsTheBodysCapturesAliveAcrossSuspension) {
    auto flag = std::make_shared<int>(0);
    std::weak_ptr<int> watch = flag;
    {
        auto captured = flag;
        spawn("captures", [captured]() -> QCoro::Task<void> {
            co_await quillmere::sleep(5);
            *captured = 42; // the lambda object, not just the frame, must still be alive
        });
    }
    flag.reset();
    EXPECT_FALSE(watch.expired());
    scheduler.advance(10);
    ASSERT_TRUE(watch.expired()) << "body released once finished";
}

TEST_F(VirtualTime, ExceptionsInABodyAreCaughtAndLogged) {
    bool after = false;
    spawn("thrower", []() -> QCoro::Task<void> {
        co_await quillmere::sleep(1);
        throw std::runtime_error("boom");
    });
    spawn("thrower-before-await", []() -> QCoro::Task<void> {
        throw 7; // not even a std::exception
        co_return;
    });
    spawn("after", [&after]() -> QCoro::Task<void> {
        co_await quillmere::sleep(2);
        after = true;
    });
    EXPECT_NO_THROW(scheduler.advance(3));
    EXPECT_TRUE(after) << "other tasks keep running";
}

TEST_F(VirtualTime, AThrowingTimerActionDoesNotEscape) {
    bool later = false;
    scheduler.schedule(1, [] { throw std::logic_error("bad"); });
    scheduler.schedule(2, [&later] { later = true; });
    EXPECT_NO_THROW(scheduler.advance(5));
    EXPECT_TRUE(later);
}

// MARK: - sleep

TEST_F(VirtualTime, ATwentySecondWaitRunsInstantlyInTimeOrder) {
    std::vector<std::pair<std::string, double>> log;
    QElapsedTimer real;
    real.start();
    spawn("long", [&]() -> QCoro::Task<void> {
        const bool elapsed = co_await quillmere::sleep(20);
        log.emplace_back(elapsed ? "long" : "long-cancelled", scheduler.now());
    });
    spawn("short", [&]() -> QCoro::Task<void> {
        co_await quillmere::sleep(5);
        log.emplace_back("short", scheduler.now());
        co_await quillmere::sleep(5);
        log.emplace_back("short-again", scheduler.now());
    });
    EXPECT_TRUE(scheduler.runUntil([&] { return log.size() == 3; }));
    EXPECT_LT(real.elapsed(), 2000);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], (std::pair<std::string, double>{"short", 1005.0}));
    EXPECT_EQ(log[1], (std::pair<std::string, double>{"short-again", 1010.0}));
    EXPECT_EQ(log[2], (std::pair<std::string, double>{"long", 1020.0}));
}

TEST_F(VirtualTime, CancellationDuringASleepEndsItEarlyWithFalse) {
    CancelToken token;
    std::optional<bool> result;
    double endedAt = 0;
    spawn("sleeper", [&]() -> QCoro::Task<void> {
        result = co_await quillmere::sleep(30, token);
        endedAt = scheduler.now();
    });
    scheduler.advance(1);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(scheduler.pendingTimerCount(), 1u);
    token.cancel();
    EXPECT_FALSE(result.has_value()) << "resumes on a later turn, not inside cancel()";
    scheduler.advance(0);
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_EQ(endedAt, 1001.0) << "no virtual time passed after the cancel";
    EXPECT_FALSE(scheduler.hasPendingTimers()) << "the 30-second timer was cancelled";
}

TEST_F(VirtualTime, SleepWithAnAlreadyCancelledTokenReturnsFalseAtOnce) {
    CancelToken token;
    token.cancel();
    std::optional<bool> result;
    spawn("sleeper", [&]() -> QCoro::Task<void> { result = co_await quillmere::sleep(30, token); });
    scheduler.advance(0);
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_FALSE(scheduler.hasPendingTimers());
}

TEST_F(VirtualTime, CancellingAfterTheSleepEndedChangesNothing) {
    CancelToken token;
    std::vector<bool> results;
    spawn("sleeper", [&]() -> QCoro::Task<void> {
        results.push_back(co_await quillmere::sleep(1, token));
        token.cancel();
        results.push_back(co_await quillmere::sleep(1, token));
    });
    scheduler.advance(5);
    EXPECT_EQ(results, (std::vector<bool>{true, false}));
}

TEST_F(VirtualTime, OneTokenCancelsEverySleepSharingIt) {
    CancelToken token;
    int cancelled = 0;
    for (int i = 0; i < 3; ++i)
        spawn("sleeper", [&, i]() -> QCoro::Task<void> {
            if (!co_await quillmere::sleep(10 + i, token))
                ++cancelled;
        });
    scheduler.advance(1);
    CancelToken copy = token;
    copy.cancel();
    scheduler.advance(0);
    EXPECT_EQ(cancelled, 3);
    EXPECT_TRUE(token.isCancelled());
}

TEST(RealScheduler, CancellationEndsARealSleepPromptly) {
    CancelToken token;
    std::optional<bool> result;
    QElapsedTimer real;
    real.start();
    spawn("real-sleeper", [&]() -> QCoro::Task<void> { result = co_await quillmere::sleep(60, token); });
    Scheduler::current().schedule(0.05, [token] { token.cancel(); });
    ASSERT_TRUE(spinUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
    EXPECT_LT(real.elapsed(), 5000);
}

TEST(RealScheduler, AShortRealSleepElapses) {
    std::optional<bool> result;
    spawn("real-sleeper", [&]() -> QCoro::Task<void> { result = co_await quillmere::sleep(0.02); });
    ASSERT_TRUE(spinUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
}

// MARK: - CancelToken

TEST(CancelToken, CallbacksRunOnceAndCanBeRemoved) {
    CancelToken token;
    int first = 0, second = 0, late = 0;
    token.onCancel([&] { ++first; });
    const quint64 handle = token.onCancel([&] { ++second; });
    token.removeCallback(handle);
    token.cancel();
    token.cancel();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    token.onCancel([&] { ++late; });
    EXPECT_EQ(late, 1) << "registered after cancellation: runs at once";
}

TEST(CancelToken, AThrowingCallbackDoesNotStopTheOthers) {
    CancelToken token;
    bool ran = false;
    token.onCancel([] { throw std::runtime_error("handler"); });
    token.onCancel([&] { ran = true; });
    EXPECT_NO_THROW(token.cancel());
    EXPECT_TRUE(ran);
}

TEST(CancelToken, DefaultTokensAreIndependent) {
    CancelToken a, b;
    a.cancel();
    EXPECT_FALSE(b.isCancelled());
}

// MARK: - Generation

TEST_F(VirtualTime, AResultFromAStaleGenerationIsDropped) {
    Generation generation;
    std::vector<std::string> applied;
    auto request = [&](std::string answer, double delay) {
        const quint64 ticket = generation.advance();
        spawn("request", [&, ticket, answer, delay]() -> QCoro::Task<void> {
            co_await quillmere::sleep(delay);
            if (generation.isCurrent(ticket))
                applied.push_back(answer);
        });
    };
    request("first", 5); // superseded before it answers
    scheduler.advance(1);
    request("second", 1);
    scheduler.advance(10);
    EXPECT_EQ(applied, std::vector<std::string>{"second"});
    EXPECT_EQ(generation.current(), 2u);
}

// MARK: - VirtualScheduler

TEST(VirtualScheduler, FiresSameMomentTimersInScheduleOrderAndHonoursCancel) {
    VirtualScheduler scheduler(0);
    std::string order;
    scheduler.schedule(2, [&] { order += "c"; });
    scheduler.schedule(1, [&] { order += "a"; });
    const auto dropped = scheduler.schedule(1, [&] { order += "x"; });
    scheduler.schedule(1, [&] { order += "b"; });
    scheduler.schedule(-5, [&] { order += "0"; }); // a negative delay means now
    scheduler.cancel(dropped);
    scheduler.cancel(9999); // unknown ids are ignored
    scheduler.advance(1.5);
    EXPECT_EQ(order, "0ab");
    EXPECT_EQ(scheduler.now(), 1.5);
    scheduler.advance(1);
    EXPECT_EQ(order, "0abc");
}

TEST(VirtualScheduler, RunUntilStopsAtTheLimitAndPauseMovesTime) {
    VirtualScheduler scheduler(0);
    bool fired = false;
    scheduler.schedule(100, [&] { fired = true; });
    EXPECT_FALSE(scheduler.runUntil([&] { return fired; }, 50, 0));
    EXPECT_FALSE(fired);
    EXPECT_TRUE(scheduler.runUntil([&] { return fired; }, 200, 0));
    EXPECT_EQ(scheduler.now(), 100);
    scheduler.pause(2.5);
    EXPECT_EQ(scheduler.now(), 102.5);
}

TEST(VirtualScheduler, RunUntilGivesUpOnTimersThatNeverLetTimePass) {
    VirtualScheduler scheduler(0);
    std::function<void()> again;
    again = [&] { scheduler.schedule(0, again); };
    scheduler.schedule(0, again);
    EXPECT_FALSE(scheduler.runUntil([] { return false; }, 10, 0));
    // Break the loop so the test can finish.
    again = [] {};
    scheduler.advance(0);
}

TEST(RealScheduler, CancelledTimersNeverFire) {
    RealScheduler scheduler;
    bool cancelledFired = false, kept = false;
    const auto id = scheduler.schedule(0.01, [&] { cancelledFired = true; });
    scheduler.schedule(0.03, [&] { kept = true; });
    scheduler.cancel(id);
    EXPECT_TRUE(spinUntil([&] { return kept; }));
    EXPECT_FALSE(cancelledFired);
    EXPECT_GE(scheduler.now(), 0);
}
