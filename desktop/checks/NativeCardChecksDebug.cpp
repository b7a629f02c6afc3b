#include "desktop/checks/NativeCardChecksDebug.h"
#include "desktop/checks/NativeCardChecksFixtures.h"

#include "core/Json.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/DebugWindowController.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/observation/ClaudeWindowTracker.h"
#include "desktop/records/ConversationSnapshot.h"
#include "platform/workspace/Workspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace quillmere::NativeCardChecks {

namespace {

using Snapshot = ClaudeWindowTrackerConversationSnapshot;

const QString privatePrompt = QStringLiteral("PRIVATE prompt must never appear");
const QString privateAnswer = QStringLiteral("PRIVATE assistant answer");
const QString privateURL = QStringLiteral("PRIVATE conversation URL");
const QString privateIdentifier = QStringLiteral("PRIVATE identifier");
const QString privateConversation = QStringLiteral("PRIVATE different conversation");

const QString fullScan = QStringLiteral(
    "transcriptUsers=3; transcriptAssistants=2; renderedUserBubbles=3; axScanTruncated=true; "
    "modelPickerFound=false; selectedModelParsed=false; selectedEffortParsed=true; historyCurrent=false; "
    "sentContextReadable=true; arbitrary=PRIVATE payload");
const QString missingControls = QStringLiteral(
    "axScanTruncated=false; modelPickerFound=false; selectedModelParsed=false; selectedEffortParsed=false; "
    "historyCurrent=true; sentContextReadable=true");
const QString earlyFailure =
    QStringLiteral("axScanTruncated=unknown; modelPickerFound=unknown; selectedModelParsed=unknown; "
                   "selectedEffortParsed=unknown; "
                   "historyCurrent=unknown; sentContextReadable=false; arbitrary=PRIVATE failure");
const QString countsOnly = QStringLiteral("transcriptUsers=3; transcriptAssistants=2");

// A Claude conversation whose content, identifier and title are all private texts.
Snapshot fullScanSnapshot() {
    Snapshot snapshot;
    snapshot.provider = AIProvider::claude;
    snapshot.messages = {{QStringLiteral("user"), privatePrompt},
                         {QStringLiteral("assistant"), privateAnswer}};
    snapshot.currentModel = QStringLiteral("sonnet");
    snapshot.currentModelID = QStringLiteral("claude-sonnet-5");
    snapshot.currentEffort = QStringLiteral("high");
    snapshot.currentSettingKnown = true;
    snapshot.availableModelIDs = {QStringLiteral("claude-sonnet-5")};
    snapshot.conversationID = privateURL;
    snapshot.conversationScopeID = privateURL;
    snapshot.conversationTitle = privateURL;
    snapshot.historyCurrent = true;
    snapshot.extractionSummary = fullScan;
    return snapshot;
}

bool containsAny(const QString& text, const QStringList& needles) {
    for (const QString& needle : needles)
        if (text.contains(needle))
            return true;
    return false;
}

QString entryText(const DebugMonitor& monitor, const QString& host) {
    QStringList parts;
    const auto values = monitor.entries().value(host).values;
    for (auto it = values.begin(); it != values.end(); ++it)
        parts << it.key() + u'=' + it.value();
    return parts.join(u'\n');
}

void runEventLoop(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

void extractionOrderAndDebugChecks(const checks::Reporter& check, const QString& temporaryDirectory,
                                   const QString& outputDirectory) {
    const QString assistantFix =
        QStringLiteral("Implemented the multi-component fix and ran the regression suite.");
    const QString assistantVerified = QStringLiteral("The deployment and native integration are verified.");
    check(ClaudeWindowTracker::renderedMessageRoles(
              {QStringLiteral("y"), assistantFix, QStringLiteral("y"), assistantVerified}, {0, 2},
              {QStringLiteral("y"), QStringLiteral("y")}) ==
              QStringList{"user", "assistant", "user", "assistant"},
          QStringLiteral("ChatGPT action rows preserve user and assistant conversation order"));
    check(ClaudeWindowTracker::renderedMessageRoles(
              {QString::fromUtf8("\xD7\x9B\xD7\x9F"), QStringLiteral("Technical response")}, {},
              {QString::fromUtf8("\xD7\x9B\xD7\x9F")}) == QStringList{"user", "assistant"},
          QStringLiteral("user text fallback does not misclassify assistant context"));
    check(ClaudeWindowTracker::renderedMessageRoles({QStringLiteral("y"), QStringLiteral("y")}, {0},
                                                    {QStringLiteral("y")}) ==
              QStringList{"user", "assistant"},
          QStringLiteral("a marked user message cannot make identical assistant text look user-authored"));

    DebugMonitor monitor(temporaryDirectory);
    const QDateTime start = QDateTime::currentDateTimeUtc();
    const Snapshot snapshot = fullScanSnapshot();
    RecommendationCadence cadence;
    cadence.observe(snapshot.cadenceInput(), 100.0);
    const auto update = [&](const QString& host, const Snapshot& conversation, const QString& phase,
                            bool active, const QString& extraction, double uptime) {
        monitor.update(host, conversation, cadence, phase, active, extraction, std::nullopt, false, true,
                       start.addMSecs(qint64((uptime - 100.0) * 1000)), uptime, true);
    };
    const QStringList contentFingerprints = {
        monitor.fingerprint(privatePrompt), monitor.fingerprint(privateAnswer),
        monitor.fingerprint(privateURL), monitor.fingerprint(snapshot.cadenceInput().context),
        monitor.fingerprint(snapshot.cadenceInput().text)};
    const QString chat = QStringLiteral("chat-test");

    update(chat, snapshot, QStringLiteral("Analyzing"), true, fullScan, 101.0);
    monitor.event(chat, QStringLiteral("Synthetic analysis requested"), start.addSecs(1));
    check(!monitor.report(start.addSecs(1)).contains(u"PRIVATE"),
          QStringLiteral(
              "debug report never contains prompts, replies, titles, IDs or arbitrary extraction text"));

    const auto debugFile = Diagnostics::debugFilePath(temporaryDirectory, chat);
    const QString persisted = QString::fromUtf8(readFile(debugFile.value_or(QString())));
    check(!persisted.isEmpty() && !persisted.contains(u"PRIVATE") &&
              !containsAny(persisted, contentFingerprints),
          QStringLiteral("persisted debug state contains neither conversation content nor its digest"));

    const QString identityPath = QDir(temporaryDirectory).filePath(QStringLiteral("identity-status.json"));
    const QString probeText = QStringLiteral("PRIVATE probe");
    const QString sourceText = QStringLiteral("PRIVATE source");
    Diagnostics::identityEvidence(2, true, false, true, true, sourceText,
                                  {{QStringLiteral("webAreas"), 1}, {probeText, 3}},
                                  {{{QStringLiteral("index"), qint64(0)},
                                    {QStringLiteral("hasLabel"), true},
                                    {QStringLiteral("title"), probeText},
                                    {QStringLiteral("hasURL"), sourceText}}},
                                  identityPath);
    Diagnostics::waitForEvidence();
    const QString identity = QString::fromUtf8(readFile(identityPath));
    check(identity.contains(u"anchorPresent") && !identity.contains(u"PRIVATE") &&
              !containsAny(identity, {monitor.fingerprint(probeText), monitor.fingerprint(sourceText)}),
          QStringLiteral(
              "identity diagnostics retain structural evidence without message or identifier digests"));

    const DebugMonitor::Fields chatFields = monitor.entries().value(chat).values;
    const json::Object probe = Diagnostics::identifierProbe(privateIdentifier);
    QStringList probeKeys;
    bool probeCarriesIdentifier = false;
    for (const auto& [key, value] : probe) {
        probeKeys << key;
        if (const auto* text = std::get_if<QString>(&value.data()); text && text->contains(u"PRIVATE"))
            probeCarriesIdentifier = true;
    }
    probeKeys.sort();
    check(chatFields.value(QStringLiteral("sentAssistants")) == u"1" &&
              chatFields.value(QStringLiteral("transcriptAssistants")) == u"2" &&
              !containsAny(entryText(monitor, chat), contentFingerprints) &&
              probeKeys == QStringList{"kind", "length", "present"} && !probeCarriesIdentifier,
          QStringLiteral("debug distinguishes request messages from full extracted transcript"));

    check(chatFields.value(QStringLiteral("axScanTruncated")) == u"true" &&
              chatFields.value(QStringLiteral("modelPickerFound")) == u"false" &&
              chatFields.value(QStringLiteral("selectedModelParsed")) == u"false" &&
              chatFields.value(QStringLiteral("selectedEffortParsed")) == u"true",
          QStringLiteral(
              "content-free diagnostics separate a truncated scan, missing picker, model parse and effort "
              "parse"));

    const auto firstRecord = monitor.scanEvents().value(chat).value(0);
    check(firstRecord.value(QStringLiteral("axScanTruncated")) == u"true" &&
              firstRecord.keys() == QStringList{"at", "axScanTruncated", "historyCurrent", "modelPickerFound",
                                                "selectedEffortParsed", "selectedModelParsed",
                                                "sentContextReadable"},
          QStringLiteral("each scan record contains only allowlisted booleans and a time"));

    const QString missingHost = QStringLiteral("missing-controls-test");
    update(missingHost, snapshot, QStringLiteral("Analyzing"), true, missingControls, 102.0);
    const DebugMonitor::Fields missing = monitor.entries().value(missingHost).values;
    check(missing.value(QStringLiteral("modelPickerFound")) == u"false" &&
              missing.value(QStringLiteral("selectedModelParsed")) == u"false" &&
              missing.value(QStringLiteral("historyCurrent")) == u"true" &&
              missing.value(QStringLiteral("sentContextReadable")) == u"true",
          QStringLiteral(
              "missing model controls are distinguished from partial history and unreadable messages"));

    update(chat, snapshot, QStringLiteral("Analyzing"), true, earlyFailure, 102.0);
    check(monitor.scanEvents().value(chat).last().value(QStringLiteral("sentContextReadable")) == u"false" &&
              !entryText(monitor, chat).contains(u"PRIVATE"),
          QStringLiteral("early failed scan is recorded without prompts, titles or hashes"));

    update(chat, snapshot, QStringLiteral("Waiting"), true, countsOnly, 103.0);
    check(monitor.entries().value(chat).values.value(QStringLiteral("quietSeconds")) == u"3.0",
          QStringLiteral("debug quiet timer uses the real cadence clock"));

    const qsizetype eventsBefore = monitor.events().size();
    update(chat, snapshot, QStringLiteral("Waiting"), true, countsOnly, 104.0);
    check(monitor.events().size() == eventsBefore,
          QStringLiteral("unchanged polling does not flood debug event history"));

    Snapshot moved = snapshot;
    moved.conversationID = privateConversation;
    cadence.observe(moved.cadenceInput(), 104.0);
    update(chat, moved, QStringLiteral("Waiting"), true, countsOnly, 104.0);
    check(monitor.entries().value(chat).values.value(QStringLiteral("changedFields")) == u"context",
          QStringLiteral("debug identifies conversation-only changes without persisting its identity"));

    update(QStringLiteral("com.anthropic.claudefordesktop"), snapshot, QStringLiteral("Paused"), false,
           QString(), 105.0);
    check(monitor.entries().size() == 3 &&
              monitor.entries().value(chat).values.value(QStringLiteral("sentUsers")) == u"1",
          QStringLiteral("debug keeps app states independent"));

    check(monitor.report(start.addSecs(5)).contains(u"PAUSED:"),
          QStringLiteral("debug explains when host inactivity stops scanning"));

    {
        DebugMonitor first(temporaryDirectory);
        DebugMonitor second(temporaryDirectory);
        check(first.fingerprint(privatePrompt) != second.fingerprint(privatePrompt),
              QStringLiteral("debug fingerprints are salted independently per session"));
    }

    check(monitor.entries().value(chat).values.value(QStringLiteral("conversationTotalMessages")) ==
              u"unknown",
          QStringLiteral("rendered counts never claim to be the full conversation total"));

    const QString report = monitor.report(start.addSecs(5));
    check(report.contains(u"all available connected user and AI messages"),
          QStringLiteral("debug explains that both sides of the available conversation are analyzed"));
    check(!report.contains(u"no AI replies detected"),
          QStringLiteral("assistant extraction is not reported as a failure"));

    const QString inactiveHost = QStringLiteral("inactive-count-test");
    update(inactiveHost, snapshot, QStringLiteral("Waiting"), true,
           QStringLiteral("transcriptUsers=6; transcriptAssistants=5"), 105.5);
    update(inactiveHost, snapshot, QStringLiteral("Paused"), false,
           QStringLiteral("transcriptUsers=6; transcriptAssistants=5"), 106.0);
    check(monitor.entries().value(inactiveHost).values.value(QStringLiteral("transcriptUsers")) == u"unknown",
          QStringLiteral("inactive host does not report stale counts as readable now"));

    DebugWindowController controller(monitor);
    const auto frontmost = Workspace::current().frontmostApplication();
    controller.open();
    QCoreApplication::processEvents();
    check(Workspace::current().frontmostApplication() == frontmost,
          QStringLiteral("opening debug panel preserves foreground host"));

    Snapshot attached = moved;
    attached.hasAttachment = true;
    update(chat, attached, QStringLiteral("Waiting"), true, countsOnly, 107.0);
    controller.refresh();
    const QString shown = controller.textForTesting();
    check(shown.contains(QStringLiteral("Last changed fields: attachment")) &&
              !shown.contains(u"contextHash"),
          QStringLiteral("debug window reports changes without content-derived hashes"));

    monitor.event(chat, QStringLiteral("Synthetic request cancelled"));
    controller.refresh();
    check(controller.textForTesting().contains(u"Synthetic request cancelled"),
          QStringLiteral("open debug panel refreshes new lifecycle events"));

    runEventLoop(100);
    const QString capturePath = QDir(outputDirectory).filePath(QStringLiteral("debug-window.png"));
    if (!controller.window()->grab().save(capturePath, "PNG"))
        throw RunError(QStringLiteral("could not write the capture ") + capturePath);
    controller.window()->close();

    for (int i = 0; i < 250; ++i)
        monitor.event(chat, QStringLiteral("Synthetic event ") + QString::number(i));
    check(monitor.events().size() == 200 && monitor.events().last().endsWith(u"Synthetic event 249"),
          QStringLiteral("debug event buffer remains bounded and retains latest events"));
}

} // namespace quillmere::NativeCardChecks
