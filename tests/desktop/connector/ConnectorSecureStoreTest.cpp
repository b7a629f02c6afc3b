#include "ConnectorTestSupport.h"

#include "desktop/diagnostics/WriteFailures.h"
#include "platform/tasks/Scheduler.h"
#include "support/FifoGuard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

// Records the thread each backend call ran on.
class ThreadRecordingBackend final : public ConnectorSecretBackend {
public:
    std::optional<QByteArray> lookup(const QString& s, const QString& a, bool interaction) override {
        threads.push_back(QThread::currentThread());
        return memory.lookup(s, a, interaction);
    }
    void store(const QString& s, const QString& a, const QByteArray& v) override {
        threads.push_back(QThread::currentThread());
        memory.store(s, a, v);
    }
    void remove(const QString& s, const QString& a, bool interaction) override {
        threads.push_back(QThread::currentThread());
        memory.remove(s, a, interaction);
    }
    MemorySecretBackend memory;
    std::vector<QThread*> threads;
};

void drain(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

TEST(ConnectorSecureStore, RunsEveryCallInOrderOnOneWorkerAndResumesOnTheMainThread) {
    auto backend = std::make_shared<ThreadRecordingBackend>();
    ConnectorSecureStore store(backend, QStringLiteral("test.service"));
    std::vector<QString> events;
    bool done = false;
    spawn(QStringLiteral("store test"), [&]() -> QCoro::Task<void> {
        const std::optional<ConnectorCredential> nothing = co_await store.load(false);
        EXPECT_FALSE(nothing);
        events.push_back(QThread::currentThread() == qApp->thread() ? "main" : "other");
        const ConnectorCredential first = credential();
        const ConnectorCredential second = credential(otherToken43);
        co_await store.save(first);
        co_await store.save(second);
        const std::optional<ConnectorCredential> replaced = co_await store.load(false);
        EXPECT_EQ(replaced, second); // replaced in place
        co_await store.clear(false);
        co_await store.clear(false); // nothing left: still success
        backend->memory.failNext(MemorySecretBackend::lookupOperation);
        try {
            co_await store.load(true);
            events.push_back("no failure");
        } catch (const ConnectorFailure& failure) {
            events.push_back(ConnectorFailure::name(failure.kind()));
        }
        backend->memory.put(QStringLiteral("test.service"), "garbage");
        try {
            co_await store.load(false);
        } catch (const DecodingError&) {
            events.push_back("decoding");
        }
        done = true;
    });
    drain([&] { return done; });
    ASSERT_TRUE(done);
    EXPECT_EQ(events, (std::vector<QString>{"main", "keychain", "decoding"}));
    ASSERT_EQ(backend->threads.size(), 8u);
    for (QThread* thread : backend->threads) {
        EXPECT_NE(thread, qApp->thread());
        EXPECT_EQ(thread, backend->threads.front());
    }
}

TEST(ConnectorSecureStore, ALockedItemNeedsInteraction) {
    MemorySecretBackend backend;
    ConnectorKeychain::save(backend, QStringLiteral("s"), credential());
    backend.setLocked(true);
    EXPECT_THROW(ConnectorKeychain::load(backend, QStringLiteral("s"), false), ConnectorFailure);
    EXPECT_THROW(ConnectorKeychain::clear(backend, QStringLiteral("s"), false), ConnectorFailure);
    EXPECT_EQ(ConnectorKeychain::load(backend, QStringLiteral("s"), true), credential());
    // Build modes never see each other's items.
    EXPECT_FALSE(ConnectorKeychain::load(backend, QStringLiteral("other"), true));
}

// The suite usable at the start and its file swapped for a FIFO later: the revocation cannot be
// recorded, and that is said once, until a write succeeds again.
TEST(ConnectorLinkPreferences, ARevocationThatCannotBeRecordedIsSaidOnce) {
    QTemporaryDir folder;
    const QString suite = QStringLiteral("com.example.desktop.connector.local.v1");
    const QString path = folder.filePath(suite + QStringLiteral(".ini"));
    WriteFailures::shared().clear();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(QFile::encodeName(path), [&] {
        DefaultsLinkPreferences preferences(suite, folder.path());
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        preferences.setRevocationPending();
        preferences.setRevocationPending();
        EXPECT_TRUE(preferences.revocationPending()) << "kept for the run";
        ASSERT_TRUE(QFile::remove(path));
        preferences.setRevocationPending();
    }));
    const std::string said = ::testing::internal::GetCapturedStderr();
    const QList<WriteFailures::Failure> failures = WriteFailures::shared().failures();
    WriteFailures::shared().clear();
    EXPECT_EQ(said, "quillmere: could not save the connector user defaults (not a regular file)\n");
    ASSERT_EQ(failures.size(), 1);
    EXPECT_EQ(failures.front().failedAttempts, 2);
    EXPECT_TRUE(failures.front().writtenAgain);
    EXPECT_TRUE(DefaultsLinkPreferences(suite, folder.path()).revocationPending());
}

