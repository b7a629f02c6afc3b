#pragma once

// The window tracker's conversation memory together with its file: restored when the tracker
// starts, consulted and extended on every read, and written back whenever it changed. This is
// the one place that drives the memory, so the tracker's reading code sees only what one read
// needs from it.

#include "core/ConversationMemory.h"
#include "core/ConversationText.h"
#include "core/MessageList.h"
#include "desktop/observation/ConversationMemoryFile.h"
#include "platform/tasks/Scheduler.h"

#include <QDateTime>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class ConversationMemoryStore {
public:
    // What memory makes of one read.
    struct Recall {
        MessageList messages; // the remembered history around the read
        int connectedCount = 0;
        int windows = 0; // separately stored stretches of the conversation
        QString scopeID;
        std::optional<int> maximumPosition; // the newest numbered message remembered
    };

    // A memory of one very long conversation is tens of megabytes, whose reading back or encoding
    // takes longer than one turn of the event loop may; so can a memory of tens of thousands of
    // short windows. Past these sizes (the stored file's, and the encoded memory's as estimated from
    // its texts), and when an event loop can take the result back, the work runs on a worker thread:
    // a file restored so is not consulted or written until it has arrived (reads meanwhile go on
    // with the window alone, as for a conversation that cannot be named), and a save encodes a
    // copy of the memory there, the newest waiting save replacing older ones. The copy shares the
    // memory's stored windows until the memory changes one of them, so taking it costs nothing
    // in proportion to the messages.
    // A save that fails is tried again after `retryFirst`, the wait doubling up to `retryLongest`
    // while it keeps failing, as well as on the next change; a save that succeeds starts the
    // waits over. The waits come from the current scheduler.
    // Working out the comparison keys of a long history read from a host's own archive (a
    // session's whole branch is a hundred megabytes of text) takes longer than a turn may too:
    // past `prepareBytes` of texts not worked out before, they are worked out `prepareBytes` at a
    // time, a part on each turn of the event loop (see readyToObserve).
    struct Background {
        qint64 restoreBytes = 512 * 1024;
        qint64 saveBytes = 512 * 1024;
        qint64 prepareBytes = 4 * 1024 * 1024;
        int retryFirstMilliseconds = 5000;
        int retryLongestMilliseconds = 5 * 60 * 1000;
        // Passed by a worker before each save it writes and at each point where its restore may
        // stop, so that a test can hold the worker at a known point. Empty in the application.
        std::function<void()> workerGate;
        // Passed by a worker after each save it wrote, before its result is sent to the main thread.
        std::function<void()> workerWritten;
    };

    // Restores the file's memory; a damaged file is set aside and the memory starts empty.
    explicit ConversationMemoryStore(ConversationMemoryFile file);
    ConversationMemoryStore(ConversationMemoryFile file, Background background);
    // A restore still running is abandoned: nothing of it is adopted or saved. A save waiting
    // behind a running one is still written, on the worker, and so is one a failure left for
    // a retry; the process's end waits for them (within the quit's bound).
    ~ConversationMemoryStore();
    ConversationMemoryStore(const ConversationMemoryStore&) = delete;
    ConversationMemoryStore& operator=(const ConversationMemoryStore&) = delete;

    // Whether `history`, read from a host's own archive, can be observed now without holding the
    // event loop. When it is long and mostly new, its comparison keys are worked out a part at a
    // time, and this answers false until they all are; the caller then reads on without the
    // history, as while the archive itself is being read. They are worked out once a restore
    // running has arrived, matched to the stored keys. Observing the history once ready does
    // exactly what observing it would have done, only without working the keys out again.
    bool readyToObserve(const MessageList& history);

    // Observes one read under `key` (none: a conversation that cannot be named, which memory
    // neither reads nor extends) and saves the memory when it changed. The recall shares the
    // read's list when memory adds nothing to it.
    Recall observe(const std::optional<QString>& key, const MessageList& messages,
                   const std::vector<std::optional<QString>>& identifiers, bool positionOrderingTrusted,
                   const QDateTime& at);

    // What memory holds of `key` around the latest read of it, oldest first: the history the last
    // read recalled, or else the newest stored stretch.
    MessageList remembered(const QString& key) const;

    const ConversationMemoryFile& file() const { return file_; }
    // Whether the file was set aside at start.
    bool startedAfterDamage() const { return startedAfterDamage_; }
    // Whether a restore or a save is running on a worker thread, and whether a history's keys
    // are being worked out.
    bool restoring() const { return restoring_; }
    bool preparing() const { return preparing_.has_value(); }
    bool saving() const { return savesRunning_ > 0; }
    // Whether the last save failed and a retry is waiting.
    bool retryPending() const;
    // Goes up whenever the memory may have changed or a restore arrived: every observation that
    // was not the settled one again. Unchanged, with settled() true, observing the settled
    // observation again would recall exactly what it recalled, so a caller may keep that recall.
    quint64 changes() const { return changes_; }
    bool settled() const { return lastObservation_.has_value() && !restoring_; }

