#pragma once

// Reading a settings file through Qt's INI code, for Defaults alone (not for the rest of the
// application): the very file opened and judged is handed to Qt by its descriptor's name, so that
// reading needs no copy, no free space and no temporary folder.

#include "platform/files/RegularFile.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>

class QSettings;

namespace quillmere::settings {

// Every key whose value QSettings reads as one string.
QHash<QString, QString> stringsIn(const QSettings& settings);

// Why a file Qt could not parse was not read.
extern const QString unreadable;
// Why none was read where /proc is not mounted: Qt is handed each file by its descriptor's name
// there, and without /proc no descriptor has one.
extern const QString procMissing;

// The name under which the descriptor `fd` is handed to Qt, and to the system for what it does by
// name only.
QString descriptorName(int fd);

// The system's description of `code`, or procMissing where a descriptor's name was missing for
// want of /proc.
QString systemReason(int code);

// Why a call into Qt failed, which keeps the system's reason to itself: the errno it left (`code`)
// where that names a want of room or of descriptors or a failing disk, else `otherwise`.
QString reasonLeftByQt(int code, const QString& otherwise);

// Why a file of the suite's could not be opened or read: the rule's reason, the kind of file in
// the way, or, where a file this user may read could not be read all the same (no descriptor
// left, say), the system's.
QString problemReason(RegularFile::Problem problem, int systemCode, const QString& systemError);

// The strings of the regular file open at `fd`, read within Defaults' bound by Qt's INI code; none,
// with `error` saying why, when it could not be read.
std::optional<QHash<QString, QString>> parseOpen(int fd, QString* error);

// Read and parsed: the strings in the file, or why there are none. The file is judged by the rule
// and opened as judged; a missing file reads as empty (it is written on the first change); a FIFO,
// a file this user cannot read, one that is too large and one the rule refuses are never read,
// nor replaced.
struct Strings {
    std::optional<QHash<QString, QString>> strings;
    std::optional<QString> problem;
};

Strings readStrings(const QString& path);

// The bytes of the suite's file, judged and read within the bound, for a write to start from.
struct Read {
    std::optional<QByteArray> bytes;
    std::optional<QString> problem;
};

Read readBytes(const QString& path);

} // namespace quillmere::settings
