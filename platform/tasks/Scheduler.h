#pragma once

// Where waits come from. The application uses real timers on the main thread's event loop;
// tests use virtual time, so a wait of seconds runs instantly and deterministically.

#include <QtGlobal>
#include <functional>
#include <map>
#include <utility>

class QTimer;

namespace quillmere {

class Scheduler {
public:
    using TimerID = quint64;
    virtual ~Scheduler() = default;

    // Monotonic seconds on this scheduler's clock.
    virtual double now() const = 0;
    // Runs `action` on the main thread once `seconds` have passed (0 means a later loop turn).
    virtual TimerID schedule(double seconds, std::function<void()> action) = 0;
    virtual void cancel(TimerID id) = 0;
    // Blocks the calling thread for `seconds` (the short pauses between synthetic key events).
    virtual void pause(double seconds) = 0;

    // The scheduler components use unless given one; the real one by default.
    static Scheduler& current();
    // Installs `scheduler` as current (nullptr restores the real one). Tests only.
    static void setCurrent(Scheduler* scheduler);
};

// Real timers on the Qt event loop of the thread that schedules (the main thread).
class RealScheduler final : public Scheduler {
public:
    RealScheduler() = default;
    RealScheduler(const RealScheduler&) = delete;
    RealScheduler& operator=(const RealScheduler&) = delete;
    ~RealScheduler() override;

    double now() const override;
    TimerID schedule(double seconds, std::function<void()> action) override;
    void cancel(TimerID id) override;
    void pause(double seconds) override;

private:
    TimerID next_ = 1;
    std::map<TimerID, QTimer*> timers_;
};

// Virtual time. Timers fire only as time is advanced; pauses advance time at once.
class VirtualScheduler final : public Scheduler {
public:
    explicit VirtualScheduler(double start = 1000.0) : now_(start) {}
    double now() const override { return now_; }
    TimerID schedule(double seconds, std::function<void()> action) override;
    void cancel(TimerID id) override;
    void pause(double seconds) override { now_ += seconds > 0 ? seconds : 0; }

    // Processes pending Qt events and fires every timer due up to now + seconds, in time order,
    // processing events between timers.
    void advance(double seconds);
    // Processes events and fires timers in time order, jumping virtual time to each, until
    // `done` returns true or nothing is left to run or `limit` virtual seconds have passed.
    // When no timer is pending, it waits up to `idleWait` real seconds for outside events (a
    // loopback reply, say) before giving up. Returns whether `done` became true.
    bool runUntil(const std::function<bool()>& done, double limit = 3600.0, double idleWait = 5.0);
    bool hasPendingTimers() const { return !timers_.empty(); }
    std::size_t pendingTimerCount() const { return timers_.size(); }

private:
    // Fires the earliest timer due at or before `until`; false when there is none.
    bool fireNext(double until);

    double now_;
    TimerID next_ = 1;
    // Keyed by (due, id) so timers due at the same moment fire in the order they were scheduled.
    std::map<std::pair<double, TimerID>, std::function<void()>> timers_;
    std::map<TimerID, double> dueByID_;
};

} // namespace quillmere
