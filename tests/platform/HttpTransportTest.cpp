#include "platform/network/HttpTransport.h"
#include "platform/tasks/TaskCancelled.h"
#include "support/LoopbackServer.h"
#include "support/RawLoopbackServer.h"
#include "support/StallingServers.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>

using namespace quillmere;
using quillmere::testing::LoopbackServer;

namespace {

struct Outcome {
    std::optional<HttpResponse> response;
    std::optional<TransportError::Code> transportError;
    bool cancelled = false;
};

QCoro::Task<Outcome> attempt(HttpRequest request, CancelToken token) {
    Outcome outcome;
    try {
        outcome.response = co_await HttpTransport::shared().send(std::move(request), token);
    } catch (const TransportError& error) {
        outcome.transportError = error.code();
    } catch (const TaskCancelled&) {
        outcome.cancelled = true;
    }
    co_return outcome;
}

Outcome run(HttpRequest request, CancelToken token = {}) {
    return QCoro::waitFor(attempt(std::move(request), token));
}

HttpRequest post(const QUrl& url, QByteArray body) {
    HttpRequest request;
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}};
    request.body = std::move(body);
    return request;
}

} // namespace

TEST(HttpTransport, SendsExactlyOnePostAndReturnsStatusAndBody) {
    LoopbackServer server;
    server.post("/classify", LoopbackServer::answer(200, R"({"ok":true})"));
    const QByteArray body = "{\"a\":\"x\\/y\",\"\xC3\xA9\":1}";
    const Outcome outcome = run(post(server.url("/classify"), body));
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->status, 200);
    EXPECT_EQ(outcome.response->body, R"({"ok":true})");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, body.toStdString());
}

TEST(HttpTransport, ErrorStatusesAndRedirectsAreAnswersNotFailures) {
    LoopbackServer server;
    server.post("/fail", LoopbackServer::answer(500, "boom"));
    server.post("/bad", LoopbackServer::answer(400, "{\"error\":\"x\"}"));
    server.post("/gone", LoopbackServer::answer(404, ""));
    server.post("/moved", [](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", "/elsewhere");
    });
    server.post("/elsewhere", LoopbackServer::answer(200, "followed"));
    const Outcome failed = run(post(server.url("/fail"), "{}"));
    ASSERT_TRUE(failed.response);
    EXPECT_EQ(failed.response->status, 500);
    EXPECT_EQ(failed.response->body, "boom");
    for (const auto& [path, status] : {std::pair{"/bad", 400}, std::pair{"/gone", 404}}) {
        const Outcome outcome = run(post(server.url(path), "{}"));
        ASSERT_TRUE(outcome.response) << path;
        EXPECT_EQ(outcome.response->status, status);
    }
    const Outcome moved = run(post(server.url("/moved"), "{}"));
    ASSERT_TRUE(moved.response);
    EXPECT_EQ(moved.response->status, 302);
    EXPECT_EQ(server.requests().size(), 4u);
}

TEST(HttpTransport, DeadlineCoversAStalledBody) {
    LoopbackServer server;
    // Headers arrive at once, then the body stalls; an inactivity timer alone would not notice
    // a server that trickles, so the deadline spans the whole exchange.
    server.post("/stall", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/json", [](size_t offset, httplib::DataSink& sink) {
            if (offset > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                sink.done();
                return true;
            }
            sink.write("{\"partial\":", 11);
            return true;
        });
    });
    HttpRequest request = post(server.url("/stall"), "{}");
    request.timeoutSeconds = 0.3;
    const Outcome outcome = run(request);
    EXPECT_EQ(outcome.transportError, TransportError::timedOut);
}

namespace {

// The peak resident memory of this process since the last reset (kilobytes), reset when asked;
// none where the system keeps no such figure or cannot reset it.
std::optional<long> peakResidentKilobytes(bool reset) {
    if (reset) {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
            return std::nullopt;
    }
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return std::nullopt;
}

} // namespace

