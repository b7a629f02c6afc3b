#include "platform/network/CurlTransfer.h"

#include "platform/network/CurlMulti.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <span>

namespace quillmere {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds until `duration` has passed, rounded up so that a timer never fires before it.
int millisecondsCovering(Clock::duration duration) {
    const double milliseconds = std::chrono::duration<double, std::milli>(duration).count();
    return int(std::clamp(std::ceil(milliseconds), 0.0, 24.0 * 3600 * 1000));
}

// The cookies of the requests that keep them (in memory only, never read from or written to a
// file), shared by every such request; ephemeral requests have no cookie engine at all.
CURLSH* cookieShare() {
    static CURLSH* share = [] {
        CURLSH* created = curl_share_init();
        curl_share_setopt(created, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        return created;
    }();
    return share;
}

// This machine itself, as the library reads a URL's host: "localhost" or a name under it, an
// address in 127.0.0.0/8, ::1, an IPv4 address in IPv6 form (::ffff:…) of one of those, or the
// unspecified address (0.0.0.0 or ::), which a connection reaches this machine through. A name
// with a trailing dot is the same name to a resolver, so the dot counts for nothing here.
bool isThisMachine(QByteArray host) {
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    if (host.endsWith('.'))
        host.chop(1);
    host = host.toLower();
    if (host == "localhost" || host.endsWith(".localhost"))
        return true;
    const auto isLocalIPv4 = [](const in_addr& address) {
        const quint32 value = ntohl(address.s_addr);
        return (value >> 24) == 127 || value == INADDR_ANY;
    };
    in_addr v4{};
    if (::inet_pton(AF_INET, host.constData(), &v4) == 1)
        return isLocalIPv4(v4);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.constData(), &v6) != 1)
        return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6))
        return true;
    if (!IN6_IS_ADDR_V4MAPPED(&v6))
        return false;
    std::memcpy(&v4.s_addr, v6.s6_addr + 12, sizeof v4.s_addr);
    return isLocalIPv4(v4);
}

// The host the library reads from `url`, as it will connect to it (empty when it reads none).
QByteArray hostOf(CURLU* url) {
    char* host = nullptr;
    if (!url || curl_url_get(url, CURLUPART_HOST, &host, 0) != CURLUE_OK || !host)
        return {};
    const QByteArray copy(host);
    curl_free(host);
    return copy;
}

// `url` as the library reads it; null when the library refuses it.
CurlTransfer::LibraryUrl libraryUrl(const QUrl& url) {
    CurlTransfer::LibraryUrl parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.toEncoded().constData(), 0) != CURLUE_OK)
        return {};
    return parsed;
}

bool hasHeader(const HttpRequest& request, const QByteArray& name) {
    return std::any_of(request.headers.begin(), request.headers.end(), [&name](const auto& header) {
        return header.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

// A larger value (infinity included) cannot be held by the clock's type, and a century is in
// effect no bound at all.
std::chrono::steady_clock::duration CurlTransfer::onTheClock(double seconds) {
    constexpr double century = 100 * 365.25 * 24 * 3600;
    if (!(seconds > 0))
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::min(seconds, century)));
}

CurlTransfer::CurlTransfer(CurlMulti& multi, const HttpRequest& request)
    : multi_(multi), easy_(curl_easy_init()), limit_(std::max<qint64>(0, request.maxResponseBytes)) {
    configure(request);
    startClocks(request);
}

CurlTransfer::~CurlTransfer() {
    if (attached_)
        multi_.remove(easy_);
    curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
}

CurlTransfer* CurlTransfer::of(CURL* easy) {
    char* self = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &self);
    return reinterpret_cast<CurlTransfer*>(self);
}

void CurlTransfer::configure(const HttpRequest& request) {
    curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    // The URL is handed over as the library has read it, so the host the proxy is decided on is
    // the one it connects to; one it cannot read fails as a bad URL.
    url_ = libraryUrl(request.url);
    if (url_)
        curl_easy_setopt(easy_, CURLOPT_CURLU, url_.get());
    else
        curl_easy_setopt(easy_, CURLOPT_URL, request.url.toEncoded().constData());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    // A request ended during a name lookup leaves the lookup's thread to finish on its own
    // rather than waiting for it on this thread.
    curl_easy_setopt(easy_, CURLOPT_QUICK_EXIT, 1L);
    // A connection of its own, closed when the request ends: nothing of one exchange can reach
    // another. No netrc, alternative-service or HSTS file is read or written (the last two are
    // off unless asked for), and a proxy's own answer to CONNECT is not taken for the server's.
    curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy_, CURLOPT_NETRC, long(CURL_NETRC_IGNORED));
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy_, CURLOPT_PROXY, proxyFor(request.url.scheme(), hostOf(url_.get())).constData());
    if (!request.ephemeral) {
        curl_easy_setopt(easy_, CURLOPT_SHARE, cookieShare());
        curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
    }
    setCallbacks();
    setMethodAndBody(request);
    setHeaders(request);
}

