// The conversation memory's file work on a worker thread: a large memory is restored and saved
// without holding the main thread, and nothing is consulted or written before it is back.

#include "desktop/observation/ConversationMemoryStore.h"

#include "desktop/diagnostics/WriteFailures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <limits>

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

// Everything on the worker threads is done on the main thread as soon as the loop turns.
ConversationMemoryStore::Background onTheMainThread() {
    return {std::numeric_limits<qint64>::max(), std::numeric_limits<std::size_t>::max()};
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
    // Meanwhile the reads go on with the window alone, and the file is not replaced by them.
    EXPECT_TRUE(store.remembered(kKey).empty());
    const std::vector<Message> window(stored.end() - 4, stored.end());
    EXPECT_TRUE(observe(store, window).messages.empty());
    EXPECT_TRUE(observe(store, window).messages.empty());
    EXPECT_EQ(contents(path), before);

    ASSERT_TRUE(pollUntil([&store] { return !store.restoring(); }));
    EXPECT_EQ(store.remembered(kKey), stored);
    EXPECT_EQ(observe(store, window).messages, stored) << "the restored memory connects the window";
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
    QFile blocker(dir.filePath("support"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ConversationMemoryStore store(ConversationMemoryFile(dir.filePath("support/Quillmere"), kBundle),
                                  onAWorker());
    const std::vector<Message> messages = conversation(6);
    observe(store, messages);
    observe(store, messages);
    ASSERT_TRUE(pollUntil([&store] { return !store.saving(); }));
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().path, store.file().path());
    WriteFailures::shared().clear();
}
