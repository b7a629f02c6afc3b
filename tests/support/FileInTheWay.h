#pragma once

// An empty file where a folder is wanted: nothing can be made inside it, whoever runs the test,
// where permissions would not stop a privileged user.

#include <QFile>
#include <QString>

namespace quillmere::testing {

inline bool fileInTheWay(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.close();
    return true;
}

} // namespace quillmere::testing
