#include "ConnectorTestSupport.h"
#include "tests/desktop/card/CardTestSupport.h"
#include "tests/support/AccessibilityBus.h"
#include "tests/support/OrcaSpeech.h"

#include "desktop/card/RailViewController.h"
#include "desktop/connector/ConnectorEditing.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "platform/accessibility/Announcer.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

using namespace quillmere;
using namespace quillmere::testing;

// The Gui library's entry for a key press as the window system hands it over: offered as a shortcut
// first (what QTest's key clicks use). True when a shortcut took it.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject* receiver, ulong timestamp, int key,
                                               Qt::KeyboardModifiers modifiers, const QString& text,
                                               bool autorepeat, ushort count);

namespace {

// Presses `key` with `modifiers` on `receiver` as typing does: the shortcut map first, then the
// widget's own key handling. True when either took the key.
bool pressKeys(QWidget* receiver, Qt::Key key, Qt::KeyboardModifiers modifiers) {
    const QString text = QKeySequence(key).toString().toLower();
    if (qt_sendShortcutOverrideEvent(receiver, 0, key, modifiers, text, false, 1))
        return true;
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(receiver, &press);
    return press.isAccepted();
}

// What is announced, told once the event loop has turned (a status is said once the flow's step is
// over), and forgotten once told.
struct Heard {
    std::vector<QString> operator()() {
        QCoreApplication::processEvents();
        std::vector<QString> texts = said.texts();
        said.posted.clear();
        return texts;
    }
    ax::RecordingAnnouncer said;
};

class ConnectorWindow : public ::testing::Test {
protected:
    void SetUp() override {
        Scheduler::setCurrent(&scheduler);
        transport.answer(QStringLiteral("/widget/inbox"), inboxBody({}));
    }
    void TearDown() override {
        controller.reset();
        scheduler.runUntil([] { return false; }, 1e6, 0);
        Scheduler::setCurrent(nullptr);
    }
    void make(bool loadSaved = false) {
        ConnectorWindowController::Environment environment;
        environment.transport = &transport;
        environment.scheduler = &scheduler;
        environment.openURL = [this](const QUrl& url) { opened.push_back(url); };
        controller =
            std::make_unique<ConnectorWindowController>(loadSaved, storage, &preferences, environment);
    }
    // Opens the connector window with its card expanded, the window active.
    void openExpanded() {
        make();
        controller->open();
        controller->ownCard()->toggleExpanded();
        controller->ownCard()->layoutIfNeeded();
        QApplication::setActiveWindow(controller->panel());
    }
    // Saves the capture of a card under the build folder, for a person to look at.
    static void capture(RailViewController& card, const QString& name) {
        const QString folder = QStringLiteral(QUILLMERE_BINARY_DIR "/captures/connector");
        QDir().mkpath(folder);
        card.view()->resize(340, int(card.preferredHeight(340)));
        card.layoutIfNeeded();
        EXPECT_TRUE(card.view()->grab().save(folder + u'/' + name, "PNG"));
    }

    VirtualScheduler scheduler{1000.0};
    ManualClock clock{1000.0, testNow()};
    ScriptedTransport transport{clock};
    MemoryStorage storage;
    MemoryPreferences preferences;
    std::vector<QUrl> opened;
    std::unique_ptr<ConnectorWindowController> controller;
};

} // namespace

