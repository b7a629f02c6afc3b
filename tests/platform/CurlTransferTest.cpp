#include "platform/network/CurlTransfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <list>
#include <optional>

using namespace quillmere;

namespace {

// Sets or clears an environment variable for as long as it lives.
class EnvironmentValue {
public:
    EnvironmentValue(const char* name, std::optional<QByteArray> value) : name_(name), saved_(qgetenv(name)) {
        had_ = qEnvironmentVariableIsSet(name);
        value ? qputenv(name, *value) : qunsetenv(name);
    }
    ~EnvironmentValue() { had_ ? qputenv(name_, saved_) : qunsetenv(name_); }
    EnvironmentValue(const EnvironmentValue&) = delete;
    EnvironmentValue& operator=(const EnvironmentValue&) = delete;

private:
    const char* name_;
    QByteArray saved_;
    bool had_ = false;
};

} // namespace

// Every name the environment may give a proxy by; each is cleared unless a row sets it.
const char* const proxyNames[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                  "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};

// The proxies named in the environment, by the HTTP library's names: https falls back to
// http_proxy, and this machine itself is never reached through a proxy.
TEST(CurlTransferProxy, TheEnvironmentNamesTheProxy) {
    const struct {
        std::optional<QByteArray> http;
        std::optional<QByteArray> https;
        const char* url;
        QByteArray expected;
    } rows[] = {
        {"http://proxy:1", std::nullopt, "http://service.test/x", "http://proxy:1"},
        {"http://proxy:1", std::nullopt, "https://service.test/x", "http://proxy:1"},
        {"http://proxy:1", "http://secure:2", "https://service.test/x", "http://secure:2"},
        {"http://proxy:1", "http://secure:2", "HTTPS://service.test/x", "http://secure:2"},
        {std::nullopt, "http://secure:2", "http://service.test/x", ""},
        {std::nullopt, std::nullopt, "https://service.test/x", ""},
        {"http://proxy:1", "http://secure:2", "http://127.0.0.2:8/x", ""},
        {"http://proxy:1", "http://secure:2", "https://localhost/x", ""},
        {"http://proxy:1", "http://secure:2", "http://[::1]:8/x", ""},
        {"http://proxy:1", "http://secure:2", "http://128.0.0.1/x", "http://proxy:1"},
        // This machine however the URL names it, judged as the library reads the host: in
        // IPv4-in-IPv6 form, the unspecified addresses, with a trailing dot, in the short and
        // numeric forms of an IPv4 address, and with no "//" before it.
        {"http://proxy:1", "http://secure:2", "http://[::ffff:127.0.0.1]:8/x", ""},
        {"http://proxy:1", "http://secure:2", "https://[::FFFF:7f00:2]/x", ""},
        {"http://proxy:1", "http://secure:2", "http://0.0.0.0:8/x", ""},
        {"http://proxy:1", "http://secure:2", "http://[::]:8/x", ""},
        {"http://proxy:1", "http://secure:2", "http://[::ffff:0.0.0.0]:8/x", ""},
        {"http://proxy:1", "http://secure:2", "http://localhost.:8/x", ""},
        {"http://proxy:1", "http://secure:2", "http://Service.LOCALHOST/x", ""},
        {"http://proxy:1", "http://secure:2", "http://127.0.0.1.:8/x", ""},
        {"http://proxy:1", "http://secure:2", "http://2130706433/x", ""},
        {"http://proxy:1", "http://secure:2", "http:/127.0.0.1:8/x", ""},
        // Other machines, however close their names or addresses.
        {"http://proxy:1", "http://secure:2", "http://[::ffff:128.0.0.1]/x", "http://proxy:1"},
        {"http://proxy:1", "http://secure:2", "https://[::2]/x", "http://secure:2"},
        {"http://proxy:1", "http://secure:2", "http://localhost.service.test/x", "http://proxy:1"},
        {"http://proxy:1", "http://secure:2", "http://0.0.0.1/x", "http://proxy:1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        std::list<EnvironmentValue> cleared;
        for (const char* name : proxyNames)
            cleared.emplace_back(name, std::nullopt);
        const EnvironmentValue http("http_proxy", row.http);
        const EnvironmentValue https("https_proxy", row.https);
        EXPECT_EQ(CurlTransfer::proxyFor(QUrl(QString::fromLatin1(row.url))).toStdString(),
                  row.expected.toStdString());
    }

    // The names other than the two above: a scheme's name in capitals when the lower-case one is
    // not set (or set to nothing), all_proxy and then ALL_PROXY when no name of the scheme is set,
    // and never HTTP_PROXY, which a CGI program's environment takes from a request's "Proxy:"
    // header.
    const struct {
        const char* set; // name=value, separated by blanks
        const char* scheme;
        std::string expected;
    } named[] = {
        {"HTTPS_PROXY=http://capital:4", "https", "http://capital:4"},
        {"HTTPS_PROXY=http://capital:4 https_proxy=http://secure:2", "https", "http://secure:2"},
        {"https_proxy= HTTPS_PROXY=http://capital:4", "https", "http://capital:4"},
        {"http_proxy=http://proxy:1 HTTPS_PROXY=http://capital:4", "https", "http://capital:4"},
        {"HTTPS_PROXY=http://capital:4", "http", ""},
        {"HTTP_PROXY=http://capital:5", "http", ""},
        {"HTTP_PROXY=http://capital:5", "https", ""},
        {"HTTP_PROXY=http://capital:5 all_proxy=http://everything:3", "http", "http://everything:3"},
        {"ALL_PROXY=http://all:6", "http", "http://all:6"},
        {"ALL_PROXY=http://all:6", "https", "http://all:6"},
        {"ALL_PROXY=http://all:6 all_proxy=http://everything:3", "http", "http://everything:3"},
        {"ALL_PROXY=http://all:6 all_proxy=http://everything:3", "https", "http://everything:3"},
        {"all_proxy=http://everything:3 http_proxy=http://proxy:1", "http", "http://proxy:1"},
        {"ALL_PROXY=http://all:6 http_proxy=http://proxy:1", "https", "http://proxy:1"},
        {"all_proxy=http://everything:3 HTTPS_PROXY=http://capital:4", "https", "http://capital:4"},
    };
    for (const auto& row : named) {
        SCOPED_TRACE(std::string(row.scheme) + " with " + row.set);
        const QList<QByteArray> given = QByteArray(row.set).split(' ');
        std::list<EnvironmentValue> environment;
        for (const char* name : proxyNames) {
            std::optional<QByteArray> value;
            for (const QByteArray& setting : given)
                if (setting.startsWith(QByteArray(name) + '='))
                    value = setting.mid(qstrlen(name) + 1);
            environment.emplace_back(name, value);
        }
        const QUrl url(QString::fromLatin1(row.scheme) + QStringLiteral("://service.test/x"));
        EXPECT_EQ(CurlTransfer::proxyFor(url).toStdString(), row.expected);
    }
}

// A time-out as the clocks count it: a value that is no positive number (not a number at all too)
// is none, and one longer than a century, which the clock's type may not hold (infinity too), is
// a century, in effect no bound.
TEST(CurlTransferClock, ATimeOutIsNoneOrAtMostACentury) {
    using std::chrono::steady_clock;
    const steady_clock::duration none = steady_clock::duration::zero();
    const steady_clock::duration century = std::chrono::hours(36525 * 24);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const struct {
        double seconds;
        steady_clock::duration expected;
    } rows[] = {
        {1.5, std::chrono::milliseconds(1500)},
        {3e9, std::chrono::seconds(3'000'000'000)},
        {0, none},
        {-1, none},
        {-infinity, none},
        {nan, none},
        {-nan, none},
        {36525.0 * 24 * 3600 + 1, century},
        {1e12, century},
        {std::numeric_limits<double>::max(), century},
        {infinity, century},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        EXPECT_EQ(CurlTransfer::onTheClock(row.seconds).count(), row.expected.count());
    }
}
