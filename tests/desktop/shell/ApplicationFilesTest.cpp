// The application's own files as a person's account holds them (~/.config, ~/.local/share), run
// from outside with the real binary: reached through a link to another user's folder, nothing
// that user planted there is read, moved or deleted, and nothing goes to an address planted there;
// a FIFO where one of its files should be blocks nothing.

#include "ApplicationProcess.h"

#include "desktop/shell/InstallIdentifier.h"
#include "desktop/usage/UsageRecorder.h"
#include "platform/config/Defaults.h"
#include "platform/files/OwnedPath.h"
#include "support/FileInTheWay.h"
#include "support/ForeignFolder.h"
#include "support/PlantedFiles.h"
#include "support/SignalProcess.h"
#include "support/SocketAt.h"

#include <QDateTime>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString dataFolder = QStringLiteral("home/.local/share/Quillmere Zudizur");
const QString settingsFile = QStringLiteral("com.quillmere.zudizur.ini");
// What another user's memory would make the application send, were it restored.
const QByteArray plantedText = "planted by another user";

// The application's environment inside `dir`, with its configuration and data where a person's
// are, under the home folder; the classification service at `service`, or the one its settings
// name when empty.
QProcessEnvironment personalEnvironment(const QTemporaryDir& dir, const QString& service) {
    QProcessEnvironment environment = applicationEnvironment(dir, service);
    environment.remove("XDG_CONFIG_HOME");
    environment.remove("XDG_DATA_HOME");
    if (service.isEmpty())
        environment.remove("QUILLMERE_CLASSIFICATION_URL");
    return environment;
}

QString desktopState(const QTemporaryDir& dir) {
    QFile status(dir.filePath("tmp/quillmere-desktop-status.json"));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(status.readAll()).object().value("state").toString();
}

struct Ended {
    bool analysed = false; // the front host's analysis reached its end
    bool quitInOrder = false;
    QString errors;
};

// Runs the application until the front host's first analysis has ended (the service answers 500,
// or cannot be reached), then quits it with SIGTERM. `permissionsHold`: run it without root's
// passing over file permissions, so that a file of mode 000 cannot be read by it either.
// `childSetUp`: anything else to set for the process before it starts (a limit).
Ended runOnce(const QTemporaryDir& dir, const QProcessEnvironment& environment, bool permissionsHold = false,
              const std::function<void()>& childSetUp = {}) {
    QProcess app;
    app.setProcessEnvironment(environment);
    app.setChildProcessModifier([permissionsHold, childSetUp] {
        if (permissionsHold)
            for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
        if (childSetUp)
            childSetUp();
    });
    app.start(QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere"), QStringList());
    Ended ended;
    if (!app.waitForStarted(30000))
        return ended;
    ended.analysed = waitFor(
        [&] { return app.state() != QProcess::Running || desktopState(dir) == "classification_error"; }, 90);
    ended.analysed = ended.analysed && app.state() == QProcess::Running;
    quillmere::testing::signalProcess(app, SIGTERM);
    ended.quitInOrder =
        app.waitForFinished(30000) && app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0;
    if (app.state() != QProcess::NotRunning) {
        app.kill();
        app.waitForFinished(10000);
    }
    ended.errors = QString::fromLocal8Bit(app.readAllStandardError());
    return ended;
}

// A service that answers 500 to every classification and keeps what it was sent.
struct Service {
    LoopbackServer server;
    Service() {
        server.post("/classify", LoopbackServer::answer(500, "{}"));
        server.post("/v1/recommendations/openai", LoopbackServer::answer(500, "{}"));
    }
    QString url() const { return server.url("/classify").toString(); }
    bool sawPlantedText() const {
        for (const auto& request : server.requests())
            if (QByteArray::fromStdString(request.body).contains(plantedText))
                return true;
        return false;
    }
};

// A memory for the front host holding the planted text, a damaged one for another host and a
// temporary copy a crashed write would have left, an hour old, in `folder`.
QList<Planted> plantMemories(const QString& folder) {
    QByteArray memory = R"([{"conversationScopeID":"s","key":"openai|chat:planted","segments":[[)";
    memory += R"({"firstObservedAt":800000000,"identifiers":[],"message":{"role":"user","text":")" +
              plantedText + R"("}}]]}])";
    return {
        plant(folder + "/conversation-memory-com.openai.chat.json", memory),
        plant(folder + "/conversation-memory-com.openai.codex.json", "{not a memory"),
        plant(folder + "/.conversation-memory-com.anthropic.claude.json.abc123.tmp", memory, 3600),
    };
}