TEST_F(ConnectorWindow, StartsOnItsOwnCompactCardWithTheSetupControls) {
    make();
    RailViewController* card = controller->ownCard();
    EXPECT_EQ(controller->presentationCard(), card);
    EXPECT_TRUE(card->connectorMode());
    EXPECT_EQ(card->connectorSetupView(), controller->connectionView());
    EXPECT_EQ(card->platform(), AIProvider::openAI);
    EXPECT_EQ(controller->originField()->text(), localOrigin);
    EXPECT_FALSE(controller->disconnectButton()->isEnabled());
    EXPECT_EQ(controller->statusLabel()->text(), ConnectorText::initial);
    EXPECT_EQ(controller->statusLabel()->objectName(), QStringLiteral("connector-status"));
    EXPECT_EQ(controller->codeField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(controller->codeField()->placeholderText(), QStringLiteral("One-use connection code"));
    EXPECT_EQ(controller->panel()->windowTitle(), QStringLiteral("Quillmere"));
    // Keyboard order: the setup view, the page button, the field, Paste, Connect, Disconnect, then
    // the card's expand button.
    const std::vector<QWidget*> order{controller->connectionView(), controller->setupButton(),
                                      controller->codeField(),      controller->pasteButton(),
                                      controller->connectButton(),  controller->disconnectButton(),
                                      card->expandButton()};
    for (size_t i = 1; i < order.size(); ++i)
        EXPECT_EQ(card->nextKeyView(order[i - 1]), order[i]) << i;
    capture(*card, QStringLiteral("setup.png"));
}

// Tab and Shift+Tab on a card that presents the connector: the card's own stops, and in normal
// mode the setup view's controls in their order between the close and the expand button, the
// disabled ones passed over; nothing else of the panel takes the focus from the keyboard.
TEST_F(ConnectorWindow, TabWalksTheCardAndTheSetupViewInTheirOrder) {
    using cardtest::aroundTheLoop;
    using cardtest::namesOf;
    using cardtest::walkFocus;
    struct Row {
        const char* state;
        bool linked;
        bool compact;
        bool preview;
        bool host;
    };
    const Row rows[] = {
        {"compact", false, true, false, false},
        {"not linked", false, false, false, false},
        {"linked", true, false, false, false},
        {"flow preview", false, false, true, false},
        {"in a host widget's card", false, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state);
        if (row.linked)
            storage.backend.put(MemoryStorage::service, credential().encoded());
        make(row.linked);
        scheduler.advance(0);
        if (row.preview)
            controller->prepareFlowPreview();
        controller->open();
        QWidget hostPanel;
        RailViewController hostCard;
        if (row.host) {
            hostCard.view()->setParent(&hostPanel);
            controller->bind(&hostCard);
        }
        RailViewController* card = row.host ? &hostCard : controller->ownCard();
        if (!row.compact)
            card->toggleExpanded();
        card->view()->resize(340, 420);
        card->view()->window()->resize(340, 420);
        card->layoutIfNeeded();

        std::vector<QWidget*> stops{card->expandButton(), card->closeButton()};
        if (row.compact) {
            stops.push_back(card->askEntryButton());
        } else if (!row.preview) {
            stops.insert(stops.end(),
                         {controller->setupButton(), controller->codeField(), controller->pasteButton()});
            stops.push_back(row.linked ? controller->disconnectButton() : controller->connectButton());
        }
        EXPECT_EQ(namesOf(card->keyStops()), namesOf(stops));
        for (const bool forward : {true, false})
            EXPECT_EQ(namesOf(walkFocus(card->expandButton(), forward, stops.size())),
                      namesOf(aroundTheLoop(stops, forward)))
                << (forward ? "Tab" : "Shift+Tab");
        EXPECT_EQ(namesOf(cardtest::focusableOutside(card->view()->window(), stops)), std::vector<QString>());
        controller.reset();
    }
}

TEST_F(ConnectorWindow, AGuidanceFromThePollReachesThePresentingCard) {
    transport.answer(QStringLiteral("/widget/inbox"), inboxBody({item(uuid(7), "Claude Sonnet")}));
    storage.backend.put(MemoryStorage::service, credential().encoded());
    make(true);
    scheduler.advance(0);
    RailViewController* card = controller->ownCard();
    ASSERT_TRUE(card->connectorGuidance());
    EXPECT_EQ(card->connectorGuidance()->id, uuid(7));
    EXPECT_TRUE(
        card->miniRecommendationForTesting().startsWith(QStringLiteral("Recommended · Claude Sonnet")));
    EXPECT_EQ(controller->accountLabel()->text(),
              QStringLiteral("Account reference: 0123456789abcdef · SYNTHETIC TEST ACCOUNT"));
    EXPECT_TRUE(controller->disconnectButton()->isEnabled());
    capture(*card, QStringLiteral("guidance.png"));
}

// The window's advice line and the card show the service's words through one cleaning step: the
// window no longer shows what the card strips.
TEST_F(ConnectorWindow, TheAdviceShowsNoControlsOrOverridesLikeTheCard) {
    make();
    ConnectorGuidance guidance = ConnectorWindowController::exampleGuidance();
    guidance.model_family = QStringLiteral("GPT\u202E-6.1\u0000 Sol\u001B");
    guidance.rationale = QStringLiteral("Fits\u2066 debugging\u0007.");
    controller->showSyntheticCheck(guidance, QStringLiteral("0000000000000000"));
    EXPECT_EQ(controller->adviceLabel()->text(),
              QStringLiteral("GPT-6.1 Sol · High\n\nFits debugging.\n\nQuillmere recommendation engine. "
                             "Availability and savings have not been verified."));
    RailViewController* card = controller->ownCard();
    card->layoutIfNeeded();
    EXPECT_TRUE(card->miniRecommendationForTesting().contains(QStringLiteral("GPT-6.1 Sol · High")));
    EXPECT_TRUE(card->miniReasonForTesting().contains(QStringLiteral("Fits debugging.")));
}

TEST_F(ConnectorWindow, BindingMovesThePresentationAndOpenTakesItBack) {
    make();
    controller->open();
    EXPECT_TRUE(controller->panel()->isVisible());
    ConnectorGuidance guidance;
    guidance.id = uuid(1);
    guidance.model_family = QStringLiteral("GPT-6.1 Sol");
    guidance.reasoning = QStringLiteral("High");
    guidance.rationale = QStringLiteral("Fits.");
    controller->showSyntheticCheck(guidance, QStringLiteral("0000000000000000"));
    EXPECT_EQ(controller->statusLabel()->text(),
              QStringLiteral("SYNTHETIC TEST · Recommendation received from local connector."));
    EXPECT_EQ(controller->accountLabel()->text(),
              QStringLiteral("Synthetic account reference: 0000000000000000"));
    EXPECT_EQ(
        controller->adviceLabel()->text(),
        QStringLiteral("GPT-6.1 Sol · High\n\nFits.\n\nLocal test policy. Availability and savings have not "
                       "been verified."));

    // The card that already presents keeps its setup view and still shows the last guidance.
    RailViewController* own = controller->ownCard();
    own->showConnectorState(QStringLiteral("Elsewhere"), true);
    controller->bind(own);
    EXPECT_EQ(own->connectorSetupView(), controller->connectionView());
    EXPECT_EQ(own->connectorGuidance(), guidance);

    RailViewController host;
    controller->bind(&host);
    EXPECT_FALSE(controller->panel()->isVisible());
    EXPECT_EQ(host.connectorSetupView(), controller->connectionView());
    EXPECT_EQ(host.connectorGuidance(), guidance);
    EXPECT_FALSE(own->connectorGuidance());
    EXPECT_EQ(own->connectorStatus(), QStringLiteral("Connection opened in another Quillmere widget."));
    EXPECT_EQ(host.nextKeyView(controller->disconnectButton()), host.expandButton());

    controller->open();
    EXPECT_EQ(controller->presentationCard(), own);
    EXPECT_EQ(own->connectorSetupView(), controller->connectionView());
    EXPECT_EQ(host.connectorSetupView(), nullptr);
    EXPECT_TRUE(host.connectorMode()); // connector mode lasts for the card's life
    EXPECT_FALSE(host.connectorGuidance());
}

TEST_F(ConnectorWindow, TheEditMenuIsInstalledOnceAndPastesIntoTheFocusedField) {
    make();
    controller->open();
    ConnectorEditing::installMenu();
    ConnectorEditing::installMenu();
    EXPECT_EQ(ConnectorEditing::editMenuCount(), 1);
    QAction* paste = ConnectorEditing::editCommand(QStringLiteral("paste"));
    ASSERT_TRUE(paste);
    EXPECT_EQ(paste->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_V));
    for (const char* name : {"cut", "copy", "selectAll"})
        EXPECT_TRUE(ConnectorEditing::editCommand(QString::fromLatin1(name))) << name;

    controller->pasteConnectionCode(QString(43, u'a'));
    EXPECT_EQ(controller->codeField()->window()->focusWidget(), controller->codeField());
    QApplication::setActiveWindow(controller->panel());
    controller->codeField()->setFocus();
    controller->codeField()->selectAll();
    QGuiApplication::clipboard()->setText(token43);
    paste->trigger();
    EXPECT_EQ(controller->codeField()->text(), token43);

    // No menu strip is drawn: the panel holds the card alone, from its top edge, at the card's height.
    for (const QMenuBar* bar : controller->panel()->findChildren<QMenuBar*>())
        EXPECT_FALSE(bar->isVisible());
    EXPECT_FALSE(ConnectorEditing::mainMenu()->isVisible());
    EXPECT_EQ(controller->presentationCard()->view()->geometry().top(), 0);
    EXPECT_EQ(
        controller->panel()->height(),
        std::max(124, int(std::ceil(controller->ownCard()->preferredHeight(controller->panel()->width())))));
}

