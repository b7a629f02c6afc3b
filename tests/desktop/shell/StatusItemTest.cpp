// The status item's menu opened by a click on its tray icon.

#include "desktop/shell/StatusItem.h"

#include <QMenu>
#include <gtest/gtest.h>

using namespace quillmere;

// A left click on the tray icon opens the status menu; the other clicks leave it to the tray. The
// clicks arrive as the tray icon's own activation signal.
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
        // A tray icon whatever this test's desktop offers; it is never shown.
        StatusItem item(true, true);
        ASSERT_TRUE(item.trayIcon());
        auto menu = std::make_unique<QMenu>();
        menu->addAction(QStringLiteral("Quit Quillmere"));
        item.setMenu(std::move(menu));
        emit item.trayIcon()->activated(row.reason);
        EXPECT_EQ(item.menu()->isVisible(), row.opens);
        item.menu()->hide();
    }
    StatusItem empty(true, true);
    ASSERT_TRUE(empty.trayIcon());
    emit empty.trayIcon()->activated(QSystemTrayIcon::Trigger); // no menu yet: nothing to open
    EXPECT_FALSE(empty.menu());
    // Without a tray the item is a model only.
    EXPECT_FALSE(StatusItem(true, false).trayIcon());
    EXPECT_FALSE(StatusItem(false, true).trayIcon());
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
