// What the conversation memory's file work costs the main loop: a timer ticks every 5 ms on the
// main thread while the store restores, observes and saves, and the longest gap between two ticks
// is the longest stretch the loop could not run (a stall).
//
// Usage:
//   measure_memory_store save <messages> <bytes per message>
//       A fresh store observes one conversation of that many messages (its first save), then the
//       store is made again from the file it wrote and observes the same window (a restart).
//       Then the same conversation comes as a host's archive gives it, on two reads: its keys are
//       worked out a part per turn of the event loop first (readyToObserve).
//   measure_memory_store restore <windows>...
//       For each count, a file of that many separate one-message windows of one conversation is
//       restored, as an older version wrote it and as the memory writes it now; prints its size,
//       the longest stall and the time until the memory is back.
//   measure_memory_store write-windows <path> <windows>
//       Writes such a file, for measuring the application's start and quit with it.
//   measure_memory_store write-at-bound <folder> <characters per message>
//       Writes into the folder the memory file of a conversation of code longer than the memory
//       keeps in bytes, read whole: a memory at its bound.
//   measure_memory_store restore-from <folder>
//       Reads and restores the memory file in the folder as the application's start does on a
//       worker; prints the times and the resident size before, with the memory alone and at the
//       peak.
// Everything is written in a private temporary folder, removed at the end.

#include "core/ConversationMemory.h"
#include "core/ConversationText.h"
#include "core/MessageList.h"
#include "desktop/observation/ConversationMemoryFile.h"
#include "desktop/observation/ConversationMemoryStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

using namespace quillmere;

