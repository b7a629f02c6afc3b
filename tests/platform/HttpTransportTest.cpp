#include "platform/network/HttpTransport.h"
#include "platform/tasks/TaskCancelled.h"
#include "support/LoopbackServer.h"
#include "support/RawLoopbackServer.h"
#include "support/StallingServers.h"

#include <QCoreApplication>
#include <QCoroTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

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

// A body of a few bytes, and one of several megabytes, more than the socket's buffers hold (a
// classify request for a long conversation), which goes out over many turns of the loop.
TEST(HttpTransport, SendsExactlyOnePostAndReturnsStatusAndBody) {
    QByteArray large(6 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char((i * 7919 + i / 4099) & 0xff);
    const QByteArray bodies[] = {"{\"a\":\"x\\/y\",\"\xC3\xA9\":1}", large};
    for (const QByteArray& body : bodies) {
        SCOPED_TRACE(::testing::Message() << body.size() << " bytes");
        LoopbackServer server;
        server.post("/classify", LoopbackServer::answer(200, R"({"ok":true})"));
        HttpRequest request = post(server.url("/classify"), body);
        request.timeoutSeconds = 30;
        const Outcome outcome = run(request);
        ASSERT_TRUE(outcome.response) << (outcome.transportError ? int(*outcome.transportError) : 0);
        EXPECT_EQ(outcome.response->status, 200);
        EXPECT_EQ(outcome.response->body, R"({"ok":true})");
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
        EXPECT_EQ(requests[0].body.size(), size_t(body.size()));
        EXPECT_TRUE(requests[0].body == body.toStdString()) << "the body arrived altered";
    }
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
    if (before && peak) {
        EXPECT_LT(*peak - *before, 128 * 1024)
            << "kilobytes taken while refusing a 1 MB limit; the server sent " << streamed.load() << " bytes";
    }
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
    EXPECT_EQ(run(post(QUrl("ftp://127.0.0.1/x"), "{}")).transportError, TransportError::unsupportedURL);

    // A secure connection to a server that answers in plain text fails its handshake.
    using quillmere::testing::RawLoopbackServer;
    RawLoopbackServer plain([](RawLoopbackServer::Connection& connection) {
        connection.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
    });
    QUrl secure = plain.url("/classify");
    secure.setScheme(QStringLiteral("https"));
    EXPECT_EQ(run(post(secure, "{}")).transportError, TransportError::secureConnectionFailed);
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

// However long the deadline, a header section that never ends is refused once its bytes pass the
// transport's bound: endless lines, one endless line, or endless interim answers alike.
TEST(HttpTransportHostile, EndlessHeaderSectionsEndAtTheirBoundNotAtTheDeadline) {
    const struct {
        const char* what;
        std::string first;
        std::string again;
    } rows[] = {
        {"endless header lines", "HTTP/1.1 200 OK\r\n", "X-Padding: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n"},
        {"one endless header", "HTTP/1.1 200 OK\r\nX-Padding: ", std::string(4096, 'a')},
        {"endless 100 Continue", "", "HTTP/1.1 100 Continue\r\n\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EndlessServer hostile(row.first, row.again);
        HttpRequest request = post(hostile.server.url("/classify"), "{}");
        request.timeoutSeconds = 30;
        const auto started = std::chrono::steady_clock::now();
        const Outcome outcome = run(request);
        EXPECT_EQ(outcome.transportError, TransportError::timedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
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
        if (!row.cancelledByUs) {
            EXPECT_EQ(ended.transportError, TransportError::timedOut);
        }
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

// ---------------------------------------------------------------------------------------------
// Requests are independent: none waits for another's connection set-up or answer, whatever their
// hosts and ports.

namespace {

// A listener on 127.0.0.2 whose backlog is full and which never accepts: a connection to it hangs
// in its set-up until the client gives up. The backlog is filled by connections of its own.
class HangingListener {
public:
    HangingListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = at(0);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 0) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < 4; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in target = at(port_);
            ::connect(filler, reinterpret_cast<const sockaddr*>(&target), sizeof target);
            fillers_.push_back(filler);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~HangingListener() {
        for (const int filler : fillers_)
            ::close(filler);
        if (fd_ >= 0)
            ::close(fd_);
    }
    HangingListener(const HangingListener&) = delete;
    HangingListener& operator=(const HangingListener&) = delete;

    int port() const { return port_; }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.2:%1%2").arg(port_).arg(path));
    }

private:
    static sockaddr_in at(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(0x7f000002);
        address.sin_port = htons(quint16(port));
        return address;
    }
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

struct Timed {
    Outcome outcome;
    double seconds = 0;
};

QCoro::Task<Timed> timedAttempt(HttpRequest request, CancelToken token) {
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome = co_await attempt(std::move(request), token);
    co_return Timed{std::move(outcome),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
}

// Starts `first`, then after `gap` every one of `others` at once; once the others have their
// outcomes `first` is withdrawn. Returns the others' outcomes, then first's.
QCoro::Task<std::vector<Timed>> beside(HttpRequest first, std::vector<HttpRequest> others,
                                       std::chrono::milliseconds gap) {
    CancelToken withdraw;
    QCoro::Task<Timed> leading = timedAttempt(std::move(first), withdraw);
    co_await QCoro::sleepFor(gap);
    std::vector<QCoro::Task<Timed>> started;
    for (HttpRequest& request : others)
        started.push_back(timedAttempt(std::move(request), {}));
    std::vector<Timed> outcomes;
    for (QCoro::Task<Timed>& task : started)
        outcomes.push_back(co_await std::move(task));
    withdraw.cancel();
    outcomes.push_back(co_await std::move(leading));
    co_return outcomes;
}

// Five requests with `deadline` to a sound server on 127.0.0.1, beside a request whose connection
// set-up to 127.0.0.2 on the same port hangs.
std::vector<Timed> besideAHangingSetUp(LoopbackServer& sound, const HangingListener& hanging,
                                       double deadline) {
    sound.post("/classify", LoopbackServer::answer(200, R"({"ok":true})"));
    HttpRequest hung = post(hanging.url("/classify"), "{}");
    hung.timeoutSeconds = 20;
    std::vector<HttpRequest> others;
    for (int i = 0; i < 5; ++i) {
        others.push_back(post(sound.url("/classify"), "{}"));
        others.back().timeoutSeconds = deadline;
    }
    return QCoro::waitFor(beside(hung, others, std::chrono::milliseconds(100)));
}

// The longest time among the first `count` requests, kept in the test's record ("longest_seconds").
double longest(const std::vector<Timed>& outcomes, size_t count) {
    double seconds = 0;
    for (size_t i = 0; i < count; ++i)
        seconds = std::max(seconds, outcomes[i].seconds);
    ::testing::Test::RecordProperty("longest_seconds", QString::number(seconds, 'f', 3).toStdString());
    return seconds;
}

} // namespace

// A hanging set-up on 127.0.0.2 and a sound server on 127.0.0.1, on the same port.
class HttpTransportBesideAHangingSetUp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(hanging.port(), 0);
        ASSERT_GT(sound.port(), 0) << "the same port on 127.0.0.1 is taken";
    }
    const HangingListener hanging;
    LoopbackServer sound{"127.0.0.1", hanging.port()};
};

TEST_F(HttpTransportBesideAHangingSetUp, NoRequestToAnotherHostOnTheSamePortWaits) {
    const std::vector<Timed> outcomes = besideAHangingSetUp(sound, hanging, 10);
    longest(outcomes, outcomes.size() - 1);
    for (size_t i = 0; i + 1 < outcomes.size(); ++i) {
        ASSERT_TRUE(outcomes[i].outcome.response) << i;
        EXPECT_EQ(outcomes[i].outcome.response->body, R"({"ok":true})");
        // Answered at once; waiting for the other set-up took seconds.
        EXPECT_LT(outcomes[i].seconds, 1.0) << i;
    }
    EXPECT_TRUE(outcomes.back().outcome.cancelled);
}

TEST_F(HttpTransportBesideAHangingSetUp, AShortDeadlineIsSentAtOnce) {
    const std::vector<Timed> outcomes = besideAHangingSetUp(sound, hanging, 2);
    for (size_t i = 0; i + 1 < outcomes.size(); ++i)
        EXPECT_FALSE(outcomes[i].outcome.transportError)
            << i << " failed with " << int(*outcomes[i].outcome.transportError);
    // Every one of them reached the server.
    EXPECT_EQ(sound.requests().size(), 5u);
}

TEST(HttpTransportIndependence, ASlowAnswerToOneHostDelaysNoRequestToAnotherOnTheSamePort) {
    LoopbackServer slow("127.0.0.2", 0);
    ASSERT_GT(slow.port(), 0);
    LoopbackServer fast("127.0.0.1", slow.port());
    ASSERT_GT(fast.port(), 0) << "the same port on 127.0.0.1 is taken";
    slow.get("/widget/inbox", LoopbackServer::answer(200, "{}", std::chrono::milliseconds(2500)));
    fast.post("/classify", LoopbackServer::answer(200, R"({"ok":true})"));
    HttpRequest poll;
    poll.method = "GET";
    poll.url = slow.url("/widget/inbox");
    poll.timeoutSeconds = 10;
    std::vector<HttpRequest> others{post(fast.url("/classify"), "{}")};
    const std::vector<Timed> outcomes = QCoro::waitFor(beside(poll, others, std::chrono::milliseconds(100)));
    ASSERT_TRUE(outcomes[0].outcome.response);
    EXPECT_EQ(outcomes[0].outcome.response->body, R"({"ok":true})");
    EXPECT_LT(longest(outcomes, 1), 1.0);
}

// ---------------------------------------------------------------------------------------------
// The whole-exchange deadline is never early.

TEST(HttpTransport, TheDeadlineNeverFiresEarly) {
    std::atomic<bool> release{false};
    LoopbackServer silent;
    silent.post("/classify", LoopbackServer::silentUntil(release));
    double shortest = 60;
    for (int i = 0; i < 10; ++i) {
        HttpRequest request = post(silent.url("/classify"), "{}");
        request.timeoutSeconds = 1;
        const auto started = std::chrono::steady_clock::now();
        const Outcome outcome = run(request);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(outcome.transportError, TransportError::timedOut) << i;
        EXPECT_GE(took, std::chrono::seconds(1))
            << "run " << i << " ended after " << std::chrono::duration<double>(took).count() << " s";
        shortest = std::min(shortest, std::chrono::duration<double>(took).count());
    }
    RecordProperty("shortest_seconds", QString::number(shortest, 'f', 4).toStdString());
    release = true;
}

// ---------------------------------------------------------------------------------------------
// Framing: malformed answers are bad server responses, and the body limit counts body bytes only.

namespace {

Outcome rawAnswer(std::string answer, qint64 limit = 8 * 1024 * 1024) {
    RawLoopbackServer server(
        [answer](RawLoopbackServer::Connection& connection) { connection.write(answer); });
    HttpRequest request = post(server.url("/classify"), "{}");
    request.timeoutSeconds = 5;
    request.maxResponseBytes = limit;
    return run(request);
}

// A chunked answer of `size` body bytes in chunks of 100, with chunk extensions and a trailer,
// so that the framing around the body is several times the body's own size.
std::string chunkedAnswer(size_t size) {
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
                         "Connection: close\r\n\r\n";
    for (size_t sent = 0; sent < size;) {
        const size_t chunk = std::min<size_t>(100, size - sent);
        char line[32];
        std::snprintf(line, sizeof line, "%zx", chunk);
        answer += std::string(line) + ";padding=" + std::string(200, 'p') + "\r\n" + std::string(chunk, 'b') +
                  "\r\n";
        sent += chunk;
    }
    return answer + "0\r\nX-Trailer: " + std::string(300, 't') + "\r\n\r\n";
}

} // namespace

TEST(HttpTransportHostile, MalformedFramingIsABadServerResponse) {
    const struct {
        const char* what;
        std::string answer;
    } rows[] = {
        {"a chunk size that overflows",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
         "ffffffffffffffffff\r\nabc\r\n0\r\n\r\n"},
        {"a chunk size of sixteen digits that overflows",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
         "fffffffffffffff0\r\nabc\r\n0\r\n\r\n"},
        {"conflicting Content-Length headers",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nContent-Length: 5\r\n\r\n"
         "hello"},
        {"conflicting Content-Length values in one header",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 5, 2\r\n\r\nhello"},
        {"an answer that is not HTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome outcome = rawAnswer(row.answer);
        EXPECT_FALSE(outcome.response) << "answered " << outcome.response->status << " with "
                                       << outcome.response->body.size() << " bytes";
        EXPECT_EQ(outcome.transportError, TransportError::badServerResponse)
            << (outcome.transportError ? int(*outcome.transportError) : 0);
    }
}

TEST(HttpTransportHostile, OnlyBodyBytesCountAgainstTheLimit) {
    const Outcome exact = rawAnswer(chunkedAnswer(1000), 1000);
    ASSERT_TRUE(exact.response) << (exact.transportError ? int(*exact.transportError) : 0);
    EXPECT_EQ(exact.response->status, 200);
    EXPECT_EQ(exact.response->body, QByteArray(1000, 'b'));
    EXPECT_EQ(rawAnswer(chunkedAnswer(1001), 1000).transportError, TransportError::dataLengthExceedsMaximum);

    const std::string stated = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ";
    EXPECT_TRUE(rawAnswer(stated + "1000\r\n\r\n" + std::string(1000, 'b'), 1000).response);
    EXPECT_EQ(rawAnswer(stated + "1001\r\n\r\n" + std::string(1001, 'b'), 1000).transportError,
              TransportError::dataLengthExceedsMaximum);
}

// Interim answers come before the answer and are not it: the caller gets the final status, its
// body and its content type.
TEST(HttpTransportHostile, InterimAnswersAreNotTheAnswer) {
    const std::string final = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
                              "Content-Length: 11\r\n\r\n{\"ok\":true}";
    const struct {
        const char* what;
        std::string interim;
    } rows[] = {
        {"100 Continue", "HTTP/1.1 100 Continue\r\n\r\n"},
        {"102 Processing", "HTTP/1.1 102 Processing\r\n\r\n"},
        {"103 Early Hints", "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n"
                            "Content-Type: text/html\r\n\r\n"},
        {"100, then 103", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"},
        // Status lines the library reads though their blanks are not the usual ones.
        {"100 after two blanks", "HTTP/1.1  100  Continue\r\n\r\n"},
        {"103 with no blank before its reason", "HTTP/1.1 103Early Hints\r\nLink: </a>\r\n\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome outcome = rawAnswer(row.interim + final);
        ASSERT_TRUE(outcome.response) << (outcome.transportError ? int(*outcome.transportError) : 0);
        EXPECT_EQ(outcome.response->status, 200);
        EXPECT_EQ(outcome.response->body, R"({"ok":true})");
        EXPECT_EQ(outcome.response->contentType, "application/json; charset=utf-8");
    }
}

// Answers were asked for uncompressed: one compressed anyway is refused, whether by a content
// encoding or by a transfer coding the library would otherwise decode, and even when what it
// carries is sound. Chunked alone, and the identity coding, are no compression.
TEST(HttpTransportHostile, CompressedAnswersAreBadServerResponses) {
    const QByteArray gzip =
        QByteArray::fromHex("1f8b0800000000000203ab56cacf56b22a292a4dad0500905fd4a70b000000");
    QByteArray deflate = qCompress(QByteArray(R"({"ok":true})"), 9);
    deflate.remove(0, 4); // qCompress prefixes the length; the rest is a zlib (deflate) stream
    const auto chunked = [](const QByteArray& body) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx", size_t(body.size()));
        return std::string(size) + "\r\n" + body.toStdString() + "\r\n0\r\n\r\n";
    };
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n";
    const struct {
        const char* what;
        std::string answer;
        bool accepted;
    } rows[] = {
        {"Content-Encoding: gzip",
         head + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(gzip.size()) + "\r\n\r\n" +
             gzip.toStdString(),
         false},
        {"Transfer-Encoding: gzip, chunked",
         head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(gzip), false},
        {"Transfer-Encoding: deflate, chunked",
         head + "Transfer-Encoding: deflate, chunked\r\n\r\n" + chunked(deflate), false},
        {"Transfer-Encoding: gzip", head + "Transfer-Encoding: gzip\r\n\r\n" + gzip.toStdString(), false},
        {"Transfer-Encoding: chunked",
         head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(R"({"ok":true})"), true},
        {"Content-Encoding: identity",
         head + "Content-Encoding: identity\r\nContent-Length: 11\r\n\r\n{\"ok\":true}", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome outcome = rawAnswer(row.answer);
        if (row.accepted) {
            ASSERT_TRUE(outcome.response) << (outcome.transportError ? int(*outcome.transportError) : 0);
            EXPECT_EQ(outcome.response->body, R"({"ok":true})");
            continue;
        }
        EXPECT_FALSE(outcome.response)
            << "answered " << outcome.response->status << " with " << outcome.response->body.toStdString();
        EXPECT_EQ(outcome.transportError, TransportError::badServerResponse)
            << (outcome.transportError ? int(*outcome.transportError) : 0);
    }
}

// A connection of its own, closed when the exchange ends: a server that offers to keep it open
// sees it closed once its answer has been read.
TEST(HttpTransportHostile, TheConnectionIsClosedAfterTheAnswerThoughTheServerWouldKeepIt) {
    for (const char* method : {"POST", "GET"}) {
        SCOPED_TRACE(method);
        auto closed = std::make_shared<std::atomic<int>>(-1);
        RawLoopbackServer server([closed](RawLoopbackServer::Connection& connection) {
            if (connection.write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
                                 "Connection: keep-alive\r\nKeep-Alive: timeout=60, max=100\r\n\r\n"
                                 "{\"ok\":true}"))
                *closed = connection.closedWithin(std::chrono::seconds(5)) ? 1 : 0;
        });
        HttpRequest request = post(server.url("/classify"), std::string_view(method) == "POST" ? "{}" : "");
        request.method = method;
        const Outcome outcome = run(request);
        ASSERT_TRUE(outcome.response) << (outcome.transportError ? int(*outcome.transportError) : 0);
        for (int i = 0; i < 300 && server.finishedConnections() < 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_EQ(closed->load(), 1) << "the connection stayed open after the answer";
        EXPECT_EQ(server.connections(), 1);
    }
}

// A deadline or idle time-out too long for the clock to hold (infinity too) is no bound at all,
// never one already past. A deadline that is no positive number (not a number at all too) has
// passed before the request starts: it times out at once rather than waiting for the answer. An
// idle time-out that is no positive number is none: the answer, which keeps the line silent for a
// while, arrives.
TEST(HttpTransport, ATimeOutTooLongForTheClockIsNoBoundAndOneOfNoPositiveNumberIsNone) {
    const double infinity = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double deadline;
        double idle;
        bool answered = true;
    } rows[] = {
        {1e12, 0},      {infinity, 0},    {std::numeric_limits<double>::max(), 0},
        {60, infinity}, {infinity, 1e12}, {nan, 0, false},
        {0, 0, false},  {-1, 0, false},   {60, nan},
        {60, -1},
    };
    LoopbackServer server;
    server.post("/classify", LoopbackServer::answer(200, R"({"ok":true})", std::chrono::milliseconds(200)));
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "deadline " << row.deadline << " s, idle " << row.idle << " s");
        HttpRequest request = post(server.url("/classify"), "{}");
        request.timeoutSeconds = row.deadline;
        request.idleTimeoutSeconds = row.idle;
        const Outcome outcome = run(request);
        EXPECT_EQ(outcome.transportError,
                  row.answered ? std::nullopt : std::optional(TransportError::timedOut));
        ASSERT_EQ(outcome.response.has_value(), row.answered);
        if (row.answered) {
            EXPECT_EQ(outcome.response->body, R"({"ok":true})");
        }
    }
}

// A header whose name or value holds a line break would reach the wire as two: the request is
// refused before anything is sent.
TEST(HttpTransport, AHeaderThatBreaksTheLineIsRefusedBeforeSending) {
    const std::pair<QByteArray, QByteArray> rows[] = {
        {"X-Note", "a\r\nX-Injected: 1"}, {"X-Note", "a\nX-Injected: 1"},    {"X-Note", "a\rX-Injected: 1"},
        {"X-Note\r\nX-Injected", "1"},    {"X-Note", QByteArray("a\0b", 3)},
    };
    RawLoopbackServer server([](RawLoopbackServer::Connection& connection) {
        connection.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
    });
    for (const auto& header : rows) {
        SCOPED_TRACE(QByteArray(header.first + ": " + header.second).toPercentEncoding(" :").toStdString());
        HttpRequest request = post(server.url("/classify"), "{}");
        request.headers.append(header);
        const Outcome outcome = run(request);
        EXPECT_EQ(outcome.transportError, TransportError::unknown)
            << (outcome.transportError ? int(*outcome.transportError) : 0)
            << (outcome.response ? " answered " + std::to_string(outcome.response->status) : "");
    }
    // A header with no break in it goes out as given.
    HttpRequest plain = post(server.url("/classify"), "{}");
    plain.headers.append(std::pair<QByteArray, QByteArray>("X-Note", "a b"));
    ASSERT_TRUE(run(plain).response);
    const std::vector<std::string> received = server.requests();
    ASSERT_EQ(received.size(), 1u) << "a refused request reached the server";
    EXPECT_NE(received[0].find("\r\nX-Note: a b\r\n"), std::string::npos) << received[0];
}

// Proxies named in the environment never stand between this program and this machine itself,
// however the URL names it: the proxy here logs whatever reaches it and answers 502. A URL that
// names no host is refused before anything is sent, though the library would read one from it.
TEST(HttpTransport, ThisMachineIsReachedDirectlyWhateverTheProxySettings) {
    RawLoopbackServer proxy([](RawLoopbackServer::Connection& connection) {
        connection.write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    });
    const QByteArray proxyUrl =
        QStringLiteral("http://127.0.0.1:%1").arg(proxy.url(QString()).port()).toLatin1();
    const QByteArray savedHttp = qgetenv("http_proxy");
    const QByteArray savedAll = qgetenv("ALL_PROXY");
    qputenv("http_proxy", proxyUrl);
    qputenv("ALL_PROXY", proxyUrl);
    LoopbackServer server;
    server.post("/classify", LoopbackServer::answer(200, R"({"ok":true})"));
    const struct {
        const char* url; // %1 is the server's port
        std::optional<TransportError::Code> expected;
    } rows[] = {
        {"http://127.0.0.1:%1/classify", std::nullopt},
        {"http://localhost:%1/classify", std::nullopt},
        {"http://[::ffff:127.0.0.1]:%1/classify", std::nullopt},
        {"http://0.0.0.0:%1/classify", std::nullopt},
        // The server listens on 127.0.0.1 only, so these cannot connect; nor may they reach the proxy.
        {"http://[::]:%1/classify", TransportError::cannotConnectToHost},
        {"http:/127.0.0.1:%1/classify", TransportError::badURL},
        {"http:///127.0.0.1:%1/classify", TransportError::badURL},
    };
    std::vector<Outcome> outcomes;
    for (const auto& row : rows)
        outcomes.push_back(
            run(post(QUrl(QString::fromLatin1(row.url).arg(server.port())), R"({"secret":1})")));
    savedHttp.isNull() ? qunsetenv("http_proxy") : qputenv("http_proxy", savedHttp);
    savedAll.isNull() ? qunsetenv("ALL_PROXY") : qputenv("ALL_PROXY", savedAll);
    // Where this system has no IPv6, an address in IPv6 form cannot be connected to at all; it
    // still may not reach the proxy.
    const bool ipv6 = [] {
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }();
    int answered = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        SCOPED_TRACE(rows[i].url);
        if (!ipv6 && std::string_view(rows[i].url).find('[') != std::string_view::npos)
            continue;
        EXPECT_EQ(outcomes[i].transportError, rows[i].expected)
            << (outcomes[i].transportError ? int(*outcomes[i].transportError) : 0)
            << (outcomes[i].response ? " answered " + std::to_string(outcomes[i].response->status) : "");
        if (rows[i].expected)
            continue;
        ++answered;
        ASSERT_TRUE(outcomes[i].response);
        EXPECT_EQ(outcomes[i].response->body, R"({"ok":true})");
    }
    EXPECT_EQ(server.requests().size(), size_t(answered));
    EXPECT_GE(answered, 3);
    const std::vector<std::string> logged = proxy.requests();
    EXPECT_TRUE(logged.empty()) << logged.size() << " requests reached the proxy, the first:\n"
                                << (logged.empty() ? std::string() : logged.front());
}

// No file speaks for a request: a netrc naming the server gives it no credentials, and answers
// that announce alternative services or strict transport security leave nothing behind.
TEST(HttpTransport, NoStoredCredentialsAndNoFilesWritten) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QFile netrc(home.filePath(QStringLiteral(".netrc")));
    ASSERT_TRUE(netrc.open(QIODevice::WriteOnly));
    netrc.write("machine 127.0.0.1 login someone password secret\ndefault login anyone password secret\n");
    netrc.close();
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    LoopbackServer server;
    server.post("/classify", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Alt-Svc", "h2=\":443\"; ma=86400");
        response.set_header("Strict-Transport-Security", "max-age=31536000");
        response.set_content(R"({"ok":true})", "application/json");
    });
    for (const bool ephemeral : {true, false}) {
        HttpRequest request = post(server.url("/classify"), "{}");
        request.ephemeral = ephemeral;
        EXPECT_TRUE(run(request).response) << ephemeral;
    }
    qputenv("HOME", savedHome);
    for (const auto& recorded : server.requests())
        EXPECT_EQ(recorded.header("Authorization"), "");
    EXPECT_EQ(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral(".netrc")});
}
