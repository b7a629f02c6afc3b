// The shell's pure rules: who may show what, the saved card position, the install identifier and
// which mode the process runs.

#include "desktop/diagnostics/WriteFailures.h"
#include "desktop/shell/EntryMode.h"
#include "desktop/shell/InstallIdentifier.h"
#include "desktop/shell/PanelPresentationMetrics.h"
#include "desktop/shell/SavedPanelOrigin.h"
#include "desktop/shell/WidgetVisibility.h"
#include "support/FileInTheWay.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QString owner = QStringLiteral("com.openai.chat");
const QString own = QStringLiteral("com.quillmere.zudizur");

TEST(WidgetVisibility, CardLauncherAndScanFollowWhoIsInFront) {
    using namespace WidgetVisibility;
    const std::optional<QString> none;
    // The card: while its host is in front, and while the user works in the card itself.
    EXPECT_TRUE(allows(owner, owner, own, false, false));
    EXPECT_FALSE(allows(owner, owner, own, true, true)) << "dismissed";
    EXPECT_FALSE(allows(owner, none, own, true, false));
    EXPECT_TRUE(allows(owner, own, own, true, false));
    EXPECT_FALSE(allows(owner, own, own, false, false));
    EXPECT_FALSE(allows(owner, own, none, true, false));
    EXPECT_FALSE(allows(owner, QStringLiteral("com.other"), own, true, false));
    // The launcher: the same, but only while the card is dismissed.
    EXPECT_TRUE(showsLauncher(owner, owner, own, false, true));
    EXPECT_FALSE(showsLauncher(owner, owner, own, false, false));
    EXPECT_TRUE(showsLauncher(owner, own, own, true, true));
    EXPECT_FALSE(showsLauncher(owner, own, own, false, true));
    EXPECT_FALSE(showsLauncher(owner, none, own, true, true));
    // Scanning: only while the host itself is in front, even when the card is not key.
    EXPECT_TRUE(shouldScanHost(owner, owner, own, true));
    EXPECT_FALSE(shouldScanHost(owner, own, own, false));
    EXPECT_FALSE(shouldScanHost(owner, own, own, true));
    EXPECT_FALSE(shouldScanHost(owner, none, own, false));
    EXPECT_FALSE(shouldScanHost(owner, owner, owner, true))
        << "this application is the host and its card is key";
    EXPECT_TRUE(shouldScanHost(owner, owner, owner, false));
}

TEST(PanelPresentationMetrics, CountsAppearancesNotTicks) {
    PanelPresentationMetrics metrics;
    EXPECT_TRUE(metrics.shouldOrderFront(false));
    EXPECT_FALSE(metrics.shouldOrderFront(true));
    EXPECT_FALSE(metrics.shouldOrderFront(true));
    EXPECT_TRUE(metrics.shouldOrderFront(false));
    EXPECT_EQ(metrics.windowShowCount, 2);
}

TEST(SavedPanelOrigin, WritesShortestNumbersAndReadsThemBack) {
    EXPECT_EQ(SavedPanelOrigin::key(owner), "QuillmerePanelOrigin.com.openai.chat");
    EXPECT_EQ(SavedPanelOrigin::format(QPointF(100, 200.5)), "{100, 200.5}");
    EXPECT_EQ(SavedPanelOrigin::format(QPointF(-12.25, -0.0)), "{-12.25, 0}");
    EXPECT_EQ(SavedPanelOrigin::format(QPointF(0.1, 1e5)), "{0.1, 100000}");
    for (const QPointF point : {QPointF(100, 200.5), QPointF(-12.25, 3), QPointF(0.1, 999999.5)})
        EXPECT_EQ(SavedPanelOrigin::parse(SavedPanelOrigin::format(point)), point);
    EXPECT_EQ(SavedPanelOrigin::parse("{ 3 ,4 }"), QPointF(3, 4));
    EXPECT_EQ(SavedPanelOrigin::parse("{1e2, -2.5E1}"), QPointF(100, -25));
}

TEST(SavedPanelOrigin, DamagedValuesAreAbsent) {
    for (const char* damaged :
         {"",        "{}",       "{1}",      "{1, 2, 3}", "1, 2",       "{1, 2",        "{1, 2} ",
          " {1, 2}", "{nan, 2}", "{inf, 2}", "{1, -inf}", "{1e400, 0}", "{2000000, 0}", "{0x10, 2}",
          "{1,,2}",  "{a, b}",   "{1, 2}x",  "{1; 2}",    "{１, 2}",    "{1, 2}\n",     "{1, 2}\r\n"})
        EXPECT_FALSE(SavedPanelOrigin::parse(QString::fromUtf8(damaged))) << damaged;
}

TEST(SavedPanelOrigin, KeptPerHostInTheDefaults) {
    QTemporaryDir dir;
    Defaults defaults(QStringLiteral("origin-test"), dir.path());
    SavedPanelOrigin::store(defaults, owner, QPointF(10, 20));
    EXPECT_EQ(SavedPanelOrigin::load(defaults, owner), QPointF(10, 20));
    EXPECT_FALSE(SavedPanelOrigin::load(defaults, QStringLiteral("com.openai.codex")));
    defaults.set(SavedPanelOrigin::key(owner), 12.0); // a number, not a point's text
    EXPECT_FALSE(SavedPanelOrigin::load(defaults, owner));
    SavedPanelOrigin::store(defaults, owner, QPointF(10, 20));
    SavedPanelOrigin::forget(defaults, owner);
    EXPECT_FALSE(defaults.string(SavedPanelOrigin::key(owner)));
    // "Reset panel position" reaches the file without a sync.
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(Defaults(QStringLiteral("origin-test"), dir.path()).string(SavedPanelOrigin::key(owner)));
}