// A body over the limit fails as too large, whether its length is announced or not. The server
// here never ends its body on its own (it stops only when the client goes, or after far more than
// the process could hold), so a request that read on would end only at its deadline, as timed
// out. The memory taken meanwhile stays bounded however fast the server writes (the limit, an
// allowance for the header section, and what arrives in a few milliseconds), far below the
// hundreds of megabytes a fast server sends while Qt's network thread reads on unseen.
TEST(HttpTransport, RefusesOversizedBodiesWhileTheyArrive) {
    LoopbackServer server;
    server.post("/big", LoopbackServer::answer(200, std::string(3 * 1024 * 1024, 'x')));
    std::atomic<size_t> streamed{0};
    std::atomic<bool> clientLeft{false};
    server.post("/chunked", [&](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain", [&](size_t, httplib::DataSink& sink) {
            const std::string chunk(64 * 1024, 'y');
            if (!sink.write(chunk.data(), chunk.size())) {
                clientLeft = true;
                return false;
            }
            if ((streamed += chunk.size()) > 8ull * 1024 * 1024 * 1024)
                sink.done();
            return true;
        });
    });
    HttpRequest request = post(server.url("/big"), "{}");
    request.maxResponseBytes = 1024 * 1024;
    request.timeoutSeconds = 60;
    EXPECT_EQ(run(request).transportError, TransportError::dataLengthExceedsMaximum);

    request.url = server.url("/chunked");
    const std::optional<long> before = peakResidentKilobytes(true);
    EXPECT_EQ(run(request).transportError, TransportError::dataLengthExceedsMaximum);
    const std::optional<long> peak = peakResidentKilobytes(false);
    if (before && peak)
        EXPECT_LT(*peak - *before, 128 * 1024)
            << "kilobytes taken while refusing a 1 MB limit; the server sent " << streamed.load() << " bytes";
    // The connection goes with the request: the server's next write finds the client gone.
    for (int i = 0; i < 200 && !clientLeft; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(clientLeft.load()) << "the refused body is still being read";
}

TEST(HttpTransport, CancellationAbortsTheTransfer) {
    LoopbackServer server;
    server.post("/slow", LoopbackServer::answer(200, "late", std::chrono::milliseconds(1500)));
    CancelToken token;
    QTimer::singleShot(100, [token] { token.cancel(); });
    const Outcome outcome = run(post(server.url("/slow"), "{}"), token);
    EXPECT_TRUE(outcome.cancelled);

    CancelToken already;
    already.cancel();
    EXPECT_TRUE(run(post(server.url("/slow"), "{}"), already).cancelled);
}

TEST(HttpTransport, ConnectionFailuresAreTransportErrors) {
    const quillmere::testing::ClosedPort closed;
    const Outcome refused = run(post(closed.url("/x"), "{}"));
    EXPECT_EQ(refused.transportError, TransportError::cannotConnectToHost);

    LoopbackServer server;
    server.post("/drop", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(1000, "text/plain", [](size_t, size_t, httplib::DataSink& sink) {
            sink.write("half", 4);
            return false; // closes the connection mid-body
        });
    });
    const Outcome dropped = run(post(server.url("/drop"), "{}"));
    EXPECT_FALSE(dropped.response);
    EXPECT_TRUE(dropped.transportError);

    EXPECT_EQ(run(post(QUrl("not a url"), "{}")).transportError, TransportError::badURL);
}

