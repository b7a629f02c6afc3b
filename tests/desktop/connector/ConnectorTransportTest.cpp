#include "ConnectorTestSupport.h"

#include "support/LoopbackServer.h"
#include "support/StallingServers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <string_view>
#include <tuple>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

// Runs one transport call to its end on the real event loop.
template <typename T> struct Outcome {
    std::optional<T> value;
    std::optional<ConnectorFailure::Kind> failure;
    bool decodingError = false;
    bool transportError = false;
    std::optional<TransportError::Code> transportCode;
    bool cancelled = false;
};

template <typename T> Outcome<T> await(std::function<QCoro::Task<T>()> call) {
    Outcome<T> outcome;
    bool done = false;
    spawn(QStringLiteral("transport test"), [&]() -> QCoro::Task<void> {
        try {
            outcome.value = co_await call();
        } catch (const ConnectorFailure& failure) {
            outcome.failure = failure.kind();
        } catch (const DecodingError&) {
            outcome.decodingError = true;
        } catch (const TransportError& error) {
            outcome.transportError = true;
            outcome.transportCode = error.code();
        } catch (const TaskCancelled&) {
            outcome.cancelled = true;
        }
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(done);
    return outcome;
}

class Transport : public ::testing::Test {
protected:
    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.port()); }
    ConnectorCredential linked() const {
        ConnectorCredential c = credential();
        c.origin = origin();
        return c;
    }
    Outcome<QByteArray> inboxRequest() {
        return await<QByteArray>([this] {
            return transport.request(origin(), QStringLiteral("/widget/inbox"), "GET", token43, std::nullopt);
        });
    }
    static httplib::Server::Handler reply(int status, std::string body,
                                          std::string type = "application/json") {
        return [=](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, type);
        };
    }

    LoopbackServer server;
    ManualClock clock{1000.0, testNow()};
    ConnectorTransport transport{ConnectorOriginPolicy(), HttpTransport::shared(), clock};
};

} // namespace

TEST_F(Transport, SendsJsonWithTheBearerTokenAndReturnsTheBody) {
    server.get("/widget/inbox", reply(200, "{}", "application/json; charset=utf-8"));
    const auto outcome = inboxRequest();
    EXPECT_EQ(outcome.value, QByteArray("{}"));
    const auto recorded = server.requests().at(0);
    EXPECT_EQ(recorded.header("Content-Type"), "application/json");
    EXPECT_EQ(recorded.header("Authorization"), "Bearer " + token43.toStdString());
    EXPECT_EQ(recorded.header("Cookie"), "");
}

TEST_F(Transport, ClassifiesAnswers) {
    struct Case {
        int status;
        std::string body;
        std::string type;
        std::optional<ConnectorFailure::Kind> expected;
    };
    const std::vector<Case> cases = {
        {401, "{}", "application/json", ConnectorFailure::unauthorized},
        {500, "{}", "application/json", ConnectorFailure::rejected},
        {302, "{}", "application/json", ConnectorFailure::rejected},
        {200, "{}", "text/plain", ConnectorFailure::rejected},
        {200, "{}", "application/problem+json", ConnectorFailure::rejected},
        {200, std::string(100000, ' '), "application/json", std::nullopt},
        {200, std::string(100001, ' '), "application/json", ConnectorFailure::rejected},
        {200, std::string(3000000, ' '), "application/json", ConnectorFailure::rejected},
    };
    for (const Case& c : cases) {
        LoopbackServer local;
        local.get("/widget/inbox", reply(c.status, c.body, c.type));
        if (c.status == 302)
            local.get("/elsewhere", reply(200, "{}"));
        const QString at = QStringLiteral("http://127.0.0.1:%1").arg(local.port());
        const auto outcome = await<QByteArray>([&] {
            return transport.request(at, QStringLiteral("/widget/inbox"), "GET", token43, std::nullopt);
        });
        EXPECT_EQ(outcome.failure, c.expected) << c.status << " " << c.type << " " << c.body.size();
        EXPECT_EQ(local.requests().size(), 1u); // the redirect is not followed
    }
}

