// The conversation memory's reads: observing a scan, adopting windows stored under other keys,
// and what it tells of a key. How windows join, the bounds, the records and the saved form have
// files of their own (ConversationMemoryWindows, -Bounds, -Items, -SavedForm).

#include "core/ConversationMemory.h"

#include "core/ConversationAlignment.h"
#include "core/ConversationMemoryItems.h"
#include "core/IsoTime.h"

#include <algorithm>
#include <set>
#include <span>

namespace quillmere {

namespace {

using namespace ConversationAlignment;
using namespace MemoryItems;

// Document keys name a conversation by its web address; title and navigation keys by what the
// host's sidebar showed, which another conversation may reuse.
bool isDocumentKey(const QString& key) {
    return key.contains(QLatin1StringView("|https://"));
}
bool isTitleKey(const QString& key) {
    return key.contains(QLatin1StringView("|title:"));
}

} // namespace

ConversationMemory::ConversationMemory() : ConversationMemory(Bounds{}) {}

ConversationMemory::ConversationMemory(const Bounds& bounds)
    : bounds_(bounds), unverifiedScopeID_(newScopeID()) {}

std::optional<ConversationMemory::Result>
ConversationMemory::sameAsLastScan(const QString& key, Entry& entry, const MessageList& messages,
                                   const std::vector<std::optional<QString>>& identifiers,
                                   bool positionOrderingTrusted, double time) {
    if (!lastScan_ || lastScan_->key != key ||
        lastScan_->positionOrderingTrusted != positionOrderingTrusted || time < lastScan_->at ||
        lastScan_->identifiers != identifiers || !sameMessages(lastScan_->messages, messages))
        return std::nullopt;
    // The last scan's conversation and window are already the ones used last: their order of use,
    // and so what is saved, stays as it is.
    entry.lastUsed = newestEntryUse_ = tick();
    if (lastScan_->window < int(entry.windows.size()))
        entry.windows[std::size_t(lastScan_->window)].lastUsed = tick();
    return lastScan_->result;
}

int ConversationMemory::store(const QString& key, Entry& entry, Items window, const MessageList& messages,
                              bool positionOrderingTrusted, MessageList& recalled) {
    int readAt = 0;
    const std::size_t readSize = window.size();
    // Records are measured once the bounds have cut what they are certain to cut: a read past the
    // record bound stores again what it cut last time, only to cut it again.
    int current = insertWindow(entry, std::move(window), true, nullptr, &readAt, false);
    // The result is what the memory holds once within its bounds, as the same read recalls again
    // and after a restart; but a read beyond them still recalls all it shows.
    Items cut;
    current = enforceBounds(key, current, &cut);
    const std::span<Item> shown(cut.data() + std::min(cut.size(), std::size_t(readAt)),
                                cut.data() + std::min(cut.size(), std::size_t(readAt) + readSize));
    // A read the bounds cut whole (one scrolled far up a window longer than they allow) is no
    // longer joined to what is kept.
    if (current < 0 || (!cut.empty() && cut.size() >= std::size_t(readAt) + readSize)) {
        recalled = listOf(shown, {}, messages);
    } else if (positionOrderingTrusted && isDocumentKey(key)) {
        std::vector<Message> chained = messagesOf(shown);
        for (int w : positionChain(entry.windows, current)) {
            const auto part = messagesOf(*entry.windows[std::size_t(w)].items);
            chained.insert(chained.end(), part.begin(), part.end());
        }
        recalled = listOf(std::move(chained), messages);
    } else {
        recalled = listOf(shown, *entry.windows[std::size_t(current)].items, messages);
    }
    return current;
}

ConversationMemory::Result ConversationMemory::observe(const std::optional<QString>& key,
                                                       const MessageList& messages,
                                                       const std::vector<std::optional<QString>>& identifiers,
                                                       bool positionOrderingTrusted, const QDateTime& at,
                                                       const Prepared* prepared) {
    if (!key) {
        pending_.reset();
        return {messages, int(messages.size()), 0, unverifiedScopeID_};
    }
    const double time = timeOf(at);
    auto it = entries_.find(*key);
    if (it != entries_.end()) {
        if (std::optional<Result> same =
                sameAsLastScan(*key, it->second, messages, identifiers, positionOrderingTrusted, time))
            return *same;
    }
    lastScan_.reset();
    const bool waiting = it == entries_.end() && pending_ && pending_->key == *key;
    // The very scan that is waiting, again: the same list with the same identifiers makes the
    // same window, which is taken as it is, at this scan's time.
    const bool again = waiting && !pending_->window->empty() && pending_->messages.isSameListAs(messages) &&
                       pending_->identifiers == identifiers;
    Items window;
    if (again) {
        window = pending_->window.take();
        for (Item& item : window)
            item.firstObserved = time;
    } else {
        window = cleanWindow({messages.begin(), messages.size()}, identifiers, time, prepared);
    }
    if (it == entries_.end()) {
        // A conversation is remembered only once two scans in a row agree on what it shows.
        const bool confirmed = again || (!window.empty() && waiting && sameWindow(*pending_->window, window));
        QString scope = waiting ? pending_->scopeID : newScopeID();
        if (!confirmed) {
            MessageList shown = listOf(window, messages);
            const int count = int(shown.size());
            pending_ = Pending{*key, std::move(window), scope, messages, identifiers};
            return {std::move(shown), count, 0, std::move(scope)};
        }
        it = entries_.emplace(*key, Entry{{}, std::move(scope), std::nullopt, 0}).first;
    }
    pending_.reset();
    Entry& entry = it->second;
    use(entry);
    Result result;
    result.conversationScopeID = entry.scopeID;
    const int current = window.empty() ? 0
                                       : store(*key, entry, std::move(window), messages,
                                               positionOrderingTrusted, result.messages);
    result.connectedCount = int(result.messages.size());
    const auto& windows = entries_.at(*key).windows;
    result.windows = int(windows.size());
    if (!windows.empty() && current >= 0)
        lastScan_ = LastScan{*key, messages, identifiers, positionOrderingTrusted, time, current, result};
    return result;
}

void ConversationMemory::adoptMatchingEntries(const QString& into, const QStringList& fromKeyPrefixes,
                                              const std::vector<Message>& overlapping,
                                              const std::vector<std::optional<QString>>& identifiers,
                                              bool allowTitledAliases) {
    lastScan_.reset();
    const Items shown = cleanWindow(overlapping, identifiers, 0);
    if (shown.empty())
        return;
    const bool intoDocument = isDocumentKey(into);
    std::vector<Items> moved;
    for (auto it = entries_.begin(); it != entries_.end();) {
        const QString& key = it->first;
        const bool prefixed = std::any_of(fromKeyPrefixes.begin(), fromKeyPrefixes.end(),
                                          [&](const QString& prefix) { return key.startsWith(prefix); });
        const bool titled = isTitleKey(key);
        if (key == into || !prefixed || (titled && !allowTitledAliases)) {
            ++it;
            continue;
        }
        // A durable address, or a title another conversation may reuse, needs overlap from both
        // speakers; a temporary identity of the same conversation needs two shared messages.
        const bool strong = intoDocument || titled;
        const auto qualifies = [&](const Alignment& a) {
            return strong ? a.exactPairs >= 4 && a.userTexts >= 2 && a.assistantTexts >= 2 : a.exact >= 2;
        };
        auto& windows = it->second.windows;
        std::set<int> selected;
        for (int j = 0; j < int(windows.size()); ++j)
            if (bestAlignment(shown, *windows[std::size_t(j)].items, true, qualifies))
                selected.insert(j);
        // Windows numbered right before or after a proven one belong to the same conversation.
        for (int j : std::set<int>(selected))
            for (int w : positionChain(windows, j))
                selected.insert(w);
        for (int w : selected)
            moved.push_back(windows[std::size_t(w)].items.take());
        for (auto w = selected.rbegin(); w != selected.rend(); ++w)
            windows.erase(windows.begin() + *w);
        if (windows.empty())
            it = entries_.erase(it);
        else
            ++it;
    }
    if (moved.empty())
        return;
    ++revision_;
    auto target = entries_.find(into);
    if (target == entries_.end())
        target = entries_.emplace(into, Entry{{}, newScopeID(), std::nullopt, 0}).first;
    use(target->second);
    int current = -1;
    for (Items& window : moved)
        current = insertWindow(target->second, std::move(window), false);
    enforceBounds(into, current);
}

void ConversationMemory::confirmLatestMessagePosition(const QString& key, int position) {
    auto it = entries_.find(key);
    if (it != entries_.end() && position >= 1 && it->second.confirmedLatest != position) {
        it->second.confirmedLatest = position;
        ++revision_;
    }
}

std::optional<int> ConversationMemory::confirmedLatestMessagePosition(const QString& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? std::nullopt : it->second.confirmedLatest;
}

std::optional<int> ConversationMemory::maximumMessagePosition(const QString& key) const {
    auto it = entries_.find(key);
    if (it == entries_.end())
        return std::nullopt;
    std::optional<int> highest;
    for (const Window& window : it->second.windows)
        for (const Item& item : *window.items)
            for (const QString& id : item.identifiers)
                if (auto p = positioned(id); p && (!highest || p->position > *highest))
                    highest = p->position;
    return highest;
}

std::size_t ConversationMemory::recordCount() const {
    std::size_t count = 0;
    for (const auto& [key, entry] : entries_)
        for (const Window& window : entry.windows)
            count += window.items->size();
    return count;
}

MessageList ConversationMemory::newestWindow(const QString& key) const {
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.windows.empty())
        return {};
    return MessageList(messagesOf(*it->second.windows.back().items));
}

std::vector<std::vector<ConversationMemory::Record>> ConversationMemory::records(const QString& key) const {
    std::vector<std::vector<Record>> out;
    auto it = entries_.find(key);
    if (it == entries_.end())
        return out;
    for (const Window& window : it->second.windows) {
        std::vector<Record> records;
        records.reserve(window.items->size());
        for (const Item& item : *window.items)
            records.push_back(Record{item.message, isotime::fromSecondsSinceReferenceDate(item.firstObserved),
                                     item.identifiers});
        out.push_back(std::move(records));
    }
    return out;
}

} // namespace quillmere
