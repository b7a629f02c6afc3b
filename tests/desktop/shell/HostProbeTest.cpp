#include "desktop/shell/HostProbe.h"

#include "../observation/TrackerDesktops.h"
#include "core/HostConstants.h"
#include "platform/tasks/Task.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString kDemo = QStringLiteral(QUILLMERE_SOURCE_DIR "/share/demo-desktop.json");
const QString kBinary = QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere");

struct ProcessRun {
    int status = -1;
    QString out;
};

// Runs the application with `arguments`, its home and data folders private to the test.
ProcessRun runProbe(const QStringList& arguments, const std::optional<QString>& desktop) {
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.remove(sim::SimulatedDesktop::environmentVariable);
    if (desktop)
        environment.insert(sim::SimulatedDesktop::environmentVariable, *desktop);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(kBinary, arguments);
    if (!process.waitForFinished(60000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput())};
}

} // namespace

TEST(HostProbeBinary, EachDemoHostPrintsAVerifiedLine) {
    for (const QString host : {"com.openai.chat", "COM.OpenAI.ChatGPT", "com.openai.codex"}) {
        const ProcessRun run = runProbe({"--probe-host", host}, kDemo);
        EXPECT_EQ(run.status, 0) << host.toStdString();
        EXPECT_TRUE(run.out.startsWith("PROBE verified=true current=true messages=4 users=2 assistants=2 "
                                       "scope=openai position="))
            << run.out.toStdString();
        EXPECT_EQ(run.out.count('\n'), 1);
    }
    const ProcessRun claude = runProbe({"--probe-host", "com.anthropic.claudefordesktop"}, kDemo);
    EXPECT_EQ(claude.status, 0);
    EXPECT_TRUE(claude.out.startsWith("PROBE verified=true current=true messages=4 users=2 assistants=2 "
                                      "scope=claude position=0 detail="))
        << claude.out.toStdString();
}

TEST(HostProbeBinary, EarlyFailuresEndWithStatusTwo) {
    ProcessRun run = runProbe({"--probe-host", "com.example.notes"}, kDemo);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "PROBE unsupported_host\n");
    // Checked before trust: no desktop means no trust, yet the host is named first.
    run = runProbe({"--probe-host", "com.example.notes"}, std::nullopt);
    EXPECT_EQ(run.out, "PROBE unsupported_host\n");
    run = runProbe({"--probe-host", "com.openai.chat"}, std::nullopt);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "PROBE accessibility_unavailable\n");
}

namespace {

class HostProbeTest : public ::testing::Test {
protected:
    void SetUp() override { Scheduler::setCurrent(&scheduler); }
    void TearDown() override {
        desktop.reset();
        Scheduler::setCurrent(nullptr);
    }
    void load(const QByteArray& json) {
        desktop = sim::SimulatedDesktop::fromJson(json, scheduler);
        desktop->install();
    }
    HostProbe::Outcome probe(ClaudeWindowTracker& tracker) {
        std::optional<HostProbe::Outcome> outcome;
        spawn("probe", [&]() -> QCoro::Task<void> { outcome = co_await HostProbe::run(tracker, scheduler); });
        scheduler.runUntil([&] { return outcome.has_value(); }, 100.0);
        return outcome.value_or(HostProbe::Outcome{-1, {}});
    }
    VirtualScheduler scheduler{100.0};
    TrackerBench bench;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

} // namespace

TEST_F(HostProbeTest, AClaudeConversationKeyedByTitleNeverPasses) {
    HostWindow host;
    host.bundleID = "com.anthropic.claudefordesktop";
    host.name = "Claude";
    host.title = "Launch planning - Claude";
    host.picker = "Sonnet 5.5 Medium";
    host.effort.reset();
    host.assistantHeading = "Claude responded:";
    host.turns = {{"user", "Plan the launch", {}, 0}, {"assistant", "Here is the plan", {}, 0}};
    load(desktopJson({host}));
    ClaudeWindowTracker tracker("com.anthropic.claudefordesktop", bench.environment());
    const double start = scheduler.now();
    const auto outcome = probe(tracker);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(
        outcome.line.startsWith("PROBE conversation_unverified verified=true current=true archive=false "
                                "messages=2 detail=rememberedMessages="))
        << outcome.line.toStdString();
    EXPECT_DOUBLE_EQ(scheduler.now() - start, 20.0);
}

TEST_F(HostProbeTest, NoSnapshotReportsTheTrackersOwnSummary) {
    load(R"({"apps": []})");
    ClaudeWindowTracker tracker("com.openai.chat", bench.environment());
    const auto outcome = probe(tracker);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.line,
              "PROBE conversation_unverified verified=false current=false archive=false messages=0 "
              "detail=read=no_host; axScanTruncated=unknown; modelPickerFound=unknown; "
              "selectedModelParsed=unknown; selectedEffortParsed=unknown; historyCurrent=unknown; "
              "sentContextReadable=unknown");
}

TEST_F(HostProbeTest, APassOnTheFirstReadEndsAtOnce) {
    HostWindow host;
    host.title = "Untitled";
    host.turns = {{"user", "Hello there", {}, 0}, {"assistant", "Hi", {}, 0}};
    load(desktopJson({host}));
    ClaudeWindowTracker tracker("com.openai.chat", bench.environment());
    const double start = scheduler.now();
    const auto outcome = probe(tracker);
    EXPECT_EQ(outcome.status, 0);
    // No position announced: position 0. A ChatGPT key of any form passes.
    EXPECT_TRUE(outcome.line.startsWith("PROBE verified=true current=true messages=2 users=1 assistants=1 "
                                        "scope=openai position=0 detail="))
        << outcome.line.toStdString();
    EXPECT_DOUBLE_EQ(scheduler.now(), start);
}

TEST(HostProbeRules, PassNeedsAVerifiedCurrentConversationAndAClaudeKeyForm) {
    ClaudeWindowTracker::ConversationSnapshot snapshot;
    snapshot.provider = AIProvider::claude;
    snapshot.conversationIdentityVerified = true;
    snapshot.historyCurrent = true;
    snapshot.conversationID = "claude-code|session:abc";
    EXPECT_TRUE(HostProbe::passes(snapshot));
    snapshot.conversationID = QStringLiteral("https://") + HostConstants::claudeWebHost + "/chat/x";
    EXPECT_TRUE(HostProbe::passes(snapshot));
    snapshot.conversationID = QStringLiteral("https://") + HostConstants::claudeWebHost + "/epitaxy/x";
    EXPECT_FALSE(HostProbe::passes(snapshot));
    snapshot.provider = AIProvider::openAI;
    EXPECT_TRUE(HostProbe::passes(snapshot));
    snapshot.historyCurrent = false;
    EXPECT_FALSE(HostProbe::passes(snapshot));

    snapshot.messages = {{"user", "a"}, {"assistant", "b"}, {"tool", "c"}, {"User", "d"}};
    snapshot.historyPosition = 17;
    snapshot.extractionSummary = "x=1";
    EXPECT_EQ(HostProbe::verifiedLine(snapshot), "PROBE verified=true current=true messages=4 users=1 "
                                                 "assistants=1 scope=openai position=17 detail=x=1");
}
