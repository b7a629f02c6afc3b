#pragma once

// Reading one accessibility attribute of a host element as the value the tracker wants: a
// string, an identity, a list of strings, a size or a point; an element's visible label; and
// whether it can be pressed.
//
// Every accessibility error, missing value or value of another type reads as absent (none, an
// empty list or the empty label). None of these throws or logs, and none caches: each call
// reads the live tree.

#include "platform/accessibility/Element.h"
#include "platform/accessibility/Value.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace quillmere {

class AccessibilityReading {
public:
    // A string unchanged; a URL as its absolute text (none when it has none); attributed text as
    // its plain text; anything else none.
    static std::optional<QString> stringFromAccessibilityValue(const ax::Value& value);

    static std::optional<QString> stringAttribute(const QString& attribute, const ax::Element& element);
    // A string unchanged, or a number in its text form ("1" for true, "42").
    static std::optional<QString> identityAttribute(const QString& attribute, const ax::Element& element);
    // A string as a one-item list, a list of strings unchanged, anything else [].
    static QStringList stringValues(const QString& attribute, const ax::Element& element);
    static std::optional<ax::Size> sizeAttribute(const QString& attribute, const ax::Element& element);
    static std::optional<ax::Point> pointAttribute(const QString& attribute, const ax::Element& element);

    // "AXTitle", "AXDescription" and "AXValue" as text, empty and repeated texts dropped (the
    // first kept), joined with one blank. Neither trimmed nor case-changed.
    static QString elementLabel(const ax::Element& element);

    static QStringList availableActions(const ax::Element& element);
    // "AXPress" when offered, else "AXPick" when offered, else none.
    static std::optional<QString> primarySelectionAction(const ax::Element& element);
    // False only for an element that says it is disabled (a Boolean false, or the number 0);
    // otherwise whether it offers a primary action.
    static bool canPress(const ax::Element& element);
    // The element's parent when it reads as an element.
    static std::optional<ax::Element> parentElement(const ax::Element& element);
};

} // namespace quillmere
