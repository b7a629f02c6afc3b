#include "desktop/shell/QuitSignals.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QtGlobal>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quillmere {

namespace {

// The write end of the pipe, read by the handler; set before any handler is installed.
volatile sig_atomic_t signalPipe = -1;
// Whether a quit signal has armed the quit's bound; set by the handler, once per process.
volatile sig_atomic_t boundArmed = 0;

// Async-signal-safe: one write() of the signal's number, errno kept for the interrupted code. The
// first signal also starts the quit's bound here rather than on the main thread, which may be
// blocked anywhere (a read that never returns) and would then never start it: when the bound
// runs out, SIGALRM's default action ends the process.
extern "C" void onQuitSignal(int signo) {
    const int saved = errno;
    if (!boundArmed) {
        boundArmed = 1;
        struct sigaction endsTheProcess = {};
        endsTheProcess.sa_handler = SIG_DFL;
        sigemptyset(&endsTheProcess.sa_mask);
        ::sigaction(SIGALRM, &endsTheProcess, nullptr);
        ::alarm(QuitSignals::quitBoundSeconds);
    }
    const unsigned char number = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe, &number, 1);
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals(std::function<void(int)> quit, QObject* parent)
    : QObject(parent), quit_(std::move(quit)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning().noquote() << "Quit signals not handled: no pipe:" << qt_error_string(errno);
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    signalPipe = pipe_[1];
    boundArmed = 0;
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readSignal(); });

    for (std::size_t i = 0; i < std::size(handled); ++i) {
        struct sigaction current = {};
        if (::sigaction(handled[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = onQuitSignal;
        sigemptyset(&action.sa_mask);
        // The same signal again before the main thread has read the first ends the process.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        replaced_[i] = ::sigaction(handled[i], &action, &previous_[i]) == 0;
    }
}

QuitSignals::~QuitSignals() {
    // Once a quit has begun its alarm stays: what follows the event loop (workers still writing,
    // the application object waiting for its thread pool) is part of the quit, and is bounded too.
    if (!received_)
        for (std::size_t i = 0; i < std::size(handled); ++i)
            if (replaced_[i])
                ::sigaction(handled[i], &previous_[i], nullptr);
    // A handler still running now writes to no descriptor rather than to a reused one.
    signalPipe = -1;
    delete notifier_;
    notifier_ = nullptr;
    for (int& end : pipe_)
        if (end >= 0)
            ::close(end);
}

void QuitSignals::readSignal() {
    unsigned char number = 0;
    ssize_t got = 0;
    int last = 0;
    while ((got = ::read(pipe_[0], &number, 1)) == 1)
        last = number;
    if (last == 0 || received_)
        return;
    received_ = last;
    // From here on a second signal ends the process at once. The bound that ends a quit that
    // hangs already runs: the handler started it.
    for (std::size_t i = 0; i < std::size(handled); ++i)
        if (replaced_[i])
            ::signal(handled[i], SIG_DFL);
    if (quit_)
        quit_(received_);
}

} // namespace quillmere
