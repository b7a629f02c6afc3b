#include "desktop/classification/ClassificationService.h"

#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RequestLogStore.h"
#include "platform/tasks/TaskCancelled.h"
#include "support/LoopbackServer.h"
#include "support/StallingServers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

using namespace quillmere;
using quillmere::testing::LoopbackServer;
using Snapshot = ClassificationService::Snapshot;
using ServiceError = ClassificationService::ServiceError;

namespace {

Snapshot claudeSnapshot() {
    return NativeCardChecks::observedClaude("sonnet", "claude-sonnet-5", "medium", false,
                                            {NativeCardChecks::menuItem("Sonnet 5 Low")});
}

Snapshot openAISnapshot() {
    Snapshot snapshot;
    snapshot.provider = AIProvider::openAI;
    snapshot.messages = {{"user", "Summarize these meeting notes."}};
    snapshot.currentModel = "gpt-6-astra";
    snapshot.currentEffort = "high";
    snapshot.currentSettingKnown = true;
    snapshot.availableSettings = {{"gpt-5.6-luna", "low"}};
    snapshot.historyCurrent = true;
    snapshot.conversationID = "com.openai.chat|navigation:c1";
    snapshot.conversationTitle = "  Notes \n";
    return snapshot;
}

const QByteArray openAIAnswer =
    NativeCardChecks::contractData("openai", "suggest", "gpt-5.6-luna", "low", false);

// The outcome of one classify call, whatever it ends with.
struct Result {
    std::optional<Recommendation> recommendation;
    std::optional<ServiceError> serviceError;
    std::optional<TransportError::Code> transportError;
    bool cancelled = false;
    bool otherError = false;
};

QCoro::Task<Result> attempt(const ClassificationService& service, Snapshot snapshot, CancelToken token) {
    Result result;
    try {
        result.recommendation = co_await service.classify(std::move(snapshot), "install-0000000001", token);
    } catch (const ServiceError& error) {
        result.serviceError = error;
    } catch (const TransportError& error) {
        result.transportError = error.code();
    } catch (const TaskCancelled&) {
        result.cancelled = true;
    } catch (const std::exception&) {
        result.otherError = true;
    }
    co_return result;
}

class ClassificationServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(captureRoot.isValid());
        log->onEntriesChange = [this](const std::vector<RequestLogStore::Entry>& entries) {
            statuses << entries.back().status;
        };
    }

    Result classify(const QString& path, Snapshot snapshot, CancelToken token = {}) {
        ClassificationService service(server.url(path), log, HttpTransport::shared(), captureRoot.path());
        return QCoro::waitFor(attempt(service, std::move(snapshot), token));
    }

    LoopbackServer server;
    std::shared_ptr<RequestLogStore> log = std::make_shared<RequestLogStore>();
    QStringList statuses;
    QTemporaryDir captureRoot;
};

} // namespace

TEST_F(ClassificationServiceTest, ClaudeRoutePostsTheClassifyBodyAndLogsEachStep) {
    server.post(
        "/classify",
        LoopbackServer::answer(201, R"({"recommendedModel":"sonnet","recommendedModelId":"claude-sonnet-5",)"
                                    R"("recommendedEffort":"low","reason":"Short task."})"));
    const Result result = classify("/classify", claudeSnapshot());
    ASSERT_TRUE(result.recommendation) << "any 2xx is accepted on this route";
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(QByteArray::fromStdString(requests[0].body),
              ClassificationService::claudeRequestBody(claudeSnapshot(), "install-0000000001", false));
    EXPECT_EQ(statuses,
              (QStringList{"SENDING", "RESPONSE RECEIVED", QString::fromUtf8("COMPLETED · RECOMMENDATION")}));
    EXPECT_EQ(log->entries()[0].provider, "Claude");
}

