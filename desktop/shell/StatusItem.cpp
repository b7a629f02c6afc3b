#include "desktop/shell/StatusItem.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <algorithm>

namespace quillmere {

namespace {

constexpr int symbolSize = 64;
constexpr int symbolPixels = 46;
// Wide enough to stay about two pixels at a tray's 22 to 24, where the icon is scaled down.
constexpr double outlineWidth = 7;

} // namespace

QImage StatusItem::symbol(const QString& title, const QPalette& palette) {
    QImage image(symbolSize, symbolSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QFont font;
    font.setPixelSize(symbolPixels);
    QPainterPath glyph;
    glyph.addText(0, 0, font, title);
    glyph.translate(QRectF(image.rect()).center() - glyph.boundingRect().center());
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.strokePath(glyph, QPen(palette.color(QPalette::Window), outlineWidth, Qt::SolidLine, Qt::RoundCap,
                                   Qt::RoundJoin));
    painter.fillPath(glyph, palette.color(QPalette::WindowText));
    return image;
}

StatusItem::StatusItem(bool useTray, bool trayAvailable) {
    if (useTray && trayAvailable) {
        tray_ = new QSystemTrayIcon(this);
        connect(tray_, &QSystemTrayIcon::activated, this, &StatusItem::activate);
    }
    // A palette change (a light or dark desktop theme chosen) reaches the application object.
    if (qApp)
        qApp->installEventFilter(this);
}

StatusItem::~StatusItem() {
    if (tray_)
        tray_->setContextMenu(nullptr);
}

void StatusItem::setTitle(const QString& title) {
    title_ = title;
    redraw();
    if (tray_)
        tray_->show();
}

void StatusItem::redraw() {
    icon_ = QIcon(QPixmap::fromImage(symbol(title_, QGuiApplication::palette())));
    if (tray_)
        tray_->setIcon(icon_);
}

bool StatusItem::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && !title_.isEmpty())
        redraw();
    return false;
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
