// One QApplication for the whole test binary: task, timer and widget tests need an event loop.
//
// Each test process works in a temporary folder of its own, made inside the one it was given
// (TMPDIR) and removed when its tests end: the application's diagnostics go to the temporary
// folder, so a test that runs application code without naming a folder of its own writes there,
// and tests run in parallel must not race each other for the same names. A death test's child
// runs in its parent's folder, which the parent removes.
#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

bool isDeathTestChild(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--gtest_internal_run_death_test", 31) == 0)
            return true;
    return false;
}

// Makes the private folder and points TMPDIR at it; empty when it could not be made.
QByteArray enterPrivateTemporaryFolder() {
    QByteArray base = qgetenv("TMPDIR");
    if (base.isEmpty())
        base = "/tmp";
    QByteArray folder = base + "/quillmere-test-XXXXXX";
    if (!::mkdtemp(folder.data()))
        return {};
    qputenv("TMPDIR", folder);
    return folder;
}

} // namespace

int main(int argc, char** argv) {
    // The programs the tests start (the application itself) end with the same leaks inside system
    // libraries as the test binary may, and are judged with the same suppressions, also when the
    // test binary is run by hand without the test runner's environment.
    if (qEnvironmentVariableIsEmpty("LSAN_OPTIONS"))
        qputenv("LSAN_OPTIONS", "suppressions=" QUILLMERE_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QByteArray privateFolder =
        isDeathTestChild(argc, argv) ? QByteArray() : enterPrivateTemporaryFolder();
    int status = 0;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    if (!privateFolder.isEmpty())
        QDir(QString::fromLocal8Bit(privateFolder)).removeRecursively();
    return status;
}
