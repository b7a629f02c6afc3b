#pragma once

// One request on libcurl: its own easy handle and connection (never reused, never shared), the
// answer's header section and body as they arrive, and the bounds of the exchange: the body limit
// (the byte past it is refused), a bound on the header sections' bytes (interim answers included),
// the whole-exchange deadline (a precise timer, never early) and the idle time-out (a timer of our
// own; body bytes and bytes sent count as activity, header bytes do not, so a header section that
// never ends is bounded in time as well as in size).

#include "platform/network/HttpTransport.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <curl/curl.h>
#include <memory>

namespace quillmere {

class CurlMulti;

class CurlTransfer final : public QObject {
    Q_OBJECT
public:
    // How the exchange ended: as the library finished it, or early for a reason of ours.
    enum class Ending {
        running,
        library,
        deadline,
        idle,
        cancelled,
        tooLarge,
        headersTooLarge,
        encoded,
        malformed
    };

    // The most header bytes (every header section of the answer, trailers included) accepted.
    static constexpr qint64 maximumHeaderBytes = 256 * 1024;

    CurlTransfer(CurlMulti& multi, const HttpRequest& request);
    ~CurlTransfer() override;

    // Hands the request to the library and starts the clocks; false when the library refused it.
    bool start();
    // Ends the exchange early: the request is removed from the library, which closes its
    // connection at once. Nothing once it has ended.
    void end(Ending why);
    // The library finished the exchange with `result` (the handle is already removed).
    void finish(CURLcode result);

    bool hasEnded() const { return ending_ != Ending::running; }
    Ending ending() const { return ending_; }
    CURLcode result() const { return result_; }
    // The status of the last header section that arrived (an interim one too); 0 before any.
    int status() const { return status_; }
    // Whether the final answer's header section has ended.
    bool headersArrived() const { return headersDone_; }
    QByteArray takeBody() { return std::move(body_); }
    const QByteArray& contentType() const { return contentType_; }
    // The operating system's error behind a failed receive or connect (0 when the library itself
    // refused what it received), and the library's own words.
    long systemError() const;
    QString detail() const { return QString::fromUtf8(errorText_); }

    static CurlTransfer* of(CURL* easy);
    // A time-out of `seconds` as the clocks count it: none (zero) for a value that is not positive
    // or not a number, and at most a century for a larger one.
    static std::chrono::steady_clock::duration onTheClock(double seconds);
    // The proxy a request to `url` goes through, empty for none: the environment's https_proxy
    // or HTTPS_PROXY for https (else its http_proxy), its http_proxy for http, else its all_proxy
    // or ALL_PROXY; never one for this machine itself (localhost, 127.0.0.0/8, ::1, those in
    // IPv4-in-IPv6 form, 0.0.0.0 and ::), judged on the host the library reads from the URL and
    // connects to. Hosts that no_proxy or NO_PROXY lists are reached directly all the same.
    static QByteArray proxyFor(const QUrl& url);

    struct UrlRelease {
        void operator()(CURLU* url) const { curl_url_cleanup(url); }
    };
    using LibraryUrl = std::unique_ptr<CURLU, UrlRelease>;

signals:
    void ended();

private:
    static QByteArray proxyFor(const QString& scheme, const QByteArray& host);
    void configure(const HttpRequest& request);
    void setCallbacks();
    void setMethodAndBody(const HttpRequest& request);
    void setHeaders(const HttpRequest& request);
    void startClocks(const HttpRequest& request);
    void onDeadline();
    void onIdle();
    void noteActivity();
    void conclude(Ending why);
    size_t refuse(Ending why);

    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
    size_t headerLine(const QByteArray& line);
    void noteTransferCodings(const QByteArray& value);
    void noteStatedLength(const QByteArray& value);
    size_t endOfHeaderSection();

    CurlMulti& multi_;
    // The URL as the library read it; it lives as long as the handle that uses it.
    LibraryUrl url_;
    CURL* easy_;
    curl_slist* headers_ = nullptr;
    bool attached_ = false;
    Ending ending_ = Ending::running;
    // Why one of our callbacks refused what arrived; the library then ends with a write error.
    Ending refusal_ = Ending::running;
    CURLcode result_ = CURLE_OK;
    char errorText_[CURL_ERROR_SIZE] = {};

    qint64 limit_;
    QByteArray body_;
    qint64 headerBytes_ = 0;
    // The header section being read: its status, content type, and the lengths it states.
    int status_ = 0;
    bool sectionStarts_ = true;
    bool headersDone_ = false;
    bool encoded_ = false;
    bool lengthsConflict_ = false;
    bool contentTypeSeen_ = false;
    QByteArray contentType_;
    QByteArray statedLength_;

    std::chrono::steady_clock::time_point deadlineAt_;
    QTimer deadline_;
    std::chrono::steady_clock::duration idleLimit_{};
    std::chrono::steady_clock::time_point lastActivity_;
    curl_off_t uploaded_ = 0;
    QTimer idle_;
};

} // namespace quillmere
