#include "platform/config/Defaults.h"

#include "platform/config/BundleInfo.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"
#include "platform/files/RegularFile.h"
#include "platform/tasks/Scheduler.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillmere {

namespace {

// INI keeps only text, so each value lives in a group named for its type: a key read as the wrong
// type is simply absent there, and "true" stored as a string never reads as a Boolean.
const QString stringGroup = QStringLiteral("string");
const QString booleanGroup = QStringLiteral("bool");
const QString numberGroup = QStringLiteral("number");

QString typed(const QString& group, const QString& key) {
    return group + u'/' + key;
}

QString fileFor(const QString& suite, const QString& folder) {
    QString base =
        folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) : folder;
    // The suite names a file inside the folder, never a path out of it.
    QString name = suite;
    name.replace(u'/', u'_');
    if (name.isEmpty() || name == u"." || name == u"..")
        name = QStringLiteral("_") + name;
    return QDir(base).filePath(name + QStringLiteral(".ini"));
}

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

int retryingClose(int fd) {
    return fd < 0 ? 0 : ::close(fd);
}

// An open descriptor, closed with the object.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { retryingClose(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// --- Reading through Qt's INI code ---------------------------------------------------------------
//
// Qt's INI code opens the files it reads itself, by name. It is handed the very file already opened
// and judged here, by its descriptor's name (/proc/self/fd/N), so reading needs no copy, no free
// space and no temporary folder. Qt keeps what it parsed under the name and, asked for the same name
// again, trusts it while the size and the modification time (to the millisecond) are the same. A
// descriptor's number is reused for other files, so the state last read under each name is kept
// here, and a name under which Qt would take another file's keys for this one's is not used: the
// descriptor is duplicated to another number instead.
struct SeenState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
};