// Every answer sets a cookie; none is ever sent back, on the next request or any later one, to any
// of the four endpoints.
TEST_F(Transport, CookiesFromAnAnswerAreNeverSentOnALaterRequest) {
    std::atomic<int> answered{0};
    const auto withCookie = [&answered](std::string body) {
        return [&answered, body](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "session=" + std::to_string(++answered) + "; Path=/");
            response.set_header("Set-Cookie2", "legacy=1; Version=1");
            response.set_content(body, "application/json");
        };
    };
    server.post("/widget/claim", withCookie(claimBody().toStdString()));
    server.get("/widget/inbox", withCookie(inboxBody({item(uuid(1))}).toStdString()));
    server.post("/widget/ack", withCookie("{}"));
    server.del("/widget/device", withCookie("{}"));
    const auto claimed = await<ConnectorCredential>([this] { return transport.claim(origin(), token43); });
    ASSERT_TRUE(claimed.value);
    const ConnectorCredential c = *claimed.value;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(await<ConnectorInbox>([&] { return transport.inbox(c); }).value);
        await<QByteArray>([&] {
            return transport.request(origin(), QStringLiteral("/widget/ack"), "POST", c.device_token,
                                     QByteArray("{\"ids\":[]}"));
        });
    }
    await<QByteArray>([&] {
        return transport.request(origin(), QStringLiteral("/widget/device"), "DELETE", c.device_token,
                                 std::nullopt);
    });
    const auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 6u);
    for (size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_EQ(recorded[i].headers.count("Cookie"), 0u) << i << " " << recorded[i].path;
        EXPECT_EQ(recorded[i].headers.count("Cookie2"), 0u) << i << " " << recorded[i].path;
    }
}

// The content type decides before the body is looked at: an answer without one, or with an empty
// one, is refused although its body is the JSON asked for. Media types and their parameter names
// are case-insensitive, so the JSON type in capitals, with or without a charset, is accepted.
TEST(ConnectorTransportAnswers, TheMediaTypeDecidesWhateverItsCase) {
    using quillmere::testing::RawLoopbackServer;
    const struct {
        const char* header;
        std::optional<ConnectorFailure::Kind> expected;
    } rows[] = {
        {"", ConnectorFailure::rejected},
        {"Content-Type: \r\n", ConnectorFailure::rejected},
        {"Content-Type: ;charset=utf-8\r\n", ConnectorFailure::rejected},
        {"Content-Type: application/jsonx\r\n", ConnectorFailure::rejected},
        {"Content-Type: application/json\r\n", std::nullopt},
        {"Content-Type: Application/JSON; Charset=UTF-8\r\n", std::nullopt},
        {"Content-Type: APPLICATION/JSON\r\n", std::nullopt},
        {"Content-Type: application/Json ;charset=utf-8\r\n", std::nullopt},
        {"Content-Type: Application/Problem+JSON\r\n", ConnectorFailure::rejected},
        {"Content-Type: Text/JSON\r\n", ConnectorFailure::rejected},
    };
    ManualClock clock{1000.0, testNow()};
    ConnectorTransport transport{ConnectorOriginPolicy(), HttpTransport::shared(), clock};
    for (const auto& row : rows) {
        const std::string answer = std::string("HTTP/1.1 200 OK\r\n") + row.header +
                                   "Content-Length: 2\r\nConnection: close\r\n\r\n{}";
        RawLoopbackServer server(
            [answer](RawLoopbackServer::Connection& connection) { connection.write(answer); });
        const QString at = QStringLiteral("http://127.0.0.1:%1").arg(server.url(QString()).port());
        const auto outcome = await<QByteArray>([&] {
            return transport.request(at, QStringLiteral("/widget/inbox"), "GET", token43, std::nullopt);
        });
        EXPECT_EQ(outcome.failure, row.expected) << row.header;
        EXPECT_EQ(outcome.value.has_value(), !row.expected) << row.header;
    }
}

