// How a window joins the stored windows of its conversation, and which windows continue one
// another by message number.

#include "core/ConversationMemoryItems.h"

#include "core/ConversationAlignment.h"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace quillmere {

namespace {

using namespace ConversationAlignment;
using namespace MemoryItems;

// Joins window w into stored list s, w[i] facing s[i + d]. Facing records keep their stored text
// and earliest time and gather identifiers; only the stored list's newest record, and the record
// at `completed` (an answer stored part written, none when -1), take the window's text, since
// those are the answers that may still be changing; but not the records in `newest` (positions
// of s as it was), which hold the newest reading of their messages. Returns whether s changed. A
// list that does not change is left shared with the memory's copies. The window's items are
// taken, not copied. `measured`: new and changed records are measured here; otherwise they are
// left unmeasured (`bytes` 0), for the caller to measure those it keeps.
bool merge(ConversationMemory::SharedItems& stored, Items w, int d, int completed,
           std::pair<int, int> newest = {0, 0}, bool measured = true) {
    const int n = int(stored->size()), m = int(w.size());
    Items* s = nullptr; // the list's own items, once something changes
    const auto edit = [&]() -> Items& { return s ? *s : *(s = &stored.edit()); };
    if (d < 0) {
        const int before = std::min(m, -d);
        if (measured)
            for (int i = 0; i < before; ++i)
                measureNew(w[std::size_t(i)]);
        // Room for what the window adds after the stored list too: a long list is moved once.
        Items joined;
        joined.reserve(std::size_t(before + std::max(n, m - before)));
        joined.insert(joined.end(), std::make_move_iterator(w.begin()),
                      std::make_move_iterator(w.begin() + before));
        stored.takeInto(joined);
        stored = std::move(joined);
        edit();
    }
    const int shift = std::max(0, -d); // where the old stored list now starts
    const int storedLast = shift + n - 1;
    for (int i = std::max(0, -d); i < m; ++i) {
        const int p = i + d + shift;
        Item& x = w[std::size_t(i)];
        if (p >= int(stored->size())) {
            if (measured)
                measureNew(x);
            edit().push_back(std::move(x));
            continue;
        }
        const Item& r = (*stored)[std::size_t(p)];
        const auto added = [&](const QString& id) {
            return r.identifiers.size() < ConversationMemory::maximumIdentifiersPerRecord &&
                   !r.identifiers.contains(id);
        };
        const bool identified = std::any_of(x.identifiers.begin(), x.identifiers.end(), added);
        const bool earlier = x.firstObserved < r.firstObserved;
        const bool replaced = (p == storedLast || (completed >= 0 && p == completed + shift)) &&
                              !(x.hash == r.hash && x.key == r.key) &&
                              !(p - shift >= newest.first && p - shift < newest.second);
        if (!identified && !earlier && !replaced)
            continue;
        Item& changed = edit()[std::size_t(p)];
        for (const QString& id : x.identifiers)
            if (changed.identifiers.size() < ConversationMemory::maximumIdentifiersPerRecord &&
                !changed.identifiers.contains(id))
                changed.identifiers << id;
        if (earlier)
            changed.firstObserved = x.firstObserved;
        if (replaced) {
            changed.message = x.message;
            changed.key = x.key;
            changed.hash = x.hash;
        }
        changed.position = firstPosition(changed.identifiers);
        if (identified || replaced) {
            if (measured)
                measure(changed);
            else
                changed.bytes = 0;
        }
    }
    return s != nullptr;
}

struct Span {
    int first = 0, last = 0;
};

// A window takes part in position ordering when it starts and ends with numbered messages and
// its numbers rise strictly.
std::optional<Span> numberedSpan(const Items& items) {
    if (items.empty() || items.front().position == 0 || items.back().position == 0)
        return std::nullopt;
    int previous = 0;
    for (const Item& item : items) {
        if (item.position == 0)
            continue;
        if (item.position <= previous)
            return std::nullopt;
        previous = item.position;
    }
    return Span{items.front().position, items.back().position};
}

} // namespace