SeenState seenState(const struct stat& status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool sameState(const SeenState& a, const SeenState& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

qint64 milliseconds(const struct timespec& time) {
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

// Never destroyed: a suite may still read while the process ends.
struct SeenNames {
    std::mutex mutex;
    std::map<int, SeenState> byDescriptor;
};

SeenNames& seenNames() {
    static SeenNames* names = new SeenNames;
    return *names;
}

// Whether Qt, asked for the name of descriptor `number`, would parse the file as it is now.
bool nameShowsFile(const SeenNames& names, int number, const SeenState& now) {
    const auto found = names.byDescriptor.find(number);
    if (found == names.byDescriptor.end() || found->second.size == 0)
        return true;
    const SeenState& before = found->second;
    return before.size != now.size || milliseconds(before.modified) != milliseconds(now.modified) ||
           sameState(before, now);
}

QString descriptorName(int fd) {
    return QStringLiteral("/proc/self/fd/") + QString::number(fd);
}

// Every key whose value QSettings reads as one string.
QHash<QString, QString> stringsIn(const QSettings& settings) {
    QHash<QString, QString> strings;
    for (const QString& key : settings.allKeys()) {
        const QVariant value = settings.value(key);
        if (value.typeId() == QMetaType::QString)
            strings.insert(key, value.toString());
    }
    return strings;
}

const QString unreadable = QStringLiteral("could not be read");

// The strings of the regular file open at `fd`, read within the bound by Qt's INI code.
std::optional<QHash<QString, QString>> parseOpen(int fd, QString* error) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    if (status.st_size > Defaults::maximumFileBytes) {
        *error = RegularFile::describe(RegularFile::Problem::tooLarge);
        return std::nullopt;
    }
    if (status.st_size == 0)
        return QHash<QString, QString>();
    const SeenState now = seenState(status);
    SeenNames& names = seenNames();
    const std::lock_guard<std::mutex> guard(names.mutex);
    std::vector<int> duplicates;
    const auto closeDuplicates = [&duplicates] {
        for (const int duplicate : duplicates)
            retryingClose(duplicate);
    };
    int number = fd;
    while (!nameShowsFile(names, number, now)) {
        const int next = ::fcntl(fd, F_DUPFD_CLOEXEC, number + 1);
        if (next < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            closeDuplicates();
            return std::nullopt;
        }
        duplicates.push_back(next);
        number = next;
    }
    // The name must lead to this very file (it does wherever /proc is mounted): Qt takes a name
    // that leads nowhere for an empty file.
    const QString name = descriptorName(number);
    struct stat named {};
    if (::stat(native(name).constData(), &named) != 0 || named.st_dev != status.st_dev ||
        named.st_ino != status.st_ino) {
        *error = unreadable;
        closeDuplicates();
        return std::nullopt;
    }
    std::optional<QHash<QString, QString>> strings;
    {
        // A value Qt finds malformed is read as Qt reads it; only a file Qt could not open fails.
        const QSettings settings(name, QSettings::IniFormat);
        if (settings.status() != QSettings::AccessError)
            strings = stringsIn(settings);
    }
    // What Qt keeps under the name from now on.
    struct stat after {};
    names.byDescriptor[number] = ::fstat(fd, &after) == 0 ? seenState(after) : SeenState{};
    closeDuplicates();
    if (!strings) {
        *error = unreadable;
        return std::nullopt;
    }
    // Grown past the bound while Qt read it: refused as a file that large is at the start.
    if (after.st_size > Defaults::maximumFileBytes) {
        *error = RegularFile::describe(RegularFile::Problem::tooLarge);
        return std::nullopt;
    }
    return strings;
}

// Read and parsed: the strings in the file, or why there are none. The file is judged by the rule
// and opened as judged; a missing file reads as empty (it is written on the first change); a FIFO,
// a file this user cannot read, one that is too large and one the rule refuses are never read,
// nor replaced.
struct Strings {
    std::optional<QHash<QString, QString>> strings;
    std::optional<QString> problem;
};

Strings readStrings(const QString& path) {
    const RegularFile::Opened opened = RegularFile::openOwned(path);
    switch (opened.problem()) {
    case RegularFile::Problem::none:
        break;
    case RegularFile::Problem::missing:
        return {QHash<QString, QString>(), std::nullopt};
    default:
        return {std::nullopt, RegularFile::describe(opened.problem())};
    }
    QString error;
    std::optional<QHash<QString, QString>> strings = parseOpen(opened.fd(), &error);
    if (!strings)
        return {std::nullopt, error};
    return {std::move(strings), std::nullopt};
}

// The bytes of the suite's file, judged and read within the bound, for a write to start from.
struct Read {
    std::optional<QByteArray> bytes;
    std::optional<QString> problem;
};

Read readBytes(const QString& path) {
    RegularFile::Contents contents = RegularFile::readOwned(path, Defaults::maximumFileBytes);
    switch (contents.problem) {
    case RegularFile::Problem::none:
        return {std::move(contents.bytes), std::nullopt};
    case RegularFile::Problem::missing:
        return {QByteArray(), std::nullopt};
    default:
        return {std::nullopt, RegularFile::describe(contents.problem)};
    }
}

// --- Writing through Qt's INI code ---------------------------------------------------------------
//
// Qt's INI code writes a named file of its own, a new file renamed over the old one, with a lock
// file beside it. That file is a copy of the suite's bytes in a folder made for the one write, 0700,
// beside the suite's file (in the folder the rule judged, where the write lands anyway), so that
// nothing of it goes anywhere else. The folder and the names in it are exactly these; a write
// killed before its end leaves the folder, which a later start removes, by these names only.
const QString copyFolderInfix = QStringLiteral(".copy-");
const QByteArray copyFileName = "copy.ini";
constexpr int staleCopySeconds = 30;
constexpr int randomLength = 6; // mkdtemp()'s

bool isRandomPart(QStringView part) {
    if (part.size() != randomLength)
        return false;
    return std::all_of(part.begin(), part.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
    });
}

// ".<file>.copy-XXXXXX", for the suite's file named `fileName`.
bool isCopyFolderName(const QString& name, const QString& fileName) {
    const QString stem = u'.' + fileName + copyFolderInfix;
    return name.startsWith(stem) && isRandomPart(QStringView(name).mid(stem.size()));
}

// What Qt's INI code and this file make inside a copy folder: the copy, its lock (and the lock
// that takes over a dead writer's), and the new file Qt writes before renaming it.
bool isCopyEntryName(const QByteArray& name) {
    if (name == copyFileName || name == copyFileName + ".lock" || name == copyFileName + ".lock.rmlock")
        return true;
    return name.startsWith(copyFileName + '.') &&
           isRandomPart(QString::fromLatin1(name.mid(copyFileName.size() + 1)));
}

// Removes the copy folder `name` in the folder open at `parent`: never through a link (a link
// swapped in for it is not followed), only a folder of this user's, and inside it only the regular
// files named as above. Whatever else is there stays, and so does the folder holding it.
void removeCopyFolder(int parent, const QByteArray& name) {
    const int fd = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        retryingClose(fd);
        return;
    }
    DIR* entries = ::fdopendir(fd); // owns fd from here
    if (!entries) {
        retryingClose(fd);
        return;
    }
    std::vector<QByteArray> names;
    while (const struct dirent* entry = ::readdir(entries))
        if (isCopyEntryName(QByteArray(entry->d_name)))
            names.emplace_back(entry->d_name);
    for (const QByteArray& entry : names) {
        struct stat inside {};
        if (::fstatat(fd, entry.constData(), &inside, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(inside.st_mode))
            ::unlinkat(fd, entry.constData(), 0);
    }
    ::closedir(entries);
    ::unlinkat(parent, name.constData(), AT_REMOVEDIR); // fails, harmlessly, where anything is left
}

// Copy folders left beside the suite's file by writes killed before their end: this user's folders
// (not links) named exactly as copy folders are, untouched for longer than any write takes. Only
// in the suite's own folder, `folder`, which the rule judged to be this user's alone.
void removeStaleCopies(const QString& folder, const QString& fileName) {
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    const Descriptor parent(fd);
    const int listed = ::dup(fd);
    DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        retryingClose(listed);
        return;
    }
    std::vector<QByteArray> stale;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    while (const struct dirent* entry = ::readdir(entries)) {
        if (!isCopyFolderName(QFile::decodeName(entry->d_name), fileName))
            continue;
        struct stat status {};
        if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::geteuid() || now - qint64(status.st_mtim.tv_sec) < staleCopySeconds)
            continue;
        stale.emplace_back(entry->d_name);
    }
    ::closedir(entries);
    for (const QByteArray& name : stale)
        removeCopyFolder(fd, name);
}

