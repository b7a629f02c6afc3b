#include "desktop/shell/StatusItem.h"

#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

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

StatusItem::StatusItem(bool useTray) {
    if (useTray && QSystemTrayIcon::isSystemTrayAvailable())
        tray_ = new QSystemTrayIcon(this);
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

} // namespace quillmere