// The menu's keys, pressed as the window system delivers them (a shortcut first), reach the
// focused field and quit the application, with the connector in its own panel or in a host
// widget's card, although no menu is drawn. Quitting works from every window of the application,
// also from one that holds no menu command (another host's card, the monthly report).
TEST_F(ConnectorWindow, TheMenuKeysWorkWithoutADrawnMenu) {
    make();
    controller->open();
    QAction* quit = ConnectorEditing::mainMenu()->findChild<QAction*>(QStringLiteral("quit"));
    ASSERT_TRUE(quit);
    int quits = 0; // the application is not asked to quit: no event loop runs here
    QObject::connect(quit, &QAction::triggered, controller.get(), [&quits] { ++quits; });
    QWidget hostPanel;
    RailViewController host;
    host.view()->setParent(&hostPanel);
    QWidget otherWindow;
    auto* otherField = new QLineEdit(&otherWindow);
    enum class Place { connectorPanel, hostCard, otherWindow };
    for (const Place place : {Place::connectorPanel, Place::hostCard, Place::otherWindow}) {
        SCOPED_TRACE(place == Place::connectorPanel ? "connector panel"
                     : place == Place::hostCard     ? "host widget's card"
                                                    : "another window of the application");
        if (place == Place::hostCard) {
            controller->bind(&host);
            host.toggleExpanded();
            hostPanel.resize(340, 420);
            host.view()->resize(340, 420);
            hostPanel.show();
            host.layoutIfNeeded();
        }
        QLineEdit* field = controller->codeField();
        if (place == Place::otherWindow) {
            // The connector's card stays on screen in its host's panel; the user works elsewhere.
            otherWindow.resize(200, 60);
            otherWindow.show();
            field = otherField;
            ASSERT_TRUE(otherWindow.actions().isEmpty());
        }
        QWidget* window = field->window();
        if (place != Place::otherWindow) {
            ASSERT_EQ(window, place == Place::hostCard ? &hostPanel : controller->panel());
        }
        QApplication::setActiveWindow(window);
        ASSERT_EQ(QApplication::activeWindow(), window);
        field->setFocus();
        field->setText(QStringLiteral("abc"));
        field->deselect();
        EXPECT_TRUE(pressKeys(field, Qt::Key_A, Qt::ControlModifier));
        EXPECT_EQ(field->selectedText(), QStringLiteral("abc"));
        const int before = quits;
        EXPECT_TRUE(pressKeys(field, Qt::Key_Q, Qt::ControlModifier));
        EXPECT_EQ(quits, before + 1) << "Ctrl+Q did not quit";
    }
}

