// The conversation memory's file work on a worker thread: a large memory is restored and saved
// without holding the main thread, and nothing is consulted or written before it is back.

#include "desktop/observation/ConversationMemoryStore.h"

#include "desktop/diagnostics/WriteFailures.h"

#include "support/FileInTheWay.h"
#include "support/FileSizeLimit.h"
#include "support/LongPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>

#include "platform/tasks/Scheduler.h"

using namespace quillmere;
using Message = ConversationText::Message;

namespace {

const QString kKey = QStringLiteral("claude|claude-code|session:local_1");
const QDateTime kT0 = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);
const QString kBundle = QStringLiteral("com.anthropic.claude");

std::vector<Message> conversation(int count) {
    std::vector<Message> messages;
    for (int i = 1; i <= count; ++i)
        messages.push_back({i % 2 ? QStringLiteral("user") : QStringLiteral("assistant"),
                            QStringLiteral("Message %1 of the long session").arg(i)});
    return messages;
}

ConversationMemoryStore::Recall observe(ConversationMemoryStore& store,
                                        const std::vector<Message>& messages) {
    return store.observe(kKey, messages, std::vector<std::optional<QString>>(messages.size()), false, kT0);
}

// Everything is done on the main thread, or everything on a worker.
ConversationMemoryStore::Background onTheMainThread() {
    return {std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max()};
}
ConversationMemoryStore::Background onAWorker() {
    return {1, 1};
}

bool pollUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (done())
            return true;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// Holds the store's worker at the `holdAt`th pass of its gate until the test opens it, counting
// passes.
class WorkerGate {
public:
    explicit WorkerGate(int holdAt = 1) : holdAt_(holdAt) {}
    // What the store's worker calls; the gate outlives every worker the test starts.
    std::function<void()> pass() {
        return [this] {
            std::unique_lock<std::mutex> lock(mutex_);
            ++passes_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_ || passes_ < holdAt_; });
        };
    }
    void waitForPasses(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return passes_ >= count; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int passes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return passes_;
    }
    ~WorkerGate() {
        open();
        QThreadPool::globalInstance()->waitForDone();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const int holdAt_;
    int passes_ = 0;
    bool open_ = false;
};

// The scheduler the store's retries use, for the test's length.
struct InstalledScheduler {
    explicit InstalledScheduler(Scheduler& scheduler) { Scheduler::setCurrent(&scheduler); }
    ~InstalledScheduler() { Scheduler::setCurrent(nullptr); }
};

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A memory file holding `messages` under kKey, written the ordinary way.
QString storedMemory(const QTemporaryDir& dir, const std::vector<Message>& messages) {
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    observe(store, messages);
    observe(store, messages); // a conversation is stored once two reads agree
    EXPECT_EQ(store.remembered(kKey), messages);
    return store.file().path();
}

} // namespace

TEST(ConversationMemoryStore, ALargeFileIsRestoredOnAWorkerAndNothingIsTouchedBeforeItIsBack) {
    QTemporaryDir dir;
    const std::vector<Message> stored = conversation(40);
    const QString path = storedMemory(dir, stored);
    const QByteArray before = contents(path);

    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onAWorker());
    ASSERT_TRUE(store.restoring());
    // Meanwhile the reads go on with the window alone, as for a conversation that cannot be
    // named, and the file is not replaced by them.
    EXPECT_TRUE(store.remembered(kKey).empty());
    const std::vector<Message> window(stored.end() - 4, stored.end());
    for (int read = 0; read < 2; ++read) {
        const ConversationMemoryStore::Recall recall = observe(store, window);
        EXPECT_EQ(recall.messages, window);
        EXPECT_EQ(recall.connectedCount, 4);
        EXPECT_EQ(recall.windows, 0);
        EXPECT_FALSE(recall.scopeID.isEmpty());
        EXPECT_FALSE(recall.maximumPosition);
    }
    EXPECT_FALSE(store.settled());
    EXPECT_EQ(contents(path), before);

    ASSERT_TRUE(pollUntil([&store] { return !store.restoring(); }));
    EXPECT_EQ(store.remembered(kKey), stored);
    EXPECT_EQ(observe(store, window).messages, stored) << "the restored memory connects the window";
    EXPECT_FALSE(store.saving()) << "a read that stored nothing new rewrites the restored file";
    EXPECT_FALSE(store.startedAfterDamage());
}

