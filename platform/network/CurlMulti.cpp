#include "platform/network/CurlMulti.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

// The library's global state is set up once, before main() and so before any thread starts; it is
// never torn down, as the transport that uses it lives as long as the process.
const bool libraryReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;

} // namespace

// The notifiers of one socket; the library keeps a pointer to it beside the socket.
struct CurlMulti::Watch {
    QSocketNotifier* read;
    QSocketNotifier* write;
};

CurlMulti::CurlMulti(Finished finished) : multi_(curl_multi_init()), finished_(std::move(finished)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    // No request's exchange shares a connection with another's, not even as a stream of its own.
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, long(CURLPIPE_NOTHING));
}

CurlMulti::~CurlMulti() {
    // Every transfer has gone by now; the notifiers are children of this object.
    curl_multi_cleanup(multi_);
}

bool CurlMulti::resolvesAsynchronously() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return libraryReady && info && (info->features & CURL_VERSION_ASYNCHDNS);
}

bool CurlMulti::add(CURL* easy) {
    return curl_multi_add_handle(multi_, easy) == CURLM_OK;
}

void CurlMulti::remove(CURL* easy) {
    if (insideLibrary_ > 0) {
        pendingRemovals_.push_back(easy);
        return;
    }
    curl_multi_remove_handle(multi_, easy);
}

int CurlMulti::onSocket(CURL*, curl_socket_t socket, int what, void* self, void* watch) {
    static_cast<CurlMulti*>(self)->watch(socket, what, static_cast<Watch*>(watch));
    return 0;
}

// The library's single time-out: -1 for none, otherwise milliseconds from now (0: at once, on the
// next turn of the loop, never from inside this callback).
int CurlMulti::onTimer(CURLM*, long milliseconds, void* self) {
    auto* multi = static_cast<CurlMulti*>(self);
    if (milliseconds < 0)
        multi->timer_.stop();
    else
        multi->timer_.start(int(std::min<long>(milliseconds, 24L * 3600 * 1000)));
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what, Watch* existing) {
    if (what == CURL_POLL_REMOVE) {
        if (!existing)
            return;
        // The socket is about to be closed: its notifiers stop now and go once the loop is back
        // (one of them may be the one whose signal is being handled).
        for (QSocketNotifier* notifier : {existing->read, existing->write}) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
        curl_multi_assign(multi_, socket, nullptr);
        delete existing;
        return;
    }
    Watch* watch = existing;
    if (!watch) {
        watch = new Watch{new QSocketNotifier(qintptr(socket), QSocketNotifier::Read, this),
                          new QSocketNotifier(qintptr(socket), QSocketNotifier::Write, this)};
        connect(watch->read, &QSocketNotifier::activated, this,
                [this, socket] { act(socket, CURL_CSELECT_IN); });
        connect(watch->write, &QSocketNotifier::activated, this,
                [this, socket] { act(socket, CURL_CSELECT_OUT); });
        curl_multi_assign(multi_, socket, watch);
    }
    watch->read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    watch->write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

// Lets the library act on a ready socket or its time-out, then carries out the removals asked
// for meanwhile and reports the transfers that finished.
void CurlMulti::act(curl_socket_t socket, int flags) {
    int running = 0;
    ++insideLibrary_;
    curl_multi_socket_action(multi_, socket, flags, &running);
    --insideLibrary_;
    if (insideLibrary_ == 0) {
        std::vector<CURL*> removals;
        removals.swap(pendingRemovals_);
        for (CURL* easy : removals)
            curl_multi_remove_handle(multi_, easy);
    }
    collectFinished();
}

void CurlMulti::collectFinished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(multi_, easy);
        finished_(easy, result);
    }
}

} // namespace quillmere