// A copy of the suite's bytes for Qt's INI code to write, in a folder of its own beside the suite's
// file; removed with the object.
class WriteCopy {
public:
    WriteCopy(const QString& folder, const QString& fileName, const QByteArray& bytes) {
        parent_ = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (parent_ < 0) {
            error_ = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        QByteArray name = native(u'.' + fileName + copyFolderInfix) + QByteArray(randomLength, 'X');
        QByteArray path = native(folder) + '/' + name;
        if (!::mkdtemp(path.data())) {
            error_ = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        name_ = path.mid(path.size() - name.size());
        const int fd = ::openat(parent_, name_.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // mkdtemp() applied the umask, which may have taken bits the owner needs.
        if (fd < 0 || ::fchmod(fd, 0700) != 0) {
            error_ = QString::fromLocal8Bit(std::strerror(errno));
            retryingClose(fd);
            return;
        }
        const Descriptor made(fd);
        const int file = ::openat(fd, copyFileName.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file < 0) {
            error_ = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        const Descriptor copy(file);
        for (qint64 done = 0; done < bytes.size();) {
            const ssize_t wrote = ::write(file, bytes.constData() + done, size_t(bytes.size() - done));
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0) {
                error_ = QString::fromLocal8Bit(std::strerror(wrote < 0 ? errno : ENOSPC));
                return;
            }
            done += wrote;
        }
        path_ = QFile::decodeName(path) + u'/' + QString::fromLatin1(copyFileName);
    }
    ~WriteCopy() {
        if (!name_.isEmpty())
            removeCopyFolder(parent_, name_);
        retryingClose(parent_);
    }
    WriteCopy(const WriteCopy&) = delete;
    WriteCopy& operator=(const WriteCopy&) = delete;

    // Empty when no copy could be made; error() says why.
    const QString& path() const { return path_; }
    const QString& error() const { return error_; }

private:
    int parent_ = -1;
    QByteArray name_;
    QString path_;
    QString error_;
};

// --- Turns at the file -----------------------------------------------------------------------------

// Why the turn at the file could not be had.
QString lockFailure(QLockFile::LockError error) {
    switch (error) {
    case QLockFile::LockFailedError:
        return QStringLiteral("in use by another process");
    case QLockFile::PermissionError:
        return QString::fromLocal8Bit(std::strerror(EACCES));
    default:
        return QStringLiteral("could not be locked");
    }
}
const QString busy = lockFailure(QLockFile::LockFailedError);

// Whether something other than a lock file is in a lock file's place. QLockFile opens a lock it
// finds to read whose it is, as it is: a FIFO there blocks that open until a writer comes, for ever,
// and a link to a device feeds it without end. To take over a lock left by a writer that died it
// takes a second lock named with ".rmlock" added, read the same way, and so on while those are
// left too. QLockFile only ever makes regular files there, never links; anything else (a FIFO, a
// folder, a link) is nobody's turn and does not go away by itself.
bool lockPlaceTaken(const QString& lockPath) {
    for (QString name = lockPath;; name += QStringLiteral(".rmlock")) {
        struct stat status {};
        if (::lstat(native(name).constData(), &status) != 0)
            return false; // nothing there (or a name too long to be made): QLockFile goes no further
        if (!S_ISREG(status.st_mode))
            return true;
    }
}

// Takes the turn at the file, waiting at most `waitMilliseconds` for another writer's to end (a
// turn takes milliseconds, and a lock left by a process that died is taken over at once). Polled in
// short steps, since QLockFile's own wait sleeps a tenth of a second and more between tries, which
// two busy writers always hit. A lock that cannot be made at all, and what is in the way without
// being a lock (said before QLockFile opens it), fail at once. None when the turn is had.
std::optional<QString> takeTurn(QLockFile& lock, int waitMilliseconds) {
    const QDeadlineTimer deadline(waitMilliseconds);
    for (;;) {
        if (lockPlaceTaken(lock.fileName()))
            return QStringLiteral("its lock file is not a regular file");
        if (lock.tryLock(0))
            return std::nullopt;
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return lockFailure(lock.error());
        QThread::msleep(2);
    }
}

// --- The suites of the process ---------------------------------------------------------------------

// How long a write may wait for another writer's turn where no event loop runs to come back later:
// in a program without an application object, and for the last write as the application ends.
constexpr int unattendedWaitMilliseconds = 5000;
constexpr int lastWriteWaitMilliseconds = 2000;
// A failed write is tried again after this long, the wait doubling while it keeps failing.
constexpr double retryFirstSeconds = 0.1;
constexpr double retryLongestSeconds = 2.0;
// Another writer's turn outlasting this is said as a failed write; shorter ones are only waited out,
// tried for every few milliseconds.
constexpr double busySaidAfterSeconds = 5.0;
constexpr double busyStepSeconds = 0.002;

// Set once the process has begun running its exit handlers: Qt's own objects may be gone, so no
// settings code runs from then on. Plain data, readable to the very end.
std::atomic<bool> exiting{false};

void markExiting() {
    exiting.store(true);
}

// Never destroyed: suites with static storage leave it while the process ends.
struct LiveSuites {
    std::mutex mutex;
    std::vector<Defaults*> suites;
    bool watchingApplication = false;
};

LiveSuites& liveSuites() {
    static LiveSuites* suites = new LiveSuites;
    return *suites;
}

QString standardSuite() {
    if (auto identifier = BundleInfo::main().bundleIdentifier(); identifier && !identifier->isEmpty())
        return *identifier;
    return QCoreApplication::applicationName();
}

} // namespace

Defaults& Defaults::standard() {
    static Defaults defaults(standardSuite());
    // Registered after the suite is made, so that it runs before the suite is destroyed at exit.
    static const bool watched = std::atexit(markExiting) == 0;
    Q_UNUSED(watched);
    return defaults;
}

Defaults::Defaults(const QString& suite, const QString& folder) : file_(fileFor(suite, folder)) {
    {
        LiveSuites& live = liveSuites();
        const std::lock_guard<std::mutex> guard(live.mutex);
        live.suites.push_back(this);
    }
    const Strings file = readStrings(file_);
    refusal_ = file.problem;
    if (!file.strings)
        return;
    takeUp(*file.strings);
    // Copies of the settings that writes killed before their end left behind (beside the file,
    // and the copy folders beside it), once the file is known to be this user's to write.
    if (const std::optional<QString> real = OwnedPath::ownedFile(file_)) {
        AtomicFile::removeStaleTemporaries(*real);
        const QFileInfo name(file_);
        if (const auto place = OwnedPath::folderPlace(name.path()); place && place->missing.isEmpty())
            removeStaleCopies(place->real, name.fileName());
    }
}

Defaults::~Defaults() {
    {
        LiveSuites& live = liveSuites();
        const std::lock_guard<std::mutex> guard(live.mutex);
        live.suites.erase(std::remove(live.suites.begin(), live.suites.end(), this), live.suites.end());
    }
    // A suite going while its application runs writes what is pending now, with no loop turn left
    // to wait for. Once the application has ended, or the process is exiting, Qt's settings code may
    // be gone with it: what is still pending is said, not attempted.
    if (!changes_.isEmpty() && !ended_ && !exiting.load() && QCoreApplication::instance()) {
        sync();
    }
    if (!changes_.isEmpty())
        sayLost(syncFailure_.value_or(QStringLiteral("the application ended before it was written")));
}

void Defaults::sayLost(const QString& reason) const {
    // Plain standard error: at the end of the process nothing else may be left to say it through.
    const QByteArray line = "quillmere: could not save the user defaults " +
                            QFileInfo(file_).completeBaseName().toLocal8Bit() + " (" + reason.toLocal8Bit() +
                            "); the changes not written are lost\n";
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}

void Defaults::writeLast() {
    LiveSuites& live = liveSuites();
    std::vector<Defaults*> suites;
    {
        const std::lock_guard<std::mutex> guard(live.mutex);
        live.watchingApplication = false;
        suites = live.suites;
    }
    for (Defaults* suite : suites) {
        suite->dropRetry();
        suite->writeScheduled_ = false;
        // Ended first: nothing is posted or tried again on a loop that has run its last turn.
        suite->ended_ = true;
        if (!suite->changes_.isEmpty()) {
            suite->sync(lastWriteWaitMilliseconds);
            if (!suite->changes_.isEmpty())
                suite->sayLost(suite->syncFailure_.value_or(QStringLiteral("write failed")));
        }
        suite->changes_.clear();
    }
}

void Defaults::watchApplication() {
    LiveSuites& live = liveSuites();
    const std::lock_guard<std::mutex> guard(live.mutex);
    if (live.watchingApplication)
        return;
    live.watchingApplication = true;
    // Run as the application object is destroyed, while it still is: the last write of every suite.
    qAddPostRoutine(&Defaults::writeLast);
}

void Defaults::takeUp(const QHash<QString, QString>& strings) {
    values_ = strings;
    // What this run set and could not write yet stays in effect.
    for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
        if (change.value())
            values_.insert(change.key(), *change.value());
        else
            values_.remove(change.key());
    }
}

std::optional<QString> Defaults::stored(const QString& group, const QString& key) const {
    const auto found = values_.constFind(typed(group, key));
    return found == values_.constEnd() ? std::nullopt : std::optional<QString>(*found);
}

void Defaults::store(const QString& group, const QString& key, const std::optional<QString>& text) {
    const QString name = typed(group, key);
    if (!text && !values_.contains(name) && !changes_.contains(name))
        return;
    if (text)
        values_.insert(name, *text);
    else
        values_.remove(name);
    // A refused suite keeps its values for this run only: nothing is ever written for it.
    if (refusal_)
        return;
    changes_.insert(name, text);
    scheduleWrite();
}

// Whether an event loop runs here to come back on later: on the application's own thread, until
// its end. Elsewhere a write may wait for its turn, as a program without a loop's does.
bool Defaults::loopRuns() const {
    const QCoreApplication* application = QCoreApplication::instance();
    return application && !ended_ && QThread::currentThread() == application->thread();
}

void Defaults::scheduleWrite() {
    if (writeScheduled_ || exiting.load())
        return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || ended_) {
        sync(); // no event loop to wait for
        return;
    }
    watchApplication();
    writeScheduled_ = true;
    // Posted rather than written here: the changes of one turn (a pause and its new period) go
    // to the file together.
    QMetaObject::invokeMethod(
        application,
        [this, alive = std::weak_ptr<char>(alive_)] {
            if (alive.expired() || !writeScheduled_)
                return;
            writeOfItsOwnAccord();
        },
        Qt::QueuedConnection);
}

