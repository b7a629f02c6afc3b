// The memory's order of use and its bounds: what goes first when it holds too much.

#include "core/ConversationMemoryItems.h"

#include <algorithm>
#include <iterator>

namespace quillmere {

using namespace MemoryItems;

namespace {

// Drops the `count` oldest of `items`, moving them to the end of `cut` when given; returns whether
// nothing is left.
bool dropOldest(Items& items, std::size_t count, Items* cut) {
    const auto end = items.begin() + std::ptrdiff_t(count);
    if (cut)
        cut->insert(cut->end(), std::make_move_iterator(items.begin()), std::make_move_iterator(end));
    items.erase(items.begin(), end);
    return items.empty();
}

} // namespace

void ConversationMemory::use(Entry& entry) {
    if (entry.lastUsed == 0 || entry.lastUsed != newestEntryUse_)
        ++revision_;
    entry.lastUsed = newestEntryUse_ = tick();
}

void ConversationMemory::use(Entry& entry, int window) {
    std::uint64_t& used = entry.windows[std::size_t(window)].lastUsed;
    if (std::any_of(entry.windows.begin(), entry.windows.end(),
                    [used](const Window& other) { return other.lastUsed > used; }))
        ++revision_;
    used = tick();
}

int ConversationMemory::enforceBounds(const QString& currentKey, int currentWindow, Items* cut) {
    std::size_t records = 0, bytes = listFrame;
    for (const auto& [key, entry] : entries_)
        for (const Window& window : entry.windows)
            records += window.items->size();
    auto current = entries_.find(currentKey);
    if (current != entries_.end() && currentWindow >= 0 &&
        currentWindow < int(current->second.windows.size())) {
        if (current->second.windows[std::size_t(currentWindow)].items->size() >
            std::size_t(bounds_.records)) {
            currentWindow = cutToRecordBound(current, currentWindow, cut);
            if (currentWindow < 0)
                return -1;
            records = std::size_t(bounds_.records);
        }
        current->second.windows[std::size_t(currentWindow)].items.measure();
    }
    for (const auto& [key, entry] : entries_)
        bytes += entryBytes(key, entry);
    const auto over = [&] {
        return entries_.size() > std::size_t(bounds_.conversations) ||
               records > std::size_t(bounds_.records) || bytes > bounds_.bytes;
    };
    while (over()) {
        ++revision_;
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->first != currentKey &&
                (oldest == entries_.end() || it->second.lastUsed < oldest->second.lastUsed))
                oldest = it;
        if (oldest != entries_.end()) {
            for (const Window& window : oldest->second.windows)
                records -= window.items->size();
            bytes -= entryBytes(oldest->first, oldest->second);
            entries_.erase(oldest);
            continue;
        }
        if (current == entries_.end())
            return currentWindow;
        auto& windows = current->second.windows;
        int victim = -1;
        for (int j = 0; j < int(windows.size()); ++j)
            if (j != currentWindow &&
                (victim < 0 || windows[std::size_t(j)].lastUsed < windows[std::size_t(victim)].lastUsed))
                victim = j;
        if (victim >= 0) {
            records -= windows[std::size_t(victim)].items->size();
            bytes -= windowBytes(windows[std::size_t(victim)]);
            windows.erase(windows.begin() + victim);
            if (victim < currentWindow)
                --currentWindow;
            continue;
        }
        if (currentWindow < 0 || currentWindow >= int(windows.size()))
            return currentWindow;
        // One window larger than the whole memory: its oldest messages go, as many as bring it
        // within both bounds.
        Items& items = windows[std::size_t(currentWindow)].items.edit();
        const std::size_t excessRecords =
            records > std::size_t(bounds_.records) ? records - bounds_.records : 0;
        const std::size_t excessBytes = bytes > bounds_.bytes ? bytes - bounds_.bytes : 0;
        std::size_t count = 0, freed = 0;
        while (count < items.size() && (count < excessRecords || freed < excessBytes))
            freed += items[count++].bytes;
        if (dropOldest(items, count, cut)) {
            // Not even its newest message fits: nothing of the window can be kept.
            windows.erase(windows.begin() + currentWindow);
            return -1;
        }
        return currentWindow;
    }
    return currentWindow;
}

int ConversationMemory::cutToRecordBound(std::map<QString, Entry>::iterator current, int currentWindow,
                                         Items* cut) {
    // What enforceBounds would drop one by one, whatever the records take: every other
    // conversation and window, and the current window's oldest records beyond the bound.
    ++revision_;
    for (auto it = entries_.begin(); it != entries_.end();)
        it = it == current ? std::next(it) : entries_.erase(it);
    auto& windows = current->second.windows;
    Window kept = std::move(windows[std::size_t(currentWindow)]);
    windows.clear();
    windows.push_back(std::move(kept));
    Items& items = windows.front().items.edit();
    if (dropOldest(items, items.size() - std::size_t(bounds_.records), cut)) {
        windows.clear();
        return -1;
    }
    return 0;
}

} // namespace quillmere
