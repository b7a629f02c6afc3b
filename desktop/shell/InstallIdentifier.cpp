#include "desktop/shell/InstallIdentifier.h"

#include <QUuid>

namespace quillmere::InstallIdentifier {

QString readOrCreate(Defaults& defaults) {
    const QString key = QString::fromLatin1(defaultsKey);
    if (const auto stored = defaults.string(key))
        return *stored;
    const QString made =
        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().remove(QLatin1Char('-')).left(16);
    defaults.set(key, made);
    return made;
}

} // namespace quillmere::InstallIdentifier
