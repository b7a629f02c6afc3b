#pragma once

// The folder a settings write makes for Qt's INI code, for Defaults alone (not for the rest of the
// application): made, filled with a copy of the suite's bytes, and removed; and the stale ones that
// writes killed before their end left beside the suite's file.
//
// Qt's INI code writes a named file of its own, a new file renamed over the old one, with a lock
// file beside it. That file is a copy of the suite's bytes in a folder made for the one write, 0700,
// beside the suite's file (in the folder the rule judged, where the write lands anyway), so that
// nothing of it goes anywhere else. The folder and the names in it are exactly these; a write
// killed before its end leaves the folder, which a later start removes, by these names only.

#include <QByteArray>
#include <QString>

namespace quillmere::settings {

// A copy of the suite's bytes for Qt's INI code to write, in a folder of its own beside the suite's
// file named `fileName` in `folder`; removed with the object.
class WriteCopy {
public:
    WriteCopy(const QString& folder, const QString& fileName, const QByteArray& bytes);
    ~WriteCopy();
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

// Copy folders left beside the suite's file by writes killed before their end: this user's folders
// (not links) named exactly as copy folders are, untouched for longer than any write takes. Only
// in the suite's own folder, `folder`, which the rule judged to be this user's alone.
void removeStaleCopies(const QString& folder, const QString& fileName);

} // namespace quillmere::settings
