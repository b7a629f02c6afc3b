// Reading a large Claude Code transcript: a full lookup against a bare loop that only parses each
// line, the peak memory of that lookup, a repeated lookup of an unchanged file, and the lookup after
// the host has appended to the file; and a reply of many events, whose time per event stays flat.
//
// Two synthetic transcripts. The classic one (about 40,000 events and 100 MB: requests of a few
// hundred bytes, replies of a few kilobytes, tool calls and large tool results, the envelope fields
// every event carries, a little non-ASCII text, a few abandoned forks) keeps its figures comparable
// from change to change. The realistic one is written at 10, 50 and 100 MB in the proportions of
// real sessions: mixed scripts and emoji (about a fifth of the bytes non-ASCII), thinking blocks,
// tool calls with progress rows beside them, tool results, file snapshots and forks.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <string>

#include "core/Json.h"
#include "desktop/observation/ClaudeLocalConversationArchive.h"

using namespace quillmere;
using namespace quillmere::ClaudeLocalConversationArchive;

namespace {

const QString kSession = QStringLiteral("local_bench-0000-4000-8000-000000000000");
const QString kCli = QStringLiteral("bench000-0000-4000-8000-000000000000");
const QString kDocument = QStringLiteral("https://claude.ai/epitaxy/") + kSession;

struct Fixture {
    QTemporaryDir dir;
    QString metadataRoot, projectsRoot, transcript;
    qint64 bytes = 0;
    int rows = 0;
    QString lastRequest;
};

// A JSON string literal, written as the project writes every JSON string.
std::string jsonString(const std::string& text) {
    return json::quoted(QString::fromStdString(text)).toStdString();
}

const char* const kWords[] = {"the",   "component", "renders",  "state",   "update", "filter", "request",
                              "test",  "dashboard", "function", "returns", "value",  "when",   "query",
                              "cache", "and",       "error",    "handler", "config", "build",  "שלום",
                              "café",  "naïve",     "→",        "résumé"};

std::string prose(QRandomGenerator& random, int bytes) {
    std::string out;
    while (int(out.size()) < bytes) {
        out += kWords[random.bounded(int(std::size(kWords)))];
        out += random.bounded(12) == 0 ? ".\n" : " ";
    }
    return out;
}

std::string uuidFor(int n) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "bb000000-0000-4000-8000-%012d", n);
    return buffer;
}

