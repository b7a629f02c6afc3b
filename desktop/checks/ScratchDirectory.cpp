#include "desktop/checks/ScratchDirectory.h"

#include <QDir>
#include <QUuid>

namespace quillmere::checks {

ScratchDirectory::ScratchDirectory(const QString& prefix, const QString& parent)
    : path_(QDir(parent).filePath(prefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())) {
    // A fresh name never exists yet; mkdir (not mkpath) so that a folder someone else made under
    // this name is never taken over and then removed.
    created_ = QDir().mkdir(path_);
}

ScratchDirectory::~ScratchDirectory() {
    // The run's outcome is decided by now: an error while cleaning up is ignored.
    if (created_)
        QDir(path_).removeRecursively();
}

QString ScratchDirectory::filePath(const QString& relative) const {
    return QDir(path_).filePath(relative);
}

} // namespace quillmere::checks
