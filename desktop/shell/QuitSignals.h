#pragma once

// The signals by which this platform asks a program to end (SIGTERM from a logout or a service
// manager, SIGINT from Ctrl+C, SIGHUP when its terminal goes) become the application's own quit,
// the one its status menu offers, so widgets stop and record their end. The handler writes the
// signal's number into a pipe; the main thread reads it and quits through the event loop. Once a
// quit has begun the signals end the process at once again, and an alarm bounds how long the quit
// may take, to the process's very end: the teardown after the event loop, background work the
// application waits for included. The first signal starts that alarm in the handler itself, so a
// main thread blocked where it never reads the pipe still ends within the bound (killed by
// SIGALRM, the bound's end).

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace quillmere {

class QuitSignals final : public QObject {
    Q_OBJECT
public:
    // The signals turned into a quit. One ignored when the process starts (nohup, a background
    // job) stays ignored.
    static constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP};
    // The longest a quit may take before the process ends anyway.
    static constexpr unsigned quitBoundSeconds = 10;

    // Installs the handlers for the process; one instance at a time. `quit` runs on the main
    // thread with the signal's number, once.
    explicit QuitSignals(std::function<void(int)> quit, QObject* parent = nullptr);
    // Puts back the dispositions it replaced, unless a quit has begun; then the quit's bound stays
    // in force until the process ends.
    ~QuitSignals() override;

    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // Whether the handlers are in place (false when the pipe could not be made).
    bool installed() const { return notifier_ != nullptr; }
    // The signal that began the quit; 0 while none has.
    int received() const { return received_; }

private:
    void readSignal();

    std::function<void(int)> quit_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previous_[std::size(handled)] = {};
    bool replaced_[std::size(handled)] = {};
    int received_ = 0;
};

} // namespace quillmere
