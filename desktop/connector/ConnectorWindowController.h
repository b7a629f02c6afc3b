#pragma once

// The connector's window: a small floating panel holding the connector's own card, the setup
// controls (code field, buttons, status line) embedded in whichever card presents the connector,
// the link flows those controls drive, and the flow preview and synthetic recommendation used by
// demonstrations and the check suites.

#include "desktop/card/KeyboardHold.h"
#include "desktop/card/RailViewController.h"
#include "desktop/connector/ConnectorLinkFlows.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillmere {

// What a connector window talks to besides its storage; every part has a default.
struct ConnectorWindowEnvironment {
    // The transport; none builds one for the release policy over the shared HTTP client.
    ConnectorTransport* transport = nullptr;
    Scheduler* scheduler = nullptr; // the current scheduler when none
    // Opens a page in the default browser; none uses the desktop's URL handler.
    std::function<void(const QUrl&)> openURL;
};

class ConnectorWindowController final : public QObject, private ConnectorLinkView {
    Q_OBJECT
public:
    using Environment = ConnectorWindowEnvironment;

    // `preferences` none: the revocation flag's own defaults suite, named like the keychain
    // service. With `loadSaved`, the saved link is restored at once.
    ConnectorWindowController(bool loadSaved, ConnectorCredentialStorage& storage,
                              ConnectorLinkPreferences* preferences = nullptr, Environment environment = {});
    ~ConnectorWindowController() override;

    // The connector-only application (restoring the saved link) or the flow preview (an example
    // recommendation, no link possible): the controller over the shared secure store, its panel
    // open. The caller runs the event loop until the user quits. The panel is the application's
    // only way in: closing it quits the event loop too, and the caller's teardown ends the work it
    // started as a quit does.
    static std::unique_ptr<ConnectorWindowController> startApplication(bool flowPreview);

    // Called when the person closes the panel: its card's close button, Escape, or the window
    // system's close.
    std::function<void()> onClose;

    // Installs the Edit menu, takes the setup view back into the own card, and shows the panel.
    void open();
    // Presents the connector in `card` (a host widget's card, or the own card).
    void bind(RailViewController* card);
    // Fits the panel's height to the own card while it presents.
    void resizeCard();
    void prepareFlowPreview();
    // The example recommendation of the flow preview (account reference "0000000000000000").
    static ConnectorGuidance exampleGuidance();
    // Shows a guidance without network or keychain (previews and check suites).
    void showSyntheticCheck(const ConnectorGuidance& advice, const QString& accountRef);

    // Button actions.
    void connect();
    void disconnect();
    void pasteCode();
    void pasteConnectionCode(const QString& text);
    void openSetup();

    // Routes each new inbox item to a host widget's card (hosted builds); false when it could
    // not be presented.
    void setOnGuidance(std::function<bool(const ConnectorGuidance&)> onGuidance);

    QWidget* panel() const;
    RailViewController* ownCard() const { return ownCard_.get(); }
    RailViewController* presentationCard() const { return presentationCard_; }
    QWidget* connectionView() const { return connectionView_; }
    QLineEdit* codeField() const { return codeField_; }
    QLineEdit* originField() const { return originField_; }
    QLabel* statusLabel() const { return status_; }
    QLabel* accountLabel() const { return account_; }
    QLabel* adviceLabel() const { return advice_; }
    QPushButton* connectButton() const { return connectButton_; }
    QPushButton* disconnectButton() const { return disconnectButton_; }
    QPushButton* pasteButton() const { return pasteButton_; }
    QPushButton* setupButton() const { return setupButton_; }
    const std::optional<ConnectorGuidance>& lastGuidance() const { return flows_->lastGuidance(); }
    ConnectorLinkFlows& flows() const { return *flows_; }

private:
    // ConnectorLinkView
    QString originText() const override;
    void setOriginText(const QString& origin) override;
    QString codeText() const override;
    void setCodeText(const QString& code) override;
    void focusCodeField() override;
    void setStatusText(const QString& status) override;
    void setAccountText(const QString& account) override;
    void setAdviceText(const QString& advice) override;
    void setConnectEnabled(bool enabled) override;
    void setDisconnectEnabled(bool enabled) override;
    void mirrorStatus(const QString& status, bool clearAdvice) override;
    void presentGuidance(const ConnectorGuidance& guidance) override;
    void collapseCard() override;
    std::optional<QString> pasteboardText() override;
    void openPage(const QUrl& page) override;

    void setButtonEnabled(QPushButton* button, bool enabled);
    void announceStatusSoon();
    void announceStatus();
    void buildSetupView();
    void embedIn(RailViewController* card);

    std::unique_ptr<ConnectorLinkPreferences> ownPreferences_;
    std::unique_ptr<ConnectorTransport> ownTransport_;
    Environment environment_;
    QString defaultOrigin_;
    std::unique_ptr<RailViewController> ownCard_;
    QPointer<RailViewController> presentationCard_;
    class Panel;
    std::unique_ptr<Panel> panel_;
    QPointer<QWidget> connectionView_;
    QLabel* status_ = nullptr;
    QLabel* account_ = nullptr;
    QLabel* advice_ = nullptr;
    QLineEdit* originField_ = nullptr;
    QLineEdit* codeField_ = nullptr;
    QPushButton* pasteButton_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* setupButton_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
    std::unique_ptr<ConnectorLinkFlows> flows_;
    KeyboardHold keyboard_;
    // The status sentence last said (or there from the start), whether saying one is due, and
    // whether the status line took the keyboard since it was last said.
    QString heard_;
    bool announcing_ = false;
    bool statusTookKeyboard_ = false;
};

} // namespace quillmere
