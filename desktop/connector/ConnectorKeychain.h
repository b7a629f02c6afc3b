#pragma once

// The connector credential's keychain item: one secret per build mode, addressed by the service
// name and the account "linked-widget", holding the credential as JSON.
//
// A backend performs the three item operations synchronously and may block; ConnectorSecureStore
// runs them off the main thread. "Without interaction" means the call fails instead of asking the
// user for anything (an unlock prompt, a password): a locked item is a keychain failure then.

#include "desktop/connector/ConnectorRecords.h"

#include <QByteArray>
#include <QString>
#include <map>
#include <mutex>
#include <optional>

namespace quillmere {

class ConnectorSecretBackend {
public:
    virtual ~ConnectorSecretBackend() = default;
    // The stored bytes, or none when no item exists. Throws ConnectorFailure(keychain).
    virtual std::optional<QByteArray> lookup(const QString& service, const QString& account,
                                             bool allowInteraction) = 0;
    // Replaces the item's value, or adds the item. Throws ConnectorFailure(keychain).
    virtual void store(const QString& service, const QString& account, const QByteArray& value) = 0;
    // Deletes the item; no item is success. Throws ConnectorFailure(keychain).
    virtual void remove(const QString& service, const QString& account, bool allowInteraction) = 0;
};

// The Secret Service (over D-Bus) through libsecret. Never falls back to plain storage: with no
// reachable service every call is a keychain failure.
class SecretServiceBackend final : public ConnectorSecretBackend {
public:
    std::optional<QByteArray> lookup(const QString& service, const QString& account,
                                     bool allowInteraction) override;
    void store(const QString& service, const QString& account, const QByteArray& value) override;
    void remove(const QString& service, const QString& account, bool allowInteraction) override;
};

// Items in memory, for tests: every operation can be made to fail, and an item can be marked
// locked so that only calls allowing interaction reach it.
class MemorySecretBackend final : public ConnectorSecretBackend {
public:
    enum Operation { lookupOperation, storeOperation, removeOperation };

    std::optional<QByteArray> lookup(const QString& service, const QString& account,
                                     bool allowInteraction) override;
    void store(const QString& service, const QString& account, const QByteArray& value) override;
    void remove(const QString& service, const QString& account, bool allowInteraction) override;

    void failNext(Operation operation, int times = 1);
    void setLocked(bool locked);
    void put(const QString& service, const QByteArray& value);
    std::optional<QByteArray> value(const QString& service) const;
    int calls() const;

private:
    void consumeFailure(Operation operation);

    mutable std::mutex mutex_;
    std::map<QString, QByteArray> items_; // by service + "\n" + account
    std::map<Operation, int> failures_;
    bool locked_ = false;
    int calls_ = 0;
};

namespace ConnectorKeychain {

// Decodes the stored credential; a malformed item throws DecodingError.
std::optional<ConnectorCredential> load(ConnectorSecretBackend& backend, const QString& service,
                                        bool allowInteraction);
void save(ConnectorSecretBackend& backend, const QString& service, const ConnectorCredential& credential);
void clear(ConnectorSecretBackend& backend, const QString& service, bool allowInteraction);

} // namespace ConnectorKeychain

} // namespace quillmere
