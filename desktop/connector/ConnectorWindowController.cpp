#include "desktop/connector/ConnectorWindowController.h"

#include "desktop/card/CardPalette.h"
#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"
#include "desktop/connector/ConnectorCodeField.h"
#include "desktop/connector/ConnectorEditing.h"
#include "desktop/connector/ConnectorRelease.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <utility>

namespace quillmere {

namespace {

constexpr int contentWidth = 340;
constexpr int contentHeight = 170;
const QSize minimumContent(280, 124);

const QString localOrigin = QStringLiteral("http://127.0.0.1:18888");

QString defaultOrigin(const ConnectorPolicy& policy) {
    switch (buildMode(policy)) {
    case ConnectorBuildMode::hosted:
        return *policy->hostedOrigin();
    case ConnectorBuildMode::local:
        return localOrigin;
    case ConnectorBuildMode::invalid:
        break;
    }
    return QString();
}

QString colour(const QColor& c) {
    return c.name(QColor::HexRgb);
}

QLabel* wrappingLabel(QWidget* parent, int pixelSize) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    label->setFont(font);
    return label;
}

// Every button and field in the tree, for the flow preview, which allows no link.
void disableControls(QWidget* root) {
    for (QWidget* child : root->findChildren<QWidget*>())
        if (qobject_cast<QPushButton*>(child) || qobject_cast<QLineEdit*>(child))
            child->setEnabled(false);
}

} // namespace

// The floating panel: a frameless tool window above other windows that holds the own card and
// follows its wanted height. The card's background drags it.
class ConnectorWindowController::Panel final : public QWidget {
public:
    Panel() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
        setWindowTitle(QStringLiteral("Quillmere"));
        setAttribute(Qt::WA_TranslucentBackground);
        setMinimumSize(minimumContent);
        resize(contentWidth, contentHeight);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }
    void setContent(QWidget* content) { layout()->addWidget(content); }
    // The window system's close (the panel has no close button of its own).
    std::function<void()> onClosed;

protected:
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (event->isAccepted() && onClosed)
            onClosed();
    }
};

ConnectorWindowController::ConnectorWindowController(bool loadSaved, ConnectorCredentialStorage& storage,
                                                     ConnectorLinkPreferences* preferences,
                                                     Environment environment)
    : environment_(std::move(environment)) {
    if (!preferences) {
        ownPreferences_ = std::make_unique<DefaultsLinkPreferences>(ConnectorKeychain::service());
        preferences = ownPreferences_.get();
    }
    ConnectorTransport* transport = environment_.transport;
    if (!transport) {
        ownTransport_ = std::make_unique<ConnectorTransport>(ConnectorRelease::policy());
        transport = ownTransport_.get();
    }
    Scheduler& scheduler = environment_.scheduler ? *environment_.scheduler : Scheduler::current();

    buildSetupView();
    defaultOrigin_ = defaultOrigin(transport->policy());
    originField_->setText(defaultOrigin_);
    flows_ = std::make_unique<ConnectorLinkFlows>(static_cast<ConnectorLinkView&>(*this), *transport, storage,
                                                  *preferences, scheduler);
    // The first sentence is there when the setup shows; only its changes are said.
    status_->setText(flows_->status());
    heard_ = flows_->status();

    panel_ = std::make_unique<Panel>();
    ownCard_ = std::make_unique<RailViewController>();
    panel_->setContent(ownCard_->view());
    ownCard_->onContentChanged = [this] { resizeCard(); };
    ownCard_->onExpand = [this](bool) { resizeCard(); };
    ownCard_->onClose = [this] {
        panel_->hide();
        if (onClose)
            onClose();
    };
    panel_->onClosed = [this] {
        if (onClose)
            onClose();
    };
    embedIn(ownCard_.get());

    disconnectButton_->setEnabled(false);
    if (loadSaved)
        flows_->restore();
}

ConnectorWindowController::~ConnectorWindowController() {
    flows_.reset();
    // The setup view may sit in a host widget's card; it is ours to delete.
    delete connectionView_.data();
    if (presentationCard_ && presentationCard_ != ownCard_.get())
        presentationCard_->detachConnector();
    ownCard_.reset();
}

