#pragma once

// Helpers for fuzz targets whose parser reads a file: a private scratch folder for the process and
// a way to put the input where the parser looks.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace quillmere::fuzzing {

// One scratch folder for the life of the process.
inline const QString& scratchFolder() {
    static QTemporaryDir* dir =
        new QTemporaryDir(QDir::tempPath() + QStringLiteral("/quillmere-fuzz-XXXXXX"));
    static const QString path = dir->path();
    return path;
}

inline void writeInput(const QString& path, const uint8_t* data, size_t size) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char*>(data), qint64(size));
}

// Removes everything a run left in `folder` (files set aside, temporaries).
inline void emptyFolder(const QString& folder) {
    QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(name);
}

} // namespace quillmere::fuzzing
