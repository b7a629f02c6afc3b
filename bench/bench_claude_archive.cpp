// Reading a large Claude Code transcript: a full lookup against a bare loop that only parses each
// line, the peak memory of that lookup, and a repeated lookup of an unchanged file.
//
// The transcript is synthetic but shaped like a long real session: about 40,000 events and
// 100 MB, requests of a few hundred bytes, replies of a few kilobytes, tool calls and large tool
// results, the envelope fields every event carries, some non-ASCII text, and a few abandoned forks.

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

std::vector<Message> visible() {
    return {Message{QStringLiteral("user"), fixture().lastRequest}};
}

bool fullLookup() {
    Fixture& f = fixture();
    Reader reader;
    return reader
        .lookup(kDocument, visible(), {}, f.metadataRoot, f.projectsRoot, QDateTime::currentDateTimeUtc(),
                true)
        .isVerified();
}

qint64 bareParseLoop() {
    QFile file(fixture().transcript);
    file.open(QIODevice::ReadOnly);
    qint64 objects = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        objects += QJsonDocument::fromJson(line).isObject() ? 1 : 0;
    }
    return objects;
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
qint64 lookupPeakBytes() {
    QFile clear("/proc/self/clear_refs");
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        return -1;
    clear.close();
    const qint64 before = procStatusKb("VmRSS:");
    if (!fullLookup())
        return -1;
    return (procStatusKb("VmHWM:") - before) * 1024;
}

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
    std::printf("full lookup:     %.3f s (%.0f MB/s), %.0f%% of the bare loop (target >= 40%%)\n", full,
                double(f.bytes) / 1e6 / full, 100.0 * bare / full);
    std::printf(
        "peak memory of a full lookup: %.1f MB, %.2f x the file (target <= 2); %.1f MB when repeated\n",
        double(peak) / 1e6, double(peak) / double(f.bytes), double(warmPeak) / 1e6);
    std::printf("unchanged lookup: %.3f ms, %.3f%% of a full lookup (target < 1%%)\n", again * 1e3,
                100.0 * again / full);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