// Connect pressed from the keyboard greys itself: the status line holds the keyboard, read there as
// "Connecting Quillmere…", and a failed link gives it back to Connect before the failure is said.
// Every sentence is said once through the presenting card, and never the same twice in a row.
TEST_F(ConnectorWindow, ConnectKeepsTheKeyboardInTheSetupAndEachSentenceIsSaidOnce) {
    openExpanded();
    RailViewController& card = *controller->ownCard();
    Heard heard;
    ax::RecordingAnnouncer& said = heard.said;
    using Texts = std::vector<QString>;
    controller->pasteConnectionCode(QStringLiteral("not a code"));
    EXPECT_EQ(heard(), Texts{ConnectorText::freshCode});
    controller->pasteConnectionCode(QStringLiteral("still\u202enot a code"));
    EXPECT_EQ(heard(), Texts{});
    controller->connect();
    controller->connect();
    EXPECT_EQ(heard(), Texts{ConnectorText::enterAddressAndCode});

    transport.fail(QStringLiteral("/widget/claim"), ConnectorFailure::rejected, 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt + 1);
        controller->pasteConnectionCode(token43);
        EXPECT_EQ(heard(), Texts{ConnectorText::codePasted});
        QPushButton* connect = controller->connectButton();
        connect->setFocus();
        connect->click();
        EXPECT_EQ(QApplication::focusWidget(), controller->statusLabel())
            << "the status line has no keyboard";
        EXPECT_EQ(heard(), Texts{}) << "read as the focused line, not said again";
        if (attempt == 0)
            capture(card, QStringLiteral("connecting.png"));
        scheduler.advance(2);
        EXPECT_EQ(QApplication::focusWidget(), connect) << "the keyboard did not come back to Connect";
        EXPECT_EQ(heard(), Texts{ConnectorText::couldNotLink});
        if (attempt == 0)
            capture(card, QStringLiteral("could-not-link.png"));
    }
    // Connect called without the keyboard on it (a click by mouse leaves it elsewhere) says it.
    controller->pasteConnectionCode(token43);
    heard();
    controller->codeField()->setFocus();
    controller->connect();
    EXPECT_EQ(QApplication::focusWidget(), controller->codeField());
    EXPECT_EQ(heard(), Texts{ConnectorText::connecting});
    for (const auto& posted : said.posted)
        EXPECT_EQ(posted.view, card.view());
}

// The status line takes the keyboard from a button that greys itself and is read as it takes it,
// with the sentence it shows once the step is over, whether that was set before the button greyed
// (Connect) or after (restoring the saved connection): that sentence is not said as well. A
// sentence that replaces it in a later step while the line keeps the keyboard (a paste while Connect
// runs) is said once: a screen reader does not read a focused label's new text.
TEST_F(ConnectorWindow, ASentenceReplacingTheOneTheStatusLineWasReadWithIsSaid) {
    openExpanded();
    Heard heard;
    using Texts = std::vector<QString>;
    QPushButton* connect = controller->connectButton();
    storage.holdSeconds = 1; // reading the saved connection takes a while
    connect->setFocus(Qt::OtherFocusReason);
    heard();
    controller->flows().restore();
    ASSERT_EQ(QApplication::focusWidget(), controller->statusLabel()) << "the status line has no keyboard";
    EXPECT_EQ(controller->statusLabel()->text(), ConnectorText::restoring);
    EXPECT_EQ(heard(), Texts{}) << "read as the line takes the keyboard";
    scheduler.advance(2);
    EXPECT_EQ(QApplication::focusWidget(), connect) << "the keyboard did not come back to Connect";
    EXPECT_EQ(heard(), Texts{ConnectorText::initial});

    transport.fail(QStringLiteral("/widget/claim"), ConnectorFailure::rejected, 1);
    controller->pasteConnectionCode(token43);
    heard();
    connect->setFocus(Qt::OtherFocusReason);
    connect->click();
    ASSERT_EQ(QApplication::focusWidget(), controller->statusLabel()) << "the status line has no keyboard";
    EXPECT_EQ(heard(), Texts{}) << "read as the line takes the keyboard";
    controller->pasteConnectionCode(QStringLiteral("not a code"));
    EXPECT_EQ(QApplication::focusWidget(), controller->statusLabel());
    EXPECT_EQ(heard(), Texts{ConnectorText::freshCode});
    scheduler.advance(2);
    EXPECT_EQ(QApplication::focusWidget(), connect) << "the keyboard did not come back to Connect";
    EXPECT_EQ(heard(), Texts{ConnectorText::couldNotLink});
}

