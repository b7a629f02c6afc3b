#pragma once

// Result codes of accessibility calls. Callers in this application treat every code other than
// success as "absent"; the codes exist so the simulated desktop can reproduce each way a host
// refuses a request, and so journals and logs can say which one happened.

#include <QString>
#include <optional>

namespace quillmere::ax {

enum class Error {
    success,
    failure,
    illegalArgument,
    invalidUIElement, // the element is gone (a closed menu, a replaced view)
    cannotComplete,   // the host did not answer in time
    attributeUnsupported,
    actionUnsupported,
    noValue,
    apiDisabled, // accessibility is not trusted for this process
    notImplemented,
};

// The code's name as fixtures and journals spell it ("invalidUIElement").
QString errorName(Error error);
// The code named `name`, or none for an unknown name.
std::optional<Error> errorNamed(const QString& name);

} // namespace quillmere::ax
