// The Codex archive lookup against the bare cost of its three queries, on an archive the size of
// a long-used host: 200 threads, 100,000 items, the looked-up task holding 2,000 of them.
//
// Targets: an uncached lookup costs at most three times running the same three statements through
// the SQLite C API alone; a cached lookup with no new item costs under 5% of an uncached one.
//
// The tables are created as the host's files are known to look: the columns the reader reads and
// no index (argument 0). The host's further tables, columns and indices are unknown. Argument 1
// adds the one index a host keeping per-thread rollouts would most plausibly have, on
// (thread_id, rollout_ordinal), to show how the figures move with it. An index made to serve the
// revision query is deliberately not measured: nothing says the host has one.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>
#include <sqlite3.h>
#include <stdexcept>
#include <vector>

#include "desktop/observation/CodexLocalConversationArchive.h"

namespace {

using namespace quillmere;
namespace archive = CodexLocalConversationArchive;
using ConversationText::Message;

constexpr int threadCount = 200;
constexpr int itemCount = 100'000;
constexpr int taskItems = 2'000;
const QString taskTitle = QStringLiteral("Task 0");

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

const char* const words[] = {"the",    "archive", "thread",  "request", "answer", "detail",  "window",
                             "update", "message", "compile", "module",  "tests",  "ordered", "value",
                             "build",  "config",  "verify",  "index",   "render", "change"};

QString sentence(QRandomGenerator& random, int wordsWanted) {
    QString text;
    for (int i = 0; i < wordsWanted; ++i) {
        if (i)
            text += QLatin1Char(' ');
        text += QLatin1String(words[random.bounded(int(std::size(words)))]);
    }
    return text;
}

// A user request of 8-40 words or an assistant answer of one to four paragraphs of 20-80 words,
// with the Markdown and punctuation the host stores; every text carries its own number so that
// it is unique.
Message message(QRandomGenerator& random, int n) {
    if (n % 2 == 0)
        return {QStringLiteral("user"), QStringLiteral("Request %1: ").arg(n) +
                                            sentence(random, 8 + random.bounded(33)) + QStringLiteral("?")};
    QString answer = QStringLiteral("**Answer %1**: ").arg(n) + sentence(random, 20 + random.bounded(61)) +
                     QLatin1Char('.');
    for (int paragraphs = random.bounded(4); paragraphs > 0; --paragraphs)
        answer += QStringLiteral("\n\n") + sentence(random, 20 + random.bounded(61)) + QLatin1Char('.');
    if (n % 10 == 1)
        answer += QStringLiteral(" Works for ו־427 checks.");
    return {QStringLiteral("assistant"), answer};
}

QByteArray itemJson(const Message& m) {
    QJsonObject object;
    if (m.role == QLatin1StringView("user")) {
        object[QStringLiteral("content")] = QJsonArray{
            QJsonObject{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), m.text}}};
    } else {
        object[QStringLiteral("phase")] = QStringLiteral("final_answer");
        object[QStringLiteral("text")] = m.text;
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

struct Archive {
    QTemporaryDir dir;
    std::vector<Message> visible; // the task's last ten messages

    // `threadIndex`: the items are also indexed by thread and rollout ordinal, so the thread's
    // queries visit its rows alone rather than every row of the table.
    explicit Archive(bool threadIndex) {
        QRandomGenerator random(42);
        sqlite3* state = nullptr;
        sqlite3_open(QFile::encodeName(dir.filePath(QStringLiteral("state_5.sqlite"))).constData(), &state);
        exec(state, "CREATE TABLE threads (id TEXT, name TEXT, title TEXT)");
        exec(state, "BEGIN");
        for (int t = 0; t < threadCount; ++t) {
            const QByteArray sql =
                QStringLiteral("INSERT INTO threads VALUES ('thread-%1', 'Task %1', 'Title %1')")
                    .arg(t)
                    .toUtf8();
            exec(state, sql.constData());
        }
        exec(state, "COMMIT");
        sqlite3_close(state);

        sqlite3* history = nullptr;
        sqlite3_open(QFile::encodeName(dir.filePath(QStringLiteral("thread_history_1.sqlite"))).constData(),
                     &history);
        exec(history, "PRAGMA journal_mode=WAL");
        exec(history, "CREATE TABLE thread_items (thread_id TEXT, rollout_ordinal INTEGER, item_type TEXT, "
                      "item_json TEXT, created_at_ms INTEGER, updated_at_ordinal INTEGER DEFAULT 0)");
        if (threadIndex)
            exec(history, "CREATE INDEX thread_items_by_thread ON thread_items (thread_id, rollout_ordinal)");
        exec(history, "BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(history,
                           "INSERT INTO thread_items (thread_id, rollout_ordinal, item_type, item_json, "
                           "created_at_ms, updated_at_ordinal) VALUES (?, ?, ?, ?, ?, ?)",
                           -1, &insert, nullptr);
        // Threads' items interleave in the table as they would over months of use.
        std::vector<int> nextOrdinal(threadCount, 1);
        std::vector<Message> task;
        for (int i = 0; i < itemCount; ++i) {
            const int thread = (i % 50 == 0) ? 0 : 1 + random.bounded(threadCount - 1);
            const int ordinal = nextOrdinal[thread]++;
            const Message m = message(random, ordinal - 1);
            if (thread == 0)
                task.push_back(m);
            const QByteArray id = QStringLiteral("thread-%1").arg(thread).toUtf8();
            const QByteArray json = itemJson(m);
            sqlite3_bind_text(insert, 1, id.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 2, ordinal);
            sqlite3_bind_text(insert, 3, m.role == QLatin1StringView("user") ? "userMessage" : "agentMessage",
                              -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 4, json.constData(), int(json.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 5, 1'700'000'000'000LL + i);
            sqlite3_bind_int64(insert, 6, ordinal);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        exec(history, "COMMIT");
        exec(history, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(history);
        if (int(task.size()) != taskItems)
            throw std::runtime_error("the task has the wrong size");
        visible.assign(task.end() - 10, task.end());
    }
};

// Argument 0: the tables as known, without an index; 1: the items indexed by thread as well.
Archive& fixture(const benchmark::State& state) {
    static Archive knownTables(false);
    static Archive withThreadIndex(true);
    return state.range(0) == 0 ? knownTables : withThreadIndex;
}

// The same three statements with nothing done to their rows but reading the columns; without
// the item read, what any lookup costs at least.
void queriesAlone(const QString& directory, bool readItems = true) {
    sqlite3* state = nullptr;
    sqlite3* history = nullptr;
    const QDir dir(directory);
    sqlite3_open_v2(QFile::encodeName(dir.filePath(QStringLiteral("state_5.sqlite"))).constData(), &state,
                    0x8001, nullptr);
    sqlite3_open_v2(QFile::encodeName(dir.filePath(QStringLiteral("thread_history_1.sqlite"))).constData(),
                    &history, 0x8001, nullptr);
    const QByteArray title = taskTitle.toUtf8();
    QByteArray id;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(state, archive::threadIDsSQL, -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, title.constData(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, title.constData(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(statement) == SQLITE_ROW)
        id = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);

    sqlite3_prepare_v2(history, archive::revisionSQL, -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, id.constData(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(statement) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_int64(statement, 0));
        benchmark::DoNotOptimize(sqlite3_column_int64(statement, 1));
        benchmark::DoNotOptimize(sqlite3_column_int64(statement, 2));
    }
    sqlite3_finalize(statement);

    sqlite3_prepare_v2(history, archive::messagesSQL, -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, id.constData(), -1, SQLITE_TRANSIENT);
    while (readItems && sqlite3_step(statement) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_int64(statement, 0));
        benchmark::DoNotOptimize(sqlite3_column_text(statement, 1));
        benchmark::DoNotOptimize(sqlite3_column_text(statement, 2));
        benchmark::DoNotOptimize(sqlite3_column_int64(statement, 3));
    }
    sqlite3_finalize(statement);
    sqlite3_close(history);
    sqlite3_close(state);
}

void BM_QueriesAlone(benchmark::State& state) {
    const QString directory = fixture(state).dir.path();
    for (auto _ : state)
        queriesAlone(directory);
}
BENCHMARK(BM_QueriesAlone)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_TitleAndRevisionQueriesAlone(benchmark::State& state) {
    const QString directory = fixture(state).dir.path();
    for (auto _ : state)
        queriesAlone(directory, false);
}
BENCHMARK(BM_TitleAndRevisionQueriesAlone)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_UncachedLookup(benchmark::State& state) {
    Archive& archive = fixture(state);
    for (auto _ : state) {
        const archive::Lookup result = archive::lookup(taskTitle, archive.visible, archive.dir.path());
        if (!result.isVerified())
            state.SkipWithError("the task did not verify");
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_UncachedLookup)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_CachedLookup(benchmark::State& state) {
    Archive& archive = fixture(state);
    archive::Reader reader;
    reader.lookup(taskTitle, archive.visible, archive.dir.path());
    for (auto _ : state) {
        const archive::Lookup result = reader.lookup(taskTitle, archive.visible, archive.dir.path());
        if (!result.isVerified())
            state.SkipWithError("the task did not verify");
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_CachedLookup)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