TEST(ConversationMemoryStore, ADamagedLargeFileIsSetAsideOnceItsRestoreFails) {
    QTemporaryDir dir;
    ConversationMemoryFile file(dir.path(), kBundle);
    {
        QFile raw(file.path());
        ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
        raw.write("[{\"key\": 12}");
    }
    ConversationMemoryStore store(std::move(file), onAWorker());
    ASSERT_TRUE(store.restoring());
    ASSERT_TRUE(pollUntil([&store] { return !store.restoring(); }));
    EXPECT_TRUE(store.startedAfterDamage());
    EXPECT_FALSE(QFile::exists(store.file().path()));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "the damaged file is kept aside";
}

TEST(ConversationMemoryStore, ALargeMemoryIsSavedFromAWorkerAndTheNewestSaveLandsLast) {
    QTemporaryDir dir;
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onAWorker());
    EXPECT_FALSE(store.restoring()) << "there was no file";
    const std::vector<Message> first = conversation(10);
    observe(store, first);
    observe(store, first);
    EXPECT_TRUE(store.saving());
    // Two more changes while the first save runs: only the newest needs to reach the file.
    const std::vector<Message> second = conversation(12);
    observe(store, second);
    observe(store, second);
    const std::vector<Message> third = conversation(14);
    observe(store, third);
    observe(store, third);
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));

    ConversationMemoryStore restored(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    EXPECT_EQ(restored.remembered(kKey), third);
}

TEST(ConversationMemoryStore, ABackgroundSaveThatFailsIsRecorded) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    ASSERT_TRUE(quillmere::testing::fileInTheWay(dir.filePath("support")));
    ConversationMemoryStore store(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                  onAWorker());
    const std::vector<Message> messages = conversation(6);
    observe(store, messages);
    observe(store, messages);
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().kind, "conversation memory");
    EXPECT_EQ(WriteFailures::shared().failures().front().host, kBundle);
    EXPECT_TRUE(store.retryPending());
    WriteFailures::shared().clear();
}

// A save written in passing, then a larger one on a worker that fails (a full disk): the worker's
// report is the newest, so its failure is said and tried again, and the retry writes the memory.
TEST(ConversationMemoryStore, ABackgroundSaveThatFailsAfterASaveInPassingIsRecordedAndRetried) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    ConversationMemoryStore::Background background = onTheMainThread();
    background.saveBytes = 64 * 1024;
    background.retryFirstMilliseconds = 20;
    background.retryLongestMilliseconds = 40;
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
    const std::vector<Message> small = conversation(6);
    std::vector<Message> large = small;
    large.push_back({QStringLiteral("user"), QStringLiteral("Please write the whole report")});
    large.push_back({QStringLiteral("assistant"), QString(200 * 1024, u'r')});
    observe(store, small);
    observe(store, small); // written in passing
    const QByteArray smallBytes = contents(store.file().path());
    ASSERT_FALSE(smallBytes.isEmpty());
    {
        const quillmere::testing::FileSizeLimit full(rlim_t(smallBytes.size()) + 1024);
        observe(store, large);
        ASSERT_TRUE(store.saving());
        ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    }
    EXPECT_EQ(WriteFailures::shared().failures().size(), 1) << "the worker's failure was not said";
    EXPECT_TRUE(store.retryPending());
    ASSERT_TRUE(pollUntil([&store] { return !store.retryPending() && !store.saving(); }));
    ConversationMemoryStore restarted(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    const MessageList recalled = restarted.remembered(kKey);
    EXPECT_TRUE(recalled == large) << "a restart recalls " << recalled.size() << " messages";
    WriteFailures::shared().clear();
}

