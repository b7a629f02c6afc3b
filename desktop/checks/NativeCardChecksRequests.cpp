// The card suite's groups for what happens around a classification request: the start-up
// clean-up of the previous session's diagnostics, the wire capture, and the request log.

#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"

#include "core/Json.h"
#include "desktop/classification/RequestCapture.h"
#include "desktop/classification/RequestLogStore.h"
#include "desktop/diagnostics/Diagnostics.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <sys/stat.h>

namespace quillmere::NativeCardChecks {

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw RunError(QStringLiteral("cannot write ") + path);
}

} // namespace

void startupCleanupAndCaptureChecks(const checks::Reporter& check, const QString& temporaryDirectory) {
    const QString debugFile = temporaryDirectory + QStringLiteral("/quillmere-debug-com.openai.codex.json");
    const QString identityFile = temporaryDirectory + QStringLiteral("/quillmere-identity-status.json");
    const QString unrelatedFile = temporaryDirectory + QStringLiteral("/unrelated.json");
    for (const QString& path : {debugFile, identityFile, unrelatedFile})
        writeFile(path, QByteArrayLiteral("old"));
    Diagnostics::clearPreviousSessionIdentityDiagnostics(temporaryDirectory);
    check(
        !QFile::exists(debugFile) && !QFile::exists(identityFile) && QFile::exists(unrelatedFile),
        QStringLiteral("startup removes older digest-bearing diagnostics without touching unrelated files"));

    const QByteArray body = QByteArrayLiteral("{\"messages\":[]}");
    const QUrl endpoint(QStringLiteral("https://classifier.invalid/test"));
    check(!RequestCapture::begin(body, endpoint, temporaryDirectory),
          QStringLiteral("request bodies are not captured without explicit marker"));

    writeFile(temporaryDirectory + QStringLiteral("/capture-next"), QByteArray());
    const std::optional<RequestCapture> capture = RequestCapture::begin(body, endpoint, temporaryDirectory);
    check(capture && readFile(capture->directory() + QStringLiteral("/request.json")) == body,
          QStringLiteral("wire capture preserves exact request bytes"));

    check(!RequestCapture::begin(body, endpoint, temporaryDirectory),
          QStringLiteral("capture permission is consumed after one request"));

    if (!capture)
        throw RunError(QStringLiteral("no capture to finish"));
    const QByteArray errorBody = QByteArrayLiteral("{\"error\":\"fixture\"}");
    capture->finish(errorBody, 400);
    check(readFile(capture->directory() + QStringLiteral("/response.json")) == errorBody,
          QStringLiteral("wire capture preserves error response bytes before decoding"));

    const auto result = json::parseObject(readFile(capture->directory() + QStringLiteral("/result.json")));
    if (!result)
        throw RunError(QStringLiteral("result.json is not a JSON object"));
    check(json::integer(*result, QStringLiteral("httpStatus")).optional() == 400,
          QStringLiteral("wire capture records actual HTTP status"));

    struct stat info {};
    const QByteArray requestPath = QFile::encodeName(capture->directory() + QStringLiteral("/request.json"));
    if (::stat(requestPath.constData(), &info) != 0)
        throw RunError(QStringLiteral("cannot read the attributes of request.json"));
    check((info.st_mode & 0777) == 0600,
          QStringLiteral("captured conversation content is owner-readable only"));
}

