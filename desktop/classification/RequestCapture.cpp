#include "desktop/classification/RequestCapture.h"

#include "core/IsoTime.h"
#include "core/Json.h"
#include "platform/files/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

QString upperUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// The capture holds whole conversations, so it only goes into a folder nobody else controls.
bool isPrivateDirectory(const QString& root) {
    struct stat info {};
    if (::lstat(QFile::encodeName(root).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QByteArray prettySorted(json::Object object) {
    return json::write(json::Value(std::move(object)), {.pretty = true, .sortedKeys = true});
}

} // namespace

QString RequestCapture::defaultRoot() {
    return Paths::diagnosticsRoot() + QStringLiteral("/quillmere-wire-capture");
}

std::optional<RequestCapture> RequestCapture::begin(const QByteArray& body, const QUrl& endpoint,
                                                    const QString& root, const Clock& clock) {
    if (!isPrivateDirectory(root))
        return std::nullopt;
    const QByteArray marker = QFile::encodeName(root + QStringLiteral("/capture-next"));
    const QByteArray claimed =
        QFile::encodeName(root + QLatin1Char('/') + upperUuid() + QStringLiteral(".claimed"));
    // The rename is the claim: of two requests racing for one marker, exactly one wins.
    if (std::rename(marker.constData(), claimed.constData()) != 0)
        return std::nullopt;
    struct RemoveClaimed {
        QByteArray path;
        ~RemoveClaimed() { ::unlink(path.constData()); }
    } removeClaimed{claimed};

    const QString directory = root + QLatin1Char('/') + upperUuid();
    if (::mkdir(QFile::encodeName(directory).constData(), 0700) != 0)
        return std::nullopt;
    RequestCapture capture(directory);
    if (!capture.write(body, QStringLiteral("request.json")))
        return std::nullopt;
    const QByteArray metadata = prettySorted({{"endpoint", endpoint.toString(QUrl::FullyEncoded)},
                                              {"method", "POST"},
                                              {"startedAt", isotime::format(clock.now())}});
    if (!capture.write(metadata, QStringLiteral("metadata.json")))
        return std::nullopt;
    return capture;
}

void RequestCapture::finish(const QByteArray& body, int status, const Clock& clock) const {
    write(body, QStringLiteral("response.json"));
    write(prettySorted({{"finishedAt", isotime::format(clock.now())}, {"httpStatus", status}}),
          QStringLiteral("result.json"));
}

void RequestCapture::failed() const {
    write(QByteArrayLiteral("{\"transportFailed\":true}"), QStringLiteral("result.json"));
}

bool RequestCapture::write(const QByteArray& bytes, const QString& name) const {
    return AtomicFile::write(directory_ + QLatin1Char('/') + name, bytes, 0600);
}

} // namespace quillmere
