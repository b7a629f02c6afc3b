// The connector's setup pressed with real keys on a virtual display, linking to a loopback stand-in
// of the connector service, with a screen reader's listener on the accessibility bus: Connect greys
// itself and the status line holds the keyboard, read as "Connecting Quillmere…"; when the link
// fails the keyboard is back on Connect and the failure is heard once; a second Space reaches
// Connect, not the card. Every status sentence is heard once. Runs only under
// run-accessibility-bus-test with a window manager chosen.

#include "ConnectorTestSupport.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "tests/support/AccessibilityBus.h"
#include "tests/support/ConnectorStandIn.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

TEST(ConnectorOnTheDisplay, ConnectKeepsTheKeyboardInTheSetupAndEachSentenceIsHeardOnce) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    BusListener listener;
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));
    BusListener focus({QStringLiteral("focus")});
    ASSERT_EQ(focus.next(20000), QStringLiteral("ready"));
    const auto focusedSince = [&focus] {
        QStringList names;
        for (const QString& line : focus.until(3000, 700))
            names << line.section(u'\t', 1);
        return names;
    };

    ConnectorStandIn service;
    MemoryStorage storage;
    MemoryPreferences preferences;
    ConnectorTransport transport{ConnectorOriginPolicy()};
    ConnectorWindowController::Environment environment;
    environment.transport = &transport;
    ConnectorWindowController controller(false, storage, &preferences, environment);
    controller.originField()->setText(service.origin());
    controller.open();
    RailViewController& card = *controller.ownCard();
    card.toggleExpanded();
    QWidget* window = controller.panel();
    ASSERT_TRUE(waitUntil([&] { return window->isActiveWindow(); }, 5000))
        << "the panel never took the focus";
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    ASSERT_TRUE(untilNotificationsAreHeard(listener, [&card](const QString& text) { card.announce(text); }))
        << "no notification reaches the bus";

    controller.pasteConnectionCode(QStringLiteral("not a code"));
    EXPECT_EQ(listener.notifications(10000, 1000), QStringList{ConnectorText::freshCode});
    controller.pasteConnectionCode(QStringLiteral("no code either"));
    EXPECT_EQ(listener.notifications(2000, 500), QStringList()) << "the same sentence twice in a row";
    controller.pasteConnectionCode(service.pairingCode());
    EXPECT_EQ(listener.notifications(10000, 1000), QStringList{ConnectorText::codePasted});

    // The claim succeeds, but the credential cannot be saved: the link fails after a while.
    storage.holdSeconds = 2;
    storage.backend.failNext(MemorySecretBackend::storeOperation);
    QPushButton* connect = controller.connectButton();
    connect->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == connect; }, 2000));
    focus.until(1000, 300);
    pressKey(QStringLiteral("space"));
    ASSERT_TRUE(waitUntil([&] { return !connect->isEnabled(); }, 3000)) << "Space did not connect";
    turnFor(300);
    EXPECT_EQ(QApplication::focusWidget(), controller.statusLabel());
    EXPECT_EQ(focusedSince(), QStringList{QStringLiteral("label\tConnecting Quillmere…")});
    // Meant for Connect while it is grey: nothing else takes it.
    pressKey(QStringLiteral("space"));
    turnFor(300);
    EXPECT_FALSE(card.minimized()) << "the second Space collapsed the card";
    EXPECT_TRUE(controller.codeField()->isVisible());

    ASSERT_TRUE(waitUntil([&] { return connect->isEnabled(); }, 10000)) << "the link never failed";
    EXPECT_EQ(QApplication::focusWidget(), connect) << "the keyboard is not back on Connect";
    EXPECT_EQ(listener.notifications(10000, 1000), QStringList{ConnectorText::couldNotLink});
    EXPECT_EQ(focusedSince(), QStringList{QStringLiteral("push button\tConnect")});

    // Pressed again, as meant, with no code: refused, said, the keyboard stays.
    pressKey(QStringLiteral("space"));
    EXPECT_EQ(listener.notifications(10000, 1000), QStringList{ConnectorText::enterAddressAndCode});
    EXPECT_EQ(QApplication::focusWidget(), connect);
    EXPECT_FALSE(card.minimized());
}
