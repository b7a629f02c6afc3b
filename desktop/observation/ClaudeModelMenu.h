#pragma once

// Which rows the Claude host's model menu shows while it happens to be open, and how much of the
// menu one reading can vouch for. Only a complete reading of the picker's own menu may later
// revoke a model the menu no longer lists; anything doubtful (another menu open, a scrolling or
// truncated menu, a "More models" entry) makes the reading partial.

#include "core/ClaudeModelAvailability.h"
#include "platform/accessibility/Element.h"
#include "platform/workspace/Workspace.h"

#include <QList>
#include <optional>
#include <vector>

namespace quillmere::ClaudeModelMenu {

struct Reading {
    ClaudeModelAvailability::MenuState state = ClaudeModelAvailability::MenuState::closed;
    std::vector<ClaudeModelAvailability::MenuRow> rows;
    bool operator==(const Reading&) const = default;
};

// Never `unknown`: `closed` without an open menu, else `authoritative` or `partial`.
Reading claudeModelMenuRows(const RunningApplication& application, const QList<ax::Element>& windowNodes,
                            const std::optional<ax::Element>& picker);
// The same, for a caller that already knows whether its window scan holds a menu.
Reading claudeModelMenuRows(const RunningApplication& application, bool windowHoldsMenu,
                            const std::optional<ax::Element>& picker);

} // namespace quillmere::ClaudeModelMenu