// A revocation that could not be saved at first (something other than a lock in the lock's
// place) is saved by the suite itself once the place is clear: the failure said is then resolved,
// as a save that succeeds after it resolves it.
TEST(ConnectorLinkPreferences, ARevocationSavedLaterOfItsOwnAccordResolvesTheFailureSaid) {
    QTemporaryDir folder;
    const QString suite = QStringLiteral("com.example.desktop.connector.local.v1");
    const QByteArray lock = QFile::encodeName(folder.filePath(suite + QStringLiteral(".ini.lock")));
    ASSERT_EQ(::mkfifo(lock.constData(), 0600), 0);
    VirtualScheduler scheduler;
    Scheduler::setCurrent(&scheduler);
    WriteFailures::shared().clear();
    ::testing::internal::CaptureStderr();
    {
        DefaultsLinkPreferences preferences(suite, folder.path());
        preferences.setRevocationPending();
        ASSERT_EQ(::unlink(lock.constData()), 0);
        scheduler.advance(10);
    }
    Scheduler::setCurrent(nullptr);
    const std::string said = ::testing::internal::GetCapturedStderr();
    const QList<WriteFailures::Failure> failures = WriteFailures::shared().failures();
    WriteFailures::shared().clear();
    EXPECT_EQ(
        said,
        "quillmere: could not save the connector user defaults (its lock file is not a regular file)\n");
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures.front().writtenAgain) << "still recorded as unsaved once written";
    EXPECT_TRUE(DefaultsLinkPreferences(suite, folder.path()).revocationPending());
}

TEST(ConnectorLinkPreferences, TheFlagIsOnDiskAtOnce) {
    QTemporaryDir folder;
    DefaultsLinkPreferences preferences(QStringLiteral("com.example.desktop.connector.local.v1"),
                                        folder.path());
    EXPECT_FALSE(preferences.revocationPending());
    preferences.setRevocationPending();
    DefaultsLinkPreferences reader(QStringLiteral("com.example.desktop.connector.local.v1"), folder.path());
    EXPECT_TRUE(reader.revocationPending());
    DefaultsLinkPreferences otherMode(QStringLiteral("com.example.desktop.connector.hosted.v1"),
                                      folder.path());
    EXPECT_FALSE(otherMode.revocationPending());
    preferences.removeRevocationPending();
    DefaultsLinkPreferences again(QStringLiteral("com.example.desktop.connector.local.v1"), folder.path());
    EXPECT_FALSE(again.revocationPending());
}

// The connector's suite goes through the rule of the application's own: a FIFO where its file
// should be is neither waited for nor replaced; the flag is kept for the run, and the refusal is
// said once, by kind and reason, however often the suite is opened.
TEST(ConnectorLinkPreferences, ASuiteFileThatMayNotBeUsedIsSaidOnceAndKeptForTheRun) {
    QTemporaryDir folder;
    const QString suite = QStringLiteral("com.example.desktop.connector.local.v1");
    const QByteArray fifo = QFile::encodeName(folder.filePath(suite + QStringLiteral(".ini")));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    WriteFailures::shared().clear();
    ::testing::internal::CaptureStderr();
    bool pending = true;
    bool kept = false;
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(fifo, [&] {
        DefaultsLinkPreferences preferences(suite, folder.path());
        pending = preferences.revocationPending();
        preferences.setRevocationPending();
        kept = preferences.revocationPending();
        preferences.removeRevocationPending();
        preferences.setRevocationPending();
        DefaultsLinkPreferences again(suite, folder.path());
    }));
    const std::string said = ::testing::internal::GetCapturedStderr();
    WriteFailures::shared().clear();
    EXPECT_FALSE(pending);
    EXPECT_TRUE(kept);
    // A revocation that cannot be recorded as pending would not be taken up after a restart: said
    // once, as any owned file's failed save is.
    EXPECT_EQ(said, "quillmere: did not use the connector user defaults (not a regular file); running on the "
                    "built-in defaults\n"
                    "quillmere: could not save the connector user defaults (not a regular file)\n");
    struct stat status {};
    ASSERT_EQ(::lstat(fifo.constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}