// A link that expires while the person is in another window, the keyboard left on Disconnect: the
// status line takes the panel's keyboard, but nothing of an inactive window is read as focused, so
// the sentence is said; the outcome is said once, and the panel stays where the person left it.
TEST_F(ConnectorWindow, AnExpiringLinkIsSaidToAPersonInAnotherWindow) {
    storage.backend.put(MemoryStorage::service, credential().encoded());
    make(true);
    controller->open();
    scheduler.advance(0);
    ASSERT_TRUE(controller->flows().credential()) << "the saved link was not restored";
    controller->ownCard()->toggleExpanded();
    controller->ownCard()->layoutIfNeeded();
    QWidget* panel = controller->panel();
    QApplication::setActiveWindow(panel);
    controller->disconnectButton()->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    QWidget elsewhere;
    elsewhere.show();
    QApplication::setActiveWindow(&elsewhere);

    storage.holdSeconds = 2; // removing the saved connection takes a while
    transport.fail(QStringLiteral("/widget/inbox"), ConnectorFailure::unauthorized);
    ax::RecordingAnnouncer said;
    scheduler.advance(ConnectorLinkFlows::pollInterval);
    QCoreApplication::processEvents();
    EXPECT_EQ(panel->focusWidget(), controller->statusLabel()) << "the status line holds no keyboard";
    EXPECT_EQ(said.texts(), std::vector<QString>{ConnectorText::expiring});
    said.posted.clear();
    scheduler.advance(2);
    QCoreApplication::processEvents();
    EXPECT_EQ(panel->focusWidget(), controller->connectButton());
    EXPECT_EQ(said.texts(), std::vector<QString>{ConnectorText::expired});
    EXPECT_EQ(QApplication::activeWindow(), &elsewhere);
}

TEST_F(ConnectorWindow, TheFlowPreviewAllowsNoLink) {
    make();
    controller->prepareFlowPreview();
    controller->open();
    for (QWidget* child : controller->connectionView()->findChildren<QWidget*>()) {
        if (qobject_cast<QPushButton*>(child) || qobject_cast<QLineEdit*>(child)) {
            EXPECT_FALSE(child->isEnabled()) << child->metaObject()->className();
        }
    }
    EXPECT_EQ(controller->statusLabel()->text(),
              QStringLiteral("PREVIEW · Example recommendation. No account connected."));
    EXPECT_EQ(controller->panel()->windowTitle(), QStringLiteral("Quillmere · Local preview"));
    RailViewController* card = controller->ownCard();
    EXPECT_TRUE(card->connectorPreview());
    EXPECT_TRUE(card->miniRecommendationForTesting().startsWith(
        QStringLiteral("Preview · Recommended · GPT-6.1 Sol")));
    controller->connect();
    controller->disconnect();
    scheduler.advance(30);
    EXPECT_TRUE(transport.calls.empty());
    EXPECT_EQ(storage.backend.calls(), 0);
    capture(*card, QStringLiteral("preview.png"));
}

TEST_F(ConnectorWindow, TheSetupPageOpensInTheBrowser) {
    make();
    controller->setupButton()->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toString(), QStringLiteral("http://127.0.0.1:18888/demo#widget"));
}

TEST_F(ConnectorWindow, AHostCardDestroyedWhilePresentingTakesNothingElseWithIt) {
    make();
    {
        RailViewController host;
        controller->bind(&host);
    } // the setup view goes with the host's card
    controller->pasteConnectionCode(QString(43, u'a'));
    EXPECT_EQ(controller->flows().status(), ConnectorText::codePasted);
    controller->open();
    ASSERT_TRUE(controller->connectionView());
    EXPECT_EQ(controller->ownCard()->connectorSetupView(), controller->connectionView());
    EXPECT_EQ(controller->statusLabel()->text(), ConnectorText::codePasted);
    EXPECT_EQ(controller->originField()->text(), localOrigin);
    EXPECT_TRUE(controller->connectButton()->isEnabled());
}

namespace {

// The text changes Qt posts for one field on their way to the accessibility bridge, in order and as
// the bus tells them ("insert" or "delete", where, how many characters), and the kind of every
// event posted for the field. Each event then goes on to the handler installed before this one.
class PostedChanges {
public:
    explicit PostedChanges(const QObject* field) : field_(field) {
        current() = this;
        previous_ = QAccessible::installUpdateHandler(&PostedChanges::handle);
    }
    ~PostedChanges() {
        QAccessible::installUpdateHandler(previous_);
        current() = nullptr;
    }
    PostedChanges(const PostedChanges&) = delete;
    PostedChanges& operator=(const PostedChanges&) = delete;

