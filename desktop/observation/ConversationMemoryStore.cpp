#include "desktop/observation/ConversationMemoryStore.h"

#include "core/ConversationMemory.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillmere {

namespace {

// Between two parts of a history's keys the event loop goes back to waiting, however little
// else it has to do.
constexpr double partPause = 0.001;

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

// The saves handed to a worker. The worker writes what waits here, newest copy first replacing
// older ones, until nothing waits.
struct ConversationMemoryStore::SaveQueue {
    std::mutex mutex;
    std::shared_ptr<const Memory> waiting;
    std::uint64_t waitingSave = 0; // the number of the save that copy is for
    bool running = false;
};

ConversationMemoryStore::ConversationMemoryStore(ConversationMemoryFile file)
    : ConversationMemoryStore(std::move(file), Background()) {}

ConversationMemoryStore::ConversationMemoryStore(ConversationMemoryFile file, Background background)
    : file_(std::move(file)), background_(background), memory_(std::make_unique<Memory>()),
      queue_(std::make_shared<SaveQueue>()) {
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
        savedRevision_ = memory_->memory.revision(); // what the file holds
    } catch (const std::exception& error) {
        finishRestore(std::make_unique<Memory>(), QString::fromUtf8(error.what()));
    }
}

void ConversationMemoryStore::restoreInBackground(QByteArray stored) {
    restoring_ = true;
    const std::weak_ptr<int> alive = alive_;
    QThreadPool::globalInstance()->start(
        [this, alive, abandon = abandonRestore_, gate = background_.workerGate, stored = std::move(stored)] {
            auto restored = std::make_unique<Memory>();
            QString failure;
            bool complete = false;
            const auto abandoned = [&abandon, &gate] {
                if (gate)
                    gate();
                return abandon->load(std::memory_order_relaxed);
            };
            try {
                complete = restored->memory.restore(stored, abandoned);
            } catch (const std::exception& error) {
                failure = QString::fromUtf8(error.what());
            } catch (...) {
                failure = QStringLiteral("could not be read");
            }
            if (!complete && failure.isEmpty())
                restored.reset(); // abandoned: the store is gone
            // The parse's buffers were freed on this thread; give them back here, not on the main one.
            releaseFreedMemory();
            QCoreApplication* app = QCoreApplication::instance();
            if (!restored || !app || alive.expired() || abandon->load())
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
        savedRevision_ = memory_->memory.revision();
        startedAfterDamage_ = true;
        file_.setAside(failure);
        return;
    }
    memory_ = std::move(restored);
    savedRevision_ = memory_->memory.revision(); // what the file holds
}

ConversationMemoryStore::~ConversationMemoryStore() {
    abandonRestore_->store(true);
    // What the session remembered since the last failed save gets one more attempt.
    if (retryPending() && !restoring_)
        save();
    if (retry_)
        retryScheduler_->cancel(*retry_);
    if (preparing_)
        preparing_->scheduler->cancel(preparing_->timer);
    // A save waiting in the queue is written by the worker already running, store or no store.
}

bool ConversationMemoryStore::readyToObserve(const MessageList& history) {
    // An unchanged archive hands over the very list it handed over before.
    if (prepared_ && preparedFrom_.isSameListAs(history))
        return true;
    const std::span<const ConversationText::Message> messages(history.begin(), history.size());
    const std::size_t unprepared = ConversationMemory::unpreparedBytes(messages, prepared_.get());
    // A few new messages at the end of a history already prepared, say, are worked out in passing.
    if (unprepared == 0 || qint64(unprepared) < background_.prepareBytes || !QCoreApplication::instance()) {
        if (unprepared > 0)
            prepared_ = ConversationMemory::prepare(messages, prepared_.get());
        preparedFrom_ = history;
        return true;
    }
    // One history at a time: what a later one adds is worked out once this one is ready. Not
    // while the stored memory is still coming: its keys are what the new ones are matched to.
    if (!preparing_ && !restoring_)
        startPreparing(history);
    return false;
}

void ConversationMemoryStore::startPreparing(const MessageList& history) {
    preparing_ =
        Preparing{history, prepared_, nullptr, memory_->memory.knownKeys(), &Scheduler::current(), 0};
    preparing_->timer = preparing_->scheduler->schedule(partPause, [this] { prepareNextPart(); });
}

void ConversationMemoryStore::prepareNextPart() {
    Preparing& preparing = *preparing_;
    // Worked out here, not on a worker, so that the keys come from the heap the memory's texts
    // live in; each turn of the event loop takes a part small enough to leave it free.
    const bool done = ConversationMemory::prepareMore(
        preparing.building, std::span(preparing.history.begin(), preparing.history.size()),
        preparing.earlier.get(), std::size_t(background_.prepareBytes), preparing.known.get());
    if (!done) {
        preparing.timer = preparing.scheduler->schedule(partPause, [this] { prepareNextPart(); });
        return;
    }
    prepared_ = std::move(preparing.building);
    preparedFrom_ = std::move(preparing.history);
    preparing_.reset();
}

bool ConversationMemoryStore::retryPending() const {
    return retry_.has_value();
}

ConversationMemoryStore::Recall
ConversationMemoryStore::observe(const std::optional<QString>& key, const MessageList& messages,
                                 const std::vector<std::optional<QString>>& identifiers,
                                 bool positionOrderingTrusted, const QDateTime& at) {
    std::optional<Observation> observation;
    // Until the stored memory is back, nothing is remembered or written: the read goes on with
    // what the window shows, as for a conversation that cannot be named, and the next read after
    // the restore observes it again.
    if (restoring_) {
        const ConversationMemory::Result shown =
            memory_->memory.observe(std::nullopt, messages, identifiers, positionOrderingTrusted, at);
        return Recall{shown.messages, shown.connectedCount, shown.windows, shown.conversationScopeID,
                      std::nullopt};
    }
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
        memory_->memory.observe(key, messages, identifiers, positionOrderingTrusted, at, prepared_.get());
    Recall recall{std::move(result.messages), result.connectedCount, result.windows,
                  result.conversationScopeID, std::nullopt};
    if (key) {
        recall.maximumPosition = memory_->memory.maximumMessagePosition(*key);
        // A scan that changed nothing stored (the first of a conversation, say) has nothing to write.
        if (memory_->memory.revision() != savedRevision_)
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
    // A damaged file that could not be moved aside stays as it is.
    if (file_.refusesWrites())
        return;
    savedRevision_ = memory_->memory.revision();
    const std::uint64_t number = ++savesAskedFor_;
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        queued = queue_->running;
    }
    // Once a save runs on a worker, later ones follow it there, so that they land in order. The
    // size decides, not the number of messages: a few thousand long answers are tens of megabytes.
    if (!queued && (qint64(memory_->memory.encodedSizeEstimate()) < background_.saveBytes ||
                    !QCoreApplication::instance())) {
        finished(number, file_.save(memory_->memory.encoded()));
        return;
    }
    // A copy shares its windows with the memory until the memory changes one of them: taking it
    // costs a pointer per window, not a pass over the messages.
    auto copy = std::make_shared<const Memory>(*memory_);
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        queue_->waiting = std::move(copy);
        queue_->waitingSave = number;
        if (!queue_->running) {
            queue_->running = true;
            start = true;
        }
    }
    if (start)
        startBackgroundSave();
}

