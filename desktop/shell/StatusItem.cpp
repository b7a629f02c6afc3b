#include "desktop/shell/StatusItem.h"

#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <algorithm>

namespace quillmere {

namespace {

// A tray shows icons, not text: the title is drawn into one.
QIcon iconFor(const QString& title) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font;
    font.setPixelSize(52);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, title);
    return QIcon(pixmap);
}

} // namespace

StatusItem::StatusItem(bool useTray, bool trayAvailable) {
    if (useTray && trayAvailable) {
        tray_ = new QSystemTrayIcon(this);
        connect(tray_, &QSystemTrayIcon::activated, this, &StatusItem::activate);
    }
}

StatusItem::~StatusItem() {
    if (tray_)
        tray_->setContextMenu(nullptr);
}

void StatusItem::setTitle(const QString& title) {
    title_ = title;
    if (tray_) {
        tray_->setIcon(iconFor(title));
        tray_->show();
    }
}

void StatusItem::setToolTip(const QString& toolTip) {
    toolTip_ = toolTip;
    if (tray_)
        tray_->setToolTip(toolTip);
}

void StatusItem::setMenu(std::unique_ptr<QMenu> menu) {
    if (tray_)
        tray_->setContextMenu(menu.get());
    menu_ = std::move(menu);
}

void StatusItem::activate(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger || !menu_)
        return;
    // A tray that does not say where its icon is gets the menu at the pointer, which clicked it.
    QRect icon = tray_ ? tray_->geometry() : QRect();
    if (!icon.isValid())
        icon = QRect(QCursor::pos(), QSize(1, 1));
    QScreen* screen = QGuiApplication::screenAt(icon.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    menu_->popup(area.isValid() ? menuPosition(icon, menu_->sizeHint(), area) : icon.bottomLeft());
}

QPoint StatusItem::menuPosition(const QRect& icon, const QSize& menu, const QRect& screen) {
    int x = icon.left();
    if (x + menu.width() > screen.right() + 1)
        x = screen.right() + 1 - menu.width();
    x = std::max(x, screen.left());
    int y = icon.bottom() + 1;
    if (y + menu.height() > screen.bottom() + 1 && icon.top() - menu.height() >= screen.top())
        y = icon.top() - menu.height();
    return QPoint(x, y);
}

} // namespace quillmere
