#include "platform/events/EventPoster.h"

namespace quillmere {

namespace {

// This platform has no way to post input to other programs' windows.
class NoEvents final : public EventPoster {
public:
    std::optional<KeyEvent> createKeyboardEvent(quint16, bool) override { return std::nullopt; }
    void postToPid(qint32, const KeyEvent&) override {}
    std::optional<MouseEvent> createMouseEvent(MouseEventType, QPointF) override { return std::nullopt; }
    void post(const MouseEvent&) override {}
    std::optional<QPointF> pointerLocation() override { return std::nullopt; }
};

EventPoster* installed = nullptr;

} // namespace

EventPoster& EventPoster::current() {
    static NoEvents none;
    return installed ? *installed : none;
}

void EventPoster::setCurrent(EventPoster* poster) {
    installed = poster;
}

} // namespace quillmere