// Only a 2xx answer is decoded: a redirect carrying a recommendation in its body is a bad status
// like any error status, and the redirect is not followed.
TEST_F(ClassificationServiceTest, ClaudeRouteRejectsStatusesOutsideTwoHundreds) {
    const std::string recommendation =
        R"({"recommendedModel":"sonnet","recommendedModelId":"claude-sonnet-5",)"
        R"("recommendedEffort":"low","reason":"Short task."})";
    const struct {
        int status;
        std::string body;
    } rows[] = {
        {400, R"({"error":"exceeds the classifier size limit"})"},
        {302, recommendation},
        {300, recommendation},
        {308, recommendation},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        LoopbackServer answering;
        answering.post("/classify", [&row](const httplib::Request&, httplib::Response& response) {
            response.status = row.status;
            response.set_header("Location", "/elsewhere");
            response.set_content(row.body, "application/json");
        });
        answering.post("/elsewhere", LoopbackServer::answer(200, recommendation));
        auto rowLog = std::make_shared<RequestLogStore>();
        ClassificationService service(answering.url("/classify"), rowLog, HttpTransport::shared(),
                                      captureRoot.path());
        const Result result = QCoro::waitFor(attempt(service, claudeSnapshot(), {}));
        EXPECT_FALSE(result.recommendation);
        ASSERT_TRUE(result.serviceError);
        EXPECT_EQ(*result.serviceError, ServiceError::badStatus(row.status));
        ASSERT_EQ(rowLog->entries().size(), 1u);
        EXPECT_EQ(rowLog->entries()[0].status, "FAILED");
        EXPECT_EQ(rowLog->entries()[0].httpStatus, row.status);
        EXPECT_EQ(rowLog->entries()[0].error, QStringLiteral("badStatus(%1)").arg(row.status));
        EXPECT_EQ(answering.requests().size(), 1u) << "the redirect was followed";
    }
}

// The status is the one the HTTP library reads from the status line, however the blanks around the
// code fall: a recommendation under such a 200 line is taken, and such a 401 fails the entry as a
// 401, on either route.
TEST_F(ClassificationServiceTest, TheStatusIsTheOneTheLibraryReadsFromTheStatusLine) {
    using quillmere::testing::RawLoopbackServer;
    const std::string claudeAnswer = R"({"recommendedModel":"sonnet","recommendedModelId":"claude-sonnet-5",)"
                                     R"("recommendedEffort":"low","reason":"Short task."})";
    const struct {
        const char* statusLine;
        bool openAI;
        int status;
    } rows[] = {
        {"HTTP/1.1  200 OK", false, 200},        {"HTTP/1.1 200OK", false, 200},
        {"HTTP/1.1 200\tOK", true, 200},         {"HTTP/1.1  401 Unauthorized", false, 401},
        {"HTTP/1.1 401Unauthorized", true, 401}, {"HTTP/1.1 \t401\tUnauthorized", false, 401},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.statusLine);
        const std::string body = row.openAI ? openAIAnswer.toStdString() : claudeAnswer;
        const std::string answer = std::string(row.statusLine) +
                                   "\r\nContent-Type: application/json\r\nConnection: close\r\n"
                                   "Content-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body;
        RawLoopbackServer answering(
            [answer](RawLoopbackServer::Connection& connection) { connection.write(answer); });
        auto rowLog = std::make_shared<RequestLogStore>();
        ClassificationService service(answering.url("/classify"), rowLog, HttpTransport::shared(),
                                      captureRoot.path());
        const Result result =
            QCoro::waitFor(attempt(service, row.openAI ? openAISnapshot() : claudeSnapshot(), {}));
        ASSERT_EQ(rowLog->entries().size(), 1u);
        EXPECT_EQ(rowLog->entries()[0].httpStatus, row.status);
        if (row.status == 200) {
            EXPECT_TRUE(result.recommendation);
        } else {
            EXPECT_TRUE(result.serviceError && *result.serviceError == ServiceError::badStatus(row.status))
                << rowLog->entries()[0].error.value_or(QString()).toStdString();
        }
    }
}

TEST_F(ClassificationServiceTest, AbstentionCompletesTheEntryAndReachesTheCallerAsAbstained) {
    server.post("/classify",
                LoopbackServer::answer(200, R"({"decision":"abstain","reason":"Unreadable brief."})"));
    const Result result = classify("/classify", claudeSnapshot());
    ASSERT_TRUE(result.serviceError);
    EXPECT_EQ(result.serviceError->errorCase(), ServiceError::Case::abstained);
    EXPECT_EQ(statuses.last(), QString::fromUtf8("COMPLETED · NO RECOMMENDATION"));
}

TEST_F(ClassificationServiceTest, UndecodableAnswersFailTheEntry) {
    server.post("/classify", LoopbackServer::answer(200, R"({"recommendedModel":7})"));
    const Result result = classify("/classify", claudeSnapshot());
    EXPECT_FALSE(result.recommendation);
    EXPECT_EQ(statuses.last(), "FAILED");
}