// What decides is how much there is to write, not how many messages: a few long answers are as
// much to encode as thousands of short ones.
TEST(ConversationMemoryStore, AFewVeryLongMessagesAreSavedFromAWorker) {
    QTemporaryDir dir;
    ConversationMemoryStore::Background background = onTheMainThread();
    background.saveBytes = 256 * 1024;
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
    std::vector<Message> shortOnes = conversation(6);
    observe(store, shortOnes);
    observe(store, shortOnes);
    EXPECT_FALSE(store.saving()) << "a small memory is written in passing";
    EXPECT_TRUE(QFile::exists(store.file().path()));

    std::vector<Message> long_ones = shortOnes;
    for (int i = 0; i < 4; ++i)
        long_ones.push_back({i % 2 ? QStringLiteral("assistant") : QStringLiteral("user"),
                             QString(100 * 1024, QLatin1Char('a' + i))});
    observe(store, long_ones);
    observe(store, long_ones);
    EXPECT_TRUE(store.saving()) << "six records, but 400 KB of text";
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    ConversationMemoryStore restored(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    EXPECT_EQ(restored.remembered(kKey), long_ones);
}

// A read that changes nothing memory stores, the first of a conversation or one showing only what
// is stored already, has nothing to write: no save is started for it.
TEST(ConversationMemoryStore, AReadThatChangesNothingStoredWritesNothing) {
    QTemporaryDir dir;
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onAWorker());
    const std::vector<Message> messages = conversation(20);
    observe(store, messages); // waits to be stored
    EXPECT_FALSE(store.saving());
    EXPECT_FALSE(QFile::exists(store.file().path()));
    observe(store, messages);
    EXPECT_TRUE(store.saving());
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    const std::vector<Message> window(messages.end() - 6, messages.end());
    EXPECT_EQ(observe(store, window).messages, messages);
    EXPECT_FALSE(store.saving()) << "a save started for a read that stored nothing new";
    EXPECT_EQ(store.remembered(kKey), messages);
}