    bool passesOn() const { return previous_ != nullptr; }
    QStringList changes;
    std::vector<QAccessible::Event> kinds;

private:
    static PostedChanges*& current() {
        static PostedChanges* recording = nullptr;
        return recording;
    }
    static void handle(QAccessibleEvent* event) {
        PostedChanges* self = current();
        if (!self)
            return;
        if (event->object() == self->field_)
            self->note(*event);
        if (self->previous_)
            self->previous_(event);
    }
    void note(QAccessibleEvent& event) {
        kinds.push_back(event.type());
        const auto tell = [this](const char* kind, int position, const QString& text) {
            if (!text.isEmpty())
                changes << QStringLiteral("%1 %2 %3").arg(QLatin1String(kind)).arg(position).arg(text.size());
        };
        if (event.type() == QAccessible::TextInserted) {
            const auto& inserted = static_cast<QAccessibleTextInsertEvent&>(event);
            tell("insert", inserted.changePosition(), inserted.textInserted());
        } else if (event.type() == QAccessible::TextRemoved) {
            const auto& removed = static_cast<QAccessibleTextRemoveEvent&>(event);
            tell("delete", removed.changePosition(), removed.textRemoved());
        } else if (event.type() == QAccessible::TextUpdated) {
            const auto& updated = static_cast<QAccessibleTextUpdateEvent&>(event);
            tell("delete", updated.changePosition(), updated.textRemoved());
            tell("insert", updated.changePosition(), updated.textInserted());
        }
    }

    const QObject* field_;
    QAccessible::UpdateHandler previous_ = nullptr;
};

} // namespace

// The one-use connection code as a screen reader on the accessibility bus meets it: typed key by key,
// cleared, pasted and put in by the Paste button, it never leaves the process in any event, nor when
// the field's text is read; the field is still told as a password field with its name, and each
// change is still told where Qt told it, with as many characters (a character typed there, not
// which). Qt tells no value change of a line edit (and its bridge would carry no value of one).
// Runs only on the display and private accessibility bus of run-accessibility-bus-test.
using ConnectorCodeOnTheBus = ConnectorWindow;

TEST_F(ConnectorCodeOnTheBus, NoCharacterOfTheCodeLeavesTheProcess) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    BusListener listener({QStringLiteral("text"), QString::number(QCoreApplication::applicationPid())});
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));
    make();
    controller->open();
    QWidget* window = controller->codeField()->window();
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    ASSERT_TRUE(waitUntil([&] { return window->isActiveWindow(); }, 5000))
        << "the panel never took the focus";
    // The bridge sends an event kind once it has learnt that a reader listens for it.
    bool listening = false;
    for (int i = 0; i < 40 && !listening; ++i) {
        window->setAccessibleName(QStringLiteral("Quillmere %1").arg(i));
        for (std::optional<QString> line = listener.next(500); line && !listening; line = listener.next(50))
            listening = line->startsWith(QStringLiteral("object:property-change:accessible-name"));
    }
    ASSERT_TRUE(listening) << "the bridge sends no events";
    listener.until(2000, 500);

    const QString code = QStringLiteral("QM-TEST-CODE-1234");
    QLineEdit* field = controller->codeField();
    field->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == field; }, 2000));
    listener.until(1000, 300);
    PostedChanges posted(field);
    ASSERT_TRUE(posted.passesOn());
    for (const QChar character : code) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(field, &press);
    }
    ASSERT_EQ(field->text(), code);
    // A character put in and taken out again in the middle of the code.
    for (const Qt::Key key : {Qt::Key_Left, Qt::Key_Left, Qt::Key_Left, Qt::Key_Left}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(field, &press);
    }
    QKeyEvent middle(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("Z"));
    QApplication::sendEvent(field, &middle);
    QKeyEvent takeOut(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(field, &takeOut);
    ASSERT_EQ(field->text(), code);
    EXPECT_TRUE(pressKeys(field, Qt::Key_A, Qt::ControlModifier));
    QKeyEvent erase(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(field, &erase);
    ASSERT_EQ(field->text(), QString());
    QGuiApplication::clipboard()->setText(code);
    ConnectorEditing::editCommand(QStringLiteral("paste"))->trigger();
    ASSERT_EQ(field->text(), code);
    // A whole code as the connection page gives it, put in by the Paste button.
    const QString pageCode = code + QStringLiteral("_abcdefghijklmnopqrstuvwxy");
    QGuiApplication::clipboard()->setText(pageCode);
    controller->pasteCode();
    ASSERT_EQ(field->text(), pageCode);
    const QStringList lines = listener.until(15000, 2000);

    // What leaves the process of the field: events of a password field named as it is, each one's
    // text (carried and read) with no character of the code.
    int changes = 0;
    QStringList told;
    for (const QString& line : lines) {
        const QStringList fields = line.split(u'\t');
        ASSERT_EQ(fields.size(), 7) << line.toStdString();
        EXPECT_FALSE(line.contains(QStringLiteral("1234"), Qt::CaseInsensitive)) << line.toStdString();
        if (fields[1] != u"password text")
            continue;
        EXPECT_EQ(fields[2], QStringLiteral("One-use connection code")) << line.toStdString();
        for (const QString& text : {fields[3], fields[4]})
            for (const QChar character : pageCode)
                EXPECT_FALSE(text.contains(character)) << line.toStdString();
        changes += fields[0].startsWith(QStringLiteral("object:text-changed:insert"));
        for (const char* kind : {"insert", "delete"})
            if (fields[0].startsWith(QStringLiteral("object:text-changed:") + QLatin1String(kind)))
                told << QStringLiteral("%1 %2 %3").arg(QLatin1String(kind), fields[5], fields[6]);
    }
    // Each typed character, the paste and the Paste button's code were told as changes, each one
    // where and as long as Qt told it.
    EXPECT_GE(changes, int(code.size()) + 2) << lines.join(u'\n').toStdString();
    EXPECT_EQ(told, posted.changes);
    EXPECT_EQ(std::count(posted.kinds.begin(), posted.kinds.end(), QAccessible::ValueChanged), 0);
}

// The status line that holds the keyboard while Connect or Disconnect is grey never changes while
// it still has it, nor does the button pressed: the outcome would be read as the focused element's
// new name and again as said. A link that fails, one that is made, and a revocation that fails.
using ConnectorStatusOnTheBus = ConnectorWindow;

TEST_F(ConnectorStatusOnTheBus, NothingFocusedChangesItsNameWhenTheWorkEnds) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    make();
    controller->open();
    controller->ownCard()->toggleExpanded();
    controller->ownCard()->layoutIfNeeded();
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    QWidget* window = controller->panel();
    QApplication::setActiveWindow(window);
    ToldEvents told;
    const auto press = [&](QPushButton* button) {
        button->setFocus(Qt::OtherFocusReason);
        button->click();
        EXPECT_EQ(window->focusWidget(), controller->statusLabel()) << "the status line holds no keyboard";
        scheduler.advance(2);
        QCoreApplication::processEvents();
    };
    transport.fail(QStringLiteral("/widget/claim"), ConnectorFailure::rejected, 1);
    controller->pasteConnectionCode(token43);
    press(controller->connectButton());
    EXPECT_EQ(window->focusWidget(), controller->connectButton());
    transport.answer(QStringLiteral("/widget/claim"), claimBody(), 1);
    controller->pasteConnectionCode(token43);
    press(controller->connectButton());
    ASSERT_TRUE(controller->flows().credential());
    EXPECT_EQ(told.namesChangedWhileFocused(), QStringList());
    // Linked, the card is compact: opened again, its toggle is renamed as it always is.
    controller->ownCard()->toggleExpanded();
    controller->ownCard()->layoutIfNeeded();
    told.clear();
    transport.timeOut(QStringLiteral("/widget/device"));
    press(controller->disconnectButton());
    EXPECT_EQ(controller->flows().status(), ConnectorText::disconnectNotConfirmed);
    EXPECT_EQ(window->focusWidget(), controller->disconnectButton());
    EXPECT_EQ(told.namesChangedWhileFocused(), QStringList());
}

