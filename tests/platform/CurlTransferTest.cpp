#include "platform/network/CurlTransfer.h"

#include <gtest/gtest.h>

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

// The proxies named in the environment, as the rest of this desktop reads them: https falls back
// to http_proxy, ALL_PROXY and the capitalised names count for nothing, and this machine itself
// is never reached through a proxy.
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
    const EnvironmentValue all("ALL_PROXY", QByteArray("http://everything:3"));
    const EnvironmentValue allLower("all_proxy", QByteArray("http://everything:3"));
    const EnvironmentValue capitalSecure("HTTPS_PROXY", QByteArray("http://capital:4"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const EnvironmentValue http("http_proxy", row.http);
        const EnvironmentValue https("https_proxy", row.https);
        EXPECT_EQ(CurlTransfer::proxyFor(QUrl(QString::fromLatin1(row.url))), row.expected);
    }
}
