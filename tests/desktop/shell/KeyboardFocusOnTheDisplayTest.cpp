// Who has the keyboard when the card or the launcher is shown, on a real display (a virtual one,
// with and without a window manager) with real key presses: the card opened from the launcher or
// from the status menu is the key window with its keyboard loop reachable, and a card shown because
// its host came to the front takes no focus from the host. Runs only under
// run-accessibility-bus-test with a window manager chosen.

#include "ApplicationProcess.h"

#include "desktop/card/CardViews.h"
#include "desktop/shell/CardPanel.h"
#include "tests/support/AccessibilityBus.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

// A panel's content: buttons that take the keyboard, as the card's and the launcher's do.
struct PanelContent {
    explicit PanelContent(const QStringList& titles) {
        int x = 5;
        for (const QString& title : titles) {
            auto* button = new CardButton(title, &view);
            cardview::setAccessibilityLabel(button, title);
            button->setGeometry(x, 5, 90, 32);
            buttons << button;
            x += 95;
        }
    }
    QWidget view;
    QList<CardButton*> buttons;
};

bool holdsFocus(const QWidget& window) {
    return window.isActiveWindow() && QApplication::focusWidget() &&
           QApplication::focusWidget()->window() == &window;
}

// The windows of the application on the display named `title` and shown, by their width.
QMap<int, qulonglong> shownWindows(const QString& title) {
    QMap<int, qulonglong> windows;
    const QString found = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                   QStringLiteral("--name"), u'^' + title + u'$'});
    for (const QString& id : found.split(u'\n', Qt::SkipEmptyParts)) {
        const QString shell = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        const QRegularExpressionMatch width = QRegularExpression(QStringLiteral("WIDTH=(\\d+)")).match(shell);
        if (width.hasMatch())
            windows.insert(width.captured(1).toInt(), id.toULongLong());
    }
    return windows;
}

} // namespace

// The card panel made key from the launcher's button (the launcher hidden first, its focus not yet
// handed on), from a menu, and shown for a host without being made key.
TEST(KeyboardFocusOnTheDisplay, APanelMadeKeyIsKeyAtOnceAndKeepsTheKeyboard) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    Screens& screens = Screens::system();
    CardPanel launcher(QSizeF(48, 48), {}, screens);
    PanelContent launcherContent({QStringLiteral("Open Quillmere")});
    launcher.setContentView(&launcherContent.view);
    launcher.move(900, 700);
    CardPanel card(QSizeF(310, 124), {}, screens);
    PanelContent cardContent({QStringLiteral("More info"), QStringLiteral("Close recommendation")});
    card.setContentView(&cardContent.view);
    card.move(600, 500);
    QWidget host;
    host.setWindowTitle(QStringLiteral("Host"));
    host.resize(400, 300);
    host.move(100, 100);

    const auto becomesKeyFromTheLauncher = [&] {
        launcher.makeKeyAndOrderFront();
        EXPECT_TRUE(waitUntil([&] { return holdsFocus(launcher); }, 5000))
            << "the launcher never took the focus";
        launcher.orderOut();
        card.makeKeyAndOrderFront();
        return card.isKeyWindow();
    };
    bool keyAtOnce = false;
    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Show recommendation")), &QAction::triggered, &card, [&] {
        card.makeKeyAndOrderFront();
        keyAtOnce = card.isKeyWindow();
    });
    const auto becomesKeyFromTheMenu = [&] {
        menu.popup(QPoint(200, 200));
        EXPECT_TRUE(waitUntil([&] { return menu.isVisible(); }, 5000)) << "no menu";
        turnFor(300);
        pressKey(QStringLiteral("Down"));
        turnFor(200);
        pressKey(QStringLiteral("Return"));
        waitUntil([&] { return !menu.isVisible(); }, 5000);
        return keyAtOnce;
    };
    const std::vector<std::pair<const char*, std::function<bool()>>> ways = {
        {"from the launcher", becomesKeyFromTheLauncher},
        {"from the menu", becomesKeyFromTheMenu},
    };
    for (const auto& [way, makeKey] : ways) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            SCOPED_TRACE(std::string(way) + ", attempt " + std::to_string(attempt + 1));
            card.orderOut();
            turnFor(200);
            EXPECT_TRUE(makeKey()) << "the card panel is not key right after it was made key";
            EXPECT_TRUE(waitUntil([&] { return holdsFocus(card); }, 5000)) << "the card never took the focus";
            // The window system may still hand the focus on: the card keeps it.
            turnFor(600);
            EXPECT_TRUE(card.isVisible());
            EXPECT_TRUE(holdsFocus(card)) << "the card lost the focus";
            EXPECT_EQ(focusedWindow(), card.winId()) << "the display's focus is elsewhere";
            // Its keyboard loop is reachable: Tab moves between its controls.
            QWidget* before = QApplication::focusWidget();
            pressKey(QStringLiteral("Tab"));
            EXPECT_TRUE(waitUntil([&] { return QApplication::focusWidget() != before; }, 2000))
                << "Tab did nothing";
            EXPECT_TRUE(cardContent.buttons.contains(QApplication::focusWidget()));
        }
    }

    // A host in front: the card shown beside it without being made key leaves it the focus.
    card.orderOut();
    host.show();
    host.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return host.isActiveWindow(); }, 5000)) << "the host never took the focus";
    card.orderFrontRegardless();
    turnFor(800);
    EXPECT_TRUE(card.isVisible());
    EXPECT_FALSE(card.isKeyWindow());
    EXPECT_TRUE(host.isActiveWindow()) << "the card took the focus from the host";
    EXPECT_EQ(focusedWindow(), host.winId());
}

