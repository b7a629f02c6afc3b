// A stand-in for the classification service, for running the application on this machine: it
// listens on a loopback port and answers both classify contracts with a valid, deterministic
// recommendation for the request it receives: for OpenAI hosts the lightest setting the request
// lists, for Claude hosts the current one. It is a
// separate program, never linked into the application.
//
// Usage: quillmere-classification-standin [port]   (0 or nothing: a free port)
// It prints "listening http://127.0.0.1:<port>/classify" once it accepts requests.

#include "core/OpenAIRouting.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <httplib.h>
#include <limits>
#include <optional>

using namespace quillmere;

namespace {

const QString reasonText =
    QStringLiteral("The lightest setting this conversation's host lists is enough for it.");

std::string compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// Claude hosts: the current setting. A Claude host vouches only for the settings its model menu
// has shown lately, which the request does not list, and the current one is always among them.
QJsonObject claudeAnswer(const QJsonObject& request) {
    QJsonObject answer{{QStringLiteral("reason"), reasonText}};
    answer.insert(QStringLiteral("recommendedModel"),
                  request.value(QStringLiteral("currentModel")).toString().toLower());
    const QString currentID = request.value(QStringLiteral("currentModelId")).toString().toLower();
    if (!currentID.isEmpty())
        answer.insert(QStringLiteral("recommendedModelId"), currentID);
    answer.insert(QStringLiteral("recommendedEffort"),
                  request.value(QStringLiteral("currentEffort")).toString().toLower());
    answer.insert(QStringLiteral("recommendedExtended"),
                  request.value(QStringLiteral("currentExtended")).toBool());
    answer.insert(QStringLiteral("alreadyEfficient"), true);
    return answer;
}

// OpenAI hosts: the listed setting with the lightest model, then the lightest effort.
QJsonObject openAIAnswer(const QJsonObject& request) {
    const QJsonObject current = request.value(QStringLiteral("current")).toObject();
    const bool work = request.value(QStringLiteral("surfaceMode")).toString() == QLatin1String("work");
    std::optional<QJsonObject> best;
    qsizetype bestModel = std::numeric_limits<qsizetype>::max(), bestEffort = bestModel;
    for (const QJsonValue& value : request.value(QStringLiteral("available")).toArray()) {
        const QJsonObject setting = value.toObject();
        const QString model = setting.value(QStringLiteral("model")).toString();
        const QString effort = setting.value(QStringLiteral("effort")).toString();
        const qsizetype modelRank = OpenAIRouting::models().indexOf(model);
        const qsizetype effortRank = OpenAIRouting::efforts().indexOf(effort);
        if (modelRank < 0 || effortRank < 0)
            continue;
        if (model == QLatin1String("gpt-6.1-sol") && (!work || effort == QLatin1String("none")))
            continue;
        if (modelRank < bestModel || (modelRank == bestModel && effortRank < bestEffort)) {
            best = QJsonObject{{QStringLiteral("model"), model}, {QStringLiteral("effort"), effort}};
            bestModel = modelRank;
            bestEffort = effortRank;
        }
    }
    QJsonObject answer{{QStringLiteral("schemaVersion"), 3},
                       {QStringLiteral("provider"), QStringLiteral("openai")},
                       {QStringLiteral("reason"), reasonText},
                       {QStringLiteral("requiresVerification"), false}};
    const bool keep =
        !best || (current.value(QStringLiteral("model")) == best->value(QStringLiteral("model")) &&
                  current.value(QStringLiteral("effort")) == best->value(QStringLiteral("effort")));
    if (keep && current.isEmpty()) {
        answer.insert(QStringLiteral("decision"), QStringLiteral("abstain"));
        answer.insert(QStringLiteral("reason"), QStringLiteral("The host lists no setting to compare with."));
        return answer;
    }
    answer.insert(QStringLiteral("decision"), keep ? QStringLiteral("keep") : QStringLiteral("suggest"));
    answer.insert(QStringLiteral("setting"), keep ? current : *best);
    return answer;
}

void respond(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_content(body, "application/json");
}

} // namespace

int main(int argc, char** argv) {
    const int requested = argc > 1 ? std::atoi(argv[1]) : 0;
    httplib::Server server;
    const auto handle = [](auto answer) {
        return [answer](const httplib::Request& request, httplib::Response& response) {
            QJsonParseError error{};
            const QJsonDocument document =
                QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &error);
            if (error.error != QJsonParseError::NoError || !document.isObject()) {
                respond(response, 400, R"({"error":"the body is not a JSON object"})");
                return;
            }
            respond(response, 200, compact(answer(document.object())));
        };
    };
    server.Post("/classify", handle(claudeAnswer));
    server.Post("/v1/recommendations/openai", handle(openAIAnswer));
    const int port = requested > 0 ? (server.bind_to_port("127.0.0.1", requested) ? requested : -1)
                                   : server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        std::fprintf(stderr, "quillmere-classification-standin: cannot listen on 127.0.0.1:%d\n", requested);
        return 1;
    }
    std::printf("listening http://127.0.0.1:%d/classify\n", port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