std::unique_ptr<ConnectorWindowController> ConnectorWindowController::startApplication(bool flowPreview) {
    auto controller =
        std::make_unique<ConnectorWindowController>(!flowPreview, ConnectorSecureStore::shared());
    if (flowPreview)
        controller->prepareFlowPreview();
    // Quits once the close itself has been handled, as a quit from elsewhere would, and once the
    // keys that closed the window have reached it: Qt's accessibility bridge holds each key event
    // while it asks the bus whether a screen reader takes it (for up to a tenth of a second), and
    // an application that ends meanwhile never frees the events it still holds.
    controller->onClose = [] {
        constexpr int heldKeysMilliseconds = 300;
        QTimer::singleShot(heldKeysMilliseconds, qApp, &QCoreApplication::quit);
    };
    controller->open();
    return controller;
}

void ConnectorWindowController::buildSetupView() {
    auto* view = new QWidget();
    view->setObjectName(QStringLiteral("connector-setup"));
    // The view itself is no stop of the keyboard: its controls are, in the order embedIn threads.
    view->setFocusPolicy(Qt::NoFocus);
    view->setStyleSheet(
        QStringLiteral("QLabel { color: %1; background: transparent; }"
                       "QPushButton { color: %2; background: %3; border: 1px solid %4; border-radius: 6px;"
                       " padding: 3px 10px; font-size: 12px; }"
                       "QPushButton:disabled { color: %1; background: %5; }"
                       "QLineEdit { color: %2; background: %5; border: 1px solid %4; border-radius: 6px;"
                       " padding: 3px 6px; font-size: 12px; }")
            .arg(colour(CardPalette::muted), colour(CardPalette::primary), colour(CardPalette::border),
                 colour(CardPalette::border), colour(CardPalette::detailBackground)));
    auto* stack = new QVBoxLayout(view);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);

    auto* header = new QLabel(QStringLiteral("CHATGPT CONNECTION"), view);
    QFont headerFont = header->font();
    headerFont.setPixelSize(11);
    headerFont.setWeight(QFont::DemiBold);
    header->setFont(headerFont);
    stack->addWidget(header);

    QLabel* explanation = wrappingLabel(view, 12);
    explanation->setText(
        QStringLiteral("Use your existing Quillmere widget. Open the connection page, sign in, "
                       "then paste its one-use code here."));
    stack->addWidget(explanation);

    auto* codeRow = new QHBoxLayout();
    codeRow->setSpacing(6);
    codeField_ = new QLineEdit(view);
    codeField_->setEchoMode(QLineEdit::Password);
    codeField_->setPlaceholderText(QStringLiteral("One-use connection code"));
    codeField_->setAccessibleName(QStringLiteral("One-use connection code"));
    codeField_->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    ConnectorCodeField::keepSecret(codeField_);
    pasteButton_ = new QPushButton(QStringLiteral("Paste"), view);
    connectButton_ = new QPushButton(QStringLiteral("Connect"), view);
    codeRow->addWidget(codeField_, 1);
    codeRow->addWidget(pasteButton_);
    codeRow->addWidget(connectButton_);
    stack->addLayout(codeRow);

    auto* pageRow = new QHBoxLayout();
    pageRow->setSpacing(10);
    setupButton_ = new QPushButton(QStringLiteral("Open connection page"), view);
    disconnectButton_ = new QPushButton(QStringLiteral("Disconnect"), view);
    pageRow->addWidget(setupButton_);
    pageRow->addWidget(disconnectButton_);
    pageRow->addStretch(1);
    stack->addLayout(pageRow);

    status_ = wrappingLabel(view, 11);
    status_->setObjectName(QStringLiteral("connector-status"));
    stack->addWidget(status_);
    stack->addStretch(1);

    // Held values the flows and check suites read and write; never placed in a view.
    originField_ = new QLineEdit(view);
    originField_->hide();
    account_ = wrappingLabel(view, 11);
    account_->hide();
    advice_ = wrappingLabel(view, 11);
    advice_->hide();
    for (QWidget* held : {static_cast<QWidget*>(originField_), static_cast<QWidget*>(account_),
                          static_cast<QWidget*>(advice_)})
        stack->removeWidget(held);

    QObject::connect(pasteButton_, &QPushButton::clicked, this, [this] { pasteCode(); });
    QObject::connect(connectButton_, &QPushButton::clicked, this, [this] { connect(); });
    QObject::connect(setupButton_, &QPushButton::clicked, this, [this] { openSetup(); });
    QObject::connect(disconnectButton_, &QPushButton::clicked, this, [this] { disconnect(); });
    connectionView_ = view;
}

// ---------------------------------------------------------------------------------------------
// Presentation

