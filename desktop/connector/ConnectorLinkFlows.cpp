#include "desktop/connector/ConnectorLinkFlows.h"

#include "desktop/card/CardViews.h"
#include "platform/tasks/TaskCancelled.h"

#include <QPointer>
#include <QStringList>

namespace quillmere {

namespace ConnectorText {

QString advice(const ConnectorGuidance& guidance, bool withApplication) {
    // The service's words go through the card's one cleaning step, as on the card: no control
    // character or direction override of theirs reaches the window, and the setting stays on its
    // line.
    const QString family = cardDisplayText(guidance.model_family, false);
    const QString reasoning = cardDisplayText(guidance.reasoning, false);
    const QString rationale = cardDisplayText(guidance.rationale, true);
    const QString source = guidance.policy_source == u"quillmere_backend_advisory_v1"
                               ? QStringLiteral("Quillmere recommendation engine")
                               : QStringLiteral("Local test policy");
    QString text;
    if (withApplication)
        text = (guidance.provider == u"openai" ? QStringLiteral("ChatGPT") : QStringLiteral("Claude")) +
               QStringLiteral(" · ");
    return text + family + QStringLiteral(" · ") + reasoning + QStringLiteral("\n\n") + rationale +
           QStringLiteral("\n\n") + source +
           QStringLiteral(". Availability and savings have not been verified.");
}

QString accountLabel(const ConnectorCredential& credential) {
    QString label = QStringLiteral("Account reference: ") + credential.account_ref;
    if (credential.account_source == u"local_test")
        label += QStringLiteral(" · SYNTHETIC TEST ACCOUNT");
    return label;
}

} // namespace ConnectorText

namespace {

bool endsLink(const ConnectorFailure& failure) {
    return failure.kind() == ConnectorFailure::unauthorized ||
           failure.kind() == ConnectorFailure::invalidCredential;
}

// A revoke this build can never send: the stored origin is refused by the current policy, or the
// stored token is malformed. Retrying cannot help.
bool refusedBeforeSending(const ConnectorFailure& failure) {
    return failure.kind() == ConnectorFailure::invalidOrigin ||
           failure.kind() == ConnectorFailure::invalidCredential;
}

} // namespace

ConnectorLinkFlows::ConnectorLinkFlows(ConnectorLinkView& view, ConnectorTransport& transport,
                                       ConnectorCredentialStorage& storage,
                                       ConnectorLinkPreferences& preferences, Scheduler& scheduler)
    : view_(view), transport_(transport), storage_(storage), preferences_(preferences), scheduler_(scheduler),
      status_(ConnectorText::initial) {}

ConnectorLinkFlows::~ConnectorLinkFlows() {
    stopTimer();
    operation_.cancel();
    if (pollTask_)
        pollTask_->cancel();
}

void ConnectorLinkFlows::setStatus(const QString& status) {
    status_ = status;
    view_.setStatusText(status);
}

void ConnectorLinkFlows::mirror(bool clearAdvice) {
    view_.mirrorStatus(status_, clearAdvice);
}

void ConnectorLinkFlows::stopTimer() {
    if (timer_)
        scheduler_.cancel(*timer_);
    timer_.reset();
}

void ConnectorLinkFlows::showLinked(const ConnectorCredential& credential) {
    credential_ = credential;
    view_.setOriginText(credential.origin);
    view_.setAccountText(ConnectorText::accountLabel(credential));
    view_.setDisconnectEnabled(true);
}

void ConnectorLinkFlows::revokeQuietly(const ConnectorCredential& credential) {
    spawn(QStringLiteral("connector revoke"),
          [this, self = QPointer(this), credential]() -> QCoro::Task<void> {
              if (!self)
                  co_return;
              try {
                  co_await transport_.revoke(credential);
              } catch (...) {
              }
          });
}

// ---------------------------------------------------------------------------------------------
// Restore

void ConnectorLinkFlows::restore() {
    view_.setConnectEnabled(false);
    setStatus(ConnectorText::restoring);
    const quint64 ticket = generation_.current();
    operation_ = CancelToken();
    spawn(QStringLiteral("connector restore"),
          [this, self = QPointer(this), ticket, cancel = operation_]() -> QCoro::Task<void> {
              if (self)
                  co_await runRestore(ticket, cancel);
          });
}

QCoro::Task<void> ConnectorLinkFlows::runRestore(quint64 ticket, CancelToken cancel) {
    QPointer<ConnectorLinkFlows> alive(this);
    std::optional<ConnectorCredential> stored;
    bool failed = false;
    try {
        stored = co_await storage_.load(false);
    } catch (...) {
        failed = true;
    }
    if (!alive)
        co_return;
    if (!generation_.isCurrent(ticket) || cancel.isCancelled()) {
        mirror();
        co_return;
    }
    const bool flag = preferences_.revocationPending();
    if (failed) {
        setStatus(ConnectorText::unavailable);
        view_.setDisconnectEnabled(flag);
    } else if (!stored) {
        preferences_.removeRevocationPending();
        setStatus(ConnectorText::initial);
    } else if (flag) {
        pendingRevocation_ = stored;
        view_.setDisconnectEnabled(true);
        setStatus(ConnectorText::revocationPending);
        mirror();
        co_return;
    } else {
        try {
            ConnectorBoundary::validate(*stored, stored->origin, transport_.clock().now(),
                                        transport_.policy());
            showLinked(*stored);
            beginPolling();
        } catch (const ConnectorFailure&) {
            setStatus(ConnectorText::unavailable);
            view_.setDisconnectEnabled(flag);
        }
    }
    if (generation_.isCurrent(ticket)) {
        view_.setConnectEnabled(!credential_ && !preferences_.revocationPending());
        mirror();
    }
}

// ---------------------------------------------------------------------------------------------
// Connect

void ConnectorLinkFlows::connect() {
    if (pendingRevocation_) {
        setStatus(ConnectorText::retryDisconnectFirst);
        return;
    }
    if (credential_) {
        setStatus(ConnectorText::disconnectFirst);
        return;
    }
    const std::optional<QString> code = ConnectorEditing::pairingCode(view_.codeText());
    QString origin;
    try {
        origin = ConnectorBoundary::validatedOrigin(transport_.policy(), view_.originText());
    } catch (const ConnectorFailure&) {
        setStatus(ConnectorText::enterAddressAndCode);
        return;
    }
    if (!code) {
        setStatus(ConnectorText::enterAddressAndCode);
        return;
    }
    view_.setCodeText(QString());
    const quint64 ticket = generation_.advance();
    // The status line tells the progress before Connect greys itself and hands it the keyboard.
    setStatus(ConnectorText::connecting);
    view_.setConnectEnabled(false);
    lastID_.reset();
    view_.setAdviceText(ConnectorText::adviceWaiting);
    view_.setAccountText(QString());
    lastGuidance_.reset();
    mirror(true);
    operation_ = CancelToken();
    spawn(QStringLiteral("connector connect"),
          [this, self = QPointer(this), ticket, cancel = operation_, origin,
           code = *code]() -> QCoro::Task<void> {
              if (self)
                  co_await runConnect(ticket, cancel, origin, code);
          });
}

QCoro::Task<void> ConnectorLinkFlows::runConnect(quint64 ticket, CancelToken cancel, QString origin,
                                                 QString code) {
    QPointer<ConnectorLinkFlows> alive(this);
    std::optional<ConnectorCredential> claimed;
    try {
        // Not cancelled with the operation: a claim the service may already have granted must
        // come back so that its device can be revoked.
        claimed = co_await transport_.claim(origin, code);
    } catch (...) {
    }
    if (!alive)
        co_return;
    const auto couldNotLink = [this, ticket] {
        if (!generation_.isCurrent(ticket))
            return;
        // Connect has the keyboard back before the status line changes, so the failure is said once.
        view_.setConnectEnabled(true);
        setStatus(ConnectorText::couldNotLink);
        mirror();
    };
    if (!claimed) {
        couldNotLink();
        co_return;
    }
    if (!generation_.isCurrent(ticket) || cancel.isCancelled()) {
        revokeQuietly(*claimed);
        co_return;
    }
    bool saved = true;
    try {
        co_await storage_.save(*claimed);
    } catch (...) {
        saved = false;
    }
    if (!alive)
        co_return;
    if (!saved) {
        revokeQuietly(*claimed);
        couldNotLink();
        co_return;
    }
    if (!generation_.isCurrent(ticket) || cancel.isCancelled()) {
        revokeQuietly(*claimed);
        co_return;
    }
    showLinked(*claimed);
    beginPolling();
    if (generation_.isCurrent(ticket)) {
        view_.setConnectEnabled(false);
        mirror();
        view_.collapseCard();
    }
}

// ---------------------------------------------------------------------------------------------
// Polling

void ConnectorLinkFlows::beginPolling() {
    stopTimer();
    poll();
    scheduleTick();
}

void ConnectorLinkFlows::scheduleTick() {
    // A repeating timer: each tick schedules the next.
    timer_ = scheduler_.schedule(pollInterval, [self = QPointer(this)] {
        if (!self || !self->timer_)
            return;
        self->scheduleTick();
        self->poll();
    });
}

void ConnectorLinkFlows::poll() {
    if (pollTask_ || !credential_)
        return;
    const quint64 ticket = generation_.current();
    pollTask_ = CancelToken();
    spawn(QStringLiteral("connector poll"),
          [this, self = QPointer(this), ticket, cancel = *pollTask_,
           credential = *credential_]() -> QCoro::Task<void> {
              if (self)
                  co_await runPoll(ticket, cancel, credential);
          });
}

QCoro::Task<void> ConnectorLinkFlows::runPoll(quint64 ticket, CancelToken cancel,
                                              ConnectorCredential credential) {
    QPointer<ConnectorLinkFlows> alive(this);
    const auto stale = [&] { return !alive || !generation_.isCurrent(ticket) || cancel.isCancelled(); };
    const auto finish = [&] {
        if (alive && generation_.isCurrent(ticket))
            pollTask_.reset();
    };
    std::optional<ConnectorFailure> failure;
    bool transient = false;
    try {
        const ConnectorInbox inbox = co_await transport_.inbox(credential, cancel);
        if (stale()) {
            finish();
            co_return;
        }
        setStatus(ConnectorText::connected);
        if (!inbox.items.isEmpty()) {
            const ConnectorGuidance& newest = inbox.items.back();
            if (newest.id != lastID_) {
                if (onGuidance && !onGuidance(newest)) {
                    pollTask_.reset();
                    co_return;
                }
                lastID_ = newest.id;
                lastGuidance_ = newest;
                view_.presentGuidance(newest);
                view_.setAdviceText(ConnectorText::advice(newest, true));
                setStatus(ConnectorText::received);
            }
        }
        mirror();
        if (!inbox.items.isEmpty()) {
            QStringList ids;
            for (const ConnectorGuidance& item : inbox.items)
                ids.append(item.id);
            co_await transport_.acknowledge(credential, ids, cancel);
        }
        finish();
        co_return;
    } catch (const ConnectorFailure& error) {
        failure = error;
    } catch (const TaskCancelled&) {
        finish();
        co_return;
    } catch (...) {
        transient = true;
    }
    if (stale()) {
        finish();
        co_return;
    }
    if (failure && endsLink(*failure)) {
        expireConnection();
        co_return;
    }
    Q_UNUSED(transient);
    setStatus(ConnectorText::reconnecting);
    mirror();
    finish();
}

// ---------------------------------------------------------------------------------------------
// Expiry

void ConnectorLinkFlows::expireConnection() {
    const quint64 ticket = generation_.advance();
    stopTimer();
    pollTask_.reset(); // not cancelled: its result is dropped by the generation check
    credential_.reset();
    lastID_.reset();
    view_.setAdviceText(ConnectorText::adviceNone);
    view_.setAccountText(QString());
    // The status line tells what happens before Disconnect greys itself and hands it the keyboard.
    setStatus(ConnectorText::expiring);
    view_.setConnectEnabled(false);
    view_.setDisconnectEnabled(false);
    lastGuidance_.reset();
    mirror(true);
    operation_ = CancelToken();
    spawn(QStringLiteral("connector expiry"),
          [this, self = QPointer(this), ticket, cancel = operation_]() -> QCoro::Task<void> {
              if (self)
                  co_await runExpiry(ticket, cancel);
          });
}

QCoro::Task<void> ConnectorLinkFlows::runExpiry(quint64 ticket, CancelToken cancel) {
    QPointer<ConnectorLinkFlows> alive(this);
    bool cleared = true;
    try {
        co_await storage_.clear(false);
    } catch (...) {
        cleared = false;
    }
    if (!alive || !generation_.isCurrent(ticket))
        co_return;
    if (cleared && cancel.isCancelled())
        co_return;
    view_.setConnectEnabled(true);
    setStatus(cleared ? ConnectorText::expired : ConnectorText::expiredNotRemoved);
    mirror();
}

// ---------------------------------------------------------------------------------------------
// Disconnect

void ConnectorLinkFlows::disconnect() {
    if (!credential_ && !pendingRevocation_ && !preferences_.revocationPending())
        return;
    const std::optional<ConnectorCredential> target = credential_ ? credential_ : pendingRevocation_;
    preferences_.setRevocationPending();
    const quint64 ticket = generation_.advance();
    stopTimer();
    if (pollTask_)
        pollTask_->cancel();
    pollTask_.reset();
    operation_.cancel();

    credential_.reset();
    pendingRevocation_ = target;
    lastID_.reset();
    view_.setAdviceText(ConnectorText::adviceNone);
    view_.setAccountText(QString());
    setStatus(ConnectorText::disconnecting);
    view_.setConnectEnabled(false);
    view_.setDisconnectEnabled(false);
    lastGuidance_.reset();
    mirror(true);
    operation_ = CancelToken();
    spawn(QStringLiteral("connector disconnect"),
          [this, self = QPointer(this), ticket, cancel = operation_, target]() -> QCoro::Task<void> {
              if (self)
                  co_await runDisconnect(ticket, cancel, target);
          });
}

QCoro::Task<void> ConnectorLinkFlows::runDisconnect(quint64 ticket, CancelToken cancel,
                                                    std::optional<ConnectorCredential> target) {
    QPointer<ConnectorLinkFlows> alive(this);
    const auto stale = [&] { return !alive || !generation_.isCurrent(ticket) || cancel.isCancelled(); };
    enum class Ending { revoked, unsendable, failed } ending = Ending::failed;
    bool loadFailed = false;
    bool nothingStored = false;
    if (!target) {
        try {
            target = co_await storage_.load(true);
            nothingStored = !target;
        } catch (...) {
            loadFailed = true;
        }
        if (stale())
            co_return;
    }
    if (nothingStored) {
        ending = Ending::revoked;
    } else if (!loadFailed) {
        pendingRevocation_ = target;
        std::optional<ConnectorFailure> failure;
        bool sent = true;
        try {
            co_await transport_.revoke(*target, cancel);
        } catch (const ConnectorFailure& error) {
            failure = error;
        } catch (...) {
            sent = false;
        }
        if (stale())
            co_return;
        const bool revoked = sent && (!failure || failure->kind() == ConnectorFailure::unauthorized);
        const bool unsendable = sent && failure && refusedBeforeSending(*failure);
        if (revoked || unsendable) {
            bool cleared = true;
            try {
                co_await storage_.clear(true);
            } catch (...) {
                cleared = false;
            }
            if (stale())
                co_return;
            if (cleared)
                ending = revoked ? Ending::revoked : Ending::unsendable;
        }
    }
    if (ending == Ending::failed) {
        view_.setDisconnectEnabled(true);
        setStatus(ConnectorText::disconnectNotConfirmed);
    } else {
        preferences_.removeRevocationPending();
        pendingRevocation_.reset();
        view_.setConnectEnabled(true);
        view_.setDisconnectEnabled(false);
        setStatus(ending == Ending::revoked ? ConnectorText::disconnected : ConnectorText::unavailable);
    }
    if (generation_.isCurrent(ticket))
        mirror();
}

// ---------------------------------------------------------------------------------------------
// Paste and the setup page

void ConnectorLinkFlows::pasteCode() {
    const std::optional<QString> text = view_.pasteboardText();
    if (!text) {
        setStatus(ConnectorText::copyCodeFirst);
        mirror();
        return;
    }
    pasteConnectionCode(*text);
}

void ConnectorLinkFlows::pasteConnectionCode(const QString& text) {
    if (const std::optional<QString> code = ConnectorEditing::pairingCode(text)) {
        view_.setCodeText(*code);
        view_.focusCodeField();
        setStatus(ConnectorText::codePasted);
    } else {
        setStatus(ConnectorText::freshCode);
    }
    mirror();
}

void ConnectorLinkFlows::openSetup() {
    QString origin;
    try {
        origin = ConnectorBoundary::validatedOrigin(transport_.policy(), view_.originText());
    } catch (const ConnectorFailure&) {
        setStatus(ConnectorText::addressUnavailable);
        return;
    }
    const bool hosted = buildMode(transport_.policy()) == ConnectorBuildMode::hosted;
    const QUrl page(origin + (hosted ? QStringLiteral("/connect-widget") : QStringLiteral("/demo#widget")),
                    QUrl::StrictMode);
    if (!page.isValid()) {
        setStatus(ConnectorText::addressUnavailable);
        return;
    }
    view_.openPage(page);
}

void ConnectorLinkFlows::adoptSyntheticGuidance(const ConnectorGuidance& guidance) {
    lastGuidance_ = guidance;
    view_.presentGuidance(guidance);
}

} // namespace quillmere