// A link that expires while the keyboard is on Disconnect: the status line takes the keyboard
// already telling what happens ("Connection expired. Removing the saved connection…"), not the
// sentence of the link that has just ended; when the saved connection is removed the keyboard goes
// to Connect and the outcome is said once.
TEST_F(ConnectorStatusOnTheBus, AnExpiringLinkTakesTheKeyboardWithItsOwnSentence) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    storage.backend.put(MemoryStorage::service, credential().encoded());
    make(true);
    controller->open();
    scheduler.advance(0);
    ASSERT_TRUE(controller->flows().credential()) << "the saved link was not restored";
    ASSERT_EQ(controller->flows().status(), ConnectorText::connected);
    controller->ownCard()->toggleExpanded();
    controller->ownCard()->layoutIfNeeded();
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    QWidget* window = controller->panel();
    QApplication::setActiveWindow(window);
    controller->disconnectButton()->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();

    storage.holdSeconds = 2; // removing the saved connection takes a while
    transport.fail(QStringLiteral("/widget/inbox"), ConnectorFailure::unauthorized);
    ax::RecordingAnnouncer said;
    std::optional<ToldEvents> focus(std::in_place);
    scheduler.advance(ConnectorLinkFlows::pollInterval);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->focusWidget(), controller->statusLabel()) << "the status line holds no keyboard";
    EXPECT_EQ(focus->namesOnTakingTheKeyboard(), QStringList{ConnectorText::expiring});
    focus.reset();
    scheduler.advance(2);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->focusWidget(), controller->connectButton()) << "the keyboard is not on Connect";
    EXPECT_EQ(said.texts(), std::vector<QString>{ConnectorText::expired});
}

