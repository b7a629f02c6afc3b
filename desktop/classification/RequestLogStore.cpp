#include "desktop/classification/RequestLogStore.h"

#include "core/Text.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "platform/network/HttpTransport.h"
#include "platform/tasks/TaskCancelled.h"

#include <QLocale>
#include <QRegularExpression>
#include <QStringDecoder>

namespace quillmere {

RequestLogStore::RequestLogStore(std::function<QDateTime()> now)
    : now_(now ? std::move(now) : [] { return QDateTime::currentDateTimeUtc(); }) {}

QUuid RequestLogStore::begin(const QString& conversation, const QString& provider, const QUrl& endpoint,
                             const QByteArray& body) {
    Entry entry;
    entry.id = QUuid::createUuid();
    entry.number = int(entries_.size()) + 1;
    entry.startedAt = now_();
    entry.conversation = conversation;
    entry.provider = provider;
    entry.endpoint = endpoint.toString(QUrl::FullyEncoded);
    entry.requestBody = readableRequest(body);
    entry.status = QStringLiteral("SENDING");
    entries_.push_back(std::move(entry));
    publish();
    return entries_.back().id;
}

void RequestLogStore::received(const QUuid& id, int httpStatus, const QByteArray& body) {
    Entry* entry = find(id);
    if (!entry)
        return;
    entry->httpStatus = httpStatus;
    entry->responseBody = readableResponse(body);
    entry->status = QStringLiteral("RESPONSE RECEIVED");
    publish();
}

void RequestLogStore::completed(const QUuid& id, const QString& outcome) {
    Entry* entry = find(id);
    if (!entry)
        return;
    entry->finishedAt = now_();
    entry->status = outcome;
    publish();
}

void RequestLogStore::failed(const QUuid& id, const std::exception& error) {
    Entry* entry = find(id);
    if (!entry)
        return;
    entry->finishedAt = now_();
    entry->status =
        dynamic_cast<const TaskCancelled*>(&error) ? QStringLiteral("CANCELLED") : QStringLiteral("FAILED");
    entry->error = readableError(error);
    publish();
}

RequestLogStore::Entry* RequestLogStore::find(const QUuid& id) {
    for (Entry& entry : entries_)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

void RequestLogStore::publish() {
    if (onChange)
        onChange(report());
    if (onEntriesChange)
        onEntriesChange(entries_);
}

QString RequestLogStore::report() const {
    if (entries_.empty())
        return QStringLiteral(
            "No server calls in this app session yet.\n\nWhen Quillmere analyzes a conversation, the "
            "messages it sent and the server\u2019s answer will appear here in a readable format.");
    const QString separator = QStringLiteral("\n\n") + QString(40, QChar(0x2500)) + QStringLiteral("\n\n");
    QStringList blocks;
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        blocks << header(*it) + QLatin1Char('\n') + details(*it);
    return blocks.join(separator);
}

namespace {

// The locale's time of day with seconds and without a time zone. Every row of the request log asks
// for one on every change; the format's zone is stripped once per locale format, not per call.
QString mediumTime(const QDateTime& time) {
    struct Format {
        QString longFormat;
        QString withoutZone;
    };
    thread_local Format cached;
    const QLocale locale;
    const QString longFormat = locale.timeFormat(QLocale::LongFormat);
    if (cached.withoutZone.isNull() || cached.longFormat != longFormat) {
        QString format = longFormat;
        format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
        cached = Format{longFormat, format.trimmed()};
    }
    return locale.toString(time.toLocalTime().time(), cached.withoutZone);
}

QString statusLabel(const RequestLogStore::Entry& entry) {
    const QString& status = entry.status;
    if (status.contains(QLatin1String("NO RECOMMENDATION")))
        return QStringLiteral("No model decision");
    if (status.contains(QLatin1String("RECOMMENDATION")))
        return QStringLiteral("Recommendation received");
    if (status == QLatin1String("SENDING"))
        return QStringLiteral("Sending\u2026");
    if (status == QLatin1String("RESPONSE RECEIVED"))
        return QStringLiteral("Reading response\u2026");
    if (status == QLatin1String("FAILED"))
        return entry.httpStatus ? QStringLiteral("Failed \u00B7 HTTP %1").arg(*entry.httpStatus)
                                : QStringLiteral("Failed");
    if (status == QLatin1String("CANCELLED"))
        return QStringLiteral("Cancelled");
    return text::capitalized(status);
}

} // namespace

QString RequestLogStore::header(const Entry& entry) {
    return QStringLiteral("CALL #%1  \u00B7  %2  \u00B7  %3")
        .arg(entry.number)
        .arg(mediumTime(entry.startedAt), statusLabel(entry));
}

QString RequestLogStore::details(const Entry& entry) {
    const QString elapsed =
        entry.finishedAt
            ? QString::asprintf("%.2fs", double(entry.startedAt.msecsTo(*entry.finishedAt)) / 1000.0)
            : QStringLiteral("in progress");
    QStringList lines{
        QStringLiteral("STATUS: ") + entry.status,
        QStringLiteral("CONVERSATION: ") + entry.conversation,
        QStringLiteral("PROVIDER: ") + entry.provider,
        QStringLiteral("ENDPOINT: ") + entry.endpoint,
        QStringLiteral("SERVER: HTTP ") +
            (entry.httpStatus ? QString::number(*entry.httpStatus) : QStringLiteral("waiting")) +
            QStringLiteral("  \u00B7  TIME: ") + elapsed,
        QString(),
        QStringLiteral("WHAT QUILLMERE SENT"),
        entry.requestBody,
        QString(),
        QStringLiteral("WHAT THE SERVER ANSWERED"),
        entry.responseBody.value_or(QStringLiteral("Waiting for response\u2026")),
    };
    if (entry.error)
        lines << QString() << QStringLiteral("ERROR") << *entry.error;
    return lines.join(QLatin1Char('\n'));
}

namespace {

// An answer that failed verification is logged by what failed, not by the sentence the card shows.
QString caseName(OpenAIRecommendationContract::Invalid::Case c) {
    using Case = OpenAIRecommendationContract::Invalid::Case;
    switch (c) {
    case Case::schema:
        return QStringLiteral("schema");
    case Case::reason:
        return QStringLiteral("reason");
    case Case::decision:
        return QStringLiteral("decision");
    case Case::setting:
        return QStringLiteral("setting");
    case Case::incompatibleSpeedOrBilling:
        return QStringLiteral("incompatibleSpeedOrBilling");
    case Case::unsupportedRecommendationTarget:
        return QStringLiteral("unsupportedRecommendationTarget");
    }
    return QString();
}

} // namespace

QString RequestLogStore::readableError(const std::exception& error) {
    if (const auto* transport = dynamic_cast<const TransportError*>(&error))
        return QStringLiteral("Network error %1: %2")
            .arg(int(transport->code()))
            .arg(transport->description());
    if (const auto* invalid = dynamic_cast<const OpenAIRecommendationContract::Invalid*>(&error))
        return caseName(invalid->errorCase());
    return QString::fromUtf8(error.what());
}

QString RequestLogStore::fallback(const QByteArray& body) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(body);
    if (decoder.hasError())
        return QStringLiteral("<%1 bytes of non-text data>").arg(body.size());
    return decoded;
}

} // namespace quillmere