void ConnectorWindowController::embedIn(RailViewController* card) {
    if (!connectionView_) {
        // The setup view went with a card destroyed while it presented: build it again.
        buildSetupView();
        const std::optional<ConnectorCredential>& held = flows_->credential();
        originField_->setText(held ? held->origin : defaultOrigin_);
        status_->setText(flows_->status());
        const bool revoking = flows_->pendingRevocation().has_value();
        connectButton_->setEnabled(!held && !revoking);
        disconnectButton_->setEnabled(held || revoking);
    }
    // The setup view's own keyboard order, which the card's loop passes through after its close
    // button; set before the card lays itself out. "Disconnect" leads back to the expand button.
    QWidget* const order[] = {connectionView_.data(), setupButton_,   codeField_,
                              pasteButton_,           connectButton_, disconnectButton_};
    for (size_t i = 1; i < std::size(order); ++i)
        card->setNextKeyView(order[i - 1], order[i]);
    card->setNextKeyView(disconnectButton_, card->expandButton());
    card->setPlatform(AIProvider::openAI);
    card->configureConnector(connectionView_);
    presentationCard_ = card;
}

void ConnectorWindowController::open() {
    ConnectorEditing::installMenu();
    ConnectorEditing::attachMenu(panel_.get());
    if (presentationCard_ != ownCard_.get())
        bind(ownCard_.get());
    resizeCard();
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
}

void ConnectorWindowController::bind(RailViewController* card) {
    if (!card)
        return;
    ConnectorEditing::installMenu();
    // The menu's keys reach the focused field in whichever card presents the connector.
    ConnectorEditing::attachMenu(card->view());
    if (presentationCard_ != card) {
        if (presentationCard_)
            presentationCard_->detachConnector();
        embedIn(card);
        if (card != ownCard_.get())
            panel_->hide();
    }
    flows_->mirror();
    if (const std::optional<ConnectorGuidance>& guidance = flows_->lastGuidance())
        card->showConnectorGuidance(*guidance);
}

void ConnectorWindowController::resizeCard() {
    if (presentationCard_ && presentationCard_ != ownCard_.get())
        return;
    const int width = panel_->width();
    const int height = int(std::ceil(ownCard_->preferredHeight(width)));
    // The top edge stays where it is.
    panel_->resize(width, std::max(height, minimumContent.height()));
}

void ConnectorWindowController::showSyntheticCheck(const ConnectorGuidance& advice,
                                                   const QString& accountRef) {
    flows_->setStatus(QStringLiteral("SYNTHETIC TEST · Recommendation received from local connector."));
    account_->setText(QStringLiteral("Synthetic account reference: ") + accountRef);
    advice_->setText(ConnectorText::advice(advice, false));
    flows_->adoptSyntheticGuidance(advice);
}

ConnectorGuidance ConnectorWindowController::exampleGuidance() {
    ConnectorGuidance example;
    example.id = QStringLiteral("a7112426-1440-47d6-840d-e88ac98297a8");
    example.provider = QStringLiteral("openai");
    example.policy_source = QStringLiteral("quillmere_backend_advisory_v1");
    example.model_family = QStringLiteral("GPT-6.1 Sol");
    example.reasoning = QStringLiteral("High");
    example.rationale = QStringLiteral(
        "Fits debugging across frontend initialization and API loading, followed by a regression test.");
    return example;
}

void ConnectorWindowController::prepareFlowPreview() {
    showSyntheticCheck(exampleGuidance(), QStringLiteral("0000000000000000"));
    flows_->setStatus(QStringLiteral("PREVIEW · Example recommendation. No account connected."));
    panel_->setWindowTitle(QStringLiteral("Quillmere · Local preview"));
    if (RailViewController* card = presentationCard_) {
        card->setConnectorPreview(true);
        cardview::setAccessibilityLabel(card->view(),
                                        QStringLiteral("Quillmere local preview — example recommendation"));
        card->refresh();
    }
    disableControls(connectionView_);
    flows_->mirror();
}

// ---------------------------------------------------------------------------------------------
// Actions

void ConnectorWindowController::connect() {
    flows_->connect();
}
void ConnectorWindowController::disconnect() {
    flows_->disconnect();
}
void ConnectorWindowController::pasteCode() {
    flows_->pasteCode();
}
void ConnectorWindowController::pasteConnectionCode(const QString& text) {
    flows_->pasteConnectionCode(text);
}
void ConnectorWindowController::openSetup() {
    flows_->openSetup();
}
void ConnectorWindowController::setOnGuidance(std::function<bool(const ConnectorGuidance&)> onGuidance) {
    flows_->onGuidance = std::move(onGuidance);
}

