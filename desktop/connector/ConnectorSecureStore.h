#pragma once

// Where the window controller keeps the credential. ConnectorSecureStore runs every keychain call
// on one worker thread, one call at a time and in the order asked, and resumes the awaiting task
// on the main thread; the controller re-checks its generation afterwards.

#include "desktop/connector/ConnectorKeychain.h"

#include <QCoroTask>
#include <QString>
#include <memory>
#include <optional>

class QThreadPool;

namespace quillmere {

class ConnectorCredentialStorage {
public:
    virtual ~ConnectorCredentialStorage() = default;
    // Throws ConnectorFailure(keychain) or DecodingError.
    virtual QCoro::Task<std::optional<ConnectorCredential>> load(bool allowInteraction) = 0;
    virtual QCoro::Task<void> save(ConnectorCredential credential) = 0;
    virtual QCoro::Task<void> clear(bool allowInteraction) = 0;
};

class ConnectorSecureStore final : public ConnectorCredentialStorage {
public:
    ConnectorSecureStore(std::shared_ptr<ConnectorSecretBackend> backend, QString service);
    ~ConnectorSecureStore() override;

    // The process-wide store over the Secret Service, for the running build's service name. It
    // connects to the service on its first call, not before.
    static ConnectorSecureStore& shared();

    QCoro::Task<std::optional<ConnectorCredential>> load(bool allowInteraction) override;
    QCoro::Task<void> save(ConnectorCredential credential) override;
    QCoro::Task<void> clear(bool allowInteraction) override;

private:
    std::shared_ptr<ConnectorSecretBackend> backend_;
    QString service_;
    std::unique_ptr<QThreadPool> worker_;
};

// The revocation flag: true while a disconnect waits for the service to confirm the revocation.
class ConnectorLinkPreferences {
public:
    virtual ~ConnectorLinkPreferences() = default;
    virtual bool revocationPending() const = 0;
    virtual void setRevocationPending() = 0;
    virtual void removeRevocationPending() = 0;
};

// The flag in its own defaults suite (named like the keychain service), written to disk at once
// so that it survives a crash. A suite whose file may not be used (Defaults::refusal()) is said
// once and kept for the run only.
class DefaultsLinkPreferences final : public ConnectorLinkPreferences {
public:
    static inline const QString revocationKey = QStringLiteral("revocationOnly");

    // `folder` overrides the configuration folder (tests).
    explicit DefaultsLinkPreferences(const QString& suite, const QString& folder = {});
    ~DefaultsLinkPreferences() override;
    bool revocationPending() const override;
    void setRevocationPending() override;
    void removeRevocationPending() override;

private:
    struct Store;
    std::unique_ptr<Store> store_;
};

} // namespace quillmere