// Writes the session's metadata and transcript; returns the fixture.
Fixture& fixture() {
    static Fixture f = [] {
        Fixture out;
        QDir(out.dir.path()).mkpath("sessions/account/org");
        QDir(out.dir.path()).mkpath("projects/-home-bench-project");
        out.metadataRoot = out.dir.path() + "/sessions";
        out.projectsRoot = out.dir.path() + "/projects";
        out.transcript = out.dir.path() + "/projects/-home-bench-project/" + kCli + ".jsonl";
        QRandomGenerator random(42);
        std::ofstream file(out.transcript.toStdString(), std::ios::binary);
        const std::string envelope = ",\"sessionId\":\"" + kCli.toStdString() +
                                     "\",\"cwd\":\"/home/bench/project\",\"version\":\"2.1.0\","
                                     "\"gitBranch\":\"main\",\"isSidechain\":false,\"userType\":\"external\"";
        int n = 0;
        int parent = 0;
        auto addRow = [&](int parentOf, const std::string& type, const std::string& content, bool human) {
            ++n;
            std::string row =
                "{\"parentUuid\":" + (parentOf ? jsonString(uuidFor(parentOf)) : std::string("null")) +
                envelope + ",\"type\":\"" + type + "\",\"uuid\":\"" + uuidFor(n) +
                "\",\"timestamp\":\"2026-09-29T08:00:00.000Z\"";
            if (human)
                row += ",\"origin\":{\"kind\":\"human\"}";
            if (type == "assistant")
                row +=
                    ",\"requestId\":\"req_" + std::to_string(n) +
                    "\",\"usage\":{\"input_tokens\":1234,\"output_tokens\":567,\"cache_read_input_tokens\":"
                    "89012}";
            row += ",\"message\":{\"role\":\"" + type + "\",\"content\":" + content + "}}\n";
            file << row;
            out.bytes += qint64(row.size());
            return n;
        };
        auto text = [&](int bytes) {
            return "[{\"type\":\"text\",\"text\":" + jsonString(prose(random, bytes)) + "}]";
        };
        while (out.bytes < 100LL * 1000 * 1000) {
            const std::string request = prose(random, 200 + int(random.bounded(1300)));
            out.lastRequest = QString::fromStdString(request);
            parent = addRow(parent, "user", jsonString(request), true);
            parent = addRow(parent, "assistant", text(300 + int(random.bounded(1500))), false);
            // A few tool rounds per turn: the call, then its (large) result.
            const int tools = int(random.bounded(4));
            for (int t = 0; t < tools; ++t) {
                parent = addRow(
                    parent, "assistant",
                    "[{\"type\":\"tool_use\",\"id\":\"toolu_" + std::to_string(n) +
                        "\",\"name\":\"Edit\",\"input\":{\"file_path\":\"/home/bench/project/src/a.ts\","
                        "\"new_string\":" +
                        jsonString(prose(random, 500 + int(random.bounded(2500)))) + "}}]",
                    false);
                parent = addRow(parent, "user",
                                "[{\"type\":\"tool_result\",\"tool_use_id\":\"toolu_" + std::to_string(n) +
                                    "\",\"content\":" +
                                    jsonString(prose(random, 1000 + int(random.bounded(6000)))) + "}]",
                                false);
            }
            parent = addRow(parent, "assistant", text(500 + int(random.bounded(3500))), false);
            // Now and then an edited request leaves an abandoned fork behind.
            if (random.bounded(400) == 0) {
                int fork = addRow(parent, "user", jsonString(prose(random, 400)), true);
                for (int k = 0; k < 6; ++k)
                    fork = addRow(fork, k % 2 ? "user" : "assistant", text(2000), k % 2 == 1);
            }
        }
        file.close();
        out.rows = n;
        QFile metadata(out.metadataRoot + "/account/org/" + kSession + ".json");
        metadata.open(QIODevice::WriteOnly);
        metadata.write(("{\"sessionId\":\"" + kSession + "\",\"cliSessionId\":\"" + kCli +
                        "\",\"lastAssistantUuid\":\"" + QString::fromStdString(uuidFor(parent)) + "\"}")
                           .toUtf8());
        return out;
    }();
    return f;
}

std::vector<Message> visible(const Fixture& f = fixture()) {
    return {Message{QStringLiteral("user"), f.lastRequest}};
}

bool fullLookup(const Fixture& f = fixture()) {
    Reader reader;
    return reader
        .lookup(kDocument, visible(f), {}, f.metadataRoot, f.projectsRoot, QDateTime::currentDateTimeUtc(),
                true)
        .isVerified();
}

qint64 bareParseLoop(const Fixture& f = fixture()) {
    QFile file(f.transcript);
    file.open(QIODevice::ReadOnly);
    qint64 objects = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        objects += QJsonDocument::fromJson(line).isObject() ? 1 : 0;
    }
    return objects;
}

// ---------------------------------------------------------------------------------------------
// The realistic transcript

const char* const kAsciiWords[] = {"the",  "component", "renders", "state", "update",  "filter", "request",
                                   "test", "dashboard", "returns", "value", "when",    "query",  "cache",
                                   "and",  "error",     "handler", "build", "migrate", "index",  "schema"};
const char* const kOtherWords[] = {
    "déjà", "über",         "Straße", "naïve",    "привет", "функция", "λόγος",    "שלום", "مرحبا",
    "東京", "データベース", "한국어", "测试用例", "😀",      "🚀",       "👍🏽", "✅",    "→",
    "—",    "“quoted”",     "café"};

// Words of mixed scripts, about a fifth of the bytes outside ASCII, with line breaks, quotes and
// the odd tab, as requests, replies and tool output have them.
std::string mixedText(QRandomGenerator& random, int bytes) {
    std::string out;
    out.reserve(size_t(bytes) + 16);
    while (int(out.size()) < bytes) {
        const int roll = int(random.bounded(100));
        if (roll < 27)
            out += kOtherWords[random.bounded(int(std::size(kOtherWords)))];
        else
            out += kAsciiWords[random.bounded(int(std::size(kAsciiWords)))];
        const int gap = int(random.bounded(40));
        out += gap == 0 ? "\n" : gap == 1 ? "\n\n" : gap == 2 ? " \"x\" " : gap == 3 ? "\t" : " ";
    }
    return out;
}