void Defaults::writeOfItsOwnAccord() {
    sync();
    // Another writer's turn is waited out without a word while it is short.
    if (syncFailure_ == busy && busySince_ && Scheduler::current().now() - *busySince_ < busySaidAfterSeconds)
        return;
    if (writeReport_)
        writeReport_(syncFailure_);
}

// A retry already scheduled is left to find itself outdated rather than cancelled: the scheduler it
// was put on may be gone by now (a test's), while the suite's own state is not.
void Defaults::dropRetry() {
    retry_.reset();
    ++retryToken_;
}

void Defaults::scheduleRetry() {
    if (!loopRuns() || retry_ || exiting.load())
        return;
    watchApplication();
    Scheduler& scheduler = Scheduler::current();
    // Another writer's turn takes milliseconds, and a busy writer takes the next one at once: its
    // turn is tried for in short steps, as a write that could wait would, until it is said.
    double wait = busyStepSeconds;
    if (!busySince_ || scheduler.now() - *busySince_ >= busySaidAfterSeconds) {
        retryWait_ = retryWait_ == 0 ? retryFirstSeconds : std::min(retryWait_ * 2, retryLongestSeconds);
        wait = retryWait_;
    }
    retry_ = scheduler.schedule(wait, [this, alive = std::weak_ptr<char>(alive_), token = retryToken_] {
        if (alive.expired() || token != retryToken_)
            return;
        retry_.reset();
        if (!changes_.isEmpty())
            writeOfItsOwnAccord();
    });
}

