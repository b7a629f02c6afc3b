// The status item's menu opened by a click on its tray icon.

#include "desktop/shell/StatusItem.h"

#include <QMenu>
#include <gtest/gtest.h>

using namespace quillmere;

// A left click on the tray icon opens the status menu; the other clicks leave it to the tray.
TEST(StatusItemClicks, OnlyALeftClickOpensTheMenu) {
    struct Row {
        QSystemTrayIcon::ActivationReason reason;
        bool opens;
    };
    const Row rows[] = {{QSystemTrayIcon::Trigger, true},
                        {QSystemTrayIcon::Context, false},
                        {QSystemTrayIcon::DoubleClick, false},
                        {QSystemTrayIcon::MiddleClick, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.reason));
        StatusItem item(false);
        auto menu = std::make_unique<QMenu>();
        menu->addAction(QStringLiteral("Quit Quillmere"));
        item.setMenu(std::move(menu));
        item.activate(row.reason);
        EXPECT_EQ(item.menu()->isVisible(), row.opens);
        item.menu()->hide();
    }
    StatusItem empty(false);
    empty.activate(QSystemTrayIcon::Trigger); // no menu yet: nothing to open
}

// The menu opens at the icon: under it on a top panel, above it on a bottom one, inside the screen.
TEST(StatusItemClicks, TheMenuOpensAtTheIcon) {
    const QRect screen(0, 0, 1600, 1000);
    const QSize menu(220, 300);
    struct Row {
        const char* name;
        QRect icon;
        QPoint at;
    };
    const Row rows[] = {
        {"top panel", QRect(800, 0, 24, 24), QPoint(800, 24)},
        {"bottom panel", QRect(800, 976, 24, 24), QPoint(800, 676)},
        {"top right corner", QRect(1576, 0, 24, 24), QPoint(1380, 24)},
        {"bottom left corner", QRect(0, 976, 24, 24), QPoint(0, 676)},
        {"left of the screen", QRect(-30, 400, 24, 24), QPoint(0, 424)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(StatusItem::menuPosition(row.icon, menu, screen), row.at);
    }
    // A screen too short for the menu either way keeps it under the icon.
    EXPECT_EQ(StatusItem::menuPosition(QRect(10, 100, 24, 24), QSize(200, 2000), screen), QPoint(10, 124));
}