namespace {

const QString kKey = QStringLiteral("claude|claude-code|session:measured");
const QString kBundle = QStringLiteral("com.anthropic.claude");

// Tracks the longest gap between ticks of a 5 ms timer on the main thread.
class StallWatch {
public:
    StallWatch() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    }
    void start() {
        longest_ = 0;
        clock_.start();
        last_ = 0;
        timer_.start();
    }
    qint64 stop() {
        tick();
        timer_.stop();
        return longest_;
    }

private:
    void tick() {
        const qint64 now = clock_.elapsed();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};

// Runs `step` on a later turn of the loop, then turns the loop until `done` or 600 s.
void runInLoop(const std::function<void()>& step, const std::function<bool()>& done) {
    bool stepped = false;
    QTimer::singleShot(20, [&] {
        step();
        stepped = true;
    });
    QElapsedTimer waited;
    waited.start();
    while (!(stepped && done()) && waited.elapsed() < 600000) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    // Let the last queued results arrive.
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Measured {
    qint64 stall = 0; // the longest main-loop stall, ms
    qint64 total = 0; // until `done`, ms
};

Measured measure(const std::function<void()>& step, const std::function<bool()>& done) {
    StallWatch watch;
    QElapsedTimer total;
    watch.start();
    total.start();
    runInLoop(step, done);
    const qint64 stall = watch.stop();
    return {stall, total.elapsed()};
}

std::vector<ConversationText::Message> conversation(int count, int bytes) {
    std::vector<ConversationText::Message> messages;
    messages.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        QString text = QStringLiteral("Message %1 of the measured session: ").arg(i);
        const QString filler = QStringLiteral("part %1 of a long answer; ").arg(i % 97);
        while (text.size() < bytes)
            text += filler;
        text.truncate(bytes);
        messages.push_back({i % 2 ? QStringLiteral("assistant") : QStringLiteral("user"), text});
    }
    return messages;
}

int measureSave(int count, int bytes) {
    QTemporaryDir dir;
    const auto messages = conversation(count, bytes);
    const std::vector<std::optional<QString>> identifiers(messages.size());
    const QDateTime at = QDateTime::currentDateTimeUtc();
    // The memory's own work on the same two reads, without any file: what no worker can take.
    QElapsedTimer observing;
    observing.start();
    {
        ConversationMemory memory;
        memory.observe(kKey, messages, identifiers, false, at);
        memory.observe(kKey, messages, identifiers, false, at);
    }
    const qint64 observeOnly = observing.elapsed();
    Measured firstSave, restart;
    QString path;
    {
        std::unique_ptr<ConversationMemoryStore> store;
        firstSave = measure(
            [&] {
                store =
                    std::make_unique<ConversationMemoryStore>(ConversationMemoryFile(dir.path(), kBundle));
                store->observe(kKey, messages, identifiers, false, at);
                store->observe(kKey, messages, identifiers, false, at);
            },
            [&] { return store && !store->saving(); });
        path = store->file().path();
    }
    const qint64 fileBytes = QFileInfo(path).size();
    {
        std::unique_ptr<ConversationMemoryStore> store;
        bool observed = false;
        // What a read does once the memory is back: the window shows the newest part.
        const std::vector<ConversationText::Message> window(messages.end() - 20, messages.end());
        const std::vector<std::optional<QString>> none(window.size());
        restart = measure(
            [&] {
                store =
                    std::make_unique<ConversationMemoryStore>(ConversationMemoryFile(dir.path(), kBundle));
            },
            [&] {
                if (!store || store->restoring())
                    return false;
                if (!observed) {
                    store->observe(kKey, window, none, false, at.addSecs(60));
                    store->observe(kKey, window, none, false, at.addSecs(61));
                    observed = true;
                }
                return !store->saving();
            });
    }
    Measured archived;
    {
        QTemporaryDir archivedDir;
        std::unique_ptr<ConversationMemoryStore> store;
        const MessageList history(messages);
        int reads = 0;
        archived = measure(
            [&] {
                store = std::make_unique<ConversationMemoryStore>(
                    ConversationMemoryFile(archivedDir.path(), kBundle));
            },
            [&] {
                // One read a turn, as the tracker reads, each observing the history once it is ready.
                if (reads < 2 && store->readyToObserve(history)) {
                    store->observe(kKey, history, {}, false, at);
                    ++reads;
                }
                return reads == 2 && !store->saving();
            });
    }
    QThreadPool::globalInstance()->waitForDone();
    std::printf("save: %d messages, file %.1f MB\n", count, double(fileBytes) / 1e6);
    std::printf("  first save: longest main-loop stall %lld ms; saved after %lld ms\n",
                (long long)firstSave.stall, (long long)firstSave.total);
    std::printf("  for comparison, the memory's own two reads of these messages, without a file: %lld ms\n",
                (long long)observeOnly);
    std::printf("  restart (restore, then a read): longest main-loop stall %lld ms; settled after %lld ms\n",
                (long long)restart.stall, (long long)restart.total);
    std::printf(
        "  as an archived history on two reads, its keys worked out first: longest main-loop stall %lld ms; "
        "saved after %lld ms\n",
        (long long)archived.stall, (long long)archived.total);
    return 0;
}

// One conversation of `windows` separate windows, one short message each, texts all different so
// that none joins another.
QByteArray windowsFile(int windows) {
    QByteArray out = "[{\"conversationScopeID\":\"measured\",\"key\":\"";
    out += kKey.toUtf8();
    out += "\",\"segments\":[";
    for (int i = 0; i < windows; ++i) {
        if (i)
            out += ',';
        out += "[{\"firstObservedAt\":1,\"identifiers\":[],\"message\":{\"role\":\"";
        out += i % 2 ? "assistant" : "user";
        out += "\",\"text\":\"Window ";
        out += QByteArray::number(i);
        out += "\"}}]";
    }
    out += "]}]";
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int measureRestore(const std::vector<int>& counts) {
    for (int windows : counts) {
        const QByteArray older = windowsFile(windows);
        ConversationMemory written;
        written.restore(older);
        for (const auto& [form, bytes] :
             {std::pair{"older form", older}, std::pair{"as written", written.encoded()}}) {
            QTemporaryDir dir;
            const ConversationMemoryFile file(dir.path(), kBundle);
            if (!writeFile(file.path(), bytes))
                return 1;
            std::unique_ptr<ConversationMemoryStore> store;
            const Measured restored = measure(
                [&] {
                    store = std::make_unique<ConversationMemoryStore>(
                        ConversationMemoryFile(dir.path(), kBundle));
                },
                [&] { return store && !store->restoring(); });
            std::printf("restore: %6d windows, %s, file %.2f MB: longest main-loop stall %lld ms; restored "
                        "after %lld ms\n",
                        windows, form, double(bytes.size()) / 1e6, (long long)restored.stall,
                        (long long)restored.total);
            std::fflush(stdout);
            store.reset();
            QThreadPool::globalInstance()->waitForDone();
        }
    }
    return 0;
}

// Code as an agent's session shows it: indented lines, quotes and line breaks, each message its own.
std::vector<ConversationText::Message> codeConversation(int count, int characters) {
    std::vector<ConversationText::Message> messages;
    messages.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        QString text = QStringLiteral("Change %1:\n").arg(i);
        for (int line = 0; text.size() < characters; ++line)
            text += QStringLiteral("    if (value_%1 > limit) {\n        return \"item %2/%1\";\n    }\n")
                        .arg(line)
                        .arg(i);
        text.truncate(characters);
        messages.push_back({i % 2 ? QStringLiteral("assistant") : QStringLiteral("user"), text});
    }
    return messages;
}

// The resident size and its peak since the last reset, in MB, from /proc.
std::pair<double, double> residentMB() {
    QFile status(QStringLiteral("/proc/self/status"));
    double rss = 0, peak = 0;
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() >= 2 && fields[0] == "VmRSS:")
                rss = fields[1].toDouble() / 1024;
            if (fields.size() >= 2 && fields[0] == "VmHWM:")
                peak = fields[1].toDouble() / 1024;
        }
    return {rss, peak};
}

