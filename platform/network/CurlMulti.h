#pragma once

// libcurl's multi interface driven from the main thread's event loop: a notifier per socket the
// library wants watched and one precise timer for the library's own time-outs. Transfers are
// added and removed here; removing one that has not finished ends it and closes its connection
// at once, on the calling thread. Inside the library's callbacks nothing is removed: a removal
// asked for then waits until the library has returned.

#include <QObject>
#include <QTimer>

#include <curl/curl.h>

#include <functional>
#include <vector>

namespace quillmere {

class CurlMulti final : public QObject {
public:
    // Told when a transfer has finished on its own, with the library's result; the handle has
    // already been removed.
    using Finished = std::function<void(CURL*, CURLcode)>;

    explicit CurlMulti(Finished finished);
    ~CurlMulti() override;
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    // Whether the library looks names up without blocking its caller.
    static bool resolvesAsynchronously();

    bool add(CURL* easy);
    void remove(CURL* easy);

private:
    struct Watch;

    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* watch);
    static int onTimer(CURLM* multi, long milliseconds, void* self);
    void watch(curl_socket_t socket, int what, Watch* existing);
    void act(curl_socket_t socket, int flags);
    void collectFinished();

    CURLM* multi_;
    Finished finished_;
    QTimer timer_;
    // How deep the library's calls are on the stack, and the removals waiting for it to return.
    int insideLibrary_ = 0;
    std::vector<CURL*> pendingRemovals_;
};

} // namespace quillmere
