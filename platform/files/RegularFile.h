#pragma once

// Opening files whose origin is outside the application (a host's archives, a fixture named in
// the environment, a file in a folder another process can write): open() on a FIFO blocks until
// a writer appears and a device may never answer, so these are opened without blocking and
// accepted only when they are regular files.

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/stat.h>

namespace quillmere::RegularFile {

// `notOwned`: the file is the application's own, and OwnedPath's rule refuses where it is.
enum class Problem { none, missing, notRegular, unreadable, tooLarge, notOwned };

// A short, content-free reason for a problem ("not a regular file", …).
QString describe(Problem problem);

// An open descriptor on a regular file (read-only, close-on-exec, blocking reads), closed with
// the object.
class Opened {
public:
    Opened() = default;
    ~Opened();
    Opened(Opened&& other) noexcept;
    Opened& operator=(Opened&& other) noexcept;
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;

    // -1 unless problem() is none.
    int fd() const { return problem_ == Problem::none ? fd_ : -1; }
    const struct stat& info() const { return info_; }
    Problem problem() const { return problem_; }
    // The system's description when the file exists but could not be opened or examined.
    const QString& systemError() const { return systemError_; }
    // The errno behind systemError(), 0 where there is none.
    int systemCode() const { return systemCode_; }

private:
    friend Opened openWith(const QString& path, int extraFlags);
    friend Opened openOwned(const QString& path);
    int fd_ = -1;
    struct stat info_ {};
    Problem problem_ = Problem::missing;
    QString systemError_;
    int systemCode_ = 0;
};

// Opens `path` (following links) without ever blocking; anything but a regular file is refused.
Opened open(const QString& path);
// The same with further open() flags.
Opened openWith(const QString& path, int extraFlags);
// open() for a file the application keeps for this user (its settings, its memory): refused
// (notOwned) without opening anything where OwnedPath::ownedFile() refuses the path, since another
// user could have put there whatever it holds. The path is opened as it was judged, without
// following a link put in the file's place since (refused as notOwned too), and a file that turns
// out not to be this user's alone when open is refused as well. A file replaced under its name
// meanwhile (no name left once open) is judged and opened again (OwnedPath::replacedLooks times).
Opened openOwned(const QString& path);

// Reads up to `wanted` bytes from `offset` unless the file ends first, leaving the descriptor's
// position alone; -1 on a read error.
qint64 readFullyAt(int fd, char* into, qint64 wanted, qint64 offset);

struct Contents {
    std::optional<QByteArray> bytes;
    Problem problem = Problem::none;
    QString systemError;
    int systemCode = 0; // the errno behind systemError
};

// The whole of a regular file of at most `maxBytes` bytes.
Contents read(const QString& path, qint64 maxBytes);
// The same for a file the application keeps for this user, opened as openOwned() opens it.
Contents readOwned(const QString& path, qint64 maxBytes);

// What is at `path` (following links), decided without opening it: a caller that hands the path
// to a library that opens it itself asks this first.
Problem examine(const QString& path);
bool isRegularOrAbsent(const QString& path);
// examine() for a file the application keeps for this user, as openOwned() judges it.
Problem examineOwned(const QString& path);

} // namespace quillmere::RegularFile
