#include "desktop/observation/ConversationMemoryStore.h"

#include "core/ConversationMemory.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <exception>
#include <memory>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillmere {

namespace {

// glibc keeps freed heaps mapped after a very large one-off read or encoding; a long session's
// memory would otherwise stay resident at its peak for the rest of the run.
void releaseFreedMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

} // namespace

struct ConversationMemoryStore::Memory {
    ConversationMemory memory;
};

ConversationMemoryStore::ConversationMemoryStore(ConversationMemoryFile file)
    : ConversationMemoryStore(std::move(file), Background()) {}

ConversationMemoryStore::ConversationMemoryStore(ConversationMemoryFile file, Background background)
    : file_(std::move(file)), background_(background), memory_(std::make_unique<Memory>()) {
    const std::optional<QByteArray> stored = file_.load();
    if (!stored)
        return;
    if (qint64(stored->size()) >= background_.restoreBytes && QCoreApplication::instance())
        restoreInBackground(*stored);
    else
        restoreNow(*stored);
}

void ConversationMemoryStore::restoreNow(const QByteArray& stored) {
    try {
        memory_->memory.restore(stored);
    } catch (const std::exception& error) {
        finishRestore(std::make_unique<Memory>(), QString::fromUtf8(error.what()));
    }
}

void ConversationMemoryStore::restoreInBackground(QByteArray stored) {
    restoring_ = true;
    const std::weak_ptr<int> alive = alive_;
    QThreadPool::globalInstance()->start([this, alive, stored = std::move(stored)] {
        auto restored = std::make_unique<Memory>();
        QString failure;
        try {
            restored->memory.restore(stored);
        } catch (const std::exception& error) {
            failure = QString::fromUtf8(error.what());
        } catch (...) {
            failure = QStringLiteral("could not be read");
        }
        // The parse's buffers were freed on this thread; give them back here, not on the main one.
        releaseFreedMemory();
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || alive.expired())
            return;
        std::shared_ptr<Memory> result(std::move(restored));
        QMetaObject::invokeMethod(
            app,
            [this, alive, result, failure]() mutable {
                if (alive.expired())
                    return;
                finishRestore(std::make_unique<Memory>(std::move(*result)), failure);
            },
            Qt::QueuedConnection);
    });
}

void ConversationMemoryStore::finishRestore(std::unique_ptr<Memory> restored, const QString& failure) {
    restoring_ = false;
    ++changes_;
    lastObservation_.reset();
    lastRecall_ = {};
    if (!failure.isEmpty()) {
        memory_ = std::make_unique<Memory>();
        startedAfterDamage_ = true;
        file_.setAside(failure);
        return;
    }
    memory_ = std::move(restored);
}

ConversationMemoryStore::~ConversationMemoryStore() = default;

ConversationMemoryStore::Recall
ConversationMemoryStore::observe(const std::optional<QString>& key,
                                 const std::vector<ConversationText::Message>& messages,
                                 const std::vector<std::optional<QString>>& identifiers,
                                 bool positionOrderingTrusted, const QDateTime& at) {
    std::optional<Observation> observation;
    // Until the stored memory is back, nothing is remembered or written: the read goes on with
    // what the window shows, and the next read after the restore observes it again.
    if (restoring_)
        return Recall{};
    if (key) {
        // Compared before anything is copied: the open conversation usually reads the same on
        // every tick, and a long one is a hundred thousand messages.
        if (lastObservation_ && lastObservation_->key == *key && lastObservation_->messages == messages &&
            lastObservation_->identifiers == identifiers &&
            lastObservation_->positionOrderingTrusted == positionOrderingTrusted)
            return lastRecall_;
        observation = Observation{*key, messages, identifiers, positionOrderingTrusted};
    }
    ++changes_;
    ConversationMemory::Result result =
        memory_->memory.observe(key, messages, identifiers, positionOrderingTrusted, at);
    Recall recall{std::move(result.messages), result.connectedCount, result.windows,
                  result.conversationScopeID, std::nullopt};
    if (key) {
        recall.maximumPosition = memory_->memory.maximumMessagePosition(*key);
        save();
    }
    // Only a stored conversation is settled: before that, the next alike read is what stores it.
    if (observation && recall.windows > 0) {
        lastObservation_ = std::move(observation);
        lastRecall_ = recall;
    } else {
        lastObservation_.reset();
    }
    return recall;
}

void ConversationMemoryStore::save() {
    // Once a save runs on a worker, later ones follow it there, so that they land in order.
    if (!saveInFlight_ &&
        (memory_->memory.recordCount() < background_.saveRecords || !QCoreApplication::instance())) {
        file_.save(memory_->memory.encoded());
        return;
    }
    // A copy shares every text with the memory: taking it costs a pass over the records, not
    // over their characters.
    pendingSave_ = std::make_shared<const Memory>(*memory_);
    if (!saveInFlight_)
        startBackgroundSave();
}

void ConversationMemoryStore::startBackgroundSave() {
    std::shared_ptr<const Memory> saving = std::move(pendingSave_);
    pendingSave_.reset();
    if (!saving)
        return;
    saveInFlight_ = true;
    const std::weak_ptr<int> alive = alive_;
    const QString folder = file_.folder();
    const QString path = file_.path();
    const std::optional<QByteArray> lastSaved = file_.lastSavedDigest();
    QThreadPool::globalInstance()->start([this, alive, saving, folder, path, lastSaved] {
        ConversationMemoryFile::Written written;
        try {
            written = ConversationMemoryFile::write(folder, path, saving->memory.encoded(), lastSaved);
        } catch (const std::exception& error) {
            written.error = QString::fromUtf8(error.what());
        }
        releaseFreedMemory();
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || alive.expired())
            return;
        QMetaObject::invokeMethod(
            app,
            [this, alive, written] {
                if (alive.expired())
                    return;
                saveInFlight_ = false;
                file_.finishWrite(written);
                startBackgroundSave();
            },
            Qt::QueuedConnection);
    });
}

MessageList ConversationMemoryStore::remembered(const QString& key) const {
    if (lastObservation_ && lastObservation_->key == key && !restoring_)
        return lastRecall_.messages;
    if (restoring_)
        return {};
    std::vector<ConversationText::Message> messages;
    const auto windows = memory_->memory.records(key);
    if (!windows.empty())
        for (const auto& record : windows.back())
            messages.push_back(record.message);
    return messages;
}

} // namespace quillmere
