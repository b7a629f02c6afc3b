#include "desktop/usage/MonthlyUsageReportService.h"
#include "desktop/classification/ContractDecoding.h"
#include "desktop/usage/MonthlyUsageTestSupport.h"
#include "platform/tasks/TaskCancelled.h"
#include "support/LoopbackServer.h"

#include <QCoroTask>
#include <QTimer>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;
using quillmere::testing::LoopbackServer;

namespace {

enum class Outcome { report, requestLimit, response, decoding, timedOut, transport, cancelled };

Outcome fetch(const MonthlyUsageReportService& service, const Request& request, CancelToken token = {}) {
    const auto attempt = [&]() -> QCoro::Task<Outcome> {
        try {
            co_await service.fetch(request, token);
            co_return Outcome::report;
        } catch (const Invalid& error) {
            co_return error.kind() == Invalid::requestLimit ? Outcome::requestLimit : Outcome::response;
        } catch (const DecodingError&) {
            co_return Outcome::decoding;
        } catch (const TransportError& error) {
            co_return error.code() == TransportError::timedOut ? Outcome::timedOut : Outcome::transport;
        } catch (const TaskCancelled&) {
            co_return Outcome::cancelled;
        }
    };
    return QCoro::waitFor(attempt());
}

struct Served {
    LoopbackServer server;
    std::vector<quillmere::testing::GoldenCase> cases = quillmere::testing::goldenCases();
    MonthlyUsageReportService service{server.url(QString::fromLatin1(MonthlyUsageReportService::path))};

    void answer(int status, std::string body) {
        server.post(MonthlyUsageReportService::path, LoopbackServer::answer(status, std::move(body)));
    }
    std::string golden(size_t index) const {
        return quillmere::testing::bytes(cases.at(index).response).toStdString();
    }
};

} // namespace

TEST(MonthlyUsageReportService, PostsTheRequestAndReturnsAVerifiedReport) {
    Served s;
    s.answer(200, s.golden(1));
    EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::report);
    const auto requests = s.server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/v1/usage/monthly-report");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Cookie"), "");
    EXPECT_EQ(QByteArray::fromStdString(requests[0].body), encode(s.cases[1].request));
}

TEST(MonthlyUsageReportService, OnlyA200AnswerWithinTheSizeLimitIsVerified) {
    for (const int status : {201, 204, 500}) {
        Served s;
        s.answer(status, s.golden(1));
        EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::response) << status;
    }
    {
        Served s;
        s.answer(200, std::string(size_t(maximumResponseBytes), ' '));
        EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::decoding)
            << "exactly the limit reaches the check";
    }
    {
        Served s;
        s.answer(200, std::string(size_t(maximumResponseBytes) + 1, ' '));
        EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::response);
    }
    {
        Served s;
        // An answer without a length that never stops: refused once the limit is passed.
        s.server.post(MonthlyUsageReportService::path, [](const httplib::Request&,
                                                          httplib::Response& response) {
            response.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink& sink) {
                static const std::string chunk(64 * 1024, ' ');
                return sink.write(chunk.data(), chunk.size());
            });
        });
        EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::response);
    }
    for (const std::string& body : {std::string(), std::string("not json"), std::string("[1,2]")}) {
        Served s;
        s.answer(200, body);
        EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::decoding) << body;
    }
    {
        Served s;
        s.answer(200, s.golden(2));
        EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::response) << "an answer to another request";
    }
}

TEST(MonthlyUsageReportService, RequestsOverALimitAreNeverSent) {
    Served s;
    s.answer(200, s.golden(1));
    Request tooMany = s.cases[0].request;
    Window model = s.cases[1].request.windows[3];
    for (int i = 0; i < 513; ++i) {
        model.id = QStringLiteral("window-%1").arg(i, 4, 10, QLatin1Char('0'));
        model.samples.clear();
        tooMany.windows.push_back(model);
    }
    EXPECT_EQ(fetch(s.service, tooMany), Outcome::requestLimit);
    Request tooManySamples = s.cases[1].request;
    tooManySamples.windows.resize(1);
    tooManySamples.windows[0].samples.assign(4097, tooManySamples.windows[0].samples[0]);
    EXPECT_EQ(fetch(s.service, tooManySamples), Outcome::requestLimit);
    EXPECT_TRUE(s.server.requests().empty());
}

TEST(MonthlyUsageReportService, AnAnswerThatNeverArrivesEndsAtTheDeadlineOrOnCancellation) {
    Served s;
    s.server.post(MonthlyUsageReportService::path,
                  LoopbackServer::answer(200, s.golden(1), std::chrono::milliseconds(3000)));
    s.service.deadlineSeconds = 0.3;
    EXPECT_EQ(fetch(s.service, s.cases[1].request), Outcome::timedOut);

    s.service.deadlineSeconds = 30;
    CancelToken token;
    QTimer::singleShot(200, [token] { token.cancel(); });
    EXPECT_EQ(fetch(s.service, s.cases[1].request, token), Outcome::cancelled);

    quillmere::testing::ClosedPort closed;
    const MonthlyUsageReportService refused{closed.url(QStringLiteral("/v1/usage/monthly-report"))};
    EXPECT_EQ(fetch(refused, s.cases[1].request), Outcome::transport);
}

TEST(MonthlyUsageReportService, TheEndpointIsOnTheClassificationHost) {
    EXPECT_EQ(MonthlyUsageReportService::endpointFor(
                  QUrl(QStringLiteral("https://service.example.test/api/classify?x=1"))),
              QUrl(QStringLiteral("https://service.example.test/v1/usage/monthly-report")));
}
