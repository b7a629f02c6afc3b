#pragma once

// The screens as the panels' arithmetic sees them: rectangles in global coordinates with the
// origin at the bottom left of the primary screen and y growing upwards, as the host windows'
// frames are given. The conversion to the toolkit's top-left coordinates happens here only.

#include <QList>
#include <QRect>
#include <QRectF>
#include <optional>

namespace quillmere {

struct Screen {
    QRectF frame;
    QRectF visibleFrame; // without panels and docks
    friend bool operator==(const Screen&, const Screen&) = default;
};

class Screens {
public:
    virtual ~Screens() = default;
    // Every screen, the primary first.
    virtual QList<Screen> screens() const = 0;
    // The screen the user works on (the one with the focused window), else the primary.
    virtual std::optional<Screen> mainScreen() const = 0;
    // The primary screen's height, which the two coordinate systems share.
    virtual double primaryHeight() const = 0;

    // The first screen whose frame meets `rect`, else the main screen.
    std::optional<Screen> screenFor(const QRectF& rect) const;

    // Bottom-left frame to the toolkit's top-left geometry, rounded once, and back.
    QRect toToolkit(const QRectF& frame) const;
    QRectF fromToolkit(const QRect& geometry) const;

    // The toolkit's screens.
    static Screens& system();
};

// Fixed screens for tests and measurements.
class FixedScreens final : public Screens {
public:
    explicit FixedScreens(QList<Screen> screens) : screens_(std::move(screens)) {}
    QList<Screen> screens() const override { return screens_; }
    std::optional<Screen> mainScreen() const override {
        return screens_.isEmpty() ? std::nullopt : std::optional<Screen>(screens_.first());
    }
    double primaryHeight() const override { return screens_.isEmpty() ? 0 : screens_.first().frame.height(); }
    void setScreens(QList<Screen> screens) { screens_ = std::move(screens); }

private:
    QList<Screen> screens_;
};

} // namespace quillmere
