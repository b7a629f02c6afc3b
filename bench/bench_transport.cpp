// The HTTP transport against a loopback server in a process of its own: what one request costs,
// how long fifty requests made at once take together, and the threads and descriptors this
// process holds while they run (the counters "threads" and "descriptors" are the most seen, the
// "_before" ones what the process held before the requests started).

#include "bench/BenchmarkMain.h"
#include "platform/network/HttpTransport.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quillmere;

namespace {

int serverPort = 0;

// Reads one request (its headers and the body they announce) and answers it at once.
void answer(int fd) {
    std::string request;
    char buffer[4096];
    size_t wanted = std::string::npos;
    while (request.size() < wanted) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, size_t(n));
        const size_t headersEnd = request.find("\r\n\r\n");
        if (wanted == std::string::npos && headersEnd != std::string::npos) {
            const size_t length = request.find("Content-Length: ");
            wanted = headersEnd + 4 + (length < headersEnd ? std::stoul(request.substr(length + 16)) : 0);
        }
    }
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
                              "Connection: close\r\n\r\n{\"ok\":true}";
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

// The server of the child process: a listener with a deep backlog (fifty connections arrive at
// once) and a thread per connection.
[[noreturn]] void serve(int listener) {
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd >= 0)
            std::thread(answer, fd).detach();
    }
}

// Starts the server in a child process and notes its port; the child ends with this process.
pid_t startServer() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1024) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    serverPort = ntohs(address.sin_port);
    const pid_t child = ::fork();
    if (child == 0)
        serve(listener);
    ::close(listener);
    return child;
}

int entries(const QString& folder) {
    return int(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

struct Held {
    int threads = 0;
    int descriptors = 0;
    void sample() {
        threads = std::max(threads, entries(QStringLiteral("/proc/self/task")));
        descriptors = std::max(descriptors, entries(QStringLiteral("/proc/self/fd")));
    }
};

HttpRequest request() {
    HttpRequest request;
    request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/classify").arg(serverPort));
    request.headers = {{"Content-Type", "application/json"}};
    request.body = R"({"messages":[]})";
    request.timeoutSeconds = 30;
    return request;
}

QCoro::Task<bool> answered() {
    try {
        const HttpResponse response = co_await HttpTransport::shared().send(request());
        co_return response.status == 200;
    } catch (const std::exception&) {
        co_return false;
    }
}

QCoro::Task<int> allAnswered(int count, Held& held) {
    std::vector<QCoro::Task<bool>> started;
    for (int i = 0; i < count; ++i)
        started.push_back(answered());
    held.sample();
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&held] { held.sample(); });
    sampler.start(1);
    int ok = 0;
    for (QCoro::Task<bool>& task : started)
        ok += co_await std::move(task) ? 1 : 0;
    co_return ok;
}

void report(benchmark::State& state, const Held& before, const Held& during, int failures) {
    state.counters["threads_before"] = before.threads;
    state.counters["descriptors_before"] = before.descriptors;
    state.counters["threads"] = during.threads;
    state.counters["descriptors"] = during.descriptors;
    state.counters["failures"] = failures;
}

void oneRequest(benchmark::State& state) {
    Held before;
    before.sample();
    Held during;
    int failures = 0;
    for (auto _ : state) {
        failures += QCoro::waitFor(answered()) ? 0 : 1;
        during.sample();
    }
    report(state, before, during, failures);
}
BENCHMARK(oneRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

void fiftyAtOnce(benchmark::State& state) {
    Held before;
    before.sample();
    Held during;
    int failures = 0;
    for (auto _ : state)
        failures += 50 - QCoro::waitFor(allAnswered(50, during));
    report(state, before, during, failures);
}
BENCHMARK(fiftyAtOnce)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    const pid_t server = startServer();
    if (server <= 0 || serverPort <= 0)
        return 1;
    const int status = runBenchmarksWith<QCoreApplication>(argc, argv);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    return status;
}
