#include "desktop/connector/ConnectorSecureStore.h"

#include "desktop/connector/ConnectorRelease.h"
#include "desktop/diagnostics/WriteFailures.h"
#include "platform/config/Defaults.h"

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <exception>

namespace quillmere {

namespace {

template <typename T> struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
};

// Runs `work` on the worker and resumes the caller on the main thread with its value or its
// exception.
template <typename T, typename Work> QCoro::Task<T> onWorker(QThreadPool& worker, Work work) {
    auto promise = std::make_shared<QPromise<Outcome<T>>>();
    QFuture<Outcome<T>> future = promise->future();
    promise->start();
    worker.start([promise, work = std::move(work)] {
        Outcome<T> outcome;
        try {
            outcome.value = work();
        } catch (...) {
            outcome.error = std::current_exception();
        }
        promise->addResult(std::move(outcome));
        promise->finish();
    });
    Outcome<T> outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.value);
}

} // namespace

ConnectorSecureStore::ConnectorSecureStore(std::shared_ptr<ConnectorSecretBackend> backend, QString service)
    : backend_(std::move(backend)), service_(std::move(service)), worker_(std::make_unique<QThreadPool>()) {
    // One thread, kept for the store's life: calls run one at a time, first asked first run.
    worker_->setMaxThreadCount(1);
    worker_->setExpiryTimeout(-1);
}

ConnectorSecureStore::~ConnectorSecureStore() {
    worker_->waitForDone();
}

ConnectorSecureStore& ConnectorSecureStore::shared() {
    // Never destroyed: a keychain call may still be running while the process exits.
    static auto* store =
        new ConnectorSecureStore(std::make_shared<SecretServiceBackend>(), ConnectorKeychain::service());
    return *store;
}

// The work lambdas are named before they are awaited: gcc 12 mishandles a capturing lambda
// temporary inside a co_await expression.
QCoro::Task<std::optional<ConnectorCredential>> ConnectorSecureStore::load(bool allowInteraction) {
    auto work = [backend = backend_, service = service_, allowInteraction] {
        return ConnectorKeychain::load(*backend, service, allowInteraction);
    };
    co_return co_await onWorker<std::optional<ConnectorCredential>>(*worker_, std::move(work));
}

QCoro::Task<void> ConnectorSecureStore::save(ConnectorCredential credential) {
    auto work = [backend = backend_, service = service_, credential] {
        ConnectorKeychain::save(*backend, service, credential);
        return true;
    };
    co_await onWorker<bool>(*worker_, std::move(work));
}

QCoro::Task<void> ConnectorSecureStore::clear(bool allowInteraction) {
    auto work = [backend = backend_, service = service_, allowInteraction] {
        ConnectorKeychain::clear(*backend, service, allowInteraction);
        return true;
    };
    co_await onWorker<bool>(*worker_, std::move(work));
}

struct DefaultsLinkPreferences::Store {
    Store(const QString& suite, const QString& folder) : defaults(suite, folder) {}

    // A flag that could not be written is said as any owned file's failed save is: once, by its
    // kind and reason, until a later write succeeds. A revocation not recorded as pending would
    // not be taken up again after a restart.
    void save() {
        if (defaults.sync())
            WriteFailures::shared().succeeded(kind);
        else
            WriteFailures::shared().failed(kind,
                                           defaults.syncFailure().value_or(QStringLiteral("write failed")));
    }

    inline static const QString kind = QStringLiteral("connector user defaults");
    Defaults defaults;
};

DefaultsLinkPreferences::DefaultsLinkPreferences(const QString& suite, const QString& folder)
    : store_(std::make_unique<Store>(suite, folder)) {
    // A suite whose file may not be used is said once, as the application's own suite is; a flag
    // that failed to save and that the suite writes later by itself is said to be saved then.
    WriteFailures::shared().followDefaults(Store::kind, store_->defaults);
}

DefaultsLinkPreferences::~DefaultsLinkPreferences() = default;

bool DefaultsLinkPreferences::revocationPending() const {
    return store_->defaults.boolean(revocationKey).value_or(false);
}

void DefaultsLinkPreferences::setRevocationPending() {
    store_->defaults.set(revocationKey, true);
    store_->save();
}

void DefaultsLinkPreferences::removeRevocationPending() {
    store_->defaults.remove(revocationKey);
    store_->save();
}

} // namespace quillmere
