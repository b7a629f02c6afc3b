#pragma once

// The link between this application and one web widget account: restoring a saved link, pairing
// by a one-use code, polling the inbox every 10 s, expiry, and disconnecting (revoking the device
// on the service before the credential is forgotten).
//
// Every asynchronous step captures the generation and drops its result when the generation moved
// on; a stale successful claim is revoked at once. The flows reach the window only through
// ConnectorLinkView, so each edge case can be exercised without widgets.

#include "desktop/connector/ConnectorSecureStore.h"
#include "desktop/connector/ConnectorTransport.h"
#include "platform/tasks/Scheduler.h"
#include "platform/tasks/Task.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

namespace quillmere {

namespace ConnectorText {
inline const QString initial =
    QStringLiteral("No widget linked. Create a pairing code on the connector page.");
inline const QString restoring = QStringLiteral("Restoring the saved connection…");
inline const QString revocationPending =
    QStringLiteral("A previous disconnect needs confirmation. Retry Disconnect. No inbox is polled.");
inline const QString unavailable =
    QStringLiteral("Saved connection is unavailable or expired. Create a new pairing code to reconnect.");
inline const QString retryDisconnectFirst =
    QStringLiteral("Retry Disconnect before linking another account.");
inline const QString disconnectFirst =
    QStringLiteral("Disconnect the current widget before linking another account.");
inline const QString enterAddressAndCode =
    QStringLiteral("Enter the connector address and a valid one-use code.");
inline const QString connecting = QStringLiteral("Connecting Quillmere…");
inline const QString couldNotLink =
    QStringLiteral("Could not link or securely save the widget. Create a fresh pairing code and retry.");
inline const QString connected = QStringLiteral("Connected to ChatGPT. Ready for your next recommendation.");
inline const QString received = QStringLiteral("Recommendation received from the connector.");
inline const QString reconnecting = QStringLiteral("Reconnecting. Your last recommendation is kept.");
inline const QString expiring = QStringLiteral("Connection expired. Removing the saved connection…");
inline const QString expired =
    QStringLiteral("Link expired or was revoked. Create a new pairing code to reconnect.");
inline const QString expiredNotRemoved = QStringLiteral(
    "Connection expired. Saved credential could not be removed; no inbox is polled and no account guidance "
    "remains.");
inline const QString disconnecting = QStringLiteral("Disconnecting Quillmere…");
inline const QString disconnected = QStringLiteral("Widget disconnected. Server access revoked.");
inline const QString disconnectNotConfirmed = QStringLiteral(
    "Disconnection not confirmed. Retry Disconnect; the saved credential is retained only to revoke it.");
inline const QString codePasted = QStringLiteral("Code pasted. Click Connect to link this widget.");
inline const QString freshCode =
    QStringLiteral("Copy a fresh one-use connection code from the connection page.");
inline const QString copyCodeFirst =
    QStringLiteral("Copy the one-use pairing code from the connector page, then click Paste code.");
inline const QString addressUnavailable =
    QStringLiteral("The connector address is unavailable. Check your Quillmere installation.");

inline const QString adviceInitial =
    QStringLiteral("Recommendations received from the connector will appear here.");
inline const QString adviceWaiting = QStringLiteral("Waiting for a connector recommendation…");
inline const QString adviceNone = QStringLiteral("No active connector recommendation.");

// "<application> · <model> · <effort>\n\n<rationale>\n\n<source>. Availability and savings have
// not been verified."; the application name is left out when `withApplication` is false.
QString advice(const ConnectorGuidance& guidance, bool withApplication);
// "Account reference: <ref>", marked when the account is a synthetic test account.
QString accountLabel(const ConnectorCredential& credential);
} // namespace ConnectorText

// What the flows change in the window and on the presenting card.
class ConnectorLinkView {
public:
    virtual ~ConnectorLinkView() = default;
    virtual QString originText() const = 0;
    virtual void setOriginText(const QString& origin) = 0;
    virtual QString codeText() const = 0;
    virtual void setCodeText(const QString& code) = 0;
    // Gives the code field the keyboard focus of its window.
    virtual void focusCodeField() = 0;
    virtual void setStatusText(const QString& status) = 0;
    virtual void setAccountText(const QString& account) = 0;
    virtual void setAdviceText(const QString& advice) = 0;
    virtual void setConnectEnabled(bool enabled) = 0;
    virtual void setDisconnectEnabled(bool enabled) = 0;
    // showConnectorState on the presenting card, when there is one.
    virtual void mirrorStatus(const QString& status, bool clearAdvice) = 0;
    // showConnectorGuidance on the presenting card.
    virtual void presentGuidance(const ConnectorGuidance& guidance) = 0;
    virtual void collapseCard() = 0;
    virtual std::optional<QString> pasteboardText() = 0;
    virtual void openPage(const QUrl& page) = 0;
};

class ConnectorLinkFlows : public QObject {
    Q_OBJECT
public:
    static constexpr double pollInterval = 10.0;