// The proxy is named here rather than left to the library, so that this machine is never reached
// through one; the hosts no_proxy (or NO_PROXY) lists are still reached directly by the library.
QByteArray CurlTransfer::proxyFor(const QUrl& url) {
    return proxyFor(url.scheme(), hostOf(libraryUrl(url).get()));
}

// The variables are read by the library's names and in its order: the scheme's own in lower case,
// then in capitals, then all_proxy and ALL_PROXY; one set to nothing counts as not set. HTTP_PROXY
// is never read: a CGI program finds a request's "Proxy:" header under that name. https, for which
// the library reads no http_proxy, still falls back to it before all_proxy, as it always has here.
QByteArray CurlTransfer::proxyFor(const QString& scheme, const QByteArray& host) {
    if (host.isEmpty() || isThisMachine(host))
        return {};
    static constexpr const char* secureNames[] = {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy",
                                                  "ALL_PROXY"};
    static constexpr const char* plainNames[] = {"http_proxy", "all_proxy", "ALL_PROXY"};
    const bool secure = scheme.compare(u"https", Qt::CaseInsensitive) == 0;
    for (const char* name :
         secure ? std::span<const char* const>(secureNames) : std::span<const char* const>(plainNames)) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

void CurlTransfer::setCallbacks() {
    // Only a stated length is refused by the library; the body callback counts what arrives.
    if (limit_ > 0)
        curl_easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limit_));
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
}

void CurlTransfer::setMethodAndBody(const HttpRequest& request) {
    const QByteArray& method = request.method;
    if (method == "GET" && request.body.isEmpty()) {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
        return;
    }
    if (method == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
        return;
    }
    if (!request.body.isEmpty() || method == "POST" || method == "PUT" || method == "PATCH") {
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
        curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, request.body.constData());
    }
    if (method != "POST")
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.constData());
}

void CurlTransfer::setHeaders(const HttpRequest& request) {
    // Answers are asked for uncompressed, and no transfer coding but chunked is offered: one sent
    // compressed anyway, by a content encoding or a transfer coding, is refused as its header
    // section ends, before the library decodes any of it. The body goes at once, without waiting
    // for a "100 Continue", and is sent with no content type the caller did not give.
    QList<QByteArray> lines;
    if (!hasHeader(request, "Accept-Encoding"))
        lines.append("Accept-Encoding: identity");
    lines.append("Expect:");
    if (!hasHeader(request, "Content-Type"))
        lines.append("Content-Type:");
    for (const auto& [name, value] : request.headers)
        // "Name;" is how the library is told to send a header with an empty value.
        lines.append(value.isEmpty() ? name + ';' : name + ": " + value);
    for (const QByteArray& line : lines)
        headers_ = curl_slist_append(headers_, line.constData());
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
}

void CurlTransfer::startClocks(const HttpRequest& request) {
    const Clock::time_point now = Clock::now();
    deadlineAt_ = now + onTheClock(request.timeoutSeconds);
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &CurlTransfer::onDeadline);
    idleLimit_ = onTheClock(request.idleTimeoutSeconds);
    if (idleLimit_ > Clock::duration::zero()) {
        lastActivity_ = now;
        idle_.setSingleShot(true);
        idle_.setTimerType(Qt::PreciseTimer);
        connect(&idle_, &QTimer::timeout, this, &CurlTransfer::onIdle);
    }
}

bool CurlTransfer::start() {
    deadline_.start(millisecondsCovering(deadlineAt_ - Clock::now()));
    if (idleLimit_ > Clock::duration::zero())
        idle_.start(millisecondsCovering(idleLimit_));
    attached_ = multi_.add(easy_);
    return attached_;
}

// Timers may fire a little early; the deadline is checked against the clock and the timer set
// again for what remains, so the exchange never ends before its time.
void CurlTransfer::onDeadline() {
    const Clock::time_point now = Clock::now();
    if (now < deadlineAt_) {
        deadline_.start(std::max(1, millisecondsCovering(deadlineAt_ - now)));
        return;
    }
    end(Ending::deadline);
}

void CurlTransfer::onIdle() {
    const Clock::duration silent = Clock::now() - lastActivity_;
    if (silent < idleLimit_) {
        idle_.start(std::max(1, millisecondsCovering(idleLimit_ - silent)));
        return;
    }
    end(Ending::idle);
}