TEST_F(Transport, RefusesBeforeTheNetwork) {
    server.get("/widget/inbox", reply(200, "{}"));
    const auto refused = [this](QString at, QString path, std::optional<QString> token) {
        return await<QByteArray>(
                   [=, this] { return transport.request(at, path, "GET", token, std::nullopt); })
            .failure;
    };
    EXPECT_EQ(refused(origin(), QStringLiteral("/widget/other"), token43), ConnectorFailure::invalidOrigin);
    EXPECT_EQ(refused(origin() + "/", QStringLiteral("/widget/inbox"), token43),
              ConnectorFailure::invalidOrigin);
    EXPECT_EQ(refused(origin(), QStringLiteral("/widget/inbox"), QString(42, u'a')),
              ConnectorFailure::invalidCredential);
    ConnectorTransport none(std::nullopt, HttpTransport::shared(), clock);
    EXPECT_EQ(await<QByteArray>([&] {
                  return none.request(origin(), QStringLiteral("/widget/inbox"), "GET", token43,
                                      std::nullopt);
              }).failure,
              ConnectorFailure::invalidOrigin);
    ConnectorCredential expired = linked();
    expired.expires_at = QStringLiteral("2026-01-15T11:00:00.000Z");
    EXPECT_EQ(await<ConnectorInbox>([&] { return transport.inbox(expired); }).failure,
              ConnectorFailure::invalidCredential);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Transport, ClaimValidatesTheCredentialItBuilds) {
    server.post("/widget/claim",
                reply(200, claimBody().replace("0123456789abcdef", "0123456789ABCDEF").toStdString()));
    EXPECT_EQ(await<ConnectorCredential>([this] { return transport.claim(origin(), token43); }).failure,
              ConnectorFailure::invalidCredential);
    LoopbackServer good;
    good.post("/widget/claim", reply(200, claimBody().toStdString()));
    const QString at = QStringLiteral("http://127.0.0.1:%1").arg(good.port());
    const auto claimed = await<ConnectorCredential>([&] { return transport.claim(at, token43); });
    ASSERT_TRUE(claimed.value);
    EXPECT_EQ(claimed.value->origin, at);
    EXPECT_EQ(good.requests().at(0).body,
              "{\"pairing_code\":\"" + token43.toStdString() + "\",\"device_name\":\"Quillmere Zudizur\"}");
    LoopbackServer garbled;
    garbled.post("/widget/claim", reply(200, "<html>"));
    const QString garbledAt = QStringLiteral("http://127.0.0.1:%1").arg(garbled.port());
    EXPECT_TRUE(
        await<ConnectorCredential>([&] { return transport.claim(garbledAt, token43); }).decodingError);
}

TEST_F(Transport, AServerThatStopsMidBodyOrNeverAnswersIsATransportError) {
    server.get("/widget/inbox", [](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
        response.set_content_provider(1000, "application/json",
                                      [](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset > 0)
                                              return false; // drop the connection after the first piece
                                          sink.write("{\"account", 9);
                                          return true;
                                      });
    });
    EXPECT_TRUE(inboxRequest().transportError);

    LoopbackServer silent;
    silent.get("/widget/inbox", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(8600));
        response.set_content("{}", "application/json");
    });
    QElapsedTimer timer;
    timer.start();
    const QString at = QStringLiteral("http://127.0.0.1:%1").arg(silent.port());
    const auto outcome = await<QByteArray>(
        [&] { return transport.request(at, QStringLiteral("/widget/inbox"), "GET", token43, std::nullopt); });
    EXPECT_TRUE(outcome.transportError || outcome.failure);
    EXPECT_FALSE(outcome.value);
    EXPECT_LT(timer.elapsed(), 9500);
}

