#pragma once

// The application's item in the desktop's status area: a title, a tool tip and a menu. The menu
// always exists as a model the application and tests can walk; where the desktop offers a system
// tray it is shown there too, with the title drawn as the icon.

#include <QMenu>
#include <QObject>
#include <QString>
#include <memory>

class QSystemTrayIcon;

namespace quillmere {

class StatusItem final : public QObject {
    Q_OBJECT
public:
    // `useTray` false keeps the item a model only (tests, and desktops without a tray).
    explicit StatusItem(bool useTray);
    ~StatusItem() override;

    void setTitle(const QString& title);
    const QString& title() const { return title_; }
    void setToolTip(const QString& toolTip);
    const QString& toolTip() const { return toolTip_; }
    // Replaces the menu; the item owns it.
    void setMenu(std::unique_ptr<QMenu> menu);
    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }

private:
    QString title_;
    QString toolTip_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
};

} // namespace quillmere