namespace MemoryItems {

// The windows that continue `start` by message number, in order: each next window begins right
// after the chain ends (or ends right before it begins), and none claims a number the chain
// already holds for another message.
std::vector<int> positionChain(const std::vector<Window>& windows, int start) {
    auto span = numberedSpan(*windows[std::size_t(start)].items);
    if (!span)
        return {start};
    std::map<int, const Item*> held;
    const auto hold = [&](int w) {
        for (const Item& item : *windows[std::size_t(w)].items)
            if (item.position > 0)
                held.emplace(item.position, &item);
    };
    const auto conflicts = [&](int w) {
        for (const Item& item : *windows[std::size_t(w)].items) {
            if (item.position == 0)
                continue;
            auto it = held.find(item.position);
            if (it != held.end() &&
                (it->second->message.role != item.message.role || it->second->key != item.key))
                return true;
        }
        return false;
    };
    hold(start);
    std::vector<int> chain = {start};
    std::vector<char> used(windows.size(), 0);
    used[std::size_t(start)] = 1;
    for (bool grown = true; grown;) {
        grown = false;
        for (int w = 0; w < int(windows.size()); ++w) {
            if (used[std::size_t(w)])
                continue;
            auto other = numberedSpan(*windows[std::size_t(w)].items);
            if (!other)
                continue;
            const bool before = other->last + 1 == span->first;
            const bool after = other->first == span->last + 1;
            if (!before && !after)
                continue;
            used[std::size_t(w)] = 1;
            if (conflicts(w))
                continue;
            hold(w);
            if (before) {
                chain.insert(chain.begin(), w);
                span->first = other->first;
            } else {
                chain.push_back(w);
                span->last = other->last;
            }
            grown = true;
        }
    }
    return chain;
}

} // namespace MemoryItems

int ConversationMemory::insertWindow(Entry& entry, Items window, bool read, WindowTexts* known, int* readAt,
                                     bool measured) {
    auto& windows = entry.windows;
    // Only windows sharing some text can join. Without an index, finding them costs one look-up
    // per stored message, however many separate windows a long session left.
    const auto sharing = [&](const Items& items, int except) {
        if (known)
            return known->sharing(items, except);
        std::vector<int> out;
        if (windows.empty() || (windows.size() == 1 && except == 0))
            return out;
        // With one stored window, finding its newest text among the window's (near its end, as
        // a read that goes on shows it) proves a shared text without indexing every text of a
        // window as long as a whole history.
        if (windows.size() == 1 && !windows.front().items->empty()) {
            const std::size_t newest = windows.front().items->back().hash;
            if (std::any_of(items.rbegin(), items.rend(),
                            [newest](const Item& item) { return item.hash == newest; }))
                return std::vector<int>{0};
        }
        const HashIndex shown = indexOf(items);
        for (int j = 0; j < int(windows.size()); ++j)
            if (j != except && sharesText(shown, *windows[std::size_t(j)].items))
                out.push_back(j);
        return out;
    };
    std::optional<std::pair<int, Alignment>> best;
    for (int j : sharing(window, -1)) {
        auto a = bestJoin(window, *windows[std::size_t(j)].items);
        if (a && (!best || better(*a, best->second)))
            best = std::make_pair(j, *a);
    }
    if (!best) {
        ++revision_;
        if (measured)
            for (Item& item : window)
                measureNew(item);
        windows.push_back(Window{std::move(window), tick()});
        if (known)
            known->add(int(windows.size()) - 1, *windows.back().items);
        if (readAt)
            *readAt = 0;
        return int(windows.size()) - 1;
    }
    int target = best->first;
    const std::size_t before = windows[std::size_t(target)].items->size();
    if (known)
        known->add(target, window);
    // Where the read now lies in the target: the newest reading of its messages, which no window
    // stored before replaces. Nothing is newer than another among stored windows.
    std::pair<int, int> newest{0, 0};
    if (read) {
        newest.first = std::max(0, best->second.offset);
        newest.second = newest.first + int(window.size());
    }
    bool changed = merge(windows[std::size_t(target)].items, std::move(window), best->second.offset,
                         best->second.completes, {0, 0}, measured);
    if (changed)
        ++revision_;
    // A window that grew may now bridge windows stored apart before.
    while (changed && windows[std::size_t(target)].items->size() != before) {
        changed = false;
        for (int j : sharing(*windows[std::size_t(target)].items, target)) {
            auto a = bestJoin(*windows[std::size_t(j)].items, *windows[std::size_t(target)].items);
            if (!a)
                continue;
            // Window j goes once joined.
            merge(windows[std::size_t(target)].items, windows[std::size_t(j)].items.take(), a->offset,
                  a->completes, newest, measured);
            if (a->offset < 0) {
                newest.first -= a->offset;
                newest.second -= a->offset;
            }
            // The joined window keeps the earlier of the two places.
            if (j < target) {
                windows[std::size_t(j)].items = std::move(windows[std::size_t(target)].items);
                windows.erase(windows.begin() + target);
                target = j;
            } else {
                windows.erase(windows.begin() + j);
            }
            // Every later window moved down a place.
            if (known)
                known->rebuild(windows);
            changed = true;
            break;
        }
    }
    use(entry, target);
    if (readAt)
        *readAt = newest.first;
    return target;
}

} // namespace quillmere
