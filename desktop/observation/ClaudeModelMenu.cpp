#include "desktop/observation/ClaudeModelMenu.h"

#include "core/ModelControlLabel.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ElementWalks.h"
#include "desktop/observation/RenderedMessages.h"
#include "platform/accessibility/Backend.h"

#include <algorithm>

namespace quillmere::ClaudeModelMenu {

namespace {

using MenuState = ClaudeModelAvailability::MenuState;

const QString menuRole = QStringLiteral("AXMenu");

QString roleOf(const ax::Element& element) {
    return AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element).value_or(QString());
}

bool isMenu(const ax::Element& element) {
    return AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), element) == menuRole;
}

// Whether the element or one of its first `levels - 1` ancestors passes `test`.
template <typename Test> bool selfOrAncestor(const ax::Element& element, int levels, Test&& test) {
    std::optional<ax::Element> level = element;
    for (int i = 0; i < levels && level; ++i) {
        if (test(*level))
            return true;
        if (i + 1 < levels)
            level = AccessibilityReading::parentElement(*level);
    }
    return false;
}

bool focusedMenuOpen(qint32 pid) {
    ax::Value focused;
    if (ax::copyAttributeValue(ax::createSystemWide(), QStringLiteral("AXFocusedUIElement"), focused) !=
        ax::Error::success)
        return false;
    const ax::Element* element = focused.element();
    qint32 owner = 0;
    if (!element || ax::getPid(*element, owner) != ax::Error::success || owner != pid)
        return false;
    return selfOrAncestor(*element, 12, isMenu);
}

std::optional<bool> rowEnabled(const ax::Element& element) {
    ax::Value value;
    if (ax::copyAttributeValue(element, QStringLiteral("AXEnabled"), value) != ax::Error::success)
        return std::nullopt;
    const std::optional<bool> enabled = value.asBoolean();
    if (enabled == false)
        return false;
    if (enabled == true && AccessibilityReading::canPress(element))
        return true;
    return std::nullopt;
}

} // namespace

Reading claudeModelMenuRows(const RunningApplication& application, const QList<ax::Element>& windowNodes,
                            const std::optional<ax::Element>& picker) {
    return claudeModelMenuRows(application, std::any_of(windowNodes.begin(), windowNodes.end(), isMenu),
                               picker);
}

Reading claudeModelMenuRows(const RunningApplication& application, bool windowHoldsMenu,
                            const std::optional<ax::Element>& picker) {
    if (!windowHoldsMenu && !focusedMenuOpen(application.processIdentifier))
        return {MenuState::closed, {}};

    const QList<ax::Element> surface =
        ElementWalks::optionSurfaceElements(application, ElementWalks::optionSurfaceLimit);
    if (surface.isEmpty())
        return {MenuState::partial, {}};
    bool complete = surface.size() < ElementWalks::optionSurfaceLimit;
    int matched = 0;
    Reading reading;
    for (const ax::Element& menu : surface) {
        if (!isMenu(menu))
            continue;
        const bool underPicker =
            picker && selfOrAncestor(menu, 12, [&](const ax::Element& e) { return e == *picker; });
        if (!underPicker) {
            complete = false;
            continue;
        }
        ++matched;
        const QList<ax::Element> rows = ElementWalks::flattenedElements(menu, ElementWalks::modelMenuLimit);
        if (rows.size() >= ElementWalks::modelMenuLimit - 1)
            complete = false;
        for (const ax::Element& row : rows) {
            const QString role = roleOf(row);
            if (role == menuRole)
                continue;
            const QString label = AccessibilityReading::elementLabel(row);
            if (role == QLatin1String("AXScrollArea") || role == QLatin1String("AXScrollBar"))
                complete = false;
            else if (ModelControlLabel::normalize(label).contains(QLatin1String("more models")))
                complete = false;
            if (ClaudeModelAvailability::menuOptionID(label))
                reading.rows.push_back({role, label, rowEnabled(row)});
        }
    }
    reading.state =
        complete && matched == 1 && !reading.rows.empty() ? MenuState::authoritative : MenuState::partial;
    return reading;
}

} // namespace quillmere::ClaudeModelMenu
