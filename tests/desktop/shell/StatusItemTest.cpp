// The status item: its menu, opened by a click on its tray icon, and the symbol the tray shows.

#include "desktop/shell/StatusItem.h"

#include "desktop/checks/NativeCardChecksCapture.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
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

namespace {

// The share of the symbol's pixels (at least half covered) that stand out from `panel` by 3:1 or
// more, the symbol laid over the panel as a tray lays its icon, at the size a tray shows it.
double legibleShare(const QImage& symbol, const QColor& panel) {
    QImage shown(24, 24, QImage::Format_ARGB32_Premultiplied);
    shown.fill(panel);
    QPainter painter(&shown);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(shown.rect(), symbol);
    painter.end();
    const QImage coverage = symbol.scaled(24, 24, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    int covered = 0;
    int legible = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            if (qAlpha(coverage.pixel(x, y)) < 128)
                continue;
            ++covered;
            legible += NativeCardChecks::contrastRatio(shown.pixelColor(x, y), panel) >= 3.0;
        }
    return covered ? double(legible) / covered : 0;
}

QPalette themePalette(const QColor& window, const QColor& text) {
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

} // namespace

// "◈" reads on a light tray and on a dark one, whether the desktop's palette is light or dark (a
// tray's own colour need not follow the palette).
TEST(StatusItemSymbol, ReadsOnLightAndDarkPanels) {
    const QColor lightPanel(0xDC, 0xDA, 0xD5);
    const QColor darkPanel(0x2B, 0x2B, 0x2B);
    const struct {
        const char* theme;
        QPalette palette;
    } themes[] = {{"light theme", themePalette(QColor(0xEF, 0xEF, 0xEF), Qt::black)},
                  {"dark theme", themePalette(QColor(0x30, 0x30, 0x30), Qt::white)}};
    for (const auto& theme : themes) {
        const QImage symbol = StatusItem::symbol(QStringLiteral("◈"), theme.palette);
        for (const QColor& panel : {lightPanel, darkPanel}) {
            SCOPED_TRACE(std::string(theme.theme) + " on " + panel.name().toStdString());
            EXPECT_GE(legibleShare(symbol, panel), 0.25);
        }
    }
}

// The tray's icon follows the application's palette: a change of theme draws it again.
TEST(StatusItemSymbol, APaletteChangeDrawsTheSymbolAgain) {
    const QPalette original = QApplication::palette();
    QApplication::setPalette(themePalette(QColor(0xEF, 0xEF, 0xEF), Qt::black));
    StatusItem item(false);
    item.setTitle(QStringLiteral("◈"));
    const auto centre = [&item] { return item.icon().pixmap(64, 64).toImage().pixelColor(32, 32); };
    EXPECT_EQ(centre(), QColor(Qt::black));
    QApplication::setPalette(themePalette(QColor(0x30, 0x30, 0x30), Qt::white));
    EXPECT_EQ(centre(), QColor(Qt::white));
    QApplication::setPalette(original);
}
