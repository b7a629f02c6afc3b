#include "desktop/connector/ConnectorKeychain.h"

#include "desktop/connector/ConnectorRelease.h"

namespace quillmere {

namespace {

QString key(const QString& service, const QString& account) {
    return service + u'\n' + account;
}

[[noreturn]] void keychainFailure() {
    throw ConnectorFailure(ConnectorFailure::keychain);
}

} // namespace

std::optional<QByteArray> MemorySecretBackend::lookup(const QString& service, const QString& account,
                                                      bool allowInteraction) {
    std::lock_guard lock(mutex_);
    consumeFailure(lookupOperation);
    const auto found = items_.find(key(service, account));
    if (found == items_.end())
        return std::nullopt;
    if (locked_ && !allowInteraction)
        keychainFailure();
    return found->second;
}

void MemorySecretBackend::store(const QString& service, const QString& account, const QByteArray& value) {
    std::lock_guard lock(mutex_);
    consumeFailure(storeOperation);
    items_[key(service, account)] = value;
}

void MemorySecretBackend::remove(const QString& service, const QString& account, bool allowInteraction) {
    std::lock_guard lock(mutex_);
    consumeFailure(removeOperation);
    const auto found = items_.find(key(service, account));
    if (found == items_.end())
        return;
    if (locked_ && !allowInteraction)
        keychainFailure();
    items_.erase(found);
}

void MemorySecretBackend::consumeFailure(Operation operation) {
    ++calls_;
    int& remaining = failures_[operation];
    if (remaining > 0) {
        --remaining;
        keychainFailure();
    }
}

void MemorySecretBackend::failNext(Operation operation, int times) {
    std::lock_guard lock(mutex_);
    failures_[operation] = times;
}

void MemorySecretBackend::setLocked(bool locked) {
    std::lock_guard lock(mutex_);
    locked_ = locked;
}

void MemorySecretBackend::put(const QString& service, const QByteArray& value) {
    std::lock_guard lock(mutex_);
    items_[key(service, ConnectorKeychain::account)] = value;
}

std::optional<QByteArray> MemorySecretBackend::value(const QString& service) const {
    std::lock_guard lock(mutex_);
    const auto found = items_.find(key(service, ConnectorKeychain::account));
    if (found == items_.end())
        return std::nullopt;
    return found->second;
}

int MemorySecretBackend::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

namespace ConnectorKeychain {

std::optional<ConnectorCredential> load(ConnectorSecretBackend& backend, const QString& service,
                                        bool allowInteraction) {
    const std::optional<QByteArray> bytes = backend.lookup(service, account, allowInteraction);
    if (!bytes)
        return std::nullopt;
    return ConnectorCredential::decode(*bytes);
}

void save(ConnectorSecretBackend& backend, const QString& service, const ConnectorCredential& credential) {
    backend.store(service, account, credential.encoded());
}

void clear(ConnectorSecretBackend& backend, const QString& service, bool allowInteraction) {
    backend.remove(service, account, allowInteraction);
}

} // namespace ConnectorKeychain

} // namespace quillmere
