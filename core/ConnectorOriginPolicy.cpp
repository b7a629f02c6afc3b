#include "core/ConnectorOriginPolicy.h"

#include <QList>

#include <algorithm>
#include <utility>

namespace quillmere {

namespace {

constexpr qsizetype maximumHostLength = 253;
constexpr qsizetype maximumLabelLength = 63;

bool isLowerAlphanumeric(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9');
}

bool isAsciiDigit(QChar c) {
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

// One DNS label: 1 to 63 of [a-z0-9-], not beginning or ending with "-".
bool isLabel(QStringView label) {
    if (label.isEmpty() || label.size() > maximumLabelLength)
        return false;
    if (label.front() == u'-' || label.back() == u'-')
        return false;
    return std::all_of(label.begin(), label.end(),
                       [](QChar c) { return isLowerAlphanumeric(c) || c == u'-'; });
}

// A lower-case DNS host name with at least two labels. The last label must hold a letter, which
// keeps address literals ("10.0.0.1") out: a hosted service is named, not numbered.
bool isDNSHost(QStringView host) {
    if (host.isEmpty() || host.size() > maximumHostLength)
        return false;
    const QList<QStringView> labels = host.split(u'.');
    if (labels.size() < 2 || !std::all_of(labels.begin(), labels.end(), isLabel))
        return false;
    const QStringView last = labels.back();
    return !std::all_of(last.begin(), last.end(), isAsciiDigit);
}

// 1024 to 65535 written plainly: ASCII digits, no sign, no leading zero.
bool isUnprivilegedPort(QStringView port) {
    if (port.size() < 4 || port.size() > 5 || port.front() == u'0')
        return false;
    if (!std::all_of(port.begin(), port.end(), isAsciiDigit))
        return false;
    int value = 0;
    for (QChar c : port)
        value = value * 10 + (c.unicode() - u'0');
    return value >= 1024 && value <= 65535;
}

} // namespace

bool ConnectorOriginPolicy::isHostedOrigin(QStringView origin) {
    const QStringView scheme = u"https://";
    return origin.startsWith(scheme) && isDNSHost(origin.mid(scheme.size()));
}

bool ConnectorOriginPolicy::isLocalOrigin(QStringView origin) {
    const QStringView prefix = u"http://127.0.0.1:";
    return origin.startsWith(prefix) && isUnprivilegedPort(origin.mid(prefix.size()));
}

ConnectorOriginPolicy::ConnectorOriginPolicy(std::optional<QString> hostedOrigin)
    : hostedOrigin_(std::move(hostedOrigin)) {
    if (hostedOrigin_ && !isHostedOrigin(*hostedOrigin_))
        throw ConnectorOriginError(ConnectorOriginError::Kind::invalidOrigin);
}

QString ConnectorOriginPolicy::validate(QStringView origin) const {
    const bool accepted = hostedOrigin_ ? origin == *hostedOrigin_ : isLocalOrigin(origin);
    if (!accepted)
        throw ConnectorOriginError(ConnectorOriginError::Kind::invalidOrigin);
    return origin.toString();
}

} // namespace quillmere
