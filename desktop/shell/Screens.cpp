#include "desktop/shell/Screens.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <cmath>

namespace quillmere {

namespace {

class ToolkitScreens final : public Screens {
public:
    QList<Screen> screens() const override {
        QList<Screen> result;
        const QScreen* primary = QGuiApplication::primaryScreen();
        if (primary)
            result << describe(*primary);
        for (const QScreen* screen : QGuiApplication::screens())
            if (screen != primary)
                result << describe(*screen);
        return result;
    }
    std::optional<Screen> mainScreen() const override {
        if (const QWindow* focused = QGuiApplication::focusWindow(); focused && focused->screen())
            return describe(*focused->screen());
        if (const QScreen* primary = QGuiApplication::primaryScreen())
            return describe(*primary);
        return std::nullopt;
    }
    double primaryHeight() const override {
        const QScreen* primary = QGuiApplication::primaryScreen();
        return primary ? primary->geometry().height() : 0;
    }

private:
    Screen describe(const QScreen& screen) const {
        return Screen{fromToolkit(screen.geometry()), fromToolkit(screen.availableGeometry())};
    }
};

} // namespace

std::optional<Screen> Screens::screenFor(const QRectF& rect) const {
    for (const Screen& screen : screens())
        if (screen.frame.intersects(rect))
            return screen;
    return mainScreen();
}

QRect Screens::toToolkit(const QRectF& frame) const {
    const double top = primaryHeight() - frame.y() - frame.height();
    return QRect(int(std::lround(frame.x())), int(std::lround(top)), int(std::lround(frame.width())),
                 int(std::lround(frame.height())));
}

QRectF Screens::fromToolkit(const QRect& geometry) const {
    return QRectF(geometry.x(), primaryHeight() - geometry.y() - geometry.height(), geometry.width(),
                  geometry.height());
}

Screens& Screens::system() {
    static ToolkitScreens* screens = new ToolkitScreens; // lives for the process, like the toolkit's
    return *screens;
}

} // namespace quillmere
