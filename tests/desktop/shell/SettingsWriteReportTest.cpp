// What the application says about the writes its settings make of their own accord (a pause, the
// collection period, the install identifier): a failure once, until a write works again.

#include "ShellHarness.h"

#include "desktop/diagnostics/WriteFailures.h"
#include "support/FileInTheWay.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

// The settings cannot be written (a file where their folder should be), then can, then cannot
// again: the second failure is news, since a write worked in between, and is said as the first was;
// a failure repeated without a write that worked between is not.
TEST(SettingsWriteReport, AFailureAfterAWriteThatWorkedAgainIsSaidAgain) {
    WriteFailures::shared().clear();
    ShellHarness harness(chatListingLuna());
    harness.launch();
    QCoreApplication::sendPostedEvents();
    const QString config = harness.dir.filePath("config");
    const auto setAndWrite = [&](int value) {
        harness.defaults->set("QuillmereTestValue", value);
        QCoreApplication::sendPostedEvents();
    };
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(QDir(config).removeRecursively());
    ASSERT_TRUE(fileInTheWay(config));
    setAndWrite(1);
    setAndWrite(2);
    ASSERT_TRUE(QFile::remove(config));
    setAndWrite(3);
    ASSERT_TRUE(QDir(config).removeRecursively());
    ASSERT_TRUE(fileInTheWay(config));
    setAndWrite(4);
    const QString said = QString::fromStdString(::testing::internal::GetCapturedStderr());
    EXPECT_EQ(said.count("quillmere: could not save the user defaults (" +
                         QString::fromLocal8Bit(std::strerror(ENOTDIR)) + ")\n"),
              2)
        << said.toStdString();
    WriteFailures::shared().clear();
}
