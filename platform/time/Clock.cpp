#include "platform/time/Clock.h"

#include <cmath>
#include <time.h>

namespace quillmere {

namespace {

class SystemClock final : public Clock {
public:
    double uptime() const override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    }
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
};

} // namespace

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

ManualClock::ManualClock(double uptime, QDateTime now) : uptime_(uptime), now_(std::move(now)) {}

void ManualClock::advance(double seconds) {
    if (!std::isfinite(seconds))
        return;
    uptime_ += seconds;
    now_ = now_.addMSecs(qint64(std::llround(seconds * 1000.0)));
}

} // namespace quillmere
