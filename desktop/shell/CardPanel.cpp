#include "desktop/shell/CardPanel.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QWindow>
#include <algorithm>

namespace quillmere {

namespace {

// How far inside its border a press grabs an edge of a resizable panel.
constexpr int edgeMargin = 6;

} // namespace

CardPanel::CardPanel(QSizeF contentSize, Style style, Screens& screens)
    : QWidget(nullptr,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint),
      screens_(screens), style_(style) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    resize(int(contentSize.width()), int(contentSize.height()));
    // A request to become key ends when the window system gives the focus to any other window.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focused) {
        if (focused != windowHandle())
            keyRequested_ = false;
    });
}

CardPanel::~CardPanel() {
    // The content belongs to its view controller, which outlives the panel showing it.
    if (content_) {
        content_->removeEventFilter(this);
        content_->hide();
        content_->setParent(nullptr);
    }
}

void CardPanel::setContentView(QWidget* view) {
    if (content_ && content_ != view) {
        content_->removeEventFilter(this);
        content_->hide();
        content_->setParent(nullptr);
    }
    content_ = view;
    if (!view)
        return;
    view->setParent(this);
    view->setGeometry(rect());
    view->installEventFilter(this);
    view->show();
}

QRectF CardPanel::frame() const {
    return screens_.fromToolkit(geometry());
}

void CardPanel::setFrame(const QRectF& frame) {
    const QRect target = screens_.toToolkit(frame);
    if (target != geometry())
        setGeometry(target);
}

void CardPanel::setFrameOrigin(QPointF origin) {
    const QRectF current = frame();
    setFrame(QRectF(origin, current.size()));
}

std::optional<Screen> CardPanel::screen() const {
    const QRectF current = frame();
    for (const Screen& screen : screens_.screens())
        if (screen.frame.intersects(current))
            return screen;
    return std::nullopt;
}

bool CardPanel::isKeyWindow() const {
    return isVisible() && (isActiveWindow() || keyRequested_);
}

void CardPanel::orderFrontRegardless() {
    if (!isVisible())
        show();
    else if (QGuiApplication::platformName() != QLatin1String("offscreen")) // it has no stacking
        raise();
}

void CardPanel::makeKeyAndOrderFront() {
    show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        raise();
    activateWindow();
    // The window system answers later: until the panel is active, or the focus has gone to another
    // window, the panel is the key window it was made. Read as not key meanwhile, the panel would be
    // ordered out again by whoever asks, while the focus still seems to be on a window just hidden.
    keyRequested_ = !isActiveWindow();
}

void CardPanel::orderOut() {
    keyRequested_ = false;
    if (isVisible())
        hide();
}

int CardPanel::edgesAt(QPoint local) const {
    if (!style_.resizable)
        return 0;
    int edges = 0;
    if (local.x() < edgeMargin)
        edges |= 1;
    if (local.x() >= width() - edgeMargin)
        edges |= 2;
    if (local.y() < edgeMargin)
        edges |= 4;
    if (local.y() >= height() - edgeMargin)
        edges |= 8;
    return edges;
}

bool CardPanel::press(QPoint local, QPoint global) {
    edges_ = edgesAt(local);
    if (edges_)
        tracking_ = Tracking::resize;
    else if (style_.movableByBackground)
        tracking_ = Tracking::drag;
    else
        return false;
    pressGlobal_ = global;
    pressGeometry_ = geometry();
    return true;
}

void CardPanel::trackTo(QPoint global) {
    const QPoint delta = global - pressGlobal_;
    if (tracking_ == Tracking::drag) {
        move(pressGeometry_.topLeft() + delta);
        return;
    }
    QRect target = pressGeometry_;
    const int minWidth = int(style_.minimumContentSize.width());
    const int maxWidth =
        style_.maximumContentSize.width() > 0 ? int(style_.maximumContentSize.width()) : 1 << 20;
    const int minHeight = int(style_.minimumContentSize.height());
    const int maxHeight =
        style_.maximumContentSize.height() > 0 ? int(style_.maximumContentSize.height()) : 1 << 20;
    if (edges_ & 1)
        target.setLeft(target.right() + 1 -
                       std::clamp(pressGeometry_.width() - delta.x(), minWidth, maxWidth));
    if (edges_ & 2)
        target.setWidth(std::clamp(pressGeometry_.width() + delta.x(), minWidth, maxWidth));
    if (edges_ & 4)
        target.setTop(target.bottom() + 1 -
                      std::clamp(pressGeometry_.height() - delta.y(), minHeight, maxHeight));
    if (edges_ & 8)
        target.setHeight(std::clamp(pressGeometry_.height() + delta.y(), minHeight, maxHeight));
    setGeometry(target);
}

void CardPanel::release() {
    const Tracking ended = tracking_;
    tracking_ = Tracking::none;
    // Every press on the background ends a drag, moved or not, as the platform's drag does.
    if (ended == Tracking::drag && onDragFinished)
        onDragFinished();
    else if (ended == Tracking::resize && onLiveResizeEnded)
        onLiveResizeEnded();
}

bool CardPanel::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched != content_ || !style_.resizable ||
        (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease))
        return QWidget::eventFilter(watched, event);
    auto* mouse = static_cast<QMouseEvent*>(event);
    switch (type) {
    case QEvent::MouseButtonPress:
        if (mouse->button() == Qt::LeftButton &&
            edgesAt(content_->mapTo(this, mouse->position().toPoint())) &&
            press(content_->mapTo(this, mouse->position().toPoint()), mouse->globalPosition().toPoint()))
            return true;
        break;
    case QEvent::MouseMove:
        if (tracking_ == Tracking::resize) {
            trackTo(mouse->globalPosition().toPoint());
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        if (tracking_ == Tracking::resize) {
            release();
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void CardPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton ||
        !press(event->position().toPoint(), event->globalPosition().toPoint())) {
        event->ignore();
        return;
    }
    event->accept();
}

void CardPanel::mouseMoveEvent(QMouseEvent* event) {
    if (tracking_ == Tracking::none) {
        event->ignore();
        return;
    }
    trackTo(event->globalPosition().toPoint());
}

void CardPanel::mouseReleaseEvent(QMouseEvent* event) {
    if (tracking_ == Tracking::none) {
        event->ignore();
        return;
    }
    event->accept();
    release();
}

void CardPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange)
        keyRequested_ = false;
    QWidget::changeEvent(event);
}

void CardPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (content_)
        content_->setGeometry(rect());
}

} // namespace quillmere
