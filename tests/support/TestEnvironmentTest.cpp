// The runner's environment reaches every case: the sanitizers' options, the leak suppressions and
// the source folder are what each test process, and each program it starts, is judged under.
#include <QByteArray>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

// The test binaries move into a private folder inside the one CTest names; a case run by hand
// has no such folder above it and was given nothing to check.
bool runByTheTestRunner() {
    const QFileInfo privateFolder(QString::fromLocal8Bit(qgetenv("TMPDIR")));
    return QFileInfo(privateFolder.path()).fileName() == QLatin1String("test-tmp");
}

TEST(TestEnvironment, EveryVariableTheRunnerNamesReachesTheCase) {
    if (!runByTheTestRunner())
        GTEST_SKIP() << "not run by CTest";
    EXPECT_EQ(qgetenv("QUILLMERE_SOURCE_DIR"), QByteArray(QUILLMERE_SOURCE_DIR));
    EXPECT_EQ(qgetenv("QUILLMERE_BINARY_DIR"), QByteArray(QUILLMERE_BINARY_DIR));
    EXPECT_TRUE(qgetenv("ASAN_OPTIONS").contains("strict_string_checks=1"));
    EXPECT_TRUE(qgetenv("UBSAN_OPTIONS").contains("halt_on_error=1"));
    EXPECT_TRUE(qgetenv("LSAN_OPTIONS").contains("/tests/lsan.supp"));
}

} // namespace