// The application itself: the card focused, Escape (the launcher takes the focus), Space (the
// card comes back): the card has the display's focus, and Tab walks its controls.
TEST(KeyboardFocusOnTheDisplay, TheCardOpenedFromTheLauncherHasTheKeyboard) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    BusListener listener({QStringLiteral("focus")});
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));
    QTemporaryDir dir;
    // No classification service listens there: the card stays on its first state.
    QProcessEnvironment environment =
        applicationEnvironment(dir, QStringLiteral("http://127.0.0.1:9/classify"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess app;
    ASSERT_TRUE(start(app, environment));
    qulonglong card = 0;
    waitUntil(
        [&] {
            const auto windows = shownWindows(QStringLiteral("Quillmere"));
            card = windows.isEmpty() || windows.lastKey() < 100 ? 0 : windows.last();
            return card != 0;
        },
        20000);
    ASSERT_NE(card, 0u) << "no card on the display";
    // The card shown beside its host took no focus.
    EXPECT_NE(focusedWindow(), card);

    const QStringList launcherName = {QStringLiteral("focus\tpush button\tOpen Quillmere")};
    for (int attempt = 0; attempt < 6; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt + 1));
        const QString shell =
            xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(card)});
        const int x = QRegularExpression(QStringLiteral("X=(-?\\d+)")).match(shell).captured(1).toInt();
        const int y = QRegularExpression(QStringLiteral("Y=(-?\\d+)")).match(shell).captured(1).toInt();
        // A click on the card's background gives it the focus.
        xdotool({QStringLiteral("mousemove"), QString::number(x + 150), QString::number(y + 40),
                 QStringLiteral("click"), QStringLiteral("1")});
        ASSERT_TRUE(waitUntil([&] { return focusedWindow() == card; }, 5000))
            << "a click did not focus the card";
        listener.until(1000, 300);
        pressKey(QStringLiteral("Escape"));
        ASSERT_EQ(listener.until(3000, 500).filter(QStringLiteral("focus\t")).value(0), launcherName.value(0))
            << "Escape did not give the launcher the focus";
        pressKey(QStringLiteral("space"));
        // Time for the window system to hand a hidden window's focus on, and for the next tick.
        const QStringList focused = listener.until(1500, 1500).filter(QStringLiteral("focus\t"));
        EXPECT_EQ(focusedWindow(), card) << "the card does not have the display's focus";
        EXPECT_FALSE(focused.isEmpty()) << "no control of the card took the focus";
        pressKey(QStringLiteral("Tab"));
        const QStringList tabbed = listener.until(2000, 500).filter(QStringLiteral("focus\t"));
        ASSERT_FALSE(tabbed.isEmpty()) << "Tab moved no focus";
        EXPECT_NE(tabbed.last(), launcherName.value(0));
        EXPECT_EQ(focusedWindow(), card);
    }
    app.terminate();
    EXPECT_TRUE(app.waitForFinished(20000));
}
