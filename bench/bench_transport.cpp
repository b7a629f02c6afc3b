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
#include <httplib.h>

#include <benchmark/benchmark.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;

namespace {

int serverPort = 0;

// Starts the server in a child process and returns its port; the child ends with this process.
pid_t startServer() {
    int channel[2];
    if (::pipe(channel) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        httplib::Server server;
        server.set_keep_alive_max_count(1);
        server.new_task_queue = [] { return new httplib::ThreadPool(64); };
        server.Post("/classify", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"ok":true})", "application/json");
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        if (::write(channel[1], &port, sizeof port) != sizeof port)
            ::_exit(1);
        ::close(channel[1]);
        server.listen_after_bind();
        ::_exit(0);
    }
    ::close(channel[1]);
    if (::read(channel[0], &serverPort, sizeof serverPort) != sizeof serverPort)
        serverPort = 0;
    ::close(channel[0]);
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