QWidget* ConnectorWindowController::panel() const {
    return panel_.get();
}

// ---------------------------------------------------------------------------------------------
// ConnectorLinkView

QString ConnectorWindowController::originText() const {
    if (!connectionView_)
        return QString();
    return originField_->text();
}
void ConnectorWindowController::setOriginText(const QString& origin) {
    if (!connectionView_)
        return;
    originField_->setText(origin);
}
QString ConnectorWindowController::codeText() const {
    if (!connectionView_)
        return QString();
    return codeField_->text();
}
void ConnectorWindowController::setCodeText(const QString& code) {
    if (!connectionView_)
        return;
    codeField_->setText(code);
}
void ConnectorWindowController::focusCodeField() {
    if (!connectionView_)
        return;
    if (QWidget* window = codeField_->window())
        window->activateWindow();
    codeField_->setFocus(Qt::OtherFocusReason);
}
void ConnectorWindowController::setStatusText(const QString& status) {
    if (!connectionView_)
        return;
    status_->setText(status);
    announceStatusSoon();
}

// Said once the flow's step is over, when it is known whether the status line took the keyboard.
void ConnectorWindowController::announceStatusSoon() {
    if (!announcing_) {
        announcing_ = true;
        QTimer::singleShot(0, this, [this] { announceStatus(); });
    }
}

// A status sentence is said through the presenting card, made plain and bounded as the card's
// texts are, and never twice in a row. When the status line took the keyboard of a person whose
// button greyed itself during this step, in the active window, a screen reader reads the line as it
// takes it, with the sentence it shows by then, so the sentence is not said again. A sentence that
// replaces it while the line keeps the keyboard is said: a screen reader does not read a focused
// label's new text.
void ConnectorWindowController::announceStatus() {
    announcing_ = false;
    const bool readAsFocused = std::exchange(statusTookKeyboard_, false);
    if (!connectionView_)
        return;
    const QString status = status_->text();
    if (status == heard_)
        return;
    heard_ = status;
    if (!readAsFocused && presentationCard_)
        presentationCard_->announce(cardBoundedText(status, false, cardSpokenLimit(cardTextDefaultLimit)));
}
void ConnectorWindowController::setAccountText(const QString& account) {
    if (!connectionView_)
        return;
    account_->setText(account);
}
void ConnectorWindowController::setAdviceText(const QString& advice) {
    if (!connectionView_)
        return;
    advice_->setText(advice);
}
void ConnectorWindowController::setConnectEnabled(bool enabled) {
    setButtonEnabled(connectButton_, enabled);
}
void ConnectorWindowController::setDisconnectEnabled(bool enabled) {
    setButtonEnabled(disconnectButton_, enabled);
}
// A button greying itself while it has the keyboard hands it to the status line, which tells the
// progress; the keyboard goes back once a control of the setup is offered again.
void ConnectorWindowController::setButtonEnabled(QPushButton* button, bool enabled) {
    if (!connectionView_)
        return;
    if (!enabled &&
        keyboard_.hold({button}, status_,
                       {setupButton_, codeField_, pasteButton_, connectButton_, disconnectButton_})) {
        // Whatever the line shows once the step is over is read as it takes the keyboard.
        statusTookKeyboard_ = true;
        announceStatusSoon();
    }
    button->setEnabled(enabled);
    if (enabled)
        keyboard_.release();
}
void ConnectorWindowController::mirrorStatus(const QString& status, bool clearAdvice) {
    if (presentationCard_)
        presentationCard_->showConnectorState(status, clearAdvice);
}
void ConnectorWindowController::presentGuidance(const ConnectorGuidance& guidance) {
    if (presentationCard_)
        presentationCard_->showConnectorGuidance(guidance);
}
void ConnectorWindowController::collapseCard() {
    if (presentationCard_)
        presentationCard_->collapse();
}
std::optional<QString> ConnectorWindowController::pasteboardText() {
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isNull())
        return std::nullopt;
    return text;
}
void ConnectorWindowController::openPage(const QUrl& page) {
    if (environment_.openURL)
        environment_.openURL(page);
    else
        QDesktopServices::openUrl(page);
}

} // namespace quillmere