struct Linked {
    const char* where;
    QString link;        // in the test's folder, replaced by a link to the other user's folder;
                         // none: XDG_DATA_HOME names the other user's folder
    QString memories;    // where the memory files would be, below the other user's folder; none
    QString usageFolder; // where "Quillmere/" would be, below the other user's folder
};

void expectUntouched(const QList<Planted>& planted, const QString& foreign, const QStringList& before) {
    for (const Planted& file : planted)
        EXPECT_EQ(touched(file), QString());
    EXPECT_EQ(entriesBelow(foreign), before) << "nothing made, renamed or deleted there";
}

// Runs the application once with what another user planted in `foreign` within its reach: it
// analyses and quits in order, nothing planted is read, changed or sent, and no path is said.
void runWithoutUsingTheirs(const QTemporaryDir& dir, const QProcessEnvironment& environment,
                           const Service& service, const QList<Planted>& files, const QString& foreign) {
    const QStringList before = entriesBelow(foreign);
    const Ended ended = runOnce(dir, environment);
    EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
    EXPECT_TRUE(ended.quitInOrder);
    EXPECT_FALSE(service.server.requests().empty());
    EXPECT_FALSE(service.sawPlantedText());
    expectUntouched(files, foreign, before);
    EXPECT_FALSE(ended.errors.contains(dir.path())) << ended.errors.toStdString();
}

bool givesFoldersAway() {
    return ::geteuid() == 0;
}

} // namespace

// The configuration folder is another user's, holding settings that name that user's service:
// reached through a link at ~/.config, or named by XDG_CONFIG_HOME, or named through a link in
// that user's folder which they flip between their folder and this user's own all the while; or
// the settings file is this user's but others may write it. The settings are not read (no request
// goes there) and no settings file is made or changed there; the application runs on its built-in
// defaults and says so once, without the path.
TEST(ApplicationFiles, SettingsInAnotherUsersFolderAreNeitherReadNorWritten) {
    if (!givesFoldersAway())
        GTEST_SKIP() << "needs to give folders to another user";
    enum class Shape { linked, named, flipped, openFile };
    const std::pair<const char*, Shape> rows[] = {{"~/.config a link", Shape::linked},
                                                  {"XDG_CONFIG_HOME", Shape::named},
                                                  {"a link in their folder, flipped", Shape::flipped},
                                                  {"a settings file others may write", Shape::openFile}};
    for (const auto& [what, shape] : rows) {
        SCOPED_TRACE(what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service planted;
        QProcessEnvironment environment = personalEnvironment(dir, QString());
        const QString foreign = foreignFolder(dir.filePath("theirs"));
        ASSERT_NE(foreign, "/");
        const QByteArray settings =
            "[string]\nQuillmereClassificationServiceURL=" + planted.url().toUtf8() + '\n';
        const QString mine = dir.filePath("home/.config");
        QString watched = foreign;
        QList<Planted> files;
        std::atomic<bool> stop = false;
        std::thread flipper;
        switch (shape) {
        case Shape::linked:
            files << plant(foreign + '/' + settingsFile, settings);
            ASSERT_TRUE(QFile::link(foreign, mine));
            break;
        case Shape::named:
            files << plant(foreign + '/' + settingsFile, settings);
            environment.insert("XDG_CONFIG_HOME", foreign);
            break;
        case Shape::flipped:
            watched = foreign + "/config";
            ASSERT_TRUE(folderWith(watched, 0755, foreignUser, foreignUser));
            files << plant(watched + '/' + settingsFile, settings)
                  << plant(mine + '/' + settingsFile, settings, 0, ::geteuid());
            ASSERT_TRUE(QFile::link(mine, foreign + "/link"));
            ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0711), 0); // their way in
            environment.insert("XDG_CONFIG_HOME", foreign + "/link");
            flipper = std::thread([&, watched, mine] {
                // This thread acts on files as the other user.
                ::syscall(SYS_setfsgid, foreignUser);
                ::syscall(SYS_setfsuid, foreignUser);
                const QByteArray link = QFile::encodeName(foreign + "/link");
                const QByteArray next = link + ".next";
                const QByteArray targets[] = {QFile::encodeName(watched), QFile::encodeName(mine)};
                for (int i = 0; !stop; ++i) {
                    ::unlink(next.constData());
                    if (::symlink(targets[i % 2].constData(), next.constData()) == 0)
                        ::rename(next.constData(), link.constData());
                }
            });
            break;
        case Shape::openFile:
            watched = mine;
            files << plant(mine + '/' + settingsFile, settings, 0, ::geteuid());
            ASSERT_EQ(::chmod(QFile::encodeName(files.back().path).constData(), 0666), 0);
            break;
        }
        const QStringList before = entriesBelow(watched);

        const Ended ended = runOnce(dir, environment);
        stop = true;
        if (flipper.joinable())
            flipper.join();
        EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
        EXPECT_TRUE(ended.quitInOrder);
        EXPECT_TRUE(planted.server.requests().empty()) << planted.server.requests().size() << " requests";
        expectUntouched(files, watched, before);
        const QString said = "quillmere: did not use the user defaults (" + OwnedPath::refusalReason() +
                             "); running on the built-in defaults\n";
        EXPECT_EQ(ended.errors.count(said), 1) << ended.errors.toStdString();
        EXPECT_FALSE(ended.errors.contains(dir.path())) << "no path is named";
    }
}