    ConnectorLinkFlows(ConnectorLinkView& view, ConnectorTransport& transport,
                       ConnectorCredentialStorage& storage, ConnectorLinkPreferences& preferences,
                       Scheduler& scheduler = Scheduler::current());
    ~ConnectorLinkFlows() override;

    void restore();
    void connect();
    void disconnect();
    void pasteCode();
    void pasteConnectionCode(const QString& text);
    void openSetup();
    // Shows a guidance that touched no network or keychain (previews and check suites).
    void adoptSyntheticGuidance(const ConnectorGuidance& guidance);

    const QString& status() const { return status_; }
    // Sets the status label without mirroring it on the card.
    void setStatus(const QString& status);
    const std::optional<ConnectorCredential>& credential() const { return credential_; }
    const std::optional<ConnectorCredential>& pendingRevocation() const { return pendingRevocation_; }
    const std::optional<ConnectorGuidance>& lastGuidance() const { return lastGuidance_; }
    const std::optional<QString>& lastID() const { return lastID_; }
    quint64 generation() const { return generation_.current(); }
    bool isPolling() const { return timer_.has_value(); }
    bool pollInFlight() const { return pollTask_.has_value(); }
    void mirror(bool clearAdvice = false);

    // Set by the shell in hosted builds to route guidance to a host widget's card; false means it
    // could not be presented, and the item is offered again on the next poll.
    std::function<bool(const ConnectorGuidance&)> onGuidance;

private:
    void beginPolling();
    void scheduleTick();
    void poll();
    void stopTimer();
    void expireConnection();
    void showLinked(const ConnectorCredential& credential);
    // Revokes a device the flows will not keep; the outcome does not matter.
    void revokeQuietly(const ConnectorCredential& credential);

    QCoro::Task<void> runRestore(quint64 ticket, CancelToken cancel);
    QCoro::Task<void> runConnect(quint64 ticket, CancelToken cancel, QString origin, QString code);
    QCoro::Task<void> runPoll(quint64 ticket, CancelToken cancel, ConnectorCredential credential);
    QCoro::Task<void> runExpiry(quint64 ticket, CancelToken cancel);
    QCoro::Task<void> runDisconnect(quint64 ticket, CancelToken cancel,
                                    std::optional<ConnectorCredential> target);

    ConnectorLinkView& view_;
    ConnectorTransport& transport_;
    ConnectorCredentialStorage& storage_;
    ConnectorLinkPreferences& preferences_;
    Scheduler& scheduler_;

    QString status_;
    std::optional<ConnectorCredential> credential_;
    std::optional<Scheduler::TimerID> timer_;
    std::optional<CancelToken> pollTask_;
    CancelToken operation_;
    Generation generation_;
    std::optional<QString> lastID_;
    std::optional<ConnectorCredential> pendingRevocation_;
    std::optional<ConnectorGuidance> lastGuidance_;
};

} // namespace quillmere