// A folder that cannot hold the settings file: the origin cannot be kept, and that is said as every
// owned file's failed write is, for the host whose card it is.
TEST(SavedPanelOrigin, AFailedWriteIsReportedByItsKindForItsHost) {
    WriteFailures::shared().clear();
    QTemporaryDir dir;
    ASSERT_TRUE(quillmere::testing::fileInTheWay(dir.filePath("config")));
    Defaults defaults(QStringLiteral("origin-test"), dir.filePath("config"));
    SavedPanelOrigin::store(defaults, owner, QPointF(10, 20));
    SavedPanelOrigin::store(defaults, owner, QPointF(11, 20));
    ASSERT_EQ(WriteFailures::shared().failures().size(), 1);
    EXPECT_EQ(WriteFailures::shared().failures().front().kind, "saved panel origin");
    EXPECT_EQ(WriteFailures::shared().failures().front().host, owner);
    EXPECT_EQ(WriteFailures::shared().failures().front().failedAttempts, 2);
    WriteFailures::shared().clear();
}

TEST(InstallIdentifier, MadeOnceAsSixteenUppercaseHexDigitsAndKept) {
    QTemporaryDir dir;
    Defaults defaults(QStringLiteral("install-test"), dir.path());
    const QString made = InstallIdentifier::readOrCreate(defaults);
    EXPECT_TRUE(
        QRegularExpression(QRegularExpression::anchoredPattern(u"[0-9A-F]{16}")).match(made).hasMatch())
        << made.toStdString();
    EXPECT_EQ(InstallIdentifier::readOrCreate(defaults), made);
    EXPECT_EQ(defaults.string(InstallIdentifier::defaultsKey), made);
    // A stored value is used as it stands.
    defaults.set(InstallIdentifier::defaultsKey, QStringLiteral("install-0001"));
    EXPECT_EQ(InstallIdentifier::readOrCreate(defaults), "install-0001");
}

BundleInfo bundle(const QString& entries) {
    QTemporaryDir dir;
    QFile file(dir.filePath("Info.plist"));
    file.open(QIODevice::WriteOnly);
    file.write(("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + entries +
                "</dict></plist>")
                   .toUtf8());
    file.close();
    return BundleInfo::load(file.fileName());
}

TEST(EntryMode, FirstMatchingModeWinsWithExactArgumentCounts) {
    const BundleInfo plain = bundle("<key>CFBundleIdentifier</key><string>com.quillmere.zudizur</string>");
    const auto mode = [&](QStringList arguments, const BundleInfo& info) {
        arguments.prepend("/opt/quillmere");
        return selectEntryMode(arguments, info);
    };
    EXPECT_EQ(mode({"--monthly-checks", "f", "o"}, plain), EntryMode::monthlyChecks);
    EXPECT_EQ(mode({"--monthly-checks", "f"}, plain), EntryMode::application);
    EXPECT_EQ(mode({"--connector-card-checks", "o"}, plain), EntryMode::connectorCardChecks);
    EXPECT_EQ(mode({"--connector-http-checks", "f", "o"}, plain), EntryMode::connectorHTTPChecks);
    EXPECT_EQ(mode({"--ui-checks", "o"}, plain), EntryMode::uiChecks);
    EXPECT_EQ(mode({"--ui-checks"}, plain), EntryMode::application);
    EXPECT_EQ(mode({"--ui-checks", "o", "p"}, plain), EntryMode::application);
    EXPECT_EQ(mode({"--UI-checks", "o"}, plain), EntryMode::application);
    EXPECT_EQ(mode({"--probe-host", "COM.OPENAI.CHATGPT"}, plain), EntryMode::probeHost);
    EXPECT_EQ(mode({"--probe-host", "x", "--connector-preview"}, plain), EntryMode::connectorOnly);
    EXPECT_EQ(mode({}, plain), EntryMode::application);

    const BundleInfo preview = bundle("<key>QuillmereConnectorFlowPreview</key><true/>");
    EXPECT_EQ(mode({"--ui-checks", "o"}, preview), EntryMode::connectorFlowPreview);
    EXPECT_EQ(mode({"--monthly-checks", "f", "o"}, preview), EntryMode::monthlyChecks);
    EXPECT_EQ(mode({"--connector-card-checks", "o"}, preview), EntryMode::connectorCardChecks);
    EXPECT_EQ(mode({}, bundle("<key>QuillmereConnectorFlowPreview</key><string>YES</string>")),
              EntryMode::application);
    EXPECT_EQ(mode({}, bundle("<key>QuillmereConnectorOnly</key><true/>")), EntryMode::connectorOnly);
    EXPECT_EQ(mode({}, bundle("<key>QuillmereConnectorOnly</key><string>YES</string>")),
              EntryMode::application);
    EXPECT_EQ(
        mode({}, bundle("<key>CFBundleIdentifier</key><string>com.quillmere.connector-preview</string>")),
        EntryMode::connectorOnly);
}

} // namespace
