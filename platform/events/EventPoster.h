#pragma once

// Synthetic keyboard and mouse input, as the window system offers it: an event is created first
// (which can fail, and then nothing is posted), then posted either to one process (keys) or to
// the whole system at a global point (the mouse, which moves the user's real pointer).
// Coordinates are global, top-left origin, the same space as an element's "AXPosition".

#include <QPointF>
#include <QtGlobal>
#include <optional>

namespace quillmere {

struct KeyEvent {
    quint16 virtualKey = 0;
    bool keyDown = true;
};

enum class MouseEventType { leftMouseDown = 1, leftMouseUp = 2, mouseMoved = 5 };

struct MouseEvent {
    MouseEventType type = MouseEventType::mouseMoved;
    QPointF location;
};

namespace virtualkey {
inline constexpr quint16 returnKey = 36;
inline constexpr quint16 space = 49;
inline constexpr quint16 escape = 53;
inline constexpr quint16 rightArrow = 124;
} // namespace virtualkey

class EventPoster {
public:
    virtual ~EventPoster() = default;

    virtual std::optional<KeyEvent> createKeyboardEvent(quint16 virtualKey, bool keyDown) = 0;
    // Delivered to that process whether or not it is frontmost.
    virtual void postToPid(qint32 pid, const KeyEvent& event) = 0;
    virtual std::optional<MouseEvent> createMouseEvent(MouseEventType type, QPointF location) = 0;
    // Posted at the system's input tap: it lands on whatever is under the point.
    virtual void post(const MouseEvent& event) = 0;
    // The pointer's current location; none when it cannot be read.
    virtual std::optional<QPointF> pointerLocation() = 0;

    // Never null: without a simulated desktop, events cannot be created and nothing is posted.
    static EventPoster& current();
    static void setCurrent(EventPoster* poster);
};

} // namespace quillmere