struct Realistic {
    Fixture f;
    QRandomGenerator random{7};
    std::string envelope;
    int n = 0;
    int tip = 0;
    qint64 nonAscii = 0;

    Realistic() {
        QDir(f.dir.path()).mkpath("sessions/account/org");
        QDir(f.dir.path()).mkpath("projects/-home-bench-project");
        f.metadataRoot = f.dir.path() + "/sessions";
        f.projectsRoot = f.dir.path() + "/projects";
        f.transcript = f.dir.path() + "/projects/-home-bench-project/" + kCli + ".jsonl";
        envelope = ",\"sessionId\":\"" + kCli.toStdString() +
                   "\",\"cwd\":\"/home/bench/project\",\"version\":\"2.1.0\",\"gitBranch\":\"main\","
                   "\"isSidechain\":false,\"userType\":\"external\"";
    }

    std::string event(int parentOf, const std::string& type, const std::string& content, bool human) {
        ++n;
        std::string row =
            "{\"parentUuid\":" + (parentOf ? jsonString(uuidFor(parentOf)) : std::string("null")) + envelope +
            ",\"type\":\"" + type + "\",\"uuid\":\"" + uuidFor(n) +
            "\",\"timestamp\":\"2026-09-29T08:00:00.000Z\"";
        if (human)
            row += ",\"origin\":{\"kind\":\"human\"}";
        if (type == "assistant")
            row += ",\"requestId\":\"req_" + std::to_string(n) +
                   "\",\"usage\":{\"input_tokens\":1234,\"output_tokens\":567,\"cache_read_input_tokens\":"
                   "89012}";
        row += ",\"message\":{\"role\":\"" + (type == "progress" ? std::string("user") : type) +
               "\",\"content\":" + content + "}}\n";
        return row;
    }

    std::string block(const char* type, const char* field, int bytes) {
        return "[{\"type\":\"" + std::string(type) + "\",\"" + field +
               "\":" + jsonString(mixedText(random, bytes)) + "}]";
    }

    // One turn: a request, maybe a thinking block, a reply, tool rounds with progress rows beside
    // them, the closing reply; now and then a file snapshot or an abandoned fork.
    std::string turn() {
        std::string out;
        const std::string request = mixedText(random, 100 + int(random.bounded(1400)));
        f.lastRequest = QString::fromStdString(request);
        out += event(tip, "user", jsonString(request), true);
        tip = n;
        if (random.bounded(2) == 0) {
            out += event(tip, "assistant", block("thinking", "thinking", 500 + int(random.bounded(2500))),
                         false);
            tip = n;
        }
        out += event(tip, "assistant", block("text", "text", 200 + int(random.bounded(1300))), false);
        tip = n;
        const int tools = 1 + int(random.bounded(6));
        for (int t = 0; t < tools; ++t) {
            out += event(tip, "assistant",
                         "[{\"type\":\"tool_use\",\"id\":\"toolu_" + std::to_string(n) +
                             "\",\"name\":\"Edit\",\"input\":{\"file_path\":\"/home/bench/project/src/a.ts\","
                             "\"new_string\":" +
                             jsonString(mixedText(random, 300 + int(random.bounded(2700)))) + "}}]",
                         false);
            tip = n;
            const int progress = int(random.bounded(4));
            for (int p = 0; p < progress; ++p)
                out += event(tip, "progress",
                             "{\"type\":\"bash_progress\",\"output\":" +
                                 jsonString(mixedText(random, 100 + int(random.bounded(400)))) + "}",
                             false);
            out += event(tip, "user",
                         "[{\"type\":\"tool_result\",\"tool_use_id\":\"toolu_" + std::to_string(n) +
                             "\",\"content\":" +
                             jsonString(mixedText(random, 500 + int(random.bounded(11500)))) + "}]",
                         false);
            tip = n;
        }
        out += event(tip, "assistant", block("text", "text", 300 + int(random.bounded(3700))), false);
        tip = n;
        if (random.bounded(8) == 0)
            out += "{\"type\":\"file-history-snapshot\",\"messageId\":\"" + uuidFor(tip) +
                   "\",\"snapshot\":{\"trackedFileBackups\":{\"src/a.ts\":" +
                   jsonString(mixedText(random, 1000 + int(random.bounded(4000)))) + "}}}\n";
        if (random.bounded(150) == 0) {
            int fork = tip;
            for (int k = 0; k < 6; ++k) {
                out += event(fork, k % 2 ? "assistant" : "user", block("text", "text", 1500), k % 2 == 0);
                fork = n;
            }
        }
        for (const char c : out)
            nonAscii += (static_cast<unsigned char>(c) >= 0x80) ? 1 : 0;
        return out;
    }

