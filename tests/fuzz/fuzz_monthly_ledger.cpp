// Feeds arbitrary bytes to the monthly ledger as its file, then asks the opened ledger for a
// request. A file the ledger cannot use must leave it unusable and untouched; the only acceptable
// outcomes are a request or MonthlyUsage::Invalid.

#include "desktop/usage/MonthlyUsageLedger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/quillmere-fuzz-ledger-XXXXXX"));
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString path = dir.filePath(QStringLiteral("monthly-v1.json"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(bytes);
    }
    MonthlyUsageLedger ledger(dir.path());
    try {
        for (const char* zone : {"UTC", "Asia/Jerusalem"})
            ledger.request(QStringLiteral("2026-10"), QString::fromLatin1(zone),
                           QDateTime(QDate(2026, 10, 15), QTime(12, 0), Qt::UTC));
    } catch (const MonthlyUsage::Invalid&) {
    }
    if (ledger.lastError()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.readAll() != bytes)
            std::abort(); // an unusable file was touched
    }
    return 0;
}
