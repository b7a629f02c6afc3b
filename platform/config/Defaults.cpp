#include "platform/config/Defaults.h"

#include "platform/config/BundleInfo.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"
#include "platform/files/RegularFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// Qt's INI code reads and writes named files only, which it opens itself. It is never handed the
// suite's file: the bytes read here (judged by the rule, within the bound) go to a copy in a folder
// made for the one read or write, 0700, inside a folder of this user's alone, and what Qt writes
// there is read back and put in place here. The runtime folder comes first: it is usually in
// memory, so a full disk does not keep the settings from being read.
const QString copyFolderPrefix = QStringLiteral(".quillmere-defaults-");
constexpr int staleCopySeconds = 30;

QStringList copyFolderParents() {
    QStringList parents;
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty())
        parents << runtime;
    parents << QDir::tempPath();
    return parents;
}

// Copy folders left by a process killed during a read or a write: this user's folders named as
// copy folders are, untouched for longer than any read or write takes.
void removeStaleCopies() {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const QString& parent : copyFolderParents()) {
        QDirIterator entries(parent, {copyFolderPrefix + u'*'},
                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        while (entries.hasNext()) {
            const QString entry = entries.next();
            struct stat status {};
            if (::lstat(QFile::encodeName(entry).constData(), &status) != 0 || !S_ISDIR(status.st_mode) ||
                status.st_uid != ::geteuid() || now - qint64(status.st_mtim.tv_sec) < staleCopySeconds)
                continue;
            QDir(entry).removeRecursively();
        }
    }
}

class PrivateCopy {
public:
    explicit PrivateCopy(const QByteArray& bytes) {
        for (const QString& parent : copyFolderParents()) {
            auto folder =
                std::make_unique<QTemporaryDir>(parent + u'/' + copyFolderPrefix + QStringLiteral("XXXXXX"));
            if (!folder->isValid()) {
                error_ = folder->errorString();
                continue;
            }
            // mkdtemp() applied the umask, which may have taken bits the owner needs.
            if (::chmod(QFile::encodeName(folder->path()).constData(), 0700) != 0 ||
                !OwnedPath::isOwnedFolder(folder->path())) {
                error_ = OwnedPath::refusalReason();
                continue;
            }
            const QString path = folder->filePath(QStringLiteral("suite.ini"));
            if (!bytes.isEmpty() && !AtomicFile::write(path, bytes, 0600, &error_, AtomicFile::Sync::none))
                continue;
            folder_ = std::move(folder);
            path_ = path;
            return;
        }
    }

    // Empty when no copy could be made; error() says why.
    const QString& path() const { return path_; }
    const QString& error() const { return error_; }

private:
    std::unique_ptr<QTemporaryDir> folder_; // removed with the copy
    QString path_;
    QString error_;
};

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

std::optional<QHash<QString, QString>> parse(const QByteArray& bytes, QString* error) {
    if (bytes.isEmpty())
        return QHash<QString, QString>();
    const PrivateCopy copy(bytes);
    if (copy.path().isEmpty()) {
        *error = copy.error();
        return std::nullopt;
    }
    return stringsIn(QSettings(copy.path(), QSettings::IniFormat));
}

// The suite's file as it is now, judged by the rule and read within the bound: a missing file
// reads as empty (it is written on the first change); a FIFO, a file this user cannot read, one
// that is too large and one the rule refuses are never read, nor replaced.
struct Read {
    std::optional<QByteArray> bytes;
    std::optional<QString> problem;
};