    void writeMetadata() {
        QFile metadata(f.metadataRoot + "/account/org/" + kSession + ".json");
        metadata.open(QIODevice::WriteOnly | QIODevice::Truncate);
        metadata.write(("{\"sessionId\":\"" + kSession + "\",\"cliSessionId\":\"" + kCli +
                        "\",\"lastAssistantUuid\":\"" + QString::fromStdString(uuidFor(tip)) + "\"}")
                           .toUtf8());
    }

    // Appends turns of at least `bytes` bytes and names the new leaf.
    void append(qint64 bytes) {
        std::ofstream file(f.transcript.toStdString(), std::ios::binary | std::ios::app);
        qint64 written = 0;
        while (written < bytes) {
            const std::string more = turn();
            file << more;
            written += qint64(more.size());
        }
        file.close();
        f.bytes += written;
        f.rows = n;
        writeMetadata();
    }
};

double seconds(const std::function<void()>& run, int repeats) {
    double best = 1e9;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
    }
    return best;
}

qint64 procStatusKb(const char* key) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qsizetype(std::strlen(key))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Peak resident memory of one full lookup above what the process held before it: the high-water
// mark is reset first, so only this lookup counts.
qint64 lookupPeakBytes(const Fixture& f = fixture()) {
    QFile clear("/proc/self/clear_refs");
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        return -1;
    clear.close();
    // Memory freed by earlier work goes back to the system first, so that it cannot hide this
    // lookup's own.
    malloc_trim(0);
    const qint64 before = procStatusKb("VmRSS:");
    if (!fullLookup(f))
        return -1;
    return (procStatusKb("VmHWM:") - before) * 1024;
}

// The realistic transcript at 10, 50 and 100 MB: the full lookup against the bare loop, and at
// 100 MB its peak memory and the lookup after 1 MB more.
void realisticFigures() {
    std::printf("\n== realistic transcript\n");
    Realistic r;
    double fullAt100 = 0;
    for (const qint64 megabytes : {10, 50, 100}) {
        r.append(megabytes * 1000 * 1000 - r.f.bytes);
        const double bare = seconds([&] { bareParseLoop(r.f); }, 3);
        bool verified = true;
        const double full = seconds([&] { verified = fullLookup(r.f) && verified; }, 3);
        fullAt100 = full;
        std::printf(
            "%5.1f MB, %d events, %.1f%% of bytes non-ASCII: bare parse loop %.3f s, full lookup %.3f s "
            "(%.0f MB/s, %.2f x the bare loop's time, target <= 1)%s\n",
            double(r.f.bytes) / 1e6, r.f.rows, 100.0 * double(r.nonAscii) / double(r.f.bytes), bare, full,
            double(r.f.bytes) / 1e6 / full, full / bare, verified ? "" : " NOT VERIFIED");
    }
    const qint64 peak = lookupPeakBytes(r.f);
    std::printf("peak memory of a full lookup: %.1f MB, %.2f x the file (target <= 1)\n", double(peak) / 1e6,
                double(peak) / double(r.f.bytes));

    // The host appends about 1 MB; the next lookup (past the re-read interval) reads the new bytes.
    Reader reader;
    QDateTime at = QDateTime::currentDateTimeUtc();
    reader.lookup(kDocument, visible(r.f), {}, r.f.metadataRoot, r.f.projectsRoot, at, true);
    double best = 1e9;
    bool verified = true;
    for (int i = 0; i < 5; ++i) {
        r.append(1000 * 1000);
        at = at.addSecs(10);
        QElapsedTimer timer;
        timer.start();
        verified = reader.lookup(kDocument, visible(r.f), {}, r.f.metadataRoot, r.f.projectsRoot, at, true)
                       .isVerified() &&
                   verified;
        best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
    }
    std::printf("lookup after 1 MB appended: %.4f s, %.2f%% of a full lookup (target < 5%%)%s\n", best,
                100.0 * best / fullAt100, verified ? "" : " NOT VERIFIED");
}