// The data folder, or a folder on the way to it or in it, is a link to another user's folder:
// nothing planted there is read (a memory to restore), moved (a damaged memory) or deleted (a
// stale temporary copy), nothing is made there, and nothing of it is sent to the service.
TEST(ApplicationFiles, DataInAnotherUsersFolderIsNotUsedAtAll) {
    if (!givesFoldersAway())
        GTEST_SKIP() << "needs to give folders to another user";
    const Linked rows[] = {
        {"~/.local", "home/.local", "share/Quillmere Zudizur", "share/Quillmere Zudizur/Quillmere"},
        {"the data folder", dataFolder, ".", "Quillmere"},
        {"Quillmere/ in the data folder", dataFolder + "/Quillmere", QString(), "."},
        {"XDG_DATA_HOME", QString(), "Quillmere Zudizur", "Quillmere Zudizur/Quillmere"},
    };
    for (const Linked& row : rows) {
        SCOPED_TRACE(row.where);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        QProcessEnvironment environment = personalEnvironment(dir, service.url());
        const QString foreign = foreignFolder(dir.filePath("theirs"));
        ASSERT_NE(foreign, "/");
        QList<Planted> files;
        if (!row.memories.isNull())
            files << plantMemories(QDir::cleanPath(foreign + '/' + row.memories));
        const QString usage = QDir::cleanPath(foreign + '/' + row.usageFolder);
        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
        files << plant(usage + "/observations/usage-" + today + ".jsonl", "{\"planted\":true}\n")
              << plant(usage + "/observations/status.json", "{}")
              << plant(usage + "/monthly-usage/monthly-v1.json", "{}");
        if (row.link.isNull()) {
            environment.insert("XDG_DATA_HOME", foreign);
        } else {
            ASSERT_TRUE(QDir().mkpath(QFileInfo(dir.filePath(row.link)).path()));
            ASSERT_TRUE(QFile::link(foreign, dir.filePath(row.link)));
        }
        runWithoutUsingTheirs(dir, environment, service, files, foreign);
    }
}

// The memory file of a host is a second name (a hard link) for a memory file of another user's:
// it is not read, not moved, and nothing of it is sent.
TEST(ApplicationFiles, AMemoryFileLinkedToAnotherUsersIsNotRead) {
    if (!givesFoldersAway())
        GTEST_SKIP() << "needs to give folders to another user";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Service service;
    const QProcessEnvironment environment = personalEnvironment(dir, service.url());
    const QString foreign = foreignFolder(dir.filePath("theirs"));
    ASSERT_NE(foreign, "/");
    const QList<Planted> files = plantMemories(foreign);
    const QString data = dir.filePath(dataFolder);
    ASSERT_TRUE(QDir().mkpath(data));
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0700), 0);
    const QString memory = data + "/conversation-memory-com.openai.chat.json";
    ASSERT_EQ(
        ::link(QFile::encodeName(files.front().path).constData(), QFile::encodeName(memory).constData()), 0);
    runWithoutUsingTheirs(dir, environment, service, files, foreign);
}

// The settings file cannot be read (mode 000): that is said once, as a refused one is, by its kind
// and reason; the application runs on its built-in defaults and leaves the file as it was.
TEST(ApplicationFiles, AnUnreadableSettingsFileIsSaidOnce) {
    if (::geteuid() == 0 && ::prctl(PR_CAPBSET_READ, CAP_SETPCAP, 0, 0, 0) != 1)
        GTEST_SKIP() << "cannot run the application without passing over file permissions";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Service service;
    const QProcessEnvironment environment = personalEnvironment(dir, service.url());
    const QString settings = dir.filePath("home/.config/" + settingsFile);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(settings).path()));
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[bool]\nQuillmereObservationPaused=true\n");
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(settings).constData(), 0), 0);

    const Ended ended = runOnce(dir, environment, true);
    EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
    EXPECT_TRUE(ended.quitInOrder);
    EXPECT_EQ(ended.errors.count("quillmere: did not use the user defaults (cannot be read); running on the "
                                 "built-in defaults\n"),
              1)
        << ended.errors.toStdString();
    struct stat left {};
    ASSERT_EQ(::stat(QFile::encodeName(settings).constData(), &left), 0);
    EXPECT_EQ(left.st_mode & 07777, 0u) << "left as it was";
    EXPECT_EQ(QFileInfo(settings).size(), 39);
}

