#include "desktop/diagnostics/DebugMonitor.h"

#include "platform/files/AtomicFile.h"

#include <QCryptographicHash>
#include <QUuid>
#include <utility>

namespace quillmere {

namespace {

QString freshSalt() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace

DebugMonitor::DebugMonitor(QString folder) : DebugMonitor(std::move(folder), freshSalt()) {}

DebugMonitor::DebugMonitor(QString folder, QString salt)
    : salt_(std::move(salt)), folder_(std::move(folder)) {}

DebugMonitor& DebugMonitor::shared() {
    static DebugMonitor monitor(Paths::diagnosticsRoot());
    return monitor;
}

QString DebugMonitor::fingerprint(QStringView text) const {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(salt_.toUtf8());
    hash.addData(text.toUtf8());
    return QString::fromLatin1(hash.result().left(8).toHex());
}

} // namespace quillmere
