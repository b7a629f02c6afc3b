#include "desktop/checks/NativeCardChecksDebug.h"

#include "platform/simulated/SimulatedDesktop.h"
#include "platform/workspace/Workspace.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

// Runs the extraction order, debug privacy and debug window group and names every failed check at once.
TEST(NativeCardChecksDebug, DebugPrivacyAndWindowGroupPasses) {
    QTemporaryDir temporary;
    QTemporaryDir output;
    ASSERT_TRUE(temporary.isValid() && output.isValid());
    // A host in front, so that opening the panel has something to take the foreground from.
    auto desktop = sim::SimulatedDesktop::fromJson(R"({"apps": [
        {"pid": 501, "bundleID": "com.openai.chat", "name": "ChatGPT", "active": true, "windows": []},
        {"pid": 777, "bundleID": "com.anthropic.claudefordesktop", "name": "Claude", "windows": []}]})");
    desktop->install();
    ASSERT_TRUE(Workspace::current().frontmostApplication());
    checks::CheckLog log;
    NativeCardChecks::extractionOrderAndDebugChecks(log.reporter(), temporary.path(), output.path());
    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    EXPECT_EQ(log.count(), 25);
    EXPECT_EQ(Workspace::current().frontmostApplication()->processIdentifier, 501);
    desktop->uninstall();
    EXPECT_GT(QFileInfo(output.filePath("debug-window.png")).size(), 0);
}