private:
    struct Observation {
        QString key;
        MessageList messages;
        std::vector<std::optional<QString>> identifiers;
        bool positionOrderingTrusted = false;
        bool operator==(const Observation&) const = default;
    };
    struct Memory;
    struct SaveQueue;
    void startPreparing(const MessageList& history);
    void prepareNextPart();
    void restoreNow(const QByteArray& stored);
    void restoreInBackground(QByteArray stored);
    void finishRestore(std::unique_ptr<Memory> restored, const QString& failure);
    void save();
    void startBackgroundSave();
    // What a save (numbered when it was asked for) came to. A report of a write older than the
    // last one finished says nothing: the file holds what the later one wrote.
    void finished(std::uint64_t number, bool ok);
    void saved(bool ok);

    ConversationMemoryFile file_;
    Background background_;
    std::unique_ptr<Memory> memory_;
    bool startedAfterDamage_ = false;
    bool restoring_ = false;
    // Set when the store goes: a restore still running stops and is dropped.
    std::shared_ptr<std::atomic<bool>> abandonRestore_ = std::make_shared<std::atomic<bool>>(false);
    // Saves on a worker, in order; shared with the worker, which outlives the store.
    std::shared_ptr<SaveQueue> queue_;
    int savesRunning_ = 0;
    // After a failed save: the timer of the next attempt, on the scheduler that holds it, and
    // its wait.
    Scheduler* retryScheduler_ = nullptr;
    std::optional<Scheduler::TimerID> retry_;
    int retryWait_ = 0;
    // The memory's revision when a save was last asked for (or the file restored): an
    // observation that leaves it so has nothing new to write.
    std::uint64_t savedRevision_ = 0;
    // Saves are numbered as they are asked for; the number of the newest whose outcome is known.
    std::uint64_t savesAskedFor_ = 0;
    std::uint64_t lastFinished_ = 0;
    // The keys of the last archived history made ready, and the history being prepared.
    std::shared_ptr<const ConversationMemory::Prepared> prepared_;
    MessageList preparedFrom_;
    struct Preparing {
        MessageList history;
        std::shared_ptr<const ConversationMemory::Prepared> earlier;
        std::shared_ptr<ConversationMemory::Prepared> building;
        std::shared_ptr<const ConversationMemory::KnownKeys> known;
        Scheduler* scheduler = nullptr;
        Scheduler::TimerID timer = 0;
    };
    std::optional<Preparing> preparing_;
    // Gone with the store: what a worker posts back checks it first.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    // The last observation of a stored conversation and what memory made of it: observing the
    // same window again changes nothing, so an unchanged window costs no merge and no encoding.
    std::optional<Observation> lastObservation_;
    Recall lastRecall_;
    quint64 changes_ = 0;
};

} // namespace quillmere