// A server that goes silent is a time-out whichever clock notices it first, the idle time-out or
// the whole-exchange deadline; only a request this program withdrew is a cancellation.
TEST(HttpTransport, AStalledOrTricklingServerTimesOutAndOnlyOurOwnCancelIsACancellation) {
    using quillmere::testing::RawLoopbackServer;
    using Script = RawLoopbackServer::Script;
    const Script stallAfterHeaders = quillmere::testing::stallAfterHeaders;
    const Script endlessHeaderLines = quillmere::testing::endlessHeaderLines;
    const Script trickleBody = quillmere::testing::trickleBody;
    const struct {
        const char* what;
        Script script;
        double idle;
        double deadline;
        bool cancelledByUs;
        std::optional<TransportError::Code> expected;
    } rows[] = {
        // The idle time-out ends these (it is far shorter than the deadline).
        {"stall after the headers", stallAfterHeaders, 0.3, 20, false, TransportError::timedOut},
        {"endless header lines", endlessHeaderLines, 0.3, 20, false, TransportError::timedOut},
        // Bytes keep arriving, so only the deadline ends these.
        {"a body that trickles", trickleBody, 0.3, 1, false, TransportError::timedOut},
        {"stall without an idle time-out", stallAfterHeaders, 0, 0.5, false, TransportError::timedOut},
        // Withdrawn by this program while the server stalls.
        {"cancelled during a stall", stallAfterHeaders, 20, 20, true, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RawLoopbackServer server(row.script, std::chrono::seconds(25));
        HttpRequest request = post(server.url("/classify"), "{}");
        request.idleTimeoutSeconds = row.idle;
        request.timeoutSeconds = row.deadline;
        CancelToken token;
        if (row.cancelledByUs)
            QTimer::singleShot(300, [token] { token.cancel(); });
        const Outcome outcome = run(request, token);
        EXPECT_FALSE(outcome.response);
        EXPECT_EQ(outcome.cancelled, row.cancelledByUs);
        EXPECT_EQ(outcome.transportError, row.expected)
            << (outcome.transportError ? int(*outcome.transportError) : 0);
    }
}

// ---------------------------------------------------------------------------------------------
// Hostile servers: the deadline ends the exchange whatever the server keeps sending, and nothing
// of it stays behind to slow or poison the next request.

namespace {

using quillmere::testing::RawLoopbackServer;

// A server that sends `first` once, then `again` until the client leaves or the server stops,
// counting what the client took.
struct EndlessServer {
    EndlessServer(std::string first, std::string again)
        : sent(std::make_shared<std::atomic<long>>(0)),
          server([first, again, sent = sent](RawLoopbackServer::Connection& connection) {
              if (!connection.write(first))
                  return;
              while (connection.write(again))
                  *sent += long(again.size());
          }) {}
    std::shared_ptr<std::atomic<long>> sent;
    RawLoopbackServer server;
};

// A request to the endless server with a short deadline must fail as timed out, soon; after it
// nothing more is read from that server (the network thread does not go on parsing), and requests
// to a sound server made right after, while the endless one keeps offering bytes, succeed.
void expectDeadlineHoldsAndLaterRequestsWork(EndlessServer& hostile, const char* what) {
    SCOPED_TRACE(what);
    HttpRequest request = post(hostile.server.url("/classify"), "{}");
    request.timeoutSeconds = 0.5;
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = run(request);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome.transportError, TransportError::timedOut);
    EXPECT_LT(took, std::chrono::seconds(3));

    // Once the socket buffers between the two are full the server cannot send more, unless the
    // client goes on reading: a parse that outlives the deadline never lets the count stand still.
    bool stopped = false;
    long previous = hostile.sent->load();
    for (int i = 0; i < 50 && !stopped; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long now = hostile.sent->load();
        stopped = now == previous;
        previous = now;
    }
    EXPECT_TRUE(stopped) << "the client still reads from a request that ended";

    LoopbackServer sound;
    sound.post("/classify", LoopbackServer::answer(200, R"({"ok":true})"));
    for (int i = 0; i < 3; ++i) {
        HttpRequest next = post(sound.url("/classify"), "{}");
        next.timeoutSeconds = 3;
        const Outcome later = run(next);
        ASSERT_TRUE(later.response) << "request " << i << " after the hostile server failed: "
                                    << (later.transportError ? int(*later.transportError) : 0);
        EXPECT_EQ(later.response->body, R"({"ok":true})");
    }
}

} // namespace

TEST(HttpTransportHostile, EndlessHeaderLinesDoNotOutliveTheDeadline) {
    EndlessServer hostile("HTTP/1.1 200 OK\r\n", "X-Padding: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n");
    expectDeadlineHoldsAndLaterRequestsWork(hostile, "endless header lines");
}

TEST(HttpTransportHostile, OneEndlessHeaderDoesNotOutliveTheDeadline) {
    EndlessServer hostile("HTTP/1.1 200 OK\r\nX-Padding: ", std::string(4096, 'a'));
    expectDeadlineHoldsAndLaterRequestsWork(hostile, "one endless header");
}

TEST(HttpTransportHostile, EndlessInterimAnswersDoNotOutliveTheDeadline) {
    EndlessServer hostile("", "HTTP/1.1 100 Continue\r\n\r\n");
    expectDeadlineHoldsAndLaterRequestsWork(hostile, "endless 100 Continue");
}

