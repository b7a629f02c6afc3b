#pragma once

// The floating panel of a host's card and of its launcher: a frameless tool window that stays
// above other windows, shows without taking focus, can become the key window when the user
// clicks into it, and never becomes a main window. Frames are given in the bottom-left screen
// coordinates of Screens.
//
// The user moves the panel by dragging its background and, when it is resizable, resizes it by
// dragging its edges. Both are tracked here from the mouse, because the window system's own
// move and resize do not report their end everywhere; `onDragFinished` and `onLiveResizeEnded`
// fire once the button is released.

#include "desktop/shell/Screens.h"

#include <QPoint>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <functional>
#include <optional>

namespace quillmere {

class CardPanel final : public QWidget {
    Q_OBJECT
public:
    struct Style {
        bool resizable = false;
        // Limits of a resize by the user only: frames set by the application are not clamped,
        // so an expanded card can be wider than the user could drag it.
        QSizeF minimumContentSize;
        QSizeF maximumContentSize;
        bool movableByBackground = false;
    };

    CardPanel(QSizeF contentSize, Style style, Screens& screens = Screens::system());
    ~CardPanel() override;

    // The view shown in the panel, resized with it. It stays its maker's: the panel lets go of it
    // when it is replaced and when the panel goes.
    void setContentView(QWidget* view);
    QWidget* contentView() const { return content_; }

    QRectF frame() const;
    void setFrame(const QRectF& frame);
    void setFrameOrigin(QPointF origin);
    // The screen the panel is on, else none.
    std::optional<Screen> screen() const;
    Screens& screens() const { return screens_; }

    bool isPanelVisible() const { return isVisible(); }
    // Visible and active, or made key and not yet answered by the window system (see
    // makeKeyAndOrderFront).
    bool isKeyWindow() const;
    bool inLiveResize() const { return tracking_ == Tracking::resize; }

    // Shows the panel without activating the application.
    void orderFrontRegardless();
    // Shows the panel and makes it the key window.
    void makeKeyAndOrderFront();
    void orderOut();

    std::function<void()> onDragFinished;
    std::function<void()> onLiveResizeEnded;

protected:
    // Presses near the edges of a resizable panel resize it, even over its content view.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    enum class Tracking { none, drag, resize };
    // Which edges a point near the border grabs (bits: 1 left, 2 right, 4 top, 8 bottom).
    int edgesAt(QPoint local) const;
    bool press(QPoint local, QPoint global);
    void trackTo(QPoint global);
    void release();

    Screens& screens_;
    Style style_;
    QPointer<QWidget> content_;
    Tracking tracking_ = Tracking::none;
    int edges_ = 0;
    // Made key, and the window system has neither activated the panel nor focused another window.
    bool keyRequested_ = false;
    QPoint pressGlobal_;
    QRect pressGeometry_;
};

} // namespace quillmere
