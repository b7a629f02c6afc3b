#include "desktop/observation/AccessibilityReading.h"

#include "platform/accessibility/Backend.h"

namespace quillmere {

namespace {

// The attribute's value when the read succeeds with a value.
std::optional<ax::Value> read(const QString& attribute, const ax::Element& element) {
    ax::Value value;
    if (ax::copyAttributeValue(element, attribute, value) != ax::Error::success || value.isNull())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<QString> AccessibilityReading::stringFromAccessibilityValue(const ax::Value& value) {
    if (const QString* text = value.string())
        return *text;
    if (const ax::Url* url = value.url()) {
        if (!url->hasAbsoluteString)
            return std::nullopt;
        return url->text;
    }
    if (const ax::AttributedText* attributed = value.attributedText())
        return attributed->plain;
    return std::nullopt;
}

std::optional<QString> AccessibilityReading::stringAttribute(const QString& attribute,
                                                             const ax::Element& element) {
    // The hottest reader of all (every element's role and texts): straight from the value read,
    // which as a null value gives none just as a failed read does.
    ax::Value value;
    if (ax::copyAttributeValue(element, attribute, value) != ax::Error::success)
        return std::nullopt;
    return stringFromAccessibilityValue(value);
}

std::optional<QString> AccessibilityReading::identityAttribute(const QString& attribute,
                                                               const ax::Element& element) {
    const std::optional<ax::Value> value = read(attribute, element);
    if (!value)
        return std::nullopt;
    if (const QString* text = value->string())
        return *text;
    return value->numberText();
}

QStringList AccessibilityReading::stringValues(const QString& attribute, const ax::Element& element) {
    const std::optional<ax::Value> value = read(attribute, element);
    if (!value)
        return {};
    if (const QString* text = value->string())
        return {*text};
    const ax::Value::List* list = value->list();
    if (!list)
        return {};
    QStringList texts;
    texts.reserve(qsizetype(list->size()));
    for (const ax::Value& item : *list) {
        // A list with anything but strings in it is not a list of strings.
        const QString* text = item.string();
        if (!text)
            return {};
        texts << *text;
    }
    return texts;
}

std::optional<ax::Size> AccessibilityReading::sizeAttribute(const QString& attribute,
                                                            const ax::Element& element) {
    const std::optional<ax::Value> value = read(attribute, element);
    return value ? value->size() : std::nullopt;
}

std::optional<ax::Point> AccessibilityReading::pointAttribute(const QString& attribute,
                                                              const ax::Element& element) {
    const std::optional<ax::Value> value = read(attribute, element);
    return value ? value->point() : std::nullopt;
}

QString AccessibilityReading::elementLabel(const ax::Element& element) {
    QStringList kept;
    for (const char* attribute : {"AXTitle", "AXDescription", "AXValue"}) {
        const std::optional<QString> text = stringAttribute(QString::fromLatin1(attribute), element);
        if (text && !text->isEmpty() && !kept.contains(*text))
            kept << *text;
    }
    return kept.join(u' ');
}

QStringList AccessibilityReading::availableActions(const ax::Element& element) {
    ax::Value names;
    if (ax::copyActionNames(element, names) != ax::Error::success)
        return {};
    const ax::Value::List* list = names.list();
    if (!list)
        return {};
    QStringList actions;
    for (const ax::Value& item : *list) {
        const QString* name = item.string();
        if (!name)
            return {};
        actions << *name;
    }
    return actions;
}

std::optional<QString> AccessibilityReading::primarySelectionAction(const ax::Element& element) {
    const QStringList actions = availableActions(element);
    for (const char* action : {"AXPress", "AXPick"})
        if (actions.contains(QLatin1String(action)))
            return QString::fromLatin1(action);
    return std::nullopt;
}

bool AccessibilityReading::canPress(const ax::Element& element) {
    if (const std::optional<ax::Value> enabled = read(QStringLiteral("AXEnabled"), element))
        if (enabled->asBoolean() == false)
            return false;
    return primarySelectionAction(element).has_value();
}

std::optional<ax::Element> AccessibilityReading::parentElement(const ax::Element& element) {
    ax::Value value;
    if (ax::copyAttributeValue(element, QStringLiteral("AXParent"), value) != ax::Error::success)
        return std::nullopt;
    if (const ax::Element* parent = value.element())
        return *parent;
    return std::nullopt;
}

} // namespace quillmere
