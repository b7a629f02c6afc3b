// The card panel and the launcher panel of a host widget: how they are made, sized to the card's
// content inside the screen, placed, and where the card's position is kept.

#include "desktop/card/RailViewController.h"
#include "desktop/shell/ApplicationWidget.h"
#include "desktop/shell/CardPanel.h"
#include "desktop/shell/LauncherViewController.h"
#include "desktop/shell/SavedPanelOrigin.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr double launcherSide = 48;

} // namespace

void ApplicationWidget::configurePanel() {
    CardPanel::Style card;
    card.resizable = true;
    card.movableByBackground = true;
    card.minimumContentSize = QSizeF(220, 124);
    card.maximumContentSize = QSizeF(600, 1600);
    panel_ = std::make_unique<CardPanel>(expandedSize_, card, *environment_.screens);
    panel_->setWindowTitle(QStringLiteral("Quillmere"));
    panel_->setContentView(railController_->view());
    const QPointer<ApplicationWidget> self(this);
    panel_->onDragFinished = [self] {
        if (self)
            self->dragFinished();
    };
    panel_->onLiveResizeEnded = [self] {
        if (self)
            self->windowDidEndLiveResize();
    };

    launcherPanel_ = std::make_unique<CardPanel>(QSizeF(launcherSide, launcherSide), CardPanel::Style{},
                                                 *environment_.screens);
    launcherPanel_->setWindowTitle(QStringLiteral("Quillmere"));
    launcherPanel_->setContentView(launcherController_->view());
}

std::optional<Screen> ApplicationWidget::panelScreen() const {
    if (auto screen = panel_->screen())
        return screen;
    return environment_.screens->mainScreen();
}

void ApplicationWidget::resizeForContent() {
    if (!panel_)
        return;
    const QRectF current = panel_->frame();
    const auto screen = panelScreen();
    if (!screen)
        return;
    const QRectF visible = screen->visibleFrame;
    const double width = std::min(expandedSize_.width(), visible.width() - 24);
    const double height = std::min(railController_->preferredHeight(width), visible.height() - 24);
    const double top = current.y() + current.height() - height;
    const double x =
        std::max(visible.x() + 12, std::min(visible.x() + visible.width() - width - 12, current.x()));
    const double y = std::max(visible.y() + 12, std::min(visible.y() + visible.height() - height - 12, top));
    panel_->setFrame(QRectF(x, y, width, height));
}

void ApplicationWidget::dragFinished() {
    manuallyPositioned_ = true;
    SavedPanelOrigin::store(*environment_.defaults, bundleID_, panel_->frame().topLeft());
}

void ApplicationWidget::windowDidEndLiveResize() {
    expandedSize_.setWidth(panel_->frame().width());
    manuallyPositioned_ = true;
    SavedPanelOrigin::store(*environment_.defaults, bundleID_, panel_->frame().topLeft());
    resizeForContent();
}

void ApplicationWidget::placeTopRight() {
    const auto screen = panelScreen();
    if (!screen)
        return;
    const QRectF visible = screen->visibleFrame;
    const QRectF current = panel_->frame();
    panel_->setFrameOrigin(QPointF(visible.x() + visible.width() - current.width() - 20,
                                   visible.y() + visible.height() - current.height() - 60));
}

bool ApplicationWidget::showLauncher(bool makeKey) {
    const auto show = [&] {
        if (makeKey)
            launcherPanel_->makeKeyAndOrderFront();
        else if (!launcherPanel_->isPanelVisible())
            launcherPanel_->orderFrontRegardless();
        return true;
    };
    if (connectorPresentationActive_) {
        if (const auto screen = panelScreen()) {
            const QRectF visible = screen->visibleFrame;
            launcherPanel_->setFrame(QRectF(visible.x() + visible.width() - launcherSide - 20,
                                            visible.y() + visible.height() - launcherSide - 60, launcherSide,
                                            launcherSide));
            return show();
        }
    }
    const auto window = tracker_->currentWindow();
    const auto screen = window ? environment_.screens->screenFor(window->frame) : std::nullopt;
    if (!window || !screen) {
        launcherPanel_->orderOut();
        return false;
    }
    const QRectF visible = screen->visibleFrame;
    const QRectF host = window->frame;
    const double x = std::max(visible.x() + 12, std::min(visible.x() + visible.width() - launcherSide - 12,
                                                         host.x() + host.width() - launcherSide - 16));
    const double y = std::max(visible.y() + 12, std::min(visible.y() + visible.height() - launcherSide - 12,
                                                         host.y() + host.height() - launcherSide - 72));
    const QRectF target(x, y, launcherSide, launcherSide);
    if (launcherPanel_->frame() != target)
        launcherPanel_->setFrame(target);
    return show();
}

} // namespace quillmere