// A connector service that goes silent, or never finishes its headers, or trickles its answer, is a
// time-out (a transient failure the next poll retries), never a cancellation; only a poll this
// program withdrew is one. The connector's own time-outs (8 s idle, 10 s in all) are asked for and
// then shortened so the test takes about a second per server.
TEST(ConnectorTransportStalls, AStalledServiceIsATimeOutAndOnlyAWithdrawnRequestIsCancelled) {
    using quillmere::testing::RawLoopbackServer;
    ManualClock clock{1000.0, testNow()};
    for (const auto& row : quillmere::testing::stallCases) {
        SCOPED_TRACE(row.what);
        RawLoopbackServer server(row.script, std::chrono::seconds(25));
        quillmere::testing::HurriedTransport http(0.3, row.withdraw ? 20 : 1.5);
        ConnectorTransport transport{ConnectorOriginPolicy(), http, clock};
        const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(server.url(QString()).port());
        CancelToken token;
        if (row.withdraw)
            QTimer::singleShot(200, [token] { token.cancel(); });
        const auto outcome = await<QByteArray>([&] {
            return transport.request(origin, QStringLiteral("/widget/inbox"), "GET", token43, std::nullopt,
                                     token);
        });
        EXPECT_FALSE(outcome.value);
        EXPECT_FALSE(outcome.failure);
        EXPECT_EQ(outcome.cancelled, row.withdraw);
        EXPECT_EQ(outcome.transportCode,
                  row.withdraw ? std::nullopt : std::optional(TransportError::timedOut));
        ASSERT_EQ(http.asked.size(), 1u);
        EXPECT_EQ(http.asked[0],
                  std::pair(ConnectorTransport::idleTimeoutSeconds, ConnectorTransport::totalTimeoutSeconds));
    }
}

// The poll and a revoke overlap on the one transport: the poll's server goes silent and the poll
// times out, while the revoke, whose answer is still arriving, completes. Ending the poll ends
// the poll's connection only.
TEST_F(Transport, APollThatTimesOutLeavesARevokeInFlightAlone) {
    std::atomic<bool> release{false};
    server.get("/widget/inbox", LoopbackServer::silentUntil(release));
    // Headers at once, then the body a byte every 100 ms for a second and a half: never silent for
    // as long as the idle time-out, never done before the poll has timed out.
    server.del("/widget/device", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/json", [](size_t offset, httplib::DataSink& sink) {
            if (offset == 0)
                return sink.write("{", 1);
            if (offset < 16) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return sink.write(" ", 1);
            }
            sink.write("}", 1);
            sink.done();
            return true;
        });
    });
    HurriedTransport hurried(0.5, 20);
    ConnectorTransport overlapping{ConnectorOriginPolicy(), hurried, clock};
    Outcome<QByteArray> poll;
    Outcome<QByteArray> revoke;
    int done = 0;
    const auto run = [&done](Outcome<QByteArray>& outcome, std::function<QCoro::Task<QByteArray>()> call) {
        spawn(QStringLiteral("overlapping call"), [&outcome, &done, call]() -> QCoro::Task<void> {
            try {
                outcome.value = co_await call();
            } catch (const ConnectorFailure& failure) {
                outcome.failure = failure.kind();
            } catch (const TransportError& error) {
                outcome.transportError = true;
                outcome.transportCode = error.code();
            }
            ++done;
        });
    };
    run(poll, [&] {
        return overlapping.request(origin(), QStringLiteral("/widget/inbox"), "GET", token43, std::nullopt);
    });
    run(revoke, [&] {
        return overlapping.request(origin(), QStringLiteral("/widget/device"), "DELETE", token43,
                                   std::nullopt);
    });
    QElapsedTimer timer;
    timer.start();
    while (done < 2 && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    release = true;
    ASSERT_EQ(done, 2);
    EXPECT_EQ(poll.transportCode, TransportError::timedOut);
    EXPECT_FALSE(revoke.transportError)
        << "the revoke failed with " << (revoke.transportCode ? int(*revoke.transportCode) : 0);
    EXPECT_EQ(revoke.value, QByteArray("{") + QByteArray(15, ' ') + QByteArray("}"));
}

namespace {

QCoro::Task<bool> revoked(ConnectorTransport& transport, ConnectorCredential credential) {
    co_await transport.revoke(std::move(credential));
    co_return true;
}

} // namespace