// A memory that shrinks below the size written in passing while a larger copy of it is still
// being written on the worker: the newer one is written after it, never before it.
TEST(ConversationMemoryStore, ASmallSaveWaitsForALargerOneStillRunning) {
    QTemporaryDir dir;
    WorkerGate gate;
    ConversationMemoryStore::Background background = onTheMainThread();
    background.saveBytes = 64 * 1024;
    background.workerGate = gate.pass();
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
    const Message request{QStringLiteral("user"), QStringLiteral("Please write the whole report")};
    const std::vector<Message> longAnswer{request, {QStringLiteral("assistant"), QString(200 * 1024, u'r')}};
    observe(store, longAnswer);
    observe(store, longAnswer);
    ASSERT_TRUE(store.saving());
    gate.waitForPasses(1);
    // The answer regenerated short: the memory is now far below the size a worker writes.
    const std::vector<Message> shortAnswer{request,
                                           {QStringLiteral("assistant"), QStringLiteral("A summary")}};
    EXPECT_EQ(observe(store, shortAnswer).messages, shortAnswer);
    gate.open();
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    ConversationMemoryStore restored(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    EXPECT_EQ(restored.remembered(kKey), shortAnswer);
}

// A save asked for while a worker has written and not yet reported: whichever writer comes next,
// in passing or on another worker, judges the file by what the worker wrote, and the worker's late
// report does not make a later save of those same bytes look written already.
TEST(ConversationMemoryStore, ASaveAskedForWhileAWorkersReportIsOnItsWayIsWritten) {
    const Message request{QStringLiteral("user"), QStringLiteral("Please write the whole report")};
    const auto answered = [&request](const QString& answer) {
        return std::vector<Message>{request, {QStringLiteral("assistant"), answer}};
    };
    const std::vector<Message> longAnswer = answered(QString(200 * 1024, u'r'));
    const std::vector<Message> otherLong = answered(QString(200 * 1024, u'o'));
    const std::vector<Message> shortAnswer = answered(QStringLiteral("A summary"));
    using Reads = std::vector<std::vector<Message>>;
    struct Case {
        const char* name;
        Reads saved;     // each saved in turn, the last by a worker held once it has written it
        Reads meanwhile; // read while that worker is held
        Reads after;     // read once its report has arrived
    };
    const Case cases[] = {
        {"a short answer in passing, then the long one again", {longAnswer}, {shortAnswer}, {longAnswer}},
        {"two long answers, then the first again", {longAnswer, otherLong}, {longAnswer}, {}},
        // The file held the short answer's bytes before the worker replaced them: a writer that
        // judged by a record of its own would take the same bytes again as written already.
        {"a short answer, a long one by a worker, then the short one again",
         {shortAnswer, longAnswer},
         {},
         {shortAnswer}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        // Each long answer is written by a worker; the gate holds the last of them.
        const int workerSaves = int(std::count_if(c.saved.begin(), c.saved.end(), [](const auto& read) {
            return read.back().text.size() > 64 * 1024;
        }));
        WorkerGate gate(workerSaves);
        ConversationMemoryStore::Background background = onTheMainThread();
        background.saveBytes = 64 * 1024;
        background.workerWritten = gate.pass();
        ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
        for (std::size_t i = 0; i < c.saved.size(); ++i) {
            observe(store, c.saved[i]);
            observe(store, c.saved[i]);
            if (i + 1 < c.saved.size()) {
                ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
            }
        }
        gate.waitForPasses(workerSaves);
        ASSERT_TRUE(store.saving());
        for (const auto& read : c.meanwhile)
            observe(store, read);
        gate.open();
        ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
        for (const auto& read : c.after)
            observe(store, read);
        ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
        const std::vector<Message>& newest = c.after.empty() ? c.meanwhile.back() : c.after.back();
        EXPECT_EQ(store.remembered(kKey), newest);
        ConversationMemoryStore restarted(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
        const MessageList restored = restarted.remembered(kKey);
        ASSERT_EQ(restored.size(), 2);
        EXPECT_TRUE(restored.back() == newest.back())
            << "the file (" << QFileInfo(store.file().path()).size() << " bytes) holds an answer of "
            << restored.back().text.size() << " characters";
    }
}

// A long history from a host's archive: its keys are worked out a part on each turn of the event
// loop, and until they all are the caller reads on without it; then observing it does what
// observing it at once would have done. What it grows by later is worked out in passing.
TEST(ConversationMemoryStore, ALongArchivedHistoryIsPreparedAPartAtATimeThenObservedAsItWouldHaveBeen) {
    QTemporaryDir preparedDir, plainDir;
    ConversationMemoryStore::Background background = onTheMainThread();
    background.prepareBytes = 4 * 1024;
    ConversationMemoryStore store(ConversationMemoryFile(preparedDir.path(), kBundle), background);
    ConversationMemoryStore plain(ConversationMemoryFile(plainDir.path(), kBundle), onTheMainThread());
    const MessageList history = conversation(200);
    EXPECT_FALSE(store.readyToObserve(history));
    EXPECT_TRUE(store.preparing());
    EXPECT_FALSE(store.readyToObserve(history)) << "still being worked out";
    int turns = 0;
    ASSERT_TRUE(pollUntil([&] { return ++turns, !store.preparing(); }));
    EXPECT_GT(turns, 1);
    ASSERT_TRUE(store.readyToObserve(history));
    for (int read = 0; read < 2; ++read) {
        const auto expected = observe(plain, history.toVector());
        const auto recall = observe(store, history.toVector());
        EXPECT_EQ(recall.messages, expected.messages);
        EXPECT_EQ(recall.connectedCount, expected.connectedCount);
        EXPECT_EQ(recall.windows, expected.windows);
    }
    std::vector<Message> grown = history.toVector();
    grown.push_back({QStringLiteral("user"), QStringLiteral("And one more thing")});
    EXPECT_TRUE(store.readyToObserve(MessageList(grown)));
    EXPECT_FALSE(store.preparing());
    EXPECT_EQ(observe(store, grown).messages, observe(plain, grown).messages);
    EXPECT_EQ(store.remembered(kKey), grown);
    EXPECT_EQ(ConversationMemoryStore(ConversationMemoryFile(preparedDir.path(), kBundle), onTheMainThread())
                  .remembered(kKey),
              ConversationMemoryStore(ConversationMemoryFile(plainDir.path(), kBundle), onTheMainThread())
                  .remembered(kKey));
}

// A long history waits for the stored memory: its keys are matched to the stored ones, so they
// are worked out once the restore is back.
TEST(ConversationMemoryStore, ALongArchivedHistoryIsPreparedOnceTheStoredMemoryIsBack) {
    QTemporaryDir dir;
    const std::vector<Message> stored = conversation(200);
    storedMemory(dir, stored);
    WorkerGate gate;
    ConversationMemoryStore::Background background = onAWorker();
    background.prepareBytes = 4 * 1024;
    background.workerGate = gate.pass();
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
    ASSERT_TRUE(store.restoring());
    std::vector<Message> history = stored;
    history.push_back({QStringLiteral("assistant"), QStringLiteral("A reply the memory has not seen")});
    const MessageList archived(history);
    EXPECT_FALSE(store.readyToObserve(archived));
    EXPECT_FALSE(store.preparing());
    gate.open();
    ASSERT_TRUE(pollUntil([&store] { return !store.restoring(); }));
    EXPECT_FALSE(store.readyToObserve(archived));
    EXPECT_TRUE(store.preparing());
    ASSERT_TRUE(pollUntil([&] { return store.readyToObserve(archived); }));
    EXPECT_EQ(observe(store, history).messages, history);
}

// The application quitting while a long history's keys are still being worked out: the store goes
// with its part timer, and nothing of it runs afterwards.
TEST(ConversationMemoryStore, AStoreGoneWhileALongHistoryIsPreparedLeavesNoPartToRun) {
    VirtualScheduler scheduler;
    const InstalledScheduler installed(scheduler);
    QTemporaryDir dir;
    ConversationMemoryStore::Background background = onTheMainThread();
    background.prepareBytes = 4 * 1024;
    const MessageList history = conversation(400);
    auto store =
        std::make_unique<ConversationMemoryStore>(ConversationMemoryFile(dir.path(), kBundle), background);
    ASSERT_FALSE(store->readyToObserve(history));
    scheduler.advance(0.001); // the first part worked out
    ASSERT_TRUE(store->preparing());
    store.reset();
    EXPECT_FALSE(scheduler.hasPendingTimers()) << "a part left to run on the store that is gone";
    scheduler.runUntil([] { return false; }, 10, 0);
}

// A change made while a save runs waits behind it; the store going (the application quitting)
// must not lose it: the worker writes it after the running one.
TEST(ConversationMemoryStore, ASaveWaitingBehindARunningOneIsWrittenAfterTheStoreIsGone) {
    QTemporaryDir dir;
    WorkerGate gate;
    ConversationMemoryStore::Background background = onAWorker();
    background.workerGate = gate.pass();
    const std::vector<Message> first = conversation(30);
    const std::vector<Message> second = conversation(32);
    {
        ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
        observe(store, first);
        observe(store, first);
        EXPECT_TRUE(store.saving());
        gate.waitForPasses(1); // the first save is held before it writes
        observe(store, second);
        observe(store, second);
    }
    gate.open();
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(gate.passes(), 2);
    ConversationMemoryStore restored(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    EXPECT_EQ(restored.remembered(kKey), second);
}

// A store that goes while its restore runs abandons the restore: nothing of it is adopted or
// written, and the file stays as it was, not set aside.
TEST(ConversationMemoryStore, ARestoreStillRunningWhenTheStoreGoesIsAbandoned) {
    QTemporaryDir dir;
    const QString path = storedMemory(dir, conversation(400));
    const QByteArray before = contents(path);
    {
        ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onAWorker());
        ASSERT_TRUE(store.restoring());
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(contents(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// Quitting in the middle of restoring a memory of many separate windows: the restore stops at
// its next step instead of reading and joining the rest, which the quit would wait for.
TEST(ConversationMemoryStore, ARestoreAbandonedInTheMiddleStopsAtItsNextStep) {
    QTemporaryDir dir;
    // Three conversations of a hundred windows each, none joining another.
    QByteArray stored = "[";
    for (int conversation = 0; conversation < 3; ++conversation) {
        QByteArray segments;
        for (int window = 0; window < 100; ++window)
            segments += QStringLiteral(R"(%1[{"message":{"role":"user","text":"Window %2 of %3"},)"
                                       R"("firstObservedAt":1,"identifiers":[]}])")
                            .arg(window ? "," : "")
                            .arg(window)
                            .arg(conversation)
                            .toUtf8();
        stored += QStringLiteral(R"(%1{"key":"%2%3","segments":[)")
                      .arg(conversation ? "," : "", kKey)
                      .arg(conversation)
                      .toUtf8() +
                  segments + "]}";
    }
    stored += "]";
    {
        QFile file(ConversationMemoryFile(dir.path(), kBundle).path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(stored);
    }
    // Held half way through the second conversation's segments.
    WorkerGate gate(150);
    ConversationMemoryStore::Background background = onAWorker();
    background.workerGate = gate.pass();
    {
        ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), background);
        ASSERT_TRUE(store.restoring());
        gate.waitForPasses(150);
    }
    gate.open();
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(gate.passes(), 150) << "the restore went on after the store was gone";
}

// A full disk that frees up while the conversation stays as it is: the failed save is tried again
// on a timer, and the memory reaches the file without another change.
TEST(ConversationMemoryStore, AFailedSaveIsRetriedOnATimerUntilItSucceeds) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    ASSERT_TRUE(quillmere::testing::fileInTheWay(dir.filePath("support")));
    ConversationMemoryStore::Background background = onTheMainThread();
    background.retryFirstMilliseconds = 20;
    background.retryLongestMilliseconds = 40;
    ConversationMemoryStore store(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                  background);
    const std::vector<Message> messages = conversation(8);
    observe(store, messages);
    observe(store, messages);
    EXPECT_FALSE(QFile::exists(store.file().path()));
    EXPECT_TRUE(store.retryPending());
    // Still failing: tried again, and again later.
    ASSERT_TRUE(pollUntil([] { return WriteFailures::shared().failures().value(0).failedAttempts >= 3; }));
    EXPECT_TRUE(store.retryPending());

    ASSERT_TRUE(QFile::remove(dir.filePath("support")));
    ASSERT_TRUE(pollUntil([&store] { return QFile::exists(store.file().path()); }));
    EXPECT_FALSE(store.retryPending());
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_TRUE(WriteFailures::shared().failures().front().writtenAgain);
    ConversationMemoryStore restored(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                     onTheMainThread());
    EXPECT_EQ(restored.remembered(kKey), messages);
    WriteFailures::shared().clear();
}

// The waits between attempts on a failing disk: doubling while the saves keep failing, and back
// to the first after one succeeded, whether a retry succeeded or a change written while a retry
// waited (which ends that retry).
TEST(ConversationMemoryStore, RetryWaitsDoubleWhileSavesFailAndStartOverAfterASuccess) {
    WriteFailures::shared().clear();
    VirtualScheduler scheduler;
    const InstalledScheduler installed(scheduler);
    QTemporaryDir dir;
    const QString obstacle = dir.filePath("support");
    ASSERT_TRUE(quillmere::testing::fileInTheWay(obstacle));
    ConversationMemoryStore store(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                  onTheMainThread());
    const auto record = [] { return WriteFailures::shared().failures().value(0); };
    // Runs virtual time until the next attempt; returns how long it waited.
    const auto nextAttempt = [&] {
        const WriteFailures::Failure before = record();
        const double from = scheduler.now();
        EXPECT_TRUE(scheduler.runUntil([&] { return record() != before; }, 3600, 0));
        return scheduler.now() - from;
    };
    observe(store, conversation(8));
    observe(store, conversation(8)); // fails, and is retried later
    ASSERT_TRUE(store.retryPending());
    std::vector<double> waits;
    waits.push_back(nextAttempt()); // fails again
    ASSERT_TRUE(QFile::remove(obstacle));
    waits.push_back(nextAttempt()); // succeeds
    EXPECT_TRUE(record().writtenAgain);
    EXPECT_FALSE(store.retryPending());
    ASSERT_TRUE(QDir(obstacle).removeRecursively());
    ASSERT_TRUE(quillmere::testing::fileInTheWay(obstacle));
    observe(store, conversation(10)); // fails
    EXPECT_TRUE(store.retryPending());
    waits.push_back(nextAttempt()); // fails again
    ASSERT_TRUE(QFile::remove(obstacle));
    observe(store, conversation(12)); // succeeds before the retry is due
    EXPECT_FALSE(store.retryPending());
    EXPECT_FALSE(scheduler.hasPendingTimers());
    ASSERT_TRUE(QDir(obstacle).removeRecursively());
    ASSERT_TRUE(quillmere::testing::fileInTheWay(obstacle));
    observe(store, conversation(14)); // fails
    EXPECT_TRUE(store.retryPending());
    waits.push_back(nextAttempt()); // fails again
    EXPECT_EQ(waits, (std::vector<double>{5, 10, 5, 5}));
    WriteFailures::shared().clear();
}

// A worker's write fails, and before its report arrives a smaller memory is written in passing:
// the file holds the newest memory, so the late report of the older write says nothing, and no
// retry is left waiting.
TEST(ConversationMemoryStore, AFailedWritesReportOlderThanALaterWriteSaysNothing) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    const QString obstacle = dir.filePath("support");
    ASSERT_TRUE(quillmere::testing::fileInTheWay(obstacle));
    WorkerGate gate;
    ConversationMemoryStore::Background background = onTheMainThread();
    background.saveBytes = 64 * 1024;
    background.workerWritten = gate.pass();
    ConversationMemoryStore store(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                  background);
    const Message request{QStringLiteral("user"), QStringLiteral("Please write the whole report")};
    const std::vector<Message> longAnswer{request, {QStringLiteral("assistant"), QString(200 * 1024, u'r')}};
    const std::vector<Message> shortAnswer{request,
                                           {QStringLiteral("assistant"), QStringLiteral("A summary")}};
    observe(store, longAnswer);
    observe(store, longAnswer);
    ASSERT_TRUE(store.saving());
    gate.waitForPasses(1); // the worker's write failed; its report is held
    ASSERT_TRUE(QFile::remove(obstacle));
    observe(store, shortAnswer); // written in passing
    ASSERT_TRUE(QFile::exists(store.file().path()));
    gate.open();
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(WriteFailures::shared().failures().isEmpty())
        << "said: " << WriteFailures::shared().failures().value(0).error.toStdString();
    EXPECT_FALSE(store.retryPending());
    ConversationMemoryStore restarted(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                      onTheMainThread());
    EXPECT_EQ(restarted.remembered(kKey), shortAnswer);
    WriteFailures::shared().clear();
}

// A disk that fills up while the file holds an older memory: the failed bytes were never written,
// so the retry of the same memory once there is room writes them, and only that write shows the
// failure resolved.
TEST(ConversationMemoryStore, TheRetryAfterAFullDiskWritesTheMemoryItCouldNotWrite) {
    WriteFailures::shared().clear();
    VirtualScheduler scheduler;
    const InstalledScheduler installed(scheduler);
    QTemporaryDir dir;
    ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    const std::vector<Message> older = conversation(6), newer = conversation(40);
    observe(store, older);
    observe(store, older);
    const QByteArray olderBytes = contents(store.file().path());
    ASSERT_FALSE(olderBytes.isEmpty());
    {
        const quillmere::testing::FileSizeLimit full(rlim_t(olderBytes.size()) + 64);
        observe(store, newer);
    }
    ASSERT_TRUE(store.retryPending());
    EXPECT_EQ(contents(store.file().path()), olderBytes);
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_FALSE(WriteFailures::shared().failures().front().writtenAgain);
    ASSERT_TRUE(scheduler.runUntil([&store] { return !store.retryPending(); }, 3600, 0));
    EXPECT_TRUE(contents(store.file().path()) != olderBytes) << "the retry wrote nothing";
    EXPECT_TRUE(WriteFailures::shared().failures().front().writtenAgain);
    ConversationMemoryStore restarted(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    const MessageList recalled = restarted.remembered(kKey);
    EXPECT_TRUE(recalled == newer) << "a restart recalls " << recalled.size() << " messages";
    WriteFailures::shared().clear();
}

// Without a read of the conversation in this session, what memory holds of it is its newest
// stored stretch, not an older one kept apart.
TEST(ConversationMemoryStore, WithoutAReadTheNewestStoredStretchIsRemembered) {
    QTemporaryDir dir;
    const std::vector<Message> all = conversation(40);
    const std::vector<Message> older(all.begin(), all.begin() + 6), newer(all.end() - 6, all.end());
    {
        ConversationMemoryStore store(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
        observe(store, older);
        observe(store, older);
        observe(store, newer); // shares nothing with the older stretch: kept apart
        EXPECT_EQ(observe(store, newer).windows, 2);
    }
    ConversationMemoryStore restored(ConversationMemoryFile(dir.path(), kBundle), onTheMainThread());
    EXPECT_EQ(restored.remembered(kKey), newer) << "an older stretch was reported";
}

// A damaged file that could not be moved aside stays as it is, however large the memory that
// would replace it: the save on a worker is refused as the one in passing is.
TEST(ConversationMemoryStore, ADamagedFileThatCouldNotBeSetAsideIsNotReplacedFromAWorker) {
    QTemporaryDir dir;
    const QString bundle(200, QLatin1Char('b'));
    const QString folder =
        quillmere::testing::memoryFileThatCannotBeSetAside(dir.path(), bundle, "[{\"key\": 12}]");
    ASSERT_FALSE(folder.isEmpty());
    ConversationMemoryStore store(ConversationMemoryFile(folder, bundle), onAWorker());
    ASSERT_TRUE(pollUntil([&store] { return !store.restoring(); }));
    EXPECT_TRUE(store.startedAfterDamage());
    const std::vector<Message> messages = conversation(6);
    observe(store, messages);
    observe(store, messages);
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    EXPECT_EQ(contents(store.file().path()), "[{\"key\": 12}]");
}

// A memory file of a megabyte is restored on a worker as the application starts: reading back
// tens of thousands of short windows, or a few hundred long answers, takes longer than a turn of
// the event loop may.
TEST(ConversationMemoryStore, AMegabyteFileIsRestoredOnAWorkerByDefault) {
    QTemporaryDir dir;
    std::vector<Message> messages;
    for (int i = 0; i < 100; ++i)
        messages.push_back({i % 2 ? QStringLiteral("assistant") : QStringLiteral("user"),
                            QStringLiteral("Answer %1 ").arg(i) + QString(10 * 1024, QLatin1Char('z'))});
    const QString path = storedMemory(dir, messages);
    ASSERT_GT(QFileInfo(path).size(), 1000 * 1000);
    ASSERT_LT(QFileInfo(path).size(), 4 * 1000 * 1000);
    ConversationMemoryStore store{ConversationMemoryFile(dir.path(), kBundle)};
    EXPECT_TRUE(store.restoring());
    ASSERT_TRUE(pollUntil([&store] { return !store.restoring(); }));
    EXPECT_EQ(store.remembered(kKey), messages);
}
