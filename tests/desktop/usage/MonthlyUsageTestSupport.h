#pragma once

// Small builders of monthly usage records for the tests, and the golden fixture's cases.

#include "desktop/usage/MonthlyUsage.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

} // namespace quillmere::testing