// What a person using Orca hears of the connector's setup, each sentence counted in what Orca itself
// decided to speak: Connect and Disconnect pressed with Space, and a link that expires while the
// keyboard is on Disconnect. The sentence the status line shows as it takes the keyboard is heard
// once, read there; the outcome once, announced. Runs only under run-with-orca inside
// run-accessibility-bus-test with a window manager chosen.
class ConnectorHeardByOrca : public ConnectorWindow {
protected:
    // Opens the connector window with the person in it and Orca listening; `linked` with a saved
    // link restored.
    void SetUp() override {
        if (OrcaSpeech::debugFile().isEmpty() || !windowSystemTest())
            GTEST_SKIP() << "needs the Orca of run-with-orca, on the display of run-accessibility-bus-test "
                            "with a window manager chosen";
        ConnectorWindow::SetUp();
    }
    void openHeard(bool linked) {
        if (linked)
            storage.backend.put(MemoryStorage::service, credential().encoded());
        make(linked);
        controller->open();
        scheduler.advance(0);
        ASSERT_EQ(bool(controller->flows().credential()), linked);
        card = controller->ownCard();
        card->toggleExpanded();
        card->layoutIfNeeded();
        orca.emplace([this](const QString& text) { card->announce(text); });
        ASSERT_TRUE(orca->isOpen()) << "Orca's debug file cannot be read";
        ASSERT_TRUE(waitUntil([&] { return controller->panel()->isActiveWindow(); }, 5000))
            << "the panel never took the focus";
        ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
        ASSERT_TRUE(orca->listening()) << "Orca says nothing the connector announces";
    }
    // Presses Space on `button`, with what was said before left uncounted; whether it greyed.
    bool press(QPushButton* button) {
        if (!orca->readyOn(button))
            return false;
        pressKey(QStringLiteral("space"));
        return waitUntil([&] { return !button->isEnabled(); }, 3000);
    }
    // Lets the flow's work go on for `seconds` of its time.
    void workFor(double seconds) {
        scheduler.advance(seconds);
        QCoreApplication::processEvents();
    }

    RailViewController* card = nullptr;
    std::optional<OrcaSpeech> orca;
};

TEST_F(ConnectorHeardByOrca, AConnectThatFailsIsHeardOnce) {
    ASSERT_NO_FATAL_FAILURE(openHeard(false));
    transport.fail(QStringLiteral("/widget/claim"), ConnectorFailure::rejected, 1);
    controller->pasteConnectionCode(token43);
    ASSERT_TRUE(press(controller->connectButton())) << "Space did not connect";
    orca->waitFor(ConnectorText::connecting, 8000);
    workFor(2);
    EXPECT_EQ(orca->heard(ConnectorText::couldNotLink), 1) << "Orca said: " << orca->said();
    EXPECT_EQ(orca->count(ConnectorText::connecting), 1) << "Orca said: " << orca->said();
    orca->tell("Connect failing");
    EXPECT_EQ(QApplication::focusWidget(), controller->connectButton());
}

TEST_F(ConnectorHeardByOrca, AConnectThatSucceedsIsHeardOnce) {
    ASSERT_NO_FATAL_FAILURE(openHeard(false));
    transport.answer(QStringLiteral("/widget/claim"), claimBody(), 1);
    controller->pasteConnectionCode(token43);
    ASSERT_TRUE(press(controller->connectButton())) << "Space did not connect";
    orca->waitFor(ConnectorText::connecting, 8000);
    workFor(2);
    ASSERT_TRUE(controller->flows().credential()) << "the link was not made";
    EXPECT_EQ(orca->heard(ConnectorText::connected), 1) << "Orca said: " << orca->said();
    EXPECT_EQ(orca->count(ConnectorText::connecting), 1) << "Orca said: " << orca->said();
    orca->tell("Connect succeeding");
}

TEST_F(ConnectorHeardByOrca, ADisconnectIsHeardOnce) {
    ASSERT_NO_FATAL_FAILURE(openHeard(true));
    ASSERT_TRUE(press(controller->disconnectButton())) << "Space did not disconnect";
    orca->waitFor(ConnectorText::disconnecting, 8000);
    workFor(2);
    EXPECT_EQ(orca->heard(ConnectorText::disconnected), 1) << "Orca said: " << orca->said();
    EXPECT_EQ(orca->count(ConnectorText::disconnecting), 1) << "Orca said: " << orca->said();
    orca->tell("Disconnect");
    EXPECT_EQ(QApplication::focusWidget(), controller->connectButton());
}

TEST_F(ConnectorHeardByOrca, AnExpiringLinkIsHeardOnce) {
    ASSERT_NO_FATAL_FAILURE(openHeard(true));
    ASSERT_TRUE(orca->readyOn(controller->disconnectButton()));
    storage.holdSeconds = 2; // removing the saved connection takes a while
    transport.fail(QStringLiteral("/widget/inbox"), ConnectorFailure::unauthorized);
    workFor(ConnectorLinkFlows::pollInterval);
    ASSERT_EQ(QApplication::focusWidget(), controller->statusLabel()) << "the status line holds no keyboard";
    orca->waitFor(ConnectorText::expiring, 8000);
    workFor(2);
    EXPECT_EQ(orca->heard(ConnectorText::expired), 1) << "Orca said: " << orca->said();
    EXPECT_EQ(orca->count(ConnectorText::expiring), 1) << "Orca said: " << orca->said();
    orca->tell("A link expiring");
    EXPECT_EQ(QApplication::focusWidget(), controller->connectButton());
}