void requestLogChecks(const checks::Reporter& check, RequestLogStore& firstLog, QString& firstReport) {
    const QUrl recommend(QStringLiteral("https://classifier.invalid/recommend"));
    const QUrl classify(QStringLiteral("https://classifier.invalid/classify"));
    const QString separator = QStringLiteral(" \u00B7 ");

    const QByteArray firstRequest = QByteArrayLiteral(
        R"({"historyComplete":false,"messages":[{"role":"user","text":"Show this exact request"}]})");
    firstLog.onChange = [&firstReport](const QString& report) { firstReport = report; };
    const QUuid first = firstLog.begin(QStringLiteral("Synthetic conversation [conversation-1]"),
                                       QStringLiteral("ChatGPT"), recommend, firstRequest);
    check(firstReport.contains(QLatin1String("CALL #1")) && firstReport.contains(QLatin1String("SENDING")) &&
              firstReport.contains(QLatin1String("Show this exact request")),
          QStringLiteral("request log publishes every call with its sent message"));
    check(firstReport.contains(QLatin1String("MESSAGES USED FOR ANALYSIS: 1")) &&
              firstReport.contains(QStringLiteral("MESSAGE 1") + separator + QStringLiteral("YOU")) &&
              firstReport.contains(
                  QLatin1String("Available recent conversation context; full history is not verified")) &&
              !firstReport.contains(QLatin1String("\"messages\"")),
          QStringLiteral("request log renders the request as readable fields instead of JSON"));

    firstLog.received(
        first, 200,
        QByteArrayLiteral(
            R"({"decision":"abstain","reason":"No switch needed","category":{"id":"development","label":"Development"},)"
            R"("subcategory":{"id":"development.debug","label":"Debug a problem"},"contextUsage":{"messageCount":1,)"
            R"("userMessageCount":1,"assistantMessageCount":0,"historyComplete":false}})"));
    firstLog.completed(first, QStringLiteral("COMPLETED") + separator + QStringLiteral("NO RECOMMENDATION"));
    check(firstReport.contains(QLatin1String("SERVER: HTTP 200")) &&
              firstReport.contains(QLatin1String("No switch needed")) &&
              firstReport.contains(QStringLiteral("COMPLETED") + separator +
                                   QStringLiteral("NO RECOMMENDATION")),
          QStringLiteral("request log shows HTTP status, raw response and final outcome"));
    check(firstReport.contains(QLatin1String("DECISION\nNo model decision")) &&
              firstReport.contains(QLatin1String("WHY NO MODEL WAS CHOSEN\nNo switch needed")) &&
              !firstReport.contains(QLatin1String("\"decision\"")),
          QStringLiteral("request log explains the server decision instead of showing JSON"));
    check(firstReport.contains(QStringLiteral("CONVERSATION CATEGORY\nDevelopment") + separator +
                               QStringLiteral("Debug a problem")) &&
              firstReport.contains(QStringLiteral("CONTEXT USED\n1 available message") + separator +
                                   QStringLiteral("1 yours + 0 AI")),
          QStringLiteral("request log explains category and the exact context count returned by the server"));

    {
        QString report;
        RequestLogStore log;
        log.onChange = [&report](const QString& text) { report = text; };
        log.begin(
            QStringLiteral("Long conversation"), QStringLiteral("ChatGPT"), recommend,
            QByteArrayLiteral(
                R"({"historyComplete":false,"availableMessageCount":10,"messages":[{"role":"user","text":"Newest request"}]})"));
        check(report.contains(QLatin1String("MESSAGES USED FOR ANALYSIS: 1 most recent of 10 available")) &&
                  report.contains(QLatin1String("Sent the most recent 1 of 10 available messages")),
              QStringLiteral("request log clearly distinguishes sent recent messages from retained history"));
    }

    {
        QString report;
        RequestLogStore log;
        log.onChange = [&report](const QString& text) { report = text; };
        const QByteArray request = QByteArrayLiteral(
            R"({"historyComplete":true,"messages":[{"role":"user","text":"Tidy this list"}]})");
        const QUuid savings = log.begin(QStringLiteral("Savings conversation [conversation-savings]"),
                                        QStringLiteral("ChatGPT"), recommend, firstRequest);
        log.received(
            savings, 200,
            QByteArrayLiteral(
                R"({"decision":"suggest","setting":{"model":"gpt-5.6-terra","effort":"medium"},)"
                R"("reason":"A bounded task.","potentialPct":45,"savingsBasis":)"
                R"("chatgpt-work-standard-10k-input-2k-output-v1","savingsComparedTo":"gpt-5.6-sol"})"));
        log.completed(savings, QStringLiteral("COMPLETED") + separator + QStringLiteral("RECOMMENDATION"));
        check(report.contains(
                  QStringLiteral(
                      "Standard rate reference: GPT-5.6 Terra (Standard) vs GPT-5.6 Sol (Standard)") +
                  separator + QStringLiteral("\u224845% lower")) &&
                  !report.contains(QLatin1String("ESTIMATED CREDIT SAVINGS")),
              QStringLiteral("request log labels both sides Standard without personalized credit savings"));

        QJsonObject base{
            {QStringLiteral("schemaVersion"), 3},
            {QStringLiteral("provider"), QStringLiteral("openai")},
            {QStringLiteral("decision"), QStringLiteral("suggest")},
            {QStringLiteral("setting"), QJsonObject{{QStringLiteral("model"), QStringLiteral("gpt-6.1-sol")},
                                                    {QStringLiteral("effort"), QStringLiteral("high")}}},
            {QStringLiteral("reason"), QStringLiteral("A task.")},
            {QStringLiteral("potentialPct"), 80},
            {QStringLiteral("savingsBasis"), QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1")},
            {QStringLiteral("savingsComparedTo"), QStringLiteral("gpt-6-astra")}};
        const QJsonObject variants[] = {
            {{QStringLiteral("speed"), QStringLiteral("ultrafast")}},
            {{QStringLiteral("potentialPct"), 99}},
            {{QStringLiteral("costComparison"),
              QJsonObject{{QStringLiteral("kind"), QStringLiteral("paid-cost-estimate")}}}},
        };
        for (const QJsonObject& variant : variants) {
            QJsonObject merged = base;
            for (auto it = variant.begin(); it != variant.end(); ++it)
                merged.insert(it.key(), it.value());
            log.received(savings, 200, bytesOf(merged));
            check(!report.contains(QLatin1String("ESTIMATED CREDIT SAVINGS")) &&
                      !report.contains(QLatin1String("Standard rate reference: GPT-6.1 Sol")) &&
                      (report.contains(QLatin1String("RESPONSE NOT ACCEPTED")) ||
                       report.contains(QLatin1String("Not verified in this server response"))),
                  QStringLiteral(
                      "received raw response cannot turn unsupported speed/billing or bad arithmetic into a "
                      "formatted reference"));
        }
    }

    const QByteArray claudeRequest = QByteArrayLiteral("{}");
    {
        QString report;
        RequestLogStore log;
        log.onChange = [&report](const QString& text) { report = text; };
        const QUuid fit =
            log.begin(QStringLiteral("Claude test"), QStringLiteral("Claude"), classify, claudeRequest);
        log.received(
            fit, 200,
            QByteArrayLiteral(R"({"fitModel":"sonnet","potentialPct":80,"savingsBasis":)"
                              R"("claude-list-uncached-estimated-output-v1","savingsComparedTo":"fable"})"));
        check(report.contains(QStringLiteral("ESTIMATED CREDIT SAVINGS\n\u224880% compared with Fable 5.1")),
              QStringLiteral("request log shows Claude model-fit comparison"));
    }
    {
        QString report;
        RequestLogStore log;
        log.onChange = [&report](const QString& text) { report = text; };
        const QUuid fit =
            log.begin(QStringLiteral("Claude test"), QStringLiteral("Claude"), classify, claudeRequest);
        log.received(fit, 200, QByteArrayLiteral(R"({"fitModel":"sonnet","potentialPct":null})"));
        check(report.contains(QLatin1String("SAVINGS ESTIMATE\nNot verified in this server response")),
              QStringLiteral("request log explains when Claude fit savings data is missing"));
    }
}

} // namespace quillmere::NativeCardChecks
