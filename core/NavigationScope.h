#pragma once

// Rules for the navigation part of a host window (the sidebar with the conversation list): which
// elements belong to it, and which of its rows is the selected conversation.

#include <QStringList>
#include <QStringView>
#include <set>
#include <vector>

#include "core/SentMessageTree.h"

namespace quillmere::NavigationScope {

// The indices of navigation regions (navigation, sidebar and outline roles, or a "sidebar" or
// "navigation" label) and of all their descendants, following child links from the root.
std::set<int> indices(const std::vector<SentMessageTree::Node>& nodes);

// Whether an element's class tokens mark the active sidebar row: both "sidebar-item" and
// "bg-primary-ghost-hover" as whole tokens. Hover or data-attribute variants of the selection
// class do not count. A given string may also hold several blank-separated classes.
bool isActiveSidebarRow(const QStringList& classes);

// Whether an accessibility "current" value marks the current item ("page", "true" or "1").
bool isCurrent(QStringView value);

// The selected indices that have no selected descendant: a selected wrapper around a selected row
// resolves to the row.
std::set<int> selectedLeaves(const std::vector<SentMessageTree::Node>& nodes, const std::set<int>& selected);

} // namespace quillmere::NavigationScope
