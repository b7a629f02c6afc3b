#pragma once

// The bounded depth-first walk over a host window's accessibility tree. A conversation page may
// embed whole other pages (previews, browsers) with many thousands of elements; the walk records
// such a nested page's own element but does not descend into it, so the conversation after it is
// still read within the element budget.

#include <QSet>
#include <QString>
#include <QStringView>
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere::ConversationTreeWalk {

template <typename Element> struct ScanResult {
    std::vector<Element> elements; // in depth-first pre-order
    bool truncated = false;        // elements were left unvisited when the limit was reached
    // The elements still to visit, with whether each lies inside a web area; kept only so that a
    // result walked into again reuses its room.
    std::vector<std::pair<Element, bool>> pending;
};

// The elements one scan has met, told apart by what names them rather than by how they were
// reached: `insert` says whether an element is met for the first time, `contains` whether it was
// met already. A caller with its own notion of identity passes its own set with these two calls.
template <typename Element> struct VisitedSet {
    QSet<Element> met;
    bool insert(const Element& element) {
        const auto size = met.size();
        met.insert(element);
        return met.size() != size;
    }
    bool contains(const Element& element) const { return met.contains(element); }
};

// Depth-first pre-order from `root`, collecting at most `limit` elements. A pruned element is
// neither recorded nor expanded and does not count toward the limit; a web area found inside a
// web area is recorded but not expanded. `children` is asked only for elements being expanded,
// since each call may be a costly read from another process.
//
// Each element is visited once per scan, at its first place in pre-order: a host that lists an
// element again (even as its own child, thousands of times) adds nothing, and a child already met
// is not even kept for later. So the elements kept pending never outnumber the children the host
// listed for the elements expanded, and each element is expanded at most once.
//
// This form walks into `result`, replacing what it held: a caller that walks a window again and
// again allocates nothing once its buffers have grown.
template <typename Element, typename Visited, typename IsWebArea, typename Children, typename Prune>
void scan(ScanResult<Element>& result, Visited& visited, Element root, int limit, IsWebArea&& isWebArea,
          Children&& children, Prune&& prune) {
    result.elements.clear();
    auto& stack = result.pending;
    stack.clear();
    stack.emplace_back(std::move(root), false);
    while (int(result.elements.size()) < limit && !stack.empty()) {
        auto [element, inside] = std::move(stack.back());
        stack.pop_back();
        if (!visited.insert(element) || prune(element))
            continue;
        const bool webArea = isWebArea(element);
        if (!(inside && webArea)) {
            auto kids = children(element);
            for (auto it = kids.rbegin(); it != kids.rend(); ++it)
                if (!visited.contains(*it))
                    stack.emplace_back(std::move(*it), inside || webArea);
        }
        result.elements.push_back(std::move(element));
    }
    // Truncated: something not met yet was left for want of room.
    result.truncated = std::any_of(stack.begin(), stack.end(),
                                   [&](const auto& pending) { return !visited.contains(pending.first); });
    stack.clear();
}

template <typename Element, typename IsWebArea, typename Children, typename Prune>
ScanResult<Element> scan(Element root, int limit, IsWebArea&& isWebArea, Children&& children, Prune&& prune) {
    ScanResult<Element> result;
    VisitedSet<Element> visited;
    scan(result, visited, std::move(root), limit, std::forward<IsWebArea>(isWebArea),
         std::forward<Children>(children), std::forward<Prune>(prune));
    return result;
}

template <typename Element, typename IsWebArea, typename Children>
ScanResult<Element> scan(Element root, int limit, IsWebArea&& isWebArea, Children&& children) {
    return scan(std::move(root), limit, std::forward<IsWebArea>(isWebArea), std::forward<Children>(children),
                [](const Element&) { return false; });
}

// Whether an element is a web page embedded in the host window other than the conversation
// itself: a web area with an address that is neither on the Claude web host nor the Claude app's
// own packaged page.
bool isClaudeEmbeddedWebArea(QStringView role, std::optional<QStringView> address);

} // namespace quillmere::ConversationTreeWalk