namespace {

// Starts the application under `mask`, waits for its first analysis and for `written` (what it
// writes of its own accord, within about a second of the change), then kills it with SIGKILL. File
// permissions hold for it as for any user: root passes over them.
void analyseAndKill(const QTemporaryDir& dir, const QProcessEnvironment& environment, mode_t mask,
                    const std::function<bool()>& written) {
    QFile::remove(dir.filePath("tmp/quillmere-desktop-status.json"));
    QProcess app;
    app.setProcessEnvironment(environment);
    app.setChildProcessModifier([mask] {
        ::umask(mask);
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    });
    app.start(QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere"), QStringList());
    ASSERT_TRUE(app.waitForStarted(30000));
    EXPECT_TRUE(waitFor(
        [&] { return app.state() != QProcess::Running || desktopState(dir) == "classification_error"; }, 90));
    waitFor(written, 2);
    quillmere::testing::signalProcess(app, SIGKILL);
    app.waitForFinished(10000);
}

} // namespace

// The settings reach the disk while the application runs, not only when it ends in order: killed
// with SIGKILL after its first analysis, it has left the collection start and the install
// identifier in the file, made under umask 002 as this user's alone (folder 0700, file 0600). The
// next start, killed as well, keeps both rather than starting a new collection period or sending a
// new identifier. So it does when the file was edited by hand and a value there left open (a quote
// never closed around the service address): what the application writes after it reads back. And
// so it does under a umask that takes the owner's own write or read bit, leaving no copy folder.
TEST(ApplicationFiles, SettingsChosenBeforeAKillAreThereOnTheNextStart) {
    const struct {
        const char* what;
        QByteArray text; // the settings file before the first start; none when empty
        mode_t mask = 002;
    } rows[] = {
        {"no settings file yet", {}},
        {"a value left open by hand",
         "[string]\nQuillmereClassificationServiceURL=\"http://127.0.0.1:9/classify\n"},
        {"umask 0277", {}, 0277},
        {"umask 0477", {}, 0477},
        {"umask 0400", {}, 0400},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        const QProcessEnvironment environment = personalEnvironment(dir, service.url());
        const QString config = dir.filePath("home/.config");
        const QString suite = QFileInfo(settingsFile).completeBaseName();
        if (!row.text.isEmpty()) {
            ASSERT_TRUE(QDir().mkpath(config));
            ASSERT_EQ(::chmod(QFile::encodeName(config).constData(), 0700), 0);
            QFile file(config + '/' + settingsFile);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(row.text);
        }
        const auto stored = [&](const char* key) {
            return Defaults(suite, config).string(QString::fromLatin1(key));
        };
        std::optional<QString> started;
        std::optional<QString> identifier;
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run == 0 ? "first start" : "second start");
            // Written within about a second of the change, never only at the end.
            analyseAndKill(dir, environment, row.mask,
                           [&] { return stored(InstallIdentifier::defaultsKey).has_value(); });
            EXPECT_EQ(QDir(config).entryList({".com.quillmere.zudizur.ini.copy-*"},
                                             QDir::AllEntries | QDir::Hidden | QDir::System),
                      QStringList())
                << "copy folders left";
            if (run == 0) {
                started = stored(UsageRecorder::collectionStartedKey);
                identifier = stored(InstallIdentifier::defaultsKey);
                ASSERT_TRUE(started);
                ASSERT_TRUE(identifier);
                struct stat status {};
                ASSERT_EQ(::stat(QFile::encodeName(config).constData(), &status), 0);
                EXPECT_EQ(status.st_mode & 07777, 0700u);
                ASSERT_EQ(::stat(QFile::encodeName(config + '/' + settingsFile).constData(), &status), 0);
                EXPECT_EQ(status.st_mode & 07777, 0600u);
            } else {
                EXPECT_EQ(stored(UsageRecorder::collectionStartedKey), started);
                EXPECT_EQ(stored(InstallIdentifier::defaultsKey), identifier);
            }
        }
    }
}

// The settings cannot be written (a file where the configuration folder should be): the failed
// writes the application makes of its own accord are said once, by kind and reason, and it runs on.
TEST(ApplicationFiles, SettingsThatCannotBeWrittenAreSaidOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Service service;
    const QProcessEnvironment environment = personalEnvironment(dir, service.url());
    ASSERT_TRUE(fileInTheWay(dir.filePath("home/.config")));
    const Ended ended = runOnce(dir, environment);
    EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
    EXPECT_TRUE(ended.quitInOrder);
    EXPECT_EQ(ended.errors.count("quillmere: could not save the user defaults (" +
                                 QString::fromLocal8Bit(std::strerror(ENOTDIR)) + ")\n"),
              1)
        << ended.errors.toStdString();
}