void ConversationMemoryStore::startBackgroundSave() {
    ++savesRunning_;
    const std::weak_ptr<int> alive = alive_;
    QThreadPool::globalInstance()->start([this, alive, queue = queue_, gate = background_.workerGate,
                                          wrote = background_.workerWritten, folder = file_.folder(),
                                          path = file_.path(), contents = file_.contents()] {
        for (;;) {
            std::shared_ptr<const Memory> saving;
            std::uint64_t number = 0;
            {
                std::lock_guard<std::mutex> lock(queue->mutex);
                saving = std::move(queue->waiting);
                number = queue->waitingSave;
                queue->waiting.reset();
            }
            if (gate)
                gate();
            ConversationMemoryFile::Written written;
            try {
                // The digest, the encoding and the comparison with the file all happen here.
                written = ConversationMemoryFile::write(folder, path, saving->memory.encoded(), *contents);
            } catch (const std::exception& error) {
                written.error = QString::fromUtf8(error.what());
            }
            saving.reset();
            releaseFreedMemory();
            bool last = false;
            {
                std::lock_guard<std::mutex> lock(queue->mutex);
                last = !queue->waiting;
                if (last)
                    queue->running = false;
            }
            if (wrote)
                wrote();
            QCoreApplication* app = QCoreApplication::instance();
            if (app && !alive.expired())
                QMetaObject::invokeMethod(
                    app,
                    [this, alive, written, last, number] {
                        if (alive.expired())
                            return;
                        if (last)
                            --savesRunning_;
                        // A write in passing may have completed meanwhile, after this one began.
                        if (number < lastFinished_)
                            return;
                        finished(number, file_.finishWrite(written));
                    },
                    Qt::QueuedConnection);
            if (last)
                return;
        }
    });
}

void ConversationMemoryStore::finished(std::uint64_t number, bool ok) {
    lastFinished_ = number;
    saved(ok);
}

void ConversationMemoryStore::saved(bool ok) {
    if (ok) {
        retryWait_ = 0;
        if (retry_)
            retryScheduler_->cancel(*retry_);
        retry_.reset();
        return;
    }
    // A full disk frees up without the conversation changing: try again on a timer too, waiting
    // longer each time it still fails.
    if (!QCoreApplication::instance() || retryPending())
        return;
    retryWait_ = retryWait_ == 0 ? background_.retryFirstMilliseconds
                                 : std::min(retryWait_ * 2, background_.retryLongestMilliseconds);
    retryScheduler_ = &Scheduler::current();
    retry_ = retryScheduler_->schedule(retryWait_ / 1000.0, [this] {
        retry_.reset();
        save();
    });
}

MessageList ConversationMemoryStore::remembered(const QString& key) const {
    if (lastObservation_ && lastObservation_->key == key && !restoring_)
        return lastRecall_.messages;
    if (restoring_)
        return {};
    return memory_->memory.newestWindow(key);
}

} // namespace quillmere