// The status decides before the body: a 401 whose answer the transport refuses (a body far over
// the limit, stated or not; a body sent compressed, even an empty one; framing that leaves the
// body's end in doubt) still says the token is no longer valid, for a poll, a claim and a revoke
// alike. Any other status with such an answer is refused as before: a body over the limit is
// `rejected`, a compressed or badly framed one a transport failure the next poll retries. The
// status is the one the HTTP library reads from the status line, however the blanks around the
// code fall.
TEST_F(Transport, AnAnswerTheTransportRefusesIsClassifiedByItsStatusFirst) {
    using quillmere::testing::RawLoopbackServer;
    const auto chunked = [](size_t size) {
        std::string body;
        for (size_t sent = 0; sent < size; sent += 10000)
            body += "2710\r\n" + std::string(10000, ' ') + "\r\n";
        return body + "0\r\n\r\n";
    };
    const std::string gzip =
        QByteArray::fromHex("1f8b0800000000000203ab56cacf56b22a292a4dad0500905fd4a70b000000").toStdString();
    const std::string sound = "Content-Length: 2\r\n\r\n{}";
    const struct {
        const char* what;
        std::string headersAndBody;
        const char* statusLine = "HTTP/1.1 %1 Status";
    } shapes[] = {
        {"oversized, its length stated", "Content-Length: 150000\r\n\r\n" + std::string(150000, ' ')},
        {"oversized, chunked", "Transfer-Encoding: chunked\r\n\r\n" + chunked(150000)},
        {"compressed and empty", "Content-Encoding: gzip\r\nContent-Length: 0\r\n\r\n"},
        {"compressed",
         "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(gzip.size()) + "\r\n\r\n" + gzip},
        {"compressed by a transfer coding", "Transfer-Encoding: gzip, chunked\r\n\r\n" +
                                                QByteArray::number(qsizetype(gzip.size()), 16).toStdString() +
                                                "\r\n" + gzip + "\r\n0\r\n\r\n"},
        {"two lengths", "Content-Length: 2\r\nContent-Length: 5\r\n\r\nhello"},
        {"sound, two blanks before the code", sound, "HTTP/1.1  %1 Status"},
        {"sound, no blank before the reason", sound, "HTTP/1.1 %1Status"},
        {"sound, a tab before the reason", sound, "HTTP/1.1 %1\tStatus"},
        {"compressed and empty, blanks and a tab around the code",
         "Content-Encoding: gzip\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 \t %1\tStatus"},
    };
    for (const auto& shape : shapes) {
        for (const int status : {401, 500}) {
            SCOPED_TRACE(::testing::Message() << status << ", " << shape.what);
            const std::string answer = QString::fromLatin1(shape.statusLine).arg(status).toStdString() +
                                       "\r\nContent-Type: application/json\r\nConnection: close\r\n" +
                                       shape.headersAndBody;
            RawLoopbackServer server(
                [answer](RawLoopbackServer::Connection& connection) { connection.write(answer); });
            ConnectorCredential c = credential();
            c.origin = QStringLiteral("http://127.0.0.1:%1").arg(server.url(QString()).port());
            const auto poll = await<ConnectorInbox>([&] { return transport.inbox(c); });
            const auto claim = await<ConnectorCredential>([&] { return transport.claim(c.origin, token43); });
            const auto revoke = await<bool>([&] { return revoked(transport, c); });
            const bool rejected = std::string_view(shape.what).starts_with("oversized") ||
                                  std::string_view(shape.what).starts_with("sound");
            const std::optional<ConnectorFailure::Kind> expected =
                status == 401 ? std::optional(ConnectorFailure::unauthorized)
                : rejected    ? std::optional(ConnectorFailure::rejected)
                              : std::nullopt;
            const std::optional<TransportError::Code> transportCode =
                expected ? std::nullopt : std::optional(TransportError::badServerResponse);
            for (const auto& [call, failure, code] :
                 {std::tuple{"poll", poll.failure, poll.transportCode},
                  std::tuple{"claim", claim.failure, claim.transportCode},
                  std::tuple{"revoke", revoke.failure, revoke.transportCode}}) {
                EXPECT_EQ(failure, expected) << call << ": " << (code ? int(*code) : 0);
                EXPECT_EQ(code, transportCode) << call;
            }
            EXPECT_EQ(server.connections(), 3);
        }
    }
}