TEST_F(ClassificationServiceTest, OpenAIRouteReplacesTheLastPathComponent) {
    server.post("/api/v1/recommendations/openai", LoopbackServer::answer(200, openAIAnswer.toStdString()));
    const Result result = classify("/api/classify", openAISnapshot());
    ASSERT_TRUE(result.recommendation);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(QByteArray::fromStdString(requests[0].body),
              OpenAIRecommendationContract::request(openAISnapshot()).encoded());
    EXPECT_EQ(log->entries()[0].conversation, "Notes  [com.openai.chat|navigation:c1]");
    EXPECT_EQ(log->entries()[0].provider, "ChatGPT");
    EXPECT_EQ(ClassificationService::openAIEndpoint(QUrl("https://h.invalid/classify")),
              QUrl("https://h.invalid/v1/recommendations/openai"));
}

TEST_F(ClassificationServiceTest, OpenAIRouteAcceptsOnlyTwoHundred) {
    std::string body = openAIAnswer.toStdString();
    auto calls = std::make_shared<int>(0);
    server.post("/v1/recommendations/openai",
                [&body, calls](const httplib::Request&, httplib::Response& response) {
                    const int statuses[] = {201, 400, 400, 400};
                    const std::string bodies[] = {
                        body, R"({"error":"Request exceeds the classifier size limit of 850000 bytes"})",
                        R"({"error":{"message":"exceeds the classifier size limit"}})", "not json"};
                    response.status = statuses[*calls];
                    response.set_content(bodies[*calls], "application/json");
                    ++*calls;
                });
    EXPECT_EQ(*classify("/classify", openAISnapshot()).serviceError, ServiceError::badStatus(201));
    EXPECT_EQ(*classify("/classify", openAISnapshot()).serviceError, ServiceError::contextTooLarge());
    EXPECT_EQ(*classify("/classify", openAISnapshot()).serviceError, ServiceError::badStatus(400));
    EXPECT_EQ(*classify("/classify", openAISnapshot()).serviceError, ServiceError::badStatus(400));
    for (const auto& entry : log->entries())
        EXPECT_EQ(entry.status, "FAILED");
}

namespace {

// A transport that gives one answer to every request, whatever the protocol would allow: a 204
// with a body, or an answer that is no HTTP response at all (status 0).
class CannedTransport final : public HttpTransport {
public:
    explicit CannedTransport(HttpResponse answer) : answer_(std::move(answer)) {}
    QCoro::Task<HttpResponse> send(HttpRequest, CancelToken) override { co_return answer_; }

private:
    HttpResponse answer_;
};

} // namespace

TEST_F(ClassificationServiceTest, ANoContentStatusIsAcceptedOnlyOnTheClaudeRoute) {
    CannedTransport transport(
        {204,
         R"({"recommendedModel":"sonnet","recommendedModelId":"claude-sonnet-5","recommendedEffort":"low",)"
         R"("reason":"Short task."})"});
    const auto run = [&](Snapshot snapshot) {
        ClassificationService service(QUrl("https://service.invalid/classify"), log, transport,
                                      captureRoot.path());
        return QCoro::waitFor(attempt(service, std::move(snapshot), {}));
    };
    EXPECT_TRUE(run(claudeSnapshot()).recommendation);
    EXPECT_EQ(log->entries().back().httpStatus, 204);
    EXPECT_EQ(*run(openAISnapshot()).serviceError, ServiceError::badStatus(204));
    EXPECT_EQ(log->entries().back().status, "FAILED");
}

TEST_F(ClassificationServiceTest, AnAnswerThatIsNoHTTPResponseIsStatusZero) {
    CannedTransport transport({0, R"({"recommendedModel":"sonnet","reason":"Short task."})"});
    ClassificationService service(QUrl("https://service.invalid/classify"), log, transport,
                                  captureRoot.path());
    const Result result = QCoro::waitFor(attempt(service, claudeSnapshot(), {}));
    ASSERT_TRUE(result.serviceError);
    EXPECT_EQ(*result.serviceError, ServiceError::badStatus(0));
    EXPECT_EQ(statuses, (QStringList{"SENDING", "RESPONSE RECEIVED", "FAILED"}));
    EXPECT_EQ(log->entries()[0].httpStatus, 0);
    EXPECT_EQ(log->entries()[0].error, "badStatus(0)");
}

