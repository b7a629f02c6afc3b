#pragma once

// The application's item in the desktop's status area: a title, a tool tip and a menu. The menu
// always exists as a model the application and tests can walk; where the desktop offers a system
// tray it is shown there too, with the title drawn as the icon.

#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QObject>
#include <QPalette>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>

namespace quillmere {

class StatusItem final : public QObject {
    Q_OBJECT
public:
    // `useTray` false keeps the item a model only (tests, and desktops without a tray); so does a
    // desktop whose tray is not available.
    explicit StatusItem(bool useTray, bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable());
    ~StatusItem() override;

    void setTitle(const QString& title);
    const QString& title() const { return title_; }
    void setToolTip(const QString& toolTip);
    const QString& toolTip() const { return toolTip_; }
    // Replaces the menu; the item owns it.
    void setMenu(std::unique_ptr<QMenu> menu);
    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // The title as the tray shows it; drawn again whenever the application's palette changes.
    const QIcon& icon() const { return icon_; }

    // The title drawn as a tray icon with `palette`: in its window text colour, outlined in its
    // window colour, so that it reads on a light panel and on a dark one whichever the palette is.
    static QImage symbol(const QString& title, const QPalette& palette);

    // A tray reports a left click as an activation and opens the context menu only on a right
    // click; a left click opens the same menu, at the icon, as one click does elsewhere.
    void activate(QSystemTrayIcon::ActivationReason reason);
    // Where a menu of `menu` size opened from an icon at `icon` goes on a screen whose usable area
    // is `screen`: under the icon when it fits there, else above it, never past the screen's sides.
    static QPoint menuPosition(const QRect& icon, const QSize& menu, const QRect& screen);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void redraw();

    QString title_;
    QString toolTip_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
    QIcon icon_;
};

} // namespace quillmere