Read read(const QString& path) {
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

// Read and parsed: the strings in the file, or why there are none.
struct Strings {
    std::optional<QHash<QString, QString>> strings;
    std::optional<QString> problem;
};

Strings readStrings(const QString& path) {
    const Read file = read(path);
    if (!file.bytes)
        return {std::nullopt, file.problem};
    QString error;
    std::optional<QHash<QString, QString>> strings = parse(*file.bytes, &error);
    if (!strings)
        return {std::nullopt, error};
    return {std::move(strings), std::nullopt};
}

ino_t inodeOf(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

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

// Whether something other than a lock file is in a lock file's place. QLockFile opens a lock it
// finds to read whose it is, as it is: a FIFO there blocks that open until a writer comes, for ever,
// and a link to a device feeds it without end. To take over a lock left by a writer that died it
// takes a second lock named with ".rmlock" added, read the same way, and so on while those are
// left too. QLockFile only ever makes regular files there, never links; anything else (a FIFO, a
// folder, a link) is nobody's turn and does not go away by itself.
bool lockPlaceTaken(const QString& lockPath) {
    for (QString name = lockPath;; name += QStringLiteral(".rmlock")) {
        struct stat status {};
        if (::lstat(QFile::encodeName(name).constData(), &status) != 0)
            return false; // nothing there (or a name too long to be made): QLockFile goes no further
        if (!S_ISREG(status.st_mode))
            return true;
    }
}

// Waits for another writer's turn to end, for a bounded time: a turn takes milliseconds, and a lock
// left by a process that died is taken over at once. Polled in short steps, since QLockFile's own
// wait sleeps a tenth of a second and more between tries, which two busy writers always hit. What
// is in the way without being a lock is said at once, before QLockFile opens it. None when the
// turn is had, else why not.
std::optional<QString> takeTurn(QLockFile& lock) {
    const QDeadlineTimer deadline(5000);
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

QString standardSuite() {
    if (auto identifier = BundleInfo::main().bundleIdentifier(); identifier && !identifier->isEmpty())
        return *identifier;
    return QCoreApplication::applicationName();
}

} // namespace

Defaults& Defaults::standard() {
    static Defaults defaults(standardSuite());
    return defaults;
}

Defaults::Defaults(const QString& suite, const QString& folder) : file_(fileFor(suite, folder)) {
    const Strings file = readStrings(file_);
    refusal_ = file.problem;
    if (!file.strings)
        return;
    takeUp(*file.strings);
    // Copies of the settings that writes killed before their end left behind (beside the file,
    // and in the copy folders), once the file is known to be this user's to write.
    if (const std::optional<QString> real = OwnedPath::ownedFile(file_))
        AtomicFile::removeStaleTemporaries(*real);
    removeStaleCopies();
}

Defaults::~Defaults() {
    if (!changes_.isEmpty())
        sync();
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

void Defaults::scheduleWrite() {
    if (writeScheduled_)
        return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        sync(); // no event loop to wait for
        return;
    }
    writeScheduled_ = true;
    // Posted rather than written here: the changes of one turn (a pause and its new period) go
    // to the file together.
    QMetaObject::invokeMethod(
        application,
        [this, alive = std::weak_ptr<char>(alive_)] {
            if (alive.expired() || !writeScheduled_)
                return;
            sync();
            if (writeReport_)
                writeReport_(syncFailure_);
        },
        Qt::QueuedConnection);
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
    writeScheduled_ = false;
    if (refusal_) {
        syncFailure_ = refusal_;
        return false;
    }
    // Judged again before every write: the file may have been swapped since the start, and may be
    // a link of this user's own, written where it leads.
    const std::optional<QString> real = OwnedPath::ownedFile(file_);
    if (!real) {
        syncFailure_ = OwnedPath::refusalReason();
        return false;
    }
    if (!changes_.isEmpty()) {
        syncFailure_ = write(*real);
        return !syncFailure_;
    }
    // Nothing to write: what another process saved meanwhile is taken up.
    const Strings file = readStrings(*real);
    syncFailure_ = file.problem;
    if (!file.strings)
        return false;
    takeUp(*file.strings);
    return true;
}

std::optional<QString> Defaults::write(const QString& real) {
    QString error;
    const auto failure = [&error] { return error.isEmpty() ? QStringLiteral("write failed") : error; };
    // Made where the path really leads and judged again once made, as every folder of ours is.
    if (!AtomicFile::makeOwnedFolder(QFileInfo(real).path(), &error))
        return failure();
    // Writers of the file take turns, QSettings among them, and a turn reads, merges and replaces:
    // what another process saved before it is kept rather than written over.
    QLockFile lock(QFileInfo(file_).absoluteFilePath() + QStringLiteral(".lock"));
    if (std::optional<QString> refused = takeTurn(lock))
        return refused;
    const Read file = read(real);
    if (!file.bytes)
        return file.problem;
    const PrivateCopy copy(*file.bytes);
    if (copy.path().isEmpty())
        return copy.error();
    const ino_t before = inodeOf(copy.path());
    QHash<QString, QString> strings;
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
        strings = stringsIn(settings);
    }
    if (changed) {
        // QSettings replaces its file when it writes (its status does not tell a failed write
        // after an error in reading): the same file, or none, means nothing was written.
        const ino_t after = inodeOf(copy.path());
        if (after == 0 || after == before)
            return QStringLiteral("write failed");
        // Read back within the bound the next start reads within: a file it would refuse ("too
        // large") is not written, and the file stays as it was with the changes pending.
        const RegularFile::Contents written = RegularFile::read(copy.path(), maximumFileBytes);
        if (written.problem != RegularFile::Problem::none)
            return RegularFile::describe(written.problem);
        // Judged once more right before it is replaced, the turn having taken time.
        if (!AtomicFile::writeOwned(file_, *written.bytes, &error))
            return failure();
    }
    changes_.clear();
    takeUp(strings);
    return std::nullopt;
}

} // namespace quillmere
