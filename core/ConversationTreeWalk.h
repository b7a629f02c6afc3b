#pragma once

// The bounded depth-first walk over a host window's accessibility tree. A conversation page may
// embed whole other pages (previews, browsers) with many thousands of elements; the walk records
// such a nested page's own element but does not descend into it, so the conversation after it is
// still read within the element budget.

#include <QString>
#include <QStringView>
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

// Depth-first pre-order from `root`, collecting at most `limit` elements. A pruned element is
// neither recorded nor expanded and does not count toward the limit; a web area found inside a
// web area is recorded but not expanded. `children` is asked only for elements being expanded,
// since each call may be a costly read from another process.
//
// This form walks into `result`, replacing what it held: a caller that walks a window again and
// again allocates nothing once its buffers have grown.
template <typename Element, typename IsWebArea, typename Children, typename Prune>
void scan(ScanResult<Element>& result, Element root, int limit, IsWebArea&& isWebArea, Children&& children,
          Prune&& prune) {
    result.elements.clear();
    auto& stack = result.pending;
    stack.clear();
    stack.emplace_back(std::move(root), false);
    while (int(result.elements.size()) < limit && !stack.empty()) {
        auto [element, inside] = std::move(stack.back());
        stack.pop_back();
        if (prune(element))
            continue;
        const bool webArea = isWebArea(element);
        if (!(inside && webArea)) {
            auto kids = children(element);
            for (auto it = kids.rbegin(); it != kids.rend(); ++it)
                stack.emplace_back(std::move(*it), inside || webArea);
        }
        result.elements.push_back(std::move(element));
    }
    result.truncated = !stack.empty();
    stack.clear();
}

template <typename Element, typename IsWebArea, typename Children, typename Prune>
ScanResult<Element> scan(Element root, int limit, IsWebArea&& isWebArea, Children&& children, Prune&& prune) {
    ScanResult<Element> result;
    scan(result, std::move(root), limit, std::forward<IsWebArea>(isWebArea), std::forward<Children>(children),
         std::forward<Prune>(prune));
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
