#include "core/NavigationScope.h"

#include "core/ConversationText.h"
#include "core/Text.h"

#include <algorithm>

namespace quillmere::NavigationScope {

namespace {

bool isRegionRoot(const SentMessageTree::Node& node) {
    for (const char* role : {"AXNavigation", "AXSidebar", "AXOutline", "AXLandmarkNavigation"})
        if (node.role == QLatin1StringView(role))
            return true;
    return std::any_of(node.labels.begin(), node.labels.end(), [](const QString& label) {
        QString x = text::lowercased(ConversationText::normalize(label));
        return x == QLatin1StringView("sidebar") || x == QLatin1StringView("navigation");
    });
}

bool validIndex(int index, const std::vector<SentMessageTree::Node>& nodes) {
    return index >= 0 && std::size_t(index) < nodes.size();
}

} // namespace

std::set<int> indices(const std::vector<SentMessageTree::Node>& nodes) {
    std::set<int> out;
    if (nodes.empty())
        return out;
    // Each node is visited once, so shared children and cycles cannot loop.
    std::vector<char> visited(nodes.size(), 0);
    std::vector<std::pair<int, bool>> stack = {{0, false}}; // (node, inside a region)
    while (!stack.empty()) {
        auto [index, inside] = stack.back();
        stack.pop_back();
        if (visited[std::size_t(index)])
            continue;
        visited[std::size_t(index)] = 1;
        const auto& node = nodes[std::size_t(index)];
        const bool inRegion = inside || isRegionRoot(node);
        if (inRegion)
            out.insert(index);
        for (int child : node.children)
            if (validIndex(child, nodes) && !visited[std::size_t(child)])
                stack.emplace_back(child, inRegion);
    }
    return out;
}

bool isActiveSidebarRow(const QStringList& classes) {
    bool item = false, selected = false;
    for (const QString& entry : classes) {
        for (const QString& token : text::words(entry)) {
            item = item || token == QLatin1StringView("sidebar-item");
            selected = selected || token == QLatin1StringView("bg-primary-ghost-hover");
        }
    }
    return item && selected;
}

bool isCurrent(QStringView value) {
    QString x = text::lowercased(text::trimmed(value));
    return x == QLatin1StringView("page") || x == QLatin1StringView("true") || x == QLatin1StringView("1");
}

std::set<int> selectedLeaves(const std::vector<SentMessageTree::Node>& nodes, const std::set<int>& selected) {
    std::set<int> out;
    for (int index : selected) {
        if (!validIndex(index, nodes))
            continue;
        // Look for another selected element below this one; the visited set bounds the search on
        // malformed trees.
        bool hasSelectedDescendant = false;
        std::vector<char> visited(nodes.size(), 0);
        visited[std::size_t(index)] = 1;
        std::vector<int> stack(nodes[std::size_t(index)].children);
        while (!stack.empty() && !hasSelectedDescendant) {
            int child = stack.back();
            stack.pop_back();
            if (!validIndex(child, nodes) || visited[std::size_t(child)])
                continue;
            visited[std::size_t(child)] = 1;
            hasSelectedDescendant = selected.count(child) > 0;
            const auto& more = nodes[std::size_t(child)].children;
            stack.insert(stack.end(), more.begin(), more.end());
        }
        if (!hasSelectedDescendant)
            out.insert(index);
    }
    return out;
}

} // namespace quillmere::NavigationScope