TEST_F(ClassificationServiceTest, OpenAIConversationWithoutUserMessagesIsNeverSent) {
    Snapshot snapshot = openAISnapshot();
    snapshot.messages = {{"assistant", "Hello."}};
    const Result result = classify("/classify", snapshot);
    EXPECT_EQ(*result.serviceError, ServiceError::contextTooLarge());
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(log->entries().empty());
}

TEST_F(ClassificationServiceTest, TransportFailuresAndCancellationEndTheEntry) {
    QFile marker(captureRoot.path() + "/capture-next");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();
    const quillmere::testing::ClosedPort closed;
    ClassificationService unreachable(closed.url("/classify"), log, HttpTransport::shared(),
                                      captureRoot.path());
    const Result refused = QCoro::waitFor(attempt(unreachable, openAISnapshot(), {}));
    EXPECT_EQ(refused.transportError, TransportError::cannotConnectToHost);
    EXPECT_EQ(log->entries()[0].status, "FAILED");
    EXPECT_TRUE(log->entries()[0].error->startsWith("Network error -1004: "));
    // The capture armed for this request records the failure and no response.
    const QStringList folders = QDir(captureRoot.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(folders.size(), 1);
    QFile result(captureRoot.path() + "/" + folders[0] + "/result.json");
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(result.readAll(), "{\"transportFailed\":true}");
    EXPECT_FALSE(QFile::exists(captureRoot.path() + "/" + folders[0] + "/response.json"));

    server.post("/classify", LoopbackServer::answer(200, "{}", std::chrono::milliseconds(1500)));
    CancelToken token;
    QTimer::singleShot(100, [token] { token.cancel(); });
    const Result cancelled = classify("/classify", claudeSnapshot(), token);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(log->entries()[1].status, "CANCELLED");
    EXPECT_EQ(statuses.last(), "CANCELLED");
}

// A classification service that goes silent after its headers, never ends them or trickles its
// answer has timed out: its entry fails with the time-out (-1001) and the caller gets the transport
// error. "CANCELLED" belongs to a request this program withdrew, here while the service stalls.
// Time-outs are shortened so each server takes about a second.
TEST_F(ClassificationServiceTest, AStalledServiceTimesOutAndOnlyAWithdrawnRequestIsCancelled) {
    using quillmere::testing::RawLoopbackServer;
    for (const auto& row : quillmere::testing::stallCases) {
        SCOPED_TRACE(row.what);
        RawLoopbackServer stalling(row.script, std::chrono::seconds(25));
        quillmere::testing::HurriedTransport http(0.3, row.withdraw ? 20 : 1.5);
        ClassificationService service(stalling.url("/classify"), log, http, captureRoot.path());
        CancelToken token;
        if (row.withdraw)
            QTimer::singleShot(200, [token] { token.cancel(); });
        const Result result = QCoro::waitFor(attempt(service, claudeSnapshot(), token));
        EXPECT_EQ(result.cancelled, row.withdraw);
        EXPECT_EQ(result.transportError,
                  row.withdraw ? std::nullopt : std::optional(TransportError::timedOut));
        const RequestLogStore::Entry entry = log->entries().back();
        EXPECT_EQ(entry.status, row.withdraw ? "CANCELLED" : "FAILED");
        if (!row.withdraw) {
            EXPECT_TRUE(entry.error && entry.error->startsWith("Network error -1001: "))
                << entry.error.value_or(QString()).toStdString();
        }
    }
}

TEST_F(ClassificationServiceTest, OversizedAnswersAreRefusedWithoutALogStore) {
    server.post("/classify",
                LoopbackServer::answer(200, std::string(ClassificationService::maximumAnswerBytes + 1, ' ')));
    ClassificationService service(server.url("/classify"));
    const Result result = QCoro::waitFor(attempt(service, claudeSnapshot(), {}));
    EXPECT_EQ(result.transportError, TransportError::dataLengthExceedsMaximum);
    EXPECT_TRUE(log->entries().empty());
}

namespace {

QCoro::Task<void> attemptInto(const ClassificationService& service, Snapshot snapshot,
                              std::shared_ptr<std::optional<Result>> outcome) {
    *outcome = co_await attempt(service, std::move(snapshot), {});
}

// Turns the event loop until `done` holds or `seconds` of real time have passed.
bool waitFor(const std::function<bool()>& done, int seconds = 20) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

} // namespace

// The widget that owns a service may be destroyed while its request is on the wire; the transfer
// still ends on a later turn of the loop, and the request must end in the log without its service.
TEST_F(ClassificationServiceTest, ARequestEndsAfterItsServiceIsGone) {
    struct Case {
        const char* name;
        Snapshot snapshot;
        std::string answer;
        QString entryStatus;
        bool recommended;
    };
    const Case cases[] = {
        {"claude, undecodable answer", claudeSnapshot(), "{}", "FAILED", false},
        {"openai, suggestion", openAISnapshot(), openAIAnswer.toStdString(),
         QStringLiteral("COMPLETED \u00B7 RECOMMENDATION"), true},
        {"openai, bad status", openAISnapshot(), "", "FAILED", false},
    };
    int served = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case under its own folder: the server keeps the first handler of a path.
        const std::string base = "/case" + std::to_string(served);
        const auto delay = std::chrono::milliseconds(300);
        const int status = c.answer.empty() ? 503 : 200;
        server.post(base + "/classify", LoopbackServer::answer(status, c.answer, delay));
        server.post(base + "/v1/recommendations/openai", LoopbackServer::answer(status, c.answer, delay));
        auto service =
            std::make_unique<ClassificationService>(server.url(QString::fromStdString(base + "/classify")),
                                                    log, HttpTransport::shared(), captureRoot.path());
        auto outcome = std::make_shared<std::optional<Result>>();
        QCoro::Task<void> running = attemptInto(*service, c.snapshot, outcome);
        // The request is on the wire before its owner goes.
        ++served;
        ASSERT_TRUE(waitFor([&] { return int(server.requests().size()) == served; }));
        ASSERT_FALSE(outcome->has_value());
        service.reset();
        ASSERT_TRUE(waitFor([&] { return outcome->has_value(); }));
        ASSERT_EQ(log->entries().size(), std::size_t(served));
        EXPECT_EQ(log->entries().back().status, c.entryStatus);
        EXPECT_EQ((*outcome)->recommendation.has_value(), c.recommended);
    }
}

