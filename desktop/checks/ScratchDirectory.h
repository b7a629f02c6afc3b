#pragma once

// The private folder a self-check suite writes its synthetic fixtures into: created fresh under the
// system's temporary folder and removed with everything in it when the value goes away, however the
// run ends (a failed check that throws included).

#include <QString>

namespace quillmere::checks {

class ScratchDirectory {
public:
    // `prefix` followed by a fresh upper-case UUID, in `parent` (an existing folder: the system's
    // temporary folder in a real run). Whether the folder could be created is told by created();
    // the suites turn a missing folder into failed checks rather than an error of their own.
    ScratchDirectory(const QString& prefix, const QString& parent);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool created() const { return created_; }
    const QString& path() const { return path_; }
    // `relative` below the folder (it may name sub-folders).
    QString filePath(const QString& relative) const;

private:
    QString path_;
    bool created_ = false;
};

} // namespace quillmere::checks
