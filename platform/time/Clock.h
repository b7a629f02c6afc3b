#pragma once

// Time sources. Components never read the system clocks directly, so tests can pin time.

#include <QDateTime>
#include <utility>

namespace quillmere {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic seconds since an arbitrary start (the system's uptime).
    virtual double uptime() const = 0;
    // Wall-clock time, UTC.
    virtual QDateTime now() const = 0;

    // The process's real clock.
    static Clock& system();
};

// A clock that moves only when told to.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double uptime = 1000.0,
                         QDateTime now = QDateTime(QDate(2026, 1, 15), QTime(12, 0), Qt::UTC));
    double uptime() const override { return uptime_; }
    QDateTime now() const override { return now_; }
    // Moves both readings forward together.
    void advance(double seconds);
    void setUptime(double uptime) { uptime_ = uptime; }
    void setNow(QDateTime now) { now_ = std::move(now); }

private:
    double uptime_;
    QDateTime now_;
};

} // namespace quillmere