// A FIFO where the settings file or a memory file should be: opening it to read would wait for a
// writer for ever. The application neither waits nor hangs: it analyses and quits in order.
TEST(ApplicationFiles, AFifoInPlaceOfAFileBlocksNothing) {
    const struct {
        const char* what;
        QStringList fifos;
    } rows[] = {
        {"the settings file", {"home/.config/" + settingsFile}},
        {"each memory file",
         {dataFolder + "/conversation-memory-com.openai.chat.json",
          dataFolder + "/conversation-memory-com.openai.chatgpt.json",
          dataFolder + "/conversation-memory-com.openai.codex.json",
          dataFolder + "/conversation-memory-com.anthropic.claudefordesktop.json",
          dataFolder + "/conversation-memory-com.anthropic.claude.json"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        const QProcessEnvironment environment = personalEnvironment(dir, service.url());
        for (const QString& fifo : row.fifos) {
            ASSERT_TRUE(QDir().mkpath(QFileInfo(dir.filePath(fifo)).path()));
            ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(fifo)).constData(), 0600), 0);
        }
        const Ended ended = runOnce(dir, environment);
        EXPECT_TRUE(ended.analysed) << "blocked before its first analysis";
        EXPECT_TRUE(ended.quitInOrder);
        EXPECT_FALSE(ended.errors.contains(dir.path())) << ended.errors.toStdString();
        // Settings that cannot be used may hold a pause: collection stays paused for the run.
        const QString observations = dir.filePath(dataFolder + "/Quillmere/observations");
        QFile status(observations + "/status.json");
        ASSERT_TRUE(status.open(QIODevice::ReadOnly));
        EXPECT_EQ(QJsonDocument::fromJson(status.readAll()).object().value("paused").toBool(),
                  row.fifos.front().endsWith(settingsFile));
        if (row.fifos.front().endsWith(settingsFile)) {
            EXPECT_EQ(QDir(observations).entryList({"usage-*"}, QDir::Files), QStringList())
                << "nothing recorded";
        }
        // Not a damaged file of the application's: left where it is, neither moved nor replaced.
        for (const QString& fifo : row.fifos) {
            struct stat left {};
            EXPECT_TRUE(::lstat(QFile::encodeName(dir.filePath(fifo)).constData(), &left) == 0 &&
                        S_ISFIFO(left.st_mode))
                << fifo.toStdString();
        }
    }
}

// Another program of the user's writes a key of its own to the settings file through QSettings all
// the while the application runs: writers take turns at the file, so what the application wrote
// (the install identifier, the collection start) is still there when it has quit, beside the
// other program's key.
TEST(ApplicationFiles, SettingsWrittenBesideAnotherWriterKeepEveryKey) {
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE(run);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        const QProcessEnvironment environment = personalEnvironment(dir, service.url());
        const QString config = dir.filePath("home/.config");
        const QString suite = QFileInfo(settingsFile).completeBaseName();
        ASSERT_TRUE(QDir().mkpath(config));
        QProcess other;
        other.start(QStringLiteral(QUILLMERE_BINARY_DIR "/defaults-writer"),
                    {config, suite, "other", "100000000", "qsettings"});
        ASSERT_TRUE(other.waitForStarted(30000));
        const Ended ended = runOnce(dir, environment);
        quillmere::testing::signalProcess(other, SIGKILL);
        other.waitForFinished(10000);
        EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
        EXPECT_TRUE(ended.quitInOrder);
        EXPECT_FALSE(ended.errors.contains("could not save")) << ended.errors.toStdString();
        const Defaults settings(suite, config);
        EXPECT_TRUE(settings.string(InstallIdentifier::defaultsKey).has_value());
        EXPECT_TRUE(settings.string(UsageRecorder::collectionStartedKey).has_value());
        EXPECT_TRUE(settings.string("other").has_value());
    }
}