void CurlTransfer::noteActivity() {
    if (idleLimit_ > Clock::duration::zero())
        lastActivity_ = Clock::now();
}

void CurlTransfer::end(Ending why) {
    if (hasEnded())
        return;
    if (attached_) {
        attached_ = false;
        multi_.remove(easy_);
    }
    conclude(why);
}

void CurlTransfer::finish(CURLcode result) {
    attached_ = false;
    result_ = result;
    conclude(result == CURLE_WRITE_ERROR && refusal_ != Ending::running ? refusal_ : Ending::library);
}

void CurlTransfer::conclude(Ending why) {
    if (hasEnded())
        return;
    ending_ = why;
    deadline_.stop();
    idle_.stop();
    emit ended();
}

long CurlTransfer::systemError() const {
    long error = 0;
    curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &error);
    return error;
}

size_t CurlTransfer::refuse(Ending why) {
    refusal_ = why;
    return 0; // anything but the count given ends the transfer
}

size_t CurlTransfer::onBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    const size_t bytes = size * count;
    if (qint64(transfer->body_.size()) + qint64(bytes) > transfer->limit_)
        return transfer->refuse(Ending::tooLarge);
    transfer->body_.append(data, qsizetype(bytes));
    transfer->noteActivity();
    return bytes;
}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    const size_t bytes = size * count;
    transfer->headerBytes_ += qint64(bytes);
    if (transfer->headerBytes_ > maximumHeaderBytes)
        return transfer->refuse(Ending::headersTooLarge);
    return transfer->headerLine(QByteArray::fromRawData(data, qsizetype(bytes)));
}

int CurlTransfer::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    if (uploaded > transfer->uploaded_) {
        transfer->uploaded_ = uploaded;
        transfer->noteActivity();
    }
    return 0;
}

// One line of a header section: the status line starts a section (an interim answer's, then the
// final one's), a blank line ends it. Lines after the final section (a chunked body's trailers)
// only count against the bound.
size_t CurlTransfer::headerLine(const QByteArray& line) {
    const size_t bytes = size_t(line.size());
    const QByteArray text = line.trimmed();
    if (headersDone_)
        return bytes;
    if (text.isEmpty())
        return endOfHeaderSection() == 0 ? 0 : bytes;
    if (sectionStarts_) {
        // The first line of a section is its status line; its status is taken as the library read
        // it (however the blanks around the code fall), so that what is judged here is what the
        // library goes on to act upon.
        sectionStarts_ = false;
        long code = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
        status_ = int(code);
        encoded_ = lengthsConflict_ = contentTypeSeen_ = false;
        contentType_.clear();
        statedLength_.clear();
        return bytes;
    }
    const qsizetype colon = text.indexOf(':');
    const QByteArray name = text.left(colon).trimmed().toLower();
    const QByteArray value = colon < 0 ? QByteArray() : text.mid(colon + 1).trimmed();
    if (name == "content-encoding" && !value.isEmpty() && value.toLower() != "identity")
        encoded_ = true;
    else if (name == "transfer-encoding")
        noteTransferCodings(value);
    else if (name == "content-length")
        noteStatedLength(value);
    else if (name == "content-type") {
        contentType_ = contentTypeSeen_ ? contentType_ + ", " + value : value;
        contentTypeSeen_ = true;
    }
    return bytes;
}

// A transfer coding other than chunked (gzip, deflate, compress) was never offered, and the
// library would decode it: the answer counts as compressed.
void CurlTransfer::noteTransferCodings(const QByteArray& value) {
    for (const QByteArray& part : value.split(',')) {
        const QByteArray coding = part.trimmed().toLower();
        if (!coding.isEmpty() && coding != "chunked" && coding != "identity")
            encoded_ = true;
    }
}

// Every length an answer states must be the same one: two different ones leave the body's end
// for the reader to guess.
void CurlTransfer::noteStatedLength(const QByteArray& value) {
    for (const QByteArray& part : value.split(',')) {
        const QByteArray length = part.trimmed();
        if (statedLength_.isEmpty())
            statedLength_ = length;
        else if (length != statedLength_)
            lengthsConflict_ = true;
    }
}

// 1 when the section is accepted, 0 when refused.
size_t CurlTransfer::endOfHeaderSection() {
    if (status_ >= 100 && status_ < 200) {
        sectionStarts_ = true;
        return 1; // an interim answer; the final one follows
    }
    headersDone_ = true;
    if (encoded_)
        return refuse(Ending::encoded);
    if (lengthsConflict_)
        return refuse(Ending::malformed);
    return 1;
}

} // namespace quillmere