TEST(HttpTransportHostile, CompressedAnswersThatDoNotDecodeAreFailures) {
    // A gzip stream whose body is damaged after its header, and a deflate stream that expands far
    // beyond what was sent.
    QByteArray gzip = QByteArray::fromHex("1f8b0800000000000003");
    gzip += QByteArray(64, '\x7f');
    QByteArray bomb = qCompress(QByteArray(64 * 1024 * 1024, '\0'), 9);
    bomb.remove(0, 4); // qCompress prefixes the length; the rest is a zlib (deflate) stream
    for (const auto& [encoding, body] :
         {std::pair{std::string("gzip"), gzip}, std::pair{std::string("deflate"), bomb}}) {
        const std::string payload = body.toStdString();
        RawLoopbackServer server([encoding, payload](RawLoopbackServer::Connection& connection) {
            connection.write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: " +
                             encoding + "\r\nContent-Length: " + std::to_string(payload.size()) +
                             "\r\nConnection: close\r\n\r\n" + payload);
        });
        HttpRequest request = post(server.url("/classify"), "{}");
        request.timeoutSeconds = 5;
        const Outcome outcome = run(request);
        EXPECT_FALSE(outcome.response) << encoding << " answered " << outcome.response->status << " with "
                                       << outcome.response->body.size() << " bytes";
        EXPECT_EQ(outcome.transportError, TransportError::badServerResponse) << encoding;
    }
}

// ---------------------------------------------------------------------------------------------
// Requests that overlap: ending one of them (its idle time-out, its deadline, its cancellation)
// ends only that request; another one to the same server still gets its answer.

namespace {

QCoro::Task<std::pair<Outcome, Outcome>> overlapping(HttpRequest abandoned, CancelToken token,
                                                     HttpRequest healthy) {
    // Both start at once; the tasks run eagerly up to their first wait.
    QCoro::Task<Outcome> first = attempt(std::move(abandoned), token);
    QCoro::Task<Outcome> second = attempt(std::move(healthy), {});
    Outcome a = co_await std::move(first);
    Outcome b = co_await std::move(second);
    co_return std::pair{std::move(a), std::move(b)};
}

} // namespace

TEST(HttpTransport, EndingOneRequestLeavesAnotherToTheSameServerAlone) {
    const struct {
        const char* what;
        double idle;
        double deadline;
        bool cancelledByUs;
    } rows[] = {
        {"idle time-out", 0.4, 20, false},
        {"deadline", 0, 0.4, false},
        {"cancellation", 0, 20, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        LoopbackServer server;
        std::atomic<bool> release{false};
        server.post("/stall", LoopbackServer::silentUntil(release));
        // The healthy answer's headers and first bytes come at once, the rest 1.5 s later.
        server.post("/slow", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                "application/json", [](size_t offset, httplib::DataSink& sink) {
                    if (offset == 0) {
                        sink.write("{\"ok\":", 6);
                        return true;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                    sink.write("true}", 5);
                    sink.done();
                    return true;
                });
        });
        HttpRequest stalled = post(server.url("/stall"), "{}");
        stalled.idleTimeoutSeconds = row.idle;
        stalled.timeoutSeconds = row.deadline;
        HttpRequest slow = post(server.url("/slow"), "{}");
        slow.idleTimeoutSeconds = 10;
        slow.timeoutSeconds = 10;
        CancelToken token;
        if (row.cancelledByUs)
            QTimer::singleShot(400, [token] { token.cancel(); });
        const auto [ended, answered] = QCoro::waitFor(overlapping(stalled, token, slow));
        release = true;
        EXPECT_FALSE(ended.response);
        EXPECT_EQ(ended.cancelled, row.cancelledByUs);
        if (!row.cancelledByUs)
            EXPECT_EQ(ended.transportError, TransportError::timedOut);
        if (!answered.response) {
            ADD_FAILURE() << "the healthy request failed with "
                          << (answered.transportError ? int(*answered.transportError) : 0);
            continue;
        }
        EXPECT_EQ(answered.response->status, 200);
        EXPECT_EQ(answered.response->body, R"({"ok":true})");
        // Each request went out once: none was sent again after its connection was cut.
        int slowRequests = 0;
        for (const auto& recorded : server.requests())
            slowRequests += recorded.path == "/slow";
        EXPECT_EQ(slowRequests, 1);
    }
}