TEST(ClassificationServiceNames, ConversationNameUsesTheTrimmedTitle) {
    Snapshot snapshot;
    snapshot.conversationID = "k";
    EXPECT_EQ(ClassificationService::conversationName(snapshot), "k");
    snapshot.conversationTitle = " \n\t";
    EXPECT_EQ(ClassificationService::conversationName(snapshot), "k");
    snapshot.conversationTitle = QString::fromUtf16(u"\u00A0Trip plans ");
    EXPECT_EQ(ClassificationService::conversationName(snapshot), "Trip plans  [k]");
}

// Two widgets ask the one classification service at once. One request is withdrawn (its widget
// moved on) while the service has not answered it; the other one's answer is still arriving and
// is used: withdrawing one request ends that request's connection only.
TEST_F(ClassificationServiceTest, AWithdrawnRequestLeavesAnotherWidgetsRequestAlone) {
    std::atomic<bool> release{false};
    server.post("/withdrawn/classify", LoopbackServer::silentUntil(release));
    const std::string answer = R"({"recommendedModel":"sonnet","recommendedModelId":"claude-sonnet-5",)"
                               R"("recommendedEffort":"low","reason":"Short task."})";
    server.post("/kept/classify", [answer](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/json", [answer](size_t offset, httplib::DataSink& sink) {
                if (offset == 0)
                    return sink.write(answer.data(), answer.size() - 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                sink.write(answer.data() + answer.size() - 1, 1);
                sink.done();
                return true;
            });
    });
    ClassificationService withdrawnService(server.url("/withdrawn/classify"), log, HttpTransport::shared(),
                                           captureRoot.path());
    ClassificationService keptService(server.url("/kept/classify"), log, HttpTransport::shared(),
                                      captureRoot.path());
    CancelToken withdraw;
    QTimer::singleShot(400, [withdraw] { withdraw.cancel(); });
    const auto both = [&]() -> QCoro::Task<std::pair<Result, Result>> {
        QCoro::Task<Result> first = attempt(withdrawnService, claudeSnapshot(), withdraw);
        QCoro::Task<Result> second = attempt(keptService, claudeSnapshot(), {});
        Result a = co_await std::move(first);
        Result b = co_await std::move(second);
        co_return std::pair{std::move(a), std::move(b)};
    };
    const auto [withdrawn, kept] = QCoro::waitFor(both());
    release = true;
    EXPECT_TRUE(withdrawn.cancelled);
    EXPECT_TRUE(kept.recommendation) << "the other widget's request failed: transport error "
                                     << (kept.transportError ? int(*kept.transportError) : 0);
}
