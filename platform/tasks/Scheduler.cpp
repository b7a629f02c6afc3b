#include "platform/tasks/Scheduler.h"

#include "platform/time/Clock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QtDebug>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <exception>
#include <thread>

namespace quillmere {

namespace {

Scheduler* installedScheduler = nullptr;

// A timer action runs at an event-loop boundary: nothing may escape into the loop.
void runGuarded(const std::function<void()>& action) {
    try {
        if (action)
            action();
    } catch (const std::exception& error) {
        qWarning().noquote() << "Scheduled action failed:" << error.what();
    } catch (...) {
        qWarning().noquote() << "Scheduled action failed with an unknown exception";
    }
}

double clampDelay(double seconds) {
    return seconds > 0 ? seconds : 0.0;
} // NaN and negatives wait 0

void processPendingEvents() {
    if (!QCoreApplication::instance())
        return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace

Scheduler& Scheduler::current() {
    if (installedScheduler)
        return *installedScheduler;
    // Never destroyed: timers may still be pending when static destruction runs after the
    // application object is gone, and deleting them then would touch a dead event loop.
    static RealScheduler* real = new RealScheduler;
    return *real;
}

void Scheduler::setCurrent(Scheduler* scheduler) {
    installedScheduler = scheduler;
}

// MARK: - RealScheduler

RealScheduler::~RealScheduler() {
    for (auto& [id, timer] : timers_)
        delete timer;
}

double RealScheduler::now() const {
    return Clock::system().uptime();
}

Scheduler::TimerID RealScheduler::schedule(double seconds, std::function<void()> action) {
    const double milliseconds = std::ceil(clampDelay(seconds) * 1000.0);
    const int interval = milliseconds >= double(INT_MAX) ? INT_MAX : int(milliseconds);
    const TimerID id = next_++;
    auto* timer = new QTimer;
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, timer, action = std::move(action)] {
        timers_.erase(id);
        timer->deleteLater();
        runGuarded(action);
    });
    timers_.emplace(id, timer);
    timer->start(interval);
    return id;
}

void RealScheduler::cancel(TimerID id) {
    auto found = timers_.find(id);
    if (found == timers_.end())
        return;
    QTimer* timer = found->second;
    timers_.erase(found);
    timer->stop();
    delete timer;
}

void RealScheduler::pause(double seconds) {
    const double delay = clampDelay(seconds);
    if (std::isfinite(delay) && delay > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
}

// MARK: - VirtualScheduler

Scheduler::TimerID VirtualScheduler::schedule(double seconds, std::function<void()> action) {
    const TimerID id = next_++;
    const double due = now_ + clampDelay(seconds);
    timers_.emplace(std::make_pair(due, id), std::move(action));
    dueByID_.emplace(id, due);
    return id;
}

void VirtualScheduler::cancel(TimerID id) {
    auto found = dueByID_.find(id);
    if (found == dueByID_.end())
        return;
    timers_.erase(std::make_pair(found->second, id));
    dueByID_.erase(found);
}

bool VirtualScheduler::fireNext(double until) {
    if (timers_.empty())
        return false;
    auto earliest = timers_.begin();
    const auto [due, id] = earliest->first;
    if (due > until)
        return false;
    std::function<void()> action = std::move(earliest->second);
    timers_.erase(earliest);
    dueByID_.erase(id);
    if (due > now_)
        now_ = due;
    runGuarded(action);
    return true;
}

void VirtualScheduler::advance(double seconds) {
    const double target = now_ + clampDelay(seconds);
    processPendingEvents();
    while (fireNext(target))
        processPendingEvents();
    if (target > now_)
        now_ = target;
    processPendingEvents();
}

bool VirtualScheduler::runUntil(const std::function<bool()>& done, double limit, double idleWait) {
    const double deadline = now_ + clampDelay(limit);
    // A body that keeps rescheduling itself without delay would otherwise spin here for ever.
    constexpr int maxFiresAtOneMoment = 100'000;
    int firesAtThisMoment = 0;
    double lastMoment = now_;
    for (;;) {
        processPendingEvents();
        if (done())
            return true;
        if (fireNext(deadline)) {
            firesAtThisMoment = now_ == lastMoment ? firesAtThisMoment + 1 : 0;
            lastMoment = now_;
            if (firesAtThisMoment > maxFiresAtOneMoment) {
                qWarning().noquote() << "VirtualScheduler: timers keep firing without time passing";
                return false;
            }
            continue;
        }
        if (!timers_.empty())
            return done(); // the next timer lies beyond the limit
        // Nothing is scheduled in virtual time; outside events (sockets) may still arrive.
        QElapsedTimer waited;
        waited.start();
        const qint64 budget = qint64(std::min(clampDelay(idleWait), 86400.0) * 1000.0);
        while (timers_.empty() && !done() && waited.elapsed() < budget) {
            QThread::msleep(2);
            processPendingEvents();
        }
        if (done())
            return true;
        if (timers_.empty())
            return false;
    }
}

} // namespace quillmere