void BM_BareJsonParseLoop(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(bareParseLoop());
    state.SetBytesProcessed(int64_t(state.iterations()) * fixture().bytes);
}
BENCHMARK(BM_BareJsonParseLoop)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FullLookup(benchmark::State& state) {
    for (auto _ : state)
        if (!fullLookup())
            state.SkipWithError("the lookup did not verify");
    state.SetBytesProcessed(int64_t(state.iterations()) * fixture().bytes);
}
BENCHMARK(BM_FullLookup)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_UnchangedLookup(benchmark::State& state) {
    Fixture& f = fixture();
    Reader reader;
    const QDateTime at = QDateTime::currentDateTimeUtc();
    reader.lookup(kDocument, visible(), {}, f.metadataRoot, f.projectsRoot, at, true);
    for (auto _ : state)
        if (!reader.lookup(kDocument, visible(), {}, f.metadataRoot, f.projectsRoot, at, true).isVerified())
            state.SkipWithError("the lookup did not verify");
}
BENCHMARK(BM_UnchangedLookup)->Unit(benchmark::kMicrosecond);

// One request answered by a reply of `events` events (a long agent run), each a short text: the
// reply reads as one message of every event joined, and reading it is linear in the events.
void BM_ReplyOfManyEvents(benchmark::State& state) {
    const int events = int(state.range(0));
    QTemporaryDir dir;
    const QString path = dir.filePath("reply.jsonl");
    {
        std::ofstream file(path.toStdString(), std::ios::binary);
        file << "{\"uuid\":\"" << uuidFor(1) << "\",\"parentUuid\":null,\"type\":\"user\","
             << "\"origin\":{\"kind\":\"human\"},\"message\":{\"content\":\"Run the long task\"}}\n";
        for (int n = 2; n <= events + 1; ++n)
            file << "{\"uuid\":\"" << uuidFor(n) << "\",\"parentUuid\":\"" << uuidFor(n - 1)
                 << "\",\"type\":\"assistant\",\"message\":{\"content\":[{\"type\":\"text\",\"text\":"
                 << "\"Step " << n << " of the long run is done.\"}]}}\n";
    }
    const QString leaf = QString::fromStdString(uuidFor(events + 1));
    for (auto _ : state) {
        const Branch branch = readBranch(path, leaf);
        if (branch.messages.size() != 2)
            state.SkipWithError("the reply did not read as one message");
    }
    state.SetComplexityN(events);
}
BENCHMARK(BM_ReplyOfManyEvents)
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Fixture& f = fixture();
    std::printf("transcript: %.1f MB, %d events\n", double(f.bytes) / 1e6, f.rows);
    // The memory figure first: a fresh process's heap, as the application's first read of a
    // session meets it.
    const qint64 peak = lookupPeakBytes();
    const qint64 warmPeak = lookupPeakBytes();
    {
        Reader probe;
        const Lookup result = probe.lookup(kDocument, visible(), {}, f.metadataRoot, f.projectsRoot,
                                           QDateTime::currentDateTimeUtc(), true);
        qint64 units = 0;
        for (const Message& message : result.snapshot()->messages)
            units += message.text.size();
        std::printf("branch: %zu messages, %.1f MB of text as UTF-16\n", result.snapshot()->messages.size(),
                    double(units) * 2 / 1e6);
    }

    const double bare = seconds([] { bareParseLoop(); }, 3);
    const double full = seconds([] { fullLookup(); }, 3);
    Reader reader;
    const QDateTime at = QDateTime::currentDateTimeUtc();
    reader.lookup(kDocument, visible(), {}, f.metadataRoot, f.projectsRoot, at, true);
    const double again = seconds(
        [&] { reader.lookup(kDocument, visible(), {}, f.metadataRoot, f.projectsRoot, at, true); }, 20);
    std::printf("bare parse loop: %.3f s (%.0f MB/s)\n", bare, double(f.bytes) / 1e6 / bare);
    std::printf("full lookup:     %.3f s (%.0f MB/s), %.0f%% of the bare loop (classic figure)\n", full,
                double(f.bytes) / 1e6 / full, 100.0 * bare / full);
    std::printf("peak memory of a full lookup: %.1f MB, %.2f x the file; %.1f MB when repeated\n",
                double(peak) / 1e6, double(peak) / double(f.bytes), double(warmPeak) / 1e6);
    std::printf("unchanged lookup: %.3f ms, %.3f%% of a full lookup (target < 1%%)\n", again * 1e3,
                100.0 * again / full);

    realisticFigures();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