std::optional<QString> Defaults::string(const QString& key) const {
    return stored(stringGroup, key);
}

std::optional<bool> Defaults::boolean(const QString& key) const {
    const std::optional<QString> text = stored(booleanGroup, key);
    if (text == u"true")
        return true;
    if (text == u"false")
        return false;
    return std::nullopt;
}

std::optional<double> Defaults::number(const QString& key) const {
    const std::optional<QString> text = stored(numberGroup, key);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const double number = QLocale::c().toDouble(*text, &ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void Defaults::set(const QString& key, const QVariant& value) {
    if (!value.isValid()) {
        remove(key);
        return;
    }
    QString group;
    QString text;
    switch (value.typeId()) {
    case QMetaType::Bool:
        group = booleanGroup;
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        break;
    case QMetaType::QString:
        group = stringGroup;
        text = value.toString();
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Float:
    case QMetaType::Double:
        group = numberGroup;
        text = QLocale::c().toString(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        break;
    default:
        qWarning().noquote() << "Defaults: not storing" << key << "of unsupported type" << value.typeName();
        return;
    }
    // Under one type only: storing again under another type replaces the old value.
    for (const QString& other : {stringGroup, booleanGroup, numberGroup})
        if (other != group)
            store(other, key, std::nullopt);
    store(group, key, text);
}

void Defaults::remove(const QString& key) {
    for (const QString& group : {stringGroup, booleanGroup, numberGroup})
        store(group, key, std::nullopt);
}

bool Defaults::sync() {
    return sync(loopRuns() ? 0 : unattendedWaitMilliseconds);
}

bool Defaults::sync(int waitMilliseconds) {
    writeScheduled_ = false;
    if (refusal_) {
        syncFailure_ = refusal_;
        return false;
    }
    if (exiting.load()) {
        syncFailure_ = QStringLiteral("the process is ending");
        return false;
    }
    // Judged again before every write: the file may have been swapped since the start, and may be
    // a link of this user's own, written where it leads.
    const std::optional<QString> real = OwnedPath::ownedFile(file_);
    if (!real)
        syncFailure_ = OwnedPath::refusalReason();
    else if (!changes_.isEmpty())
        syncFailure_ = write(*real, waitMilliseconds);
    else {
        // Nothing to write: what another process saved meanwhile is taken up.
        const Strings file = readStrings(*real);
        syncFailure_ = file.problem;
        if (file.strings)
            takeUp(*file.strings);
        return !syncFailure_;
    }
    if (!syncFailure_) {
        retryWait_ = 0;
        busySince_.reset();
        dropRetry();
        return true;
    }
    // A failed write stays pending and is tried again shortly, until it is written: the cause (a
    // writer's turn, a full disk, something in the lock's place) may go without anything changing.
    if (syncFailure_ == busy && loopRuns()) {
        if (!busySince_)
            busySince_ = Scheduler::current().now();
    } else {
        busySince_.reset();
    }
    scheduleRetry();
    return false;
}

std::optional<QString> Defaults::write(const QString& real, int waitMilliseconds) {
    QString error;
    const auto failure = [&error] { return error.isEmpty() ? QStringLiteral("write failed") : error; };
    // Made where the path really leads and judged again once made, as every folder of ours is.
    const QFileInfo name(file_);
    const std::optional<QString> folder = AtomicFile::makeOwnedFolder(name.path(), &error);
    if (!folder)
        return failure();
    // Writers of the file take turns, QSettings among them, and a turn reads, merges and replaces:
    // what another process saved before it is kept rather than written over. QSettings names its
    // lock after the name it was given, beside it; the lock is taken beside that name where it
    // really is (in the folder just judged), so a settings file that is a link keeps its lock beside
    // the link, and a name whose ".." Qt would tidy away as text still finds the lock where the file
    // is rather than in a folder that was never judged.
    QLockFile lock(*folder + u'/' + name.fileName() + QStringLiteral(".lock"));
    if (std::optional<QString> refused = takeTurn(lock, waitMilliseconds))
        return refused;
    const Read file = readBytes(real);
    if (!file.bytes)
        return file.problem;
    const WriteCopy copy(*folder, name.fileName(), *file.bytes);
    if (copy.path().isEmpty())
        return copy.error();
    QHash<QString, QString> meant;
    bool changed = false; // QSettings writes its file only when something in it changes
    {
        QSettings settings(copy.path(), QSettings::IniFormat);
        for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
            if (change.value()) {
                settings.setValue(change.key(), *change.value());
                changed = true;
            } else if (settings.contains(change.key())) {
                settings.remove(change.key());
                changed = true;
            }
        }
        settings.sync();
        if (settings.status() == QSettings::AccessError)
            return QStringLiteral("write failed");
        meant = stringsIn(settings);
    }
    if (changed) {
        // QSettings does not say every failure to write (a file cut short by a full disk reads as
        // written): what it wrote is read back, within the bound the next start reads within, and
        // must hold exactly what was meant before it replaces the file. A file the next start would
        // refuse ("too large") is not written either; the file then stays as it was.
        const RegularFile::Opened written = RegularFile::open(copy.path());
        if (written.problem() != RegularFile::Problem::none)
            return RegularFile::describe(written.problem());
        if (written.info().st_size > maximumFileBytes)
            return RegularFile::describe(RegularFile::Problem::tooLarge);
        QByteArray bytes(qsizetype(written.info().st_size), Qt::Uninitialized);
        if (RegularFile::readFullyAt(written.fd(), bytes.data(), bytes.size(), 0) != bytes.size())
            return unreadable;
        const std::optional<QHash<QString, QString>> readBack = parseOpen(written.fd(), &error);
        if (readBack != meant)
            return QStringLiteral("what was written did not read back");
        // Judged once more right before it is replaced, the turn having taken time.
        if (!AtomicFile::writeOwned(file_, bytes, &error))
            return failure();
    }
    changes_.clear();
    takeUp(meant);
    return std::nullopt;
}

} // namespace quillmere
