#include "desktop/observation/ElementWalks.h"

#include "core/ModelControlLabel.h"
#include "core/Text.h"
#include "platform/accessibility/Backend.h"

#include <QSet>
#include <algorithm>
#include <array>
#include <vector>

namespace quillmere {

namespace {

// Where an element keeps the elements under or beside it. "AXWindows" is read on the root only:
// below the application element it would lead back to windows already walked.
const std::array<QString, 8> kRootChildAttributes{
    QStringLiteral("AXChildren"),
    QStringLiteral("AXVisibleChildren"),
    QStringLiteral("AXChildrenInNavigationOrder"),
    QStringLiteral("AXContents"),
    QStringLiteral("AXWindows"),
    QStringLiteral("AXLinkedUIElements"),
    QStringLiteral("AXSelectedChildren"),
    QStringLiteral("AXRows"),
};
const QString kWindows = QStringLiteral("AXWindows");

bool isPickerRole(const QString& role) {
    return role == u"AXPopUpButton" || role == u"AXButton" || role == u"AXMenuButton";
}

bool isChoiceTextRole(const QString& role) {
    return role == u"AXStaticText" || role == u"AXHeading" || role == u"AXRadioButton" ||
           role == u"AXMenuItem";
}

QString role(const ax::Element& element) {
    return AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element).value_or(QString());
}

// Appends the elements of a value that is a list made only of elements.
bool appendElementList(const ax::Value& value, std::vector<ax::Element>& out) {
    const ax::Value::List* list = value.list();
    if (!list)
        return false;
    const std::size_t start = out.size();
    for (const ax::Value& item : *list) {
        const ax::Element* element = item.element();
        if (!element) {
            out.resize(start);
            return false;
        }
        out.push_back(*element);
    }
    return true;
}

} // namespace

QList<ax::Element> ElementWalks::flattenedElements(const ax::Element& root, int limit) {
    QList<ax::Element> result;
    std::vector<ax::Element> stack{root};
    std::vector<ax::Element> children;
    while (!stack.empty()) {
        ax::Element element = std::move(stack.back());
        stack.pop_back();
        if (result.size() >= limit)
            break;
        result.append(element);
        ax::Value value;
        if (ax::copyAttributeValue(element, QStringLiteral("AXChildren"), value) != ax::Error::success)
            continue;
        children.clear();
        if (!appendElementList(value, children))
            continue;
        // Every element taken from the stack is listed, so only the top `room` ones ever will be:
        // the rest is dropped (once it is twice the room, so dropping costs nothing per element),
        // however often a host lists an element, even itself, as a child.
        const std::size_t room = std::size_t(limit - result.size());
        if (children.size() > room)
            children.resize(room);
        stack.insert(stack.end(), children.rbegin(), children.rend());
        if (stack.size() > 2 * room)
            stack.erase(stack.begin(), stack.begin() + std::ptrdiff_t(stack.size() - room));
    }
    return result;
}

QList<ax::Element> ElementWalks::flattenedInteractiveElements(const ax::Element& root, int limit) {
    QList<ax::Element> result;
    QSet<ax::Element> seen;
    std::vector<ax::Element> stack{root};
    std::vector<ax::Element> children;
    while (!stack.empty()) {
        ax::Element element = std::move(stack.back());
        stack.pop_back();
        if (result.size() >= limit)
            break;
        if (seen.contains(element))
            continue;
        seen.insert(element);
        result.append(element);
        const bool isRoot = result.size() == 1;
        children.clear();
        for (const QString& attribute : kRootChildAttributes) {
            if (!isRoot && attribute == kWindows)
                continue;
            ax::Value value;
            if (ax::copyAttributeValue(element, attribute, value) != ax::Error::success)
                continue;
            if (const ax::Element* single = value.element())
                children.push_back(*single);
            else
                appendElementList(value, children);
        }
        // An element already listed is not kept for later: each element is expanded once, so the
        // stack never holds more than the children listed by the elements expanded.
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (!seen.contains(*it))
                stack.push_back(*it);
    }
    return result;
}

QList<ax::Element> ElementWalks::optionSurfaceElements(const RunningApplication& application, int limit) {
    const qint32 pid = application.processIdentifier;
    const ax::Element app = ax::createApplication(pid);
    QList<ax::Element> roots{app};

    ax::Value focusedValue;
    if (ax::copyAttributeValue(ax::createSystemWide(), QStringLiteral("AXFocusedUIElement"), focusedValue) ==
            ax::Error::success &&
        focusedValue.element()) {
        ax::Element reached = *focusedValue.element();
        qint32 focusedPid = 0;
        if (ax::getPid(reached, focusedPid) == ax::Error::success && focusedPid == pid) {
            for (int step = 0; step < 16; ++step) {
                const std::optional<ax::Element> parent = AccessibilityReading::parentElement(reached);
                qint32 parentPid = 0;
                if (!parent || ax::getPid(*parent, parentPid) != ax::Error::success || parentPid != pid)
                    break;
                reached = *parent;
            }
            if (reached != app)
                roots.append(reached);
        }
    }

    QList<ax::Element> result;
    QSet<ax::Element> seen;
    for (const ax::Element& root : std::as_const(roots)) {
        if (result.size() >= limit)
            break;
        for (const ax::Element& element : flattenedInteractiveElements(root, limit)) {
            if (result.size() >= limit)
                break;
            if (seen.contains(element))
                continue;
            seen.insert(element);
            result.append(element);
        }
    }
    return result;
}

namespace {

// Whether `test` holds for the element or one of its ancestors, looking at `levels` elements in all.
template <typename Test> bool selfOrAncestor(const ax::Element& element, int levels, Test test) {
    ax::Element current = element;
    for (int level = 0; level < levels; ++level) {
        if (test(current))
            return true;
        if (level == levels - 1)
            break;
        const std::optional<ax::Element> parent = AccessibilityReading::parentElement(current);
        if (!parent)
            return false;
        current = *parent;
    }
    return false;
}

} // namespace

bool ElementWalks::isModelPicker(const ax::Element& element) {
    return isPickerRole(role(element)) &&
           ModelControlLabel::model(AccessibilityReading::elementLabel(element)).has_value();
}

bool ElementWalks::isInAXMenu(const ax::Element& element) {
    return selfOrAncestor(element, 12, [](const ax::Element& current) { return role(current) == u"AXMenu"; });
}

bool ElementWalks::isInSourcesPanel(const ax::Element& element) {
    static const QStringList names{QStringLiteral("sources"), QStringLiteral("outputs"),
                                   QStringLiteral("sidebar"), QStringLiteral("conversation sources")};
    return selfOrAncestor(element, 8, [](const ax::Element& current) {
        for (const char* attribute : {"AXTitle", "AXDescription"}) {
            const std::optional<QString> text =
                AccessibilityReading::stringAttribute(QString::fromLatin1(attribute), current);
            if (text && names.contains(text::lowercased(text::words(*text).join(u' '))))
                return true;
        }
        return false;
    });
}

QString ElementWalks::controlChoiceLabel(const ax::Element& element) {
    const QString own = AccessibilityReading::elementLabel(element);
    if (ModelControlLabel::model(own) || ModelControlLabel::effort(own))
        return own;
    QStringList kept;
    const QList<ax::Element> inside = flattenedElements(element, choiceLabelLimit);
    for (qsizetype i = 1; i < inside.size(); ++i) {
        if (!isChoiceTextRole(role(inside[i])))
            continue;
        const QString label = AccessibilityReading::elementLabel(inside[i]);
        if (!label.isEmpty())
            kept << label;
    }
    return kept.join(u' ');
}

} // namespace quillmere
