#include "desktop/observation/ConversationMemoryFile.h"

#include "desktop/diagnostics/WriteFailures.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"
#include "platform/files/RegularFile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace quillmere {

namespace {

// A bundle identifier becomes part of a file name only when it cannot name another place.
bool isSafeName(const QString& name) {
    if (name.isEmpty() || name.size() > 200 || name.startsWith(QLatin1Char('.')))
        return false;
    for (QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
                        u == u'.' || u == u'-' || u == u'_';
        if (!ok)
            return false;
    }
    return true;
}

QString fileName(const std::optional<QString>& bundleID) {
    if (!bundleID)
        return QStringLiteral("conversation-memory.json");
    if (isSafeName(*bundleID))
        return QStringLiteral("conversation-memory-%1.json").arg(*bundleID);
    const QByteArray digest =
        QCryptographicHash::hash(bundleID->toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("conversation-memory-%1.json").arg(QString::fromLatin1(digest.left(32)));
}

// Why nothing is saved when there is no data folder that may be used.
QString noFolder() {
    return QStringLiteral("no usable data folder");
}

} // namespace

ConversationMemoryFile::ConversationMemoryFile(QString folder, const std::optional<QString>& bundleID)
    : folder_(std::move(folder)),
      path_(folder_.isEmpty() ? QString() : QDir(folder_).filePath(fileName(bundleID))),
      host_(bundleID.value_or(QString())) {}

std::optional<QByteArray> ConversationMemoryFile::load() {
    // Where the rule refuses the path (no data folder, or a link to another user's folder on the
    // way), nothing there is read, moved or deleted: the memory starts empty and its saves fail
    // as on a full disk.
    if (RegularFile::examineOwned(path_) == RegularFile::Problem::notOwned) {
        refuseFile();
        return std::nullopt;
    }
    // A write cut short by a crash left its temporary copy (the whole conversation text) beside
    // the file where it really is; the owner starting again is when nobody can still be writing it.
    if (const std::optional<QString> real = OwnedPath::ownedFile(path_))
        AtomicFile::removeStaleTemporaries(*real);
    RegularFile::Contents contents = RegularFile::readOwned(path_, maximumFileBytes);
    switch (contents.problem) {
    case RegularFile::Problem::none:
        break;
    case RegularFile::Problem::missing:
        return std::nullopt;
    case RegularFile::Problem::notOwned:
        refuseFile();
        return std::nullopt;
    case RegularFile::Problem::unreadable:
        setAside(contents.systemError.isEmpty() ? RegularFile::describe(contents.problem)
                                                : contents.systemError);
        return std::nullopt;
    case RegularFile::Problem::notRegular:
        // No damaged file of ours: a FIFO, a socket or a folder is put there on purpose, holds
        // nothing to inspect, and is left as it is, neither moved aside nor replaced.
        keepInMemory(RegularFile::describe(contents.problem));
        return std::nullopt;
    case RegularFile::Problem::tooLarge:
        setAside(RegularFile::describe(contents.problem));
        return std::nullopt;
    }
    // No digest of what was read: hashing tens of megabytes here would hold the start, and the
    // first save compares its bytes with the file anyway before replacing it.
    contents_->set(nullptr);
    return std::move(contents.bytes);
}

void ConversationMemoryFile::keepInMemory(const QString& reason) {
    WriteFailures::shared().refused(QStringLiteral("conversation memory"), reason,
                                    QStringLiteral("keeping it in memory only"), host_);
    keepExisting_ = true;
}

void ConversationMemoryFile::refuseFile() {
    // Where the folder is refused, its saves fail as on a full disk (said when they do). A file
    // the rule refuses in a folder that may be used (a second name, another user's file, one
    // others may write) is no damaged file of ours either: left in place, never replaced.
    if (!path_.isEmpty() && OwnedPath::existingPartIsOwned(folder_))
        keepInMemory(OwnedPath::refusalReason());
}

std::optional<QString> ConversationMemoryFile::setAside(const QString& reason) {
    contents_->set(nullptr);
    if (path_.isEmpty())
        return std::nullopt;
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = path_ + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) && n < 1000; ++n)
        aside = path_ + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    const bool renamed = AtomicFile::moveAside(path_, aside);
    // The kind and the reason, as every report about the application's files: the path would name
    // the user's home folder (the aside copy lies beside the file, named for it).
    WriteFailures::shared().say(
        renamed ? QStringLiteral("quillmere: the conversation memory is damaged (%1); moved it aside and "
                                 "started with an empty memory")
                      .arg(reason)
                : QStringLiteral("quillmere: the conversation memory is damaged (%1) and could not be moved "
                                 "aside; started with an empty memory")
                      .arg(reason),
        QStringLiteral("The conversation memory is damaged: %1").arg(reason), host_);
    if (!renamed) {
        keepExisting_ = true;
        return std::nullopt;
    }
    return aside;
}

bool ConversationMemoryFile::save(const QByteArray& bytes) {
    if (keepExisting_)
        return false;
    return finishWrite(write(folder_, path_, bytes, *contents_));
}

ConversationMemoryFile::Written ConversationMemoryFile::write(const QString& folder, const QString& path,
                                                              const QByteArray& bytes, Contents& contents) {
    Written written;
    auto bytesDigest = std::make_shared<const QByteArray>(digest(bytes));
    const auto onDisk = contents.digest();
    if (onDisk && *onDisk == *bytesDigest && !path.isEmpty() && QFileInfo::exists(path)) {
        written.ok = true;
        return written;
    }
    if (folder.isEmpty()) {
        written.error = noFolder();
        return written;
    }
    written.ok = AtomicFile::makePrivateFolder(folder, &written.error) &&
                 AtomicFile::writeOwned(path, bytes, &written.error);
    if (written.ok)
        contents.set(std::move(bytesDigest));
    return written;
}

bool ConversationMemoryFile::finishWrite(const Written& written) {
    if (!written.ok) {
        // The old file is intact, but what this session remembered is not in it: say so once and
        // let the owner try again.
        WriteFailures::shared().failed(QStringLiteral("conversation memory"), written.error, host_,
                                       WriteFailures::Retry::later);
        return false;
    }
    WriteFailures::shared().succeeded(QStringLiteral("conversation memory"), host_);
    return true;
}

QByteArray ConversationMemoryFile::digest(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace quillmere
