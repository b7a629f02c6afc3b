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

// An element still to visit, or a stretch of a long child list still to read.
template <typename Element> struct Pending {
    Element element;     // the element to visit; for a stretch, the element whose children it holds
    bool inside = false; // whether it (for a stretch: each child) lies inside a web area
    int next = -1;       // for a stretch: the index of its first child; -1 for an element
    int end = 0;         // for a stretch: the index after its last child
    int place = -1;      // for a stretch: its element's place in pre-order
};

template <typename Element> struct ScanResult {
    std::vector<Element> elements; // in depth-first pre-order
    bool truncated = false;        // elements were left unvisited when the limit was reached
    // What is still to visit; kept only so that a result walked into again reuses its room.
    std::vector<Pending<Element>> pending;
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

// How many children of a long list one request reads as the walk reaches them.
constexpr int stretchLength = 256;

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
// An element may list more children than the walk has room for (a conversation of tens of
// thousands of messages, of which the limit lets it reach the first few thousand). `stretched`
// says, for an element being expanded, how many children it has when they are to be read a
// stretch at a time as the walk reaches them, or a negative number when they are to be asked for
// at once; `stretch(element, place, from, count)` gives up to `count` of them from the `from`-th
// on (fewer when the list has shortened since), `place` being the element's place in pre-order.
// The walk visits the same elements in the same order either way; only what is read differs: no
// more of a long list than the walk reaches, and to tell whether it was cut short, as much of the
// rest as it takes to find one child not met yet. No list is read past the length given first,
// whatever a host answers.
//
// This form walks into `result`, replacing what it held: a caller that walks a window again and
// again allocates nothing once its buffers have grown.
template <typename Element, typename Visited, typename IsWebArea, typename Children, typename Prune,
          typename Stretched, typename Stretch>
void scan(ScanResult<Element>& result, Visited& visited, Element root, int limit, IsWebArea&& isWebArea,
          Children&& children, Prune&& prune, Stretched&& stretched, Stretch&& stretch) {
    result.elements.clear();
    auto& stack = result.pending;
    stack.clear();
    stack.push_back({std::move(root), false});
    // Keeps, in reverse, the children not met yet: the first child is visited first.
    const auto keep = [&](auto&& kids, bool inside) {
        for (auto it = std::rbegin(kids); it != std::rend(kids); ++it)
            if (!visited.contains(*it))
                stack.push_back({std::move(*it), inside});
    };
    while (int(result.elements.size()) < limit && !stack.empty()) {
        Pending<Element> top = std::move(stack.back());
        stack.pop_back();
        if (top.next >= 0) {
            // The next stretch, no longer than the room left: a list read to its end leaves
            // nothing behind, one read in part leaves the rest below what was read.
            const int count =
                std::min({stretchLength, limit - int(result.elements.size()), top.end - top.next});
            auto kids = stretch(top.element, top.place, top.next, count);
            if (int(std::size(kids)) >= count && top.next + count < top.end)
                stack.push_back({top.element, top.inside, top.next + count, top.end, top.place});
            keep(kids, top.inside);
            continue;
        }
        Element& element = top.element;
        if (!visited.insert(element) || prune(element))
            continue;
        const bool inside = top.inside;
        const bool webArea = isWebArea(element);
        if (!(inside && webArea)) {
            if (const int count = stretched(element); count >= 0) {
                if (count > 0)
                    stack.push_back({element, inside || webArea, 0, count, int(result.elements.size())});
            } else
                keep(children(element), inside || webArea);
        }
        result.elements.push_back(std::move(element));
    }
    // Truncated: something not met yet was left for want of room.
    result.truncated = std::any_of(stack.begin(), stack.end(), [&](const Pending<Element>& pending) {
        if (pending.next < 0)
            return !visited.contains(pending.element);
        // The rest of a list, read until a child not met yet or the list's end; in a list of
        // children, the first child left is usually one.
        for (int from = pending.next, count = 1; from < pending.end;
             from += count, count = std::min(count * 4, stretchLength)) {
            count = std::min(count, pending.end - from);
            auto kids = stretch(pending.element, pending.place, from, count);
            if (std::any_of(std::begin(kids), std::end(kids),
                            [&](const Element& kid) { return !visited.contains(kid); }))
                return true;
            if (int(std::size(kids)) < count)
                return false;
        }
        return false;
    });
    stack.clear();
}

// The same walk with every element's children asked for at once.
template <typename Element, typename Visited, typename IsWebArea, typename Children, typename Prune>
void scan(ScanResult<Element>& result, Visited& visited, Element root, int limit, IsWebArea&& isWebArea,
          Children&& children, Prune&& prune) {
    scan(
        result, visited, std::move(root), limit, std::forward<IsWebArea>(isWebArea),
        std::forward<Children>(children), std::forward<Prune>(prune), [](const Element&) { return -1; },
        [](const Element&, int, int, int) { return std::vector<Element>(); });
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
