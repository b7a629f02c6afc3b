#include "platform/accessibility/Error.h"

#include <array>
#include <utility>

namespace quillmere::ax {

namespace {

constexpr std::array<std::pair<Error, const char*>, 10> kNames{{
    {Error::success, "success"},
    {Error::failure, "failure"},
    {Error::illegalArgument, "illegalArgument"},
    {Error::invalidUIElement, "invalidUIElement"},
    {Error::cannotComplete, "cannotComplete"},
    {Error::attributeUnsupported, "attributeUnsupported"},
    {Error::actionUnsupported, "actionUnsupported"},
    {Error::noValue, "noValue"},
    {Error::apiDisabled, "apiDisabled"},
    {Error::notImplemented, "notImplemented"},
}};

} // namespace

QString errorName(Error error) {
    for (const auto& [code, name] : kNames)
        if (code == error)
            return QString::fromLatin1(name);
    return QStringLiteral("unknown");
}

std::optional<Error> errorNamed(const QString& name) {
    for (const auto& [code, text] : kNames)
        if (name == QLatin1String(text))
            return code;
    return std::nullopt;
}

} // namespace quillmere::ax
