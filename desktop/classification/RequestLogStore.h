#pragma once

// The in-memory log of one host widget's classification requests for this run of the
// application. Bodies are stored as readable text, rendered once when they arrive, never as raw
// JSON; nothing is written to disk.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

class RequestLogStore {
public:
    struct Entry {
        QUuid id;
        int number = 0;
        QDateTime startedAt;
        QString conversation;
        QString provider;
        QString endpoint;
        QString requestBody;
        std::optional<QDateTime> finishedAt;
        QString status;
        std::optional<int> httpStatus;
        std::optional<QString> responseBody;
        std::optional<QString> error;

        bool operator==(const Entry&) const = default;
    };

    // Receives the full report after every change (only computed while set).
    std::function<void(const QString&)> onChange;
    // Receives the whole entry list after every change.
    std::function<void(const std::vector<Entry>&)> onEntriesChange;

    // `now` supplies the times entries are stamped with; the wall clock by default.
    explicit RequestLogStore(std::function<QDateTime()> now = {});

    QUuid begin(const QString& conversation, const QString& provider, const QUrl& endpoint,
                const QByteArray& body);
    void received(const QUuid& id, int httpStatus, const QByteArray& body);
    void completed(const QUuid& id, const QString& outcome);
    void failed(const QUuid& id, const std::exception& error);

    const std::vector<Entry>& entries() const { return entries_; }
    QString report() const;

    static QString header(const Entry& entry);
    static QString details(const Entry& entry);

    // Readable renderings of bodies and errors.
    static QString readableRequest(const QByteArray& body);
    static QString readableResponse(const QByteArray& body);
    static QString readableError(const std::exception& error);
    static QString fallback(const QByteArray& body);

private:
    Entry* find(const QUuid& id);
    void publish();

    std::function<QDateTime()> now_;
    std::vector<Entry> entries_;
};

} // namespace quillmere