// A new user's first run (no settings file yet) while another program holds its turn at the
// settings file: the install identifier made for the first request cannot be written, and the
// application runs on. Quit with SIGTERM while the other still holds on, it ends in order, its last
// write made while the application object lives and the change it could not write said, not
// attempted as the process exits; nothing is torn. Once the other program lets go (killed, its lock
// taken over), the identifier reaches the file without any further change: quit at once with
// SIGTERM, it ends in order with the identifier written; killed with SIGKILL, nothing is lost.
TEST(ApplicationFiles, ASettingsWriteWaitingForItsTurnIsMadeWhenItComesOrSaidAtTheEnd) {
    enum class End { holdsOnToTheQuit, letsGoThenQuit, letsGoThenKilled };
    for (const End end : {End::holdsOnToTheQuit, End::letsGoThenQuit, End::letsGoThenKilled}) {
        SCOPED_TRACE(end == End::holdsOnToTheQuit ? "the other program holds on to the quit"
                     : end == End::letsGoThenQuit ? "the other program lets go, then a quit"
                                                  : "the other program lets go, then a kill");
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        const QProcessEnvironment environment = personalEnvironment(dir, service.url());
        const QString config = dir.filePath("home/.config");
        const QString suite = QFileInfo(settingsFile).completeBaseName();
        ASSERT_TRUE(QDir().mkpath(config));
        QProcess holder;
        holder.start(QStringLiteral(QUILLMERE_BINARY_DIR "/defaults-writer"),
                     {config, suite, "-", "0", "lock"});
        ASSERT_TRUE(holder.waitForStarted(30000));
        ASSERT_TRUE(holder.waitForReadyRead(30000));
        ASSERT_EQ(holder.readAllStandardOutput(), "locked\n");
        const auto letGo = [&] {
            quillmere::testing::signalProcess(holder, SIGKILL);
            holder.waitForFinished(10000);
        };
        const auto stored = [&](const char* key) {
            return Defaults(suite, config).string(QString::fromLatin1(key));
        };
        if (end == End::holdsOnToTheQuit) {
            const Ended ended = runOnce(dir, environment);
            letGo();
            EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
            EXPECT_TRUE(ended.quitInOrder) << ended.errors.toStdString();
            EXPECT_TRUE(
                ended.errors.contains("quillmere: could not save the user defaults " + suite +
                                      " (in use by another process); the changes not written are lost\n"))
                << ended.errors.toStdString();
            EXPECT_FALSE(QFileInfo::exists(config + '/' + settingsFile)) << "written past the other's turn";
            continue;
        }
        QProcess app;
        app.setProcessEnvironment(environment);
        app.start(QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere"), QStringList());
        ASSERT_TRUE(app.waitForStarted(30000));
        EXPECT_TRUE(waitFor(
            [&] { return app.state() != QProcess::Running || desktopState(dir) == "classification_error"; },
            90));
        letGo();
        if (end == End::letsGoThenQuit) {
            quillmere::testing::signalProcess(app, SIGTERM);
            EXPECT_TRUE(app.waitForFinished(30000));
            EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << app.readAllStandardError().toStdString();
            EXPECT_EQ(app.exitCode(), 0);
        } else {
            EXPECT_TRUE(waitFor([&] { return stored(InstallIdentifier::defaultsKey).has_value(); }, 15))
                << "never tried again";
            quillmere::testing::signalProcess(app, SIGKILL);
            app.waitForFinished(10000);
        }
        EXPECT_TRUE(stored(InstallIdentifier::defaultsKey).has_value());
        EXPECT_TRUE(stored(UsageRecorder::collectionStartedKey).has_value());
    }
}

// Under a file size limit (ulimit -f) a write past it fails as on a full disk, rather than ending the
// application: it analyses and quits in order. A settings file already larger than the limit cannot
// be written: that is said by its reason, and the file is left as it was.
TEST(ApplicationFiles, AFileSizeLimitFailsWritesAndEndsNothing) {
    const QByteArray saved = "[string]\nQuillmereNote=" + QByteArray(3000, 'n') + "\n";
    for (const rlim_t limit : {rlim_t(1024), rlim_t(2048), rlim_t(8192)}) {
        SCOPED_TRACE(limit);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        const QProcessEnvironment environment = personalEnvironment(dir, service.url());
        const QString config = dir.filePath("home/.config");
        ASSERT_TRUE(QDir().mkpath(config));
        ASSERT_EQ(::chmod(QFile::encodeName(config).constData(), 0700), 0);
        QFile file(config + '/' + settingsFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(saved);
        file.close();
        const Ended ended = runOnce(dir, environment, false, [limit] {
            // As a shell sets it: the signal at its default, which ends the process.
            ::signal(SIGXFSZ, SIG_DFL);
            const rlimit limited{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &limited);
        });
        EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
        EXPECT_TRUE(ended.quitInOrder) << ended.errors.toStdString();
        QFile after(config + '/' + settingsFile);
        ASSERT_TRUE(after.open(QIODevice::ReadOnly));
        if (qsizetype(limit) < saved.size()) {
            EXPECT_TRUE(ended.errors.contains("could not save the user defaults (" +
                                              QString::fromLocal8Bit(std::strerror(EFBIG)) + ")"))
                << ended.errors.toStdString();
            EXPECT_EQ(after.readAll(), saved) << "left as it was";
        } else {
            EXPECT_TRUE(Defaults(QFileInfo(settingsFile).completeBaseName(), config)
                            .string(InstallIdentifier::defaultsKey)
                            .has_value());
        }
    }
}

// A new user's first run where the runtime folder has no room left at all: the settings need no
// runtime or temporary folder, to read them or to write them, so the install identifier and the
// collection start are written beside the file, and a quit with SIGTERM ends in order (it used to
// end in a crash as the process exited, the identifier lost). The full folder is a small file
// system of the test's own, where this machine lets a test mount one.
TEST(ApplicationFiles, AFirstRunWithAFullRuntimeFolderWritesItsSettingsAndQuitsInOrder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString runtime = dir.filePath("run");
    ASSERT_TRUE(QDir().mkpath(runtime));
    const QByteArray place = QFile::encodeName(runtime);
    if (::mount("tmpfs", place.constData(), "tmpfs", 0, "size=16k,mode=0700") != 0)
        GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
    struct Unmount {
        QByteArray place;
        ~Unmount() { ::umount2(place.constData(), MNT_DETACH); }
    } unmount{place};
    {
        QFile fill(runtime + "/fill");
        ASSERT_TRUE(fill.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (fill.write(block) == block.size() && fill.flush()) {
        }
    }
    Service service;
    QProcessEnvironment environment = personalEnvironment(dir, service.url());
    environment.insert("XDG_RUNTIME_DIR", runtime);
    const Ended ended = runOnce(dir, environment);
    EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
    EXPECT_TRUE(ended.quitInOrder) << ended.errors.toStdString();
    EXPECT_FALSE(ended.errors.contains("user defaults")) << ended.errors.toStdString();
    const Defaults settings(QFileInfo(settingsFile).completeBaseName(), dir.filePath("home/.config"));
    EXPECT_TRUE(settings.string(InstallIdentifier::defaultsKey).has_value());
    EXPECT_TRUE(settings.string(UsageRecorder::collectionStartedKey).has_value());
}

namespace {

// A service that suggests a lighter setting the host lists, so that a recommendation is shown and
// a usage line written.
struct SuggestingService {
    LoopbackServer server;
    SuggestingService() {
        server.post("/v1/recommendations/openai",
                    LoopbackServer::answer(
                        200, R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                             R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                             R"("reason":"A lighter setting is enough.","requiresVerification":true})"));
        server.post("/classify", LoopbackServer::answer(500, "{}"));
    }
    QString url() const { return server.url("/classify").toString(); }
};

// Runs the application until its first recommendation is shown and then a little longer, and quits
// it with SIGTERM; its standard error.
QString runUntilShown(const QTemporaryDir& dir, const QProcessEnvironment& environment) {
    QProcess app;
    if (!start(app, environment))
        return {};
    waitFor([&] { return app.state() != QProcess::Running || desktopState(dir) == "recommended"; }, 90);
    waitFor([] { return false; }, 2);
    quillmere::testing::signalProcess(app, SIGTERM);
    if (!app.waitForFinished(30000)) {
        app.kill();
        app.waitForFinished(10000);
    }
    return QString::fromLocal8Bit(app.readAllStandardError());
}

} // namespace

// XDG_DATA_HOME names the data folder with ".." after a link ("~/lnk/../share"): the application
// writes where the system goes, the folder beside the one the link leads to. When that is another
// user's folder others can write (made ready by them), nothing of this user's goes there, the
// daily usage file included; when it is this user's own, the usage lines, the status and the
// memory go there, and nothing goes to the textual "~/share".
TEST(ApplicationFiles, DotDotAfterALinkInTheDataFolderIsWhereTheSystemGoes) {
    if (!givesFoldersAway())
        GTEST_SKIP() << "needs to give folders to another user";
    for (const bool theirs : {true, false}) {
        SCOPED_TRACE(theirs ? "into another user's folder" : "into a folder of this user's");
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        SuggestingService service;
        QProcessEnvironment environment = personalEnvironment(dir, service.url());
        QString target = dir.filePath("mine");
        if (theirs) {
            target = foreignFolder(dir.filePath("theirs"));
            ASSERT_NE(target, "/");
            ASSERT_TRUE(folderWith(target + "/sub", 0777, foreignUser, foreignUser));
            ASSERT_TRUE(QDir().mkpath(target + "/share/Quillmere Zudizur/Quillmere/observations"));
            for (const QString& made : {QString("/share"), QString("/share/Quillmere Zudizur"),
                                        QString("/share/Quillmere Zudizur/Quillmere"),
                                        QString("/share/Quillmere Zudizur/Quillmere/observations")})
                ASSERT_TRUE(folderWith(target + made, 0777, foreignUser, foreignUser));
            ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), 0777), 0);
        } else {
            ASSERT_TRUE(folderWith(target + "/sub", 0700));
        }
        ASSERT_TRUE(QFile::link(target + "/sub", dir.filePath("home/lnk")));
        environment.insert("XDG_DATA_HOME", dir.filePath("home/lnk/../share"));
        const QStringList before = entriesBelow(target);
        const QString errors = runUntilShown(dir, environment);
        EXPECT_FALSE(errors.contains(dir.path())) << errors.toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("home/share"))) << "the textual place";
        if (theirs) {
            EXPECT_EQ(entriesBelow(target), before) << "nothing made or written there";
        } else {
            EXPECT_FALSE(usageLines(target + "/share").isEmpty());
            EXPECT_TRUE(
                QFileInfo(target + "/share/Quillmere Zudizur/Quillmere/observations/status.json").isFile());
        }
    }
}

