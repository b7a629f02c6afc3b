#include "platform/config/SettingsFileRead.h"

#include "platform/config/Defaults.h"
#include "platform/files/RegularFile.h"

#include <QFile>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillmere::settings {

namespace {

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

} // namespace

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
const QString procMissing = QStringLiteral("could not be read: /proc is not mounted");

QString descriptorName(int fd) {
    return QStringLiteral("/proc/self/fd/") + QString::number(fd);
}

namespace {
bool procMounted() {
    return ::access("/proc/self/fd", F_OK) == 0;
}
} // namespace

QString systemReason(int code) {
    if (code == ENOENT && !procMounted())
        return procMissing;
    return QString::fromLocal8Bit(std::strerror(code));
}

QString reasonLeftByQt(int code, const QString& otherwise) {
    switch (code) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EIO:
    case EROFS:
        return systemReason(code);
    default:
        return otherwise;
    }
}

QString problemReason(RegularFile::Problem problem, int systemCode, const QString& systemError) {
    // A file this user may not read is said as such, as every refused file is said by its kind.
    if (problem == RegularFile::Problem::unreadable && systemCode != 0 && systemCode != EACCES &&
        systemCode != EPERM)
        return systemError;
    return RegularFile::describe(problem);
}

// The strings of the regular file open at `fd`, read within the bound by Qt's INI code.
std::optional<QHash<QString, QString>> parseOpen(int fd, QString* error) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        *error = systemReason(errno);
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
            ::close(duplicate);
    };
    int number = fd;
    while (!nameShowsFile(names, number, now)) {
        const int next = ::fcntl(fd, F_DUPFD_CLOEXEC, number + 1);
        if (next < 0) {
            *error = systemReason(errno);
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
    if (::stat(QFile::encodeName(name).constData(), &named) != 0 || named.st_dev != status.st_dev ||
        named.st_ino != status.st_ino) {
        *error = procMounted() ? unreadable : procMissing;
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

Strings readStrings(const QString& path) {
    const RegularFile::Opened opened = RegularFile::openOwned(path);
    switch (opened.problem()) {
    case RegularFile::Problem::none:
        break;
    case RegularFile::Problem::missing:
        return {QHash<QString, QString>(), std::nullopt};
    default:
        return {std::nullopt, problemReason(opened.problem(), opened.systemCode(), opened.systemError())};
    }
    QString error;
    std::optional<QHash<QString, QString>> strings = parseOpen(opened.fd(), &error);
    if (!strings)
        return {std::nullopt, error};
    return {std::move(strings), std::nullopt};
}

Read readBytes(const QString& path) {
    RegularFile::Contents contents = RegularFile::readOwned(path, Defaults::maximumFileBytes);
    switch (contents.problem) {
    case RegularFile::Problem::none:
        return {std::move(contents.bytes), std::nullopt};
    case RegularFile::Problem::missing:
        return {QByteArray(), std::nullopt};
    default:
        return {std::nullopt, problemReason(contents.problem, contents.systemCode, contents.systemError)};
    }
}

} // namespace quillmere::settings