// A memory at its bound in bytes: one conversation of code longer than the memory keeps, read
// whole, and saved as the application saves it.
int writeAtBound(const QString& folder, int characters) {
    const int count = int(ConversationMemory::maximumBytes / std::size_t(characters)) + 1000;
    const auto messages = codeConversation(count, characters);
    const std::vector<std::optional<QString>> identifiers(messages.size());
    const QDateTime at = QDateTime::currentDateTimeUtc();
    ConversationMemory memory;
    memory.observe(kKey, messages, identifiers, false, at);
    memory.observe(kKey, messages, identifiers, false, at);
    ConversationMemoryFile file(folder, kBundle);
    const QByteArray bytes = memory.encoded();
    std::printf("at the bound: %d messages of %d characters read, %zu kept; estimate %.1f MB, file %.1f MB "
                "(bound %.1f MB, a restore reads up to %.1f MB)\n",
                count, characters, memory.recordCount(), double(memory.encodedSizeEstimate()) / 1e6,
                double(bytes.size()) / 1e6, double(ConversationMemory::maximumBytes) / 1e6,
                double(ConversationMemory::maximumFileBytes) / 1e6);
    return file.save(bytes) ? 0 : 1;
}

// Reads and restores the memory `folder` holds, as the application's start does on a worker, and
// tells how long each took and the resident size before, with the memory alone, and at the peak.
int restoreFrom(const QString& folder) {
    const auto before = residentMB();
    // The peak from here on.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    QElapsedTimer clock;
    clock.start();
    ConversationMemoryFile file(folder, kBundle);
    std::optional<QByteArray> bytes = file.load();
    if (!bytes)
        return 1;
    const qint64 read = clock.restart();
    ConversationMemory memory;
    memory.restore(*bytes);
    const qint64 restored = clock.elapsed();
    const double fileMB = double(bytes->size()) / 1e6;
    bytes.reset();
    // What the application's store gives back after a restore.
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
    const auto after = residentMB();
    std::printf(
        "restore-from: file %.1f MB read in %lld ms, %zu messages restored in %lld ms; resident %.0f MB "
        "before, %.0f MB with the memory alone, %.0f MB at the peak\n",
        fileMB, (long long)read, memory.recordCount(), (long long)restored, before.first, after.first,
        after.second);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 4 && arguments[1] == QLatin1String("save"))
        return measureSave(arguments[2].toInt(), arguments[3].toInt());
    if (arguments.size() >= 3 && arguments[1] == QLatin1String("restore")) {
        std::vector<int> counts;
        for (int i = 2; i < arguments.size(); ++i)
            counts.push_back(arguments[i].toInt());
        return measureRestore(counts);
    }
    if (arguments.size() == 4 && arguments[1] == QLatin1String("write-at-bound"))
        return writeAtBound(arguments[2], arguments[3].toInt());
    if (arguments.size() == 3 && arguments[1] == QLatin1String("restore-from"))
        return restoreFrom(arguments[2]);
    if (arguments.size() == 4 && arguments[1] == QLatin1String("write-windows"))
        return writeFile(arguments[2], windowsFile(arguments[3].toInt())) ? 0 : 1;
    std::fprintf(stderr, "usage: measure_memory_store save <messages> <bytes> | restore <windows>... | "
                         "write-windows <path> <windows> | write-at-bound <folder> <characters> | "
                         "restore-from <folder>\n");
    return 2;
}