// ~/.config is a link to a missing folder in another user's folder, which that user makes and
// removes all the while: it is judged where it leads, so the settings are never written there,
// whatever the moment, and the application runs on its built-in defaults, said once.
TEST(ApplicationFiles, AConfigurationLinkToAMissingFolderOfAnotherUsersIsNotWrittenThrough) {
    if (!givesFoldersAway())
        GTEST_SKIP() << "needs to give folders to another user";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Service service;
    const QProcessEnvironment environment = personalEnvironment(dir, service.url());
    const QString foreign = foreignFolder(dir.filePath("theirs"));
    ASSERT_NE(foreign, "/");
    ASSERT_EQ(::chmod(QFile::encodeName(foreign).constData(), 0777), 0);
    const QString missing = foreign + "/config";
    ASSERT_TRUE(QFile::link(missing, dir.filePath("home/.config")));
    std::atomic<bool> stop = false;
    std::atomic<int> found = 0;
    std::thread maker([&] {
        // This thread acts on files as the other user.
        ::syscall(SYS_setfsgid, foreignUser);
        ::syscall(SYS_setfsuid, foreignUser);
        const QByteArray native = QFile::encodeName(missing);
        while (!stop) {
            ::mkdir(native.constData(), 0777);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (::rmdir(native.constData()) != 0 && errno == ENOTEMPTY)
                ++found;
        }
    });
    const Ended ended = runOnce(dir, environment);
    stop = true;
    maker.join();
    EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
    EXPECT_EQ(found, 0) << "something was written into their folder";
    EXPECT_EQ(entriesBelow(foreign), QStringList()) << "nothing made or written there";
    EXPECT_EQ(ended.errors.count("quillmere: did not use the user defaults (" + OwnedPath::refusalReason() +
                                 "); running on the built-in defaults\n"),
              1)
        << ended.errors.toStdString();
}

