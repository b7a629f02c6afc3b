#pragma once

// The one place that stores the exact bytes of a classification request and its answer. It is
// armed by hand, one request at a time, by an empty "capture-next" file in the capture root, and
// is best effort throughout: a capture that cannot be written never changes what the request does.

#include "platform/time/Clock.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

namespace quillmere {

class RequestCapture {
public:
    // The root the application uses.
    static QString defaultRoot();

    // Claims the marker and sets up a capture folder holding "request.json" and "metadata.json".
    // None when no marker was claimed, when the root is not a private directory of this user (a
    // link, someone else's, or writable by others), or when any set-up step failed.
    static std::optional<RequestCapture> begin(const QByteArray& body, const QUrl& endpoint,
                                               const QString& root, const Clock& clock = Clock::system());

    // Records the answer; `status` is 0 when the answer carried no HTTP status.
    void finish(const QByteArray& body, int status, const Clock& clock = Clock::system()) const;
    // Records a transport failure.
    void failed() const;

    const QString& directory() const { return directory_; }

private:
    explicit RequestCapture(QString directory) : directory_(std::move(directory)) {}
    bool write(const QByteArray& bytes, const QString& name) const;

    QString directory_;
};

} // namespace quillmere
