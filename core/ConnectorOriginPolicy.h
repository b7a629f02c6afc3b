#pragma once

// Which connector service origins this build may talk to. The connector sends a device token to
// that origin, so the rule is an exact text form, never a parsed URL: anything a URL parser would
// quietly repair (a trailing "/", user-info, a host name that resolves to the loopback, upper-case
// letters) is refused.

#include <QString>
#include <QStringView>
#include <exception>
#include <optional>

namespace quillmere {

class ConnectorOriginError : public std::exception {
public:
    enum class Kind { invalidOrigin };

    explicit ConnectorOriginError(Kind kind = Kind::invalidOrigin) : kind_(kind) {}
    Kind kind() const { return kind_; }
    const char* what() const noexcept override { return "invalidOrigin"; }

private:
    Kind kind_;
};

class ConnectorOriginPolicy {
public:
    // No hosted origin: the local build, which talks only to a service on this machine. A hosted
    // origin must be exactly "https://" and a lower-case DNS host name, or this throws
    // ConnectorOriginError.
    explicit ConnectorOriginPolicy(std::optional<QString> hostedOrigin = std::nullopt);

    // The accepted origin. A hosted build accepts exactly its hosted origin; a local build exactly
    // "http://127.0.0.1:" and a port from 1024 to 65535. Anything else throws ConnectorOriginError.
    QString validate(QStringView origin) const;

    const std::optional<QString>& hostedOrigin() const { return hostedOrigin_; }

    // "https://" followed by a lower-case DNS host name and nothing else.
    static bool isHostedOrigin(QStringView origin);
    // "http://127.0.0.1:" followed by a port from 1024 to 65535 and nothing else.
    static bool isLocalOrigin(QStringView origin);

    bool operator==(const ConnectorOriginPolicy&) const = default;

private:
    std::optional<QString> hostedOrigin_;
};

} // namespace quillmere