// A socket, or a memory file with a second name, where a host's memory file should be: no damaged
// memory of the application's, so it is neither moved aside nor replaced; said once, and the
// memory is kept in memory only for the run.
TEST(ApplicationFiles, ASocketOrASecondNameAtAMemoryPathIsLeftInPlace) {
    for (const bool socket : {true, false}) {
        SCOPED_TRACE(socket ? "a socket" : "a second name");
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Service service;
        const QProcessEnvironment environment = personalEnvironment(dir, service.url());
        const QString data = dir.filePath(dataFolder);
        ASSERT_TRUE(folderWith(data, 0700));
        const QString memory = data + "/conversation-memory-com.openai.chat.json";
        const QByteArray native = QFile::encodeName(memory);
        std::optional<SocketAt> bound;
        if (socket) {
            bound.emplace(memory);
            ASSERT_TRUE(bound->bound());
        } else {
            QFile file(memory);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("[]");
            file.close();
            ASSERT_EQ(::link(native.constData(),
                             QFile::encodeName(dir.filePath("kept-elsewhere.json")).constData()),
                      0);
        }
        struct stat before {};
        ASSERT_EQ(::lstat(native.constData(), &before), 0);
        const Ended ended = runOnce(dir, environment);
        EXPECT_TRUE(ended.analysed) << ended.errors.toStdString();
        EXPECT_TRUE(ended.quitInOrder);
        const QString reason = socket ? QString("not a regular file") : OwnedPath::refusalReason();
        EXPECT_EQ(ended.errors.count("quillmere: did not use the conversation memory (" + reason +
                                     "); keeping it in memory only\n"),
                  1)
            << ended.errors.toStdString();
        struct stat after {};
        ASSERT_EQ(::lstat(native.constData(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "left in place";
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(QDir(data).entryList({"*.damaged-*"}, QDir::AllEntries | QDir::System), QStringList());
    }
}
