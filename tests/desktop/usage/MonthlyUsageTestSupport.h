#pragma once

// Small builders of monthly usage records for the tests, and the golden fixture's cases.

#include "core/Json.h"
#include "desktop/usage/MonthlyUsage.h"
#include "support/ForeignFolder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace quillmere::testing {

inline MonthlyUsage::Baseline baseline(const QString& id = QStringLiteral("baseline-0001")) {
    return {id, QStringLiteral("gpt-6.1-sol"), MonthlyUsage::Effort::high, std::nullopt};
}

inline MonthlyUsage::Sample sample(const QString& id, const QString& at, double used,
                                   std::optional<MonthlyUsage::Estimate> estimate = std::nullopt) {
    return {id, at, used, std::move(estimate)};
}

inline MonthlyUsage::Estimate estimate(double lower, double upper,
                                       const QString& evidence = QStringLiteral("evidence-0001")) {
    return {QStringLiteral("baseline-0001"),           lower,    upper,
            MonthlyUsage::Estimate::Basis::quotaUnits, evidence, true};
}

inline MonthlyUsage::Window window(const QString& id, const QString& start, const QString& reset,
                                   std::vector<MonthlyUsage::Sample> samples = {},
                                   const QString& scope = QStringLiteral("scope-aaaa")) {
    MonthlyUsage::Window w;
    w.id = id;
    w.scopeId = scope;
    w.provider = MonthlyUsage::Provider::openai;
    w.bucketId = QStringLiteral("bucket-0001");
    w.kind = MonthlyUsage::Kind::session;
    w.startsAt = start;
    w.resetsAt = reset;
    w.samples = std::move(samples);
    return w;
}

struct GoldenCase {
    MonthlyUsage::Request request;
    QJsonObject response;
};

inline std::vector<GoldenCase> goldenCases() {
    QFile file(QStringLiteral(QUILLMERE_SOURCE_DIR "/tests/fixtures/monthly/golden.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    std::vector<GoldenCase> cases;
    for (const QJsonValue& value :
         QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("cases")).toArray()) {
        const QJsonObject object = value.toObject();
        cases.push_back({MonthlyUsage::requestFromJson(object.value(QStringLiteral("request")).toObject()),
                         object.value(QStringLiteral("response")).toObject()});
    }
    return cases;
}

inline QByteArray bytes(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The service's answer to a request whose windows carry no estimates and each hold a sample of the
// requested month: each window's latest sample
// stands and nothing is estimated.
inline QByteArray answerWithoutEstimates(const MonthlyUsage::Request& request) {
    using namespace MonthlyUsage;
    json::Array rows;
    for (const Window& window : request.windows) {
        const Sample& latest = window.samples.back();
        rows.push_back(json::Object{
            {QStringLiteral("id"), window.id},
            {QStringLiteral("provider"), rawValue(window.provider)},
            {QStringLiteral("scopeId"), window.scopeId},
            {QStringLiteral("bucketId"), window.bucketId},
            {QStringLiteral("kind"), rawValue(window.kind)},
            {QStringLiteral("startsAt"), window.startsAt},
            {QStringLiteral("resetsAt"), window.resetsAt},
            {QStringLiteral("baseline"), json::Value()},
            {QStringLiteral("coverage"), QStringLiteral("partial_window")},
            {QStringLiteral("issues"), json::Array{}},
            {QStringLiteral("withQuillmere"),
             json::Object{{QStringLiteral("usedPercent"), latest.usedPercent},
                          {QStringLiteral("status"), QStringLiteral("no_observed_limit")}}},
            {QStringLiteral("withoutQuillmere"),
             json::Object{{QStringLiteral("status"), QStringLiteral("unknown")}}},
            {QStringLiteral("latestObservedAt"), latest.at},
            {QStringLiteral("newLimitEvent"),
             json::Object{{QStringLiteral("withQuillmere"), false},
                          {QStringLiteral("withoutQuillmere"), false},
                          {QStringLiteral("possibleWithoutQuillmere"), false}}},
        });
    }
    const qint64 n = qint64(request.windows.size());
    return json::write(json::Object{
        {QStringLiteral("schemaVersion"), 1},
        {QStringLiteral("reportVersion"), QStringLiteral("monthly-default-comparison-v1")},
        {QStringLiteral("month"), request.month},
        {QStringLiteral("timeZone"), request.timeZone},
        {QStringLiteral("asOf"), request.asOf},
        {QStringLiteral("learningEnabled"), false},
        {QStringLiteral("comparison"), QStringLiteral("all_usage_vs_user_default")},
        {QStringLiteral("causalSavingsClaim"), false},
        {QStringLiteral("storage"), QStringLiteral("client_local_only")},
        {QStringLiteral("coverage"), QStringLiteral("partial_month")},
        {QStringLiteral("summary"),
         json::Object{
             {QStringLiteral("withQuillmere"),
              json::Object{{QStringLiteral("observedLimitWindows"), 0},
                           {QStringLiteral("observedLimitEpisodes"), 0},
                           {QStringLiteral("statementCode"), QStringLiteral("observed_period_only")}}},
             {QStringLiteral("withoutQuillmere"),
              json::Object{{QStringLiteral("estimatedLimitWindows"), 0},
                           {QStringLiteral("possibleAdditionalWindows"), 0},
                           {QStringLiteral("estimatedLimitEpisodes"), 0},
                           {QStringLiteral("possibleLimitEpisodes"), 0},
                           {QStringLiteral("unknownWindows"), n},
                           {QStringLiteral("statementCode"), QStringLiteral("insufficient_data")}}},
             {QStringLiteral("windowCount"), n},
             {QStringLiteral("observedWindows"), n},
             {QStringLiteral("monthlyUsedPercent"), json::Value()},
             {QStringLiteral("caveats"), json::Array{}}}},
        {QStringLiteral("windows"), std::move(rows)},
    });
}

} // namespace quillmere::testing
