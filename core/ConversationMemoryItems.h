#pragma once

// What the conversation memory's files share: its records as it holds them (items), made from a
// scan's messages and compared with them, measured for the saved form, and the windows they make.
// Internal to the memory: ConversationMemory.h is its interface.

#include "core/ConversationMemory.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace quillmere {

namespace MemoryItems {

using Message = ConversationText::Message;
using Item = ConversationMemory::Item;
using Items = std::vector<Item>;
using Window = ConversationMemory::Window;
using Entry = ConversationMemory::Entry;

// Texts, keys and identifiers (ConversationMemoryItems.cpp)
QString newScopeID();
struct Positioned {
    int position;
    QStringView role;
};
std::optional<Positioned> positioned(const QString& id);
int firstPosition(const QStringList& ids);
Item makeItem(Message message, QStringList ids, double at);
std::vector<Message> messagesOf(std::span<const Item> items);
void dropMismatchedRoles(Items& items);
void cleanIdentifiers(Items& items);
bool sameMessages(const MessageList& a, const MessageList& b);
MessageList listOf(std::vector<Message> messages, const MessageList& observed);
MessageList listOf(const Items& items, const MessageList& observed);
MessageList listOf(std::span<Item> cut, std::span<const Item> kept, const MessageList& observed);
Items cleanWindow(std::span<const Message> messages, const std::vector<std::optional<QString>>& identifiers,
                  double at, const ConversationMemory::Prepared* prepared = nullptr);
bool sameWindow(const Items& a, const Items& b);

// What the saved form takes (ConversationMemorySavedForm.cpp)
constexpr std::size_t listFrame = 2;
std::uint32_t saturated(std::size_t bytes);
std::size_t recordBytes(const QString& role, std::size_t textBytes, const QStringList& identifiers);
void measure(Item& item);
void measureNew(Item& item);
std::size_t windowBytes(const Window& window);
std::size_t entryBytes(const QString& key, const Entry& entry);
double timeOf(const QDateTime& at);

// Position ordering (ConversationMemoryWindows.cpp)
std::vector<int> positionChain(const std::vector<Window>& windows, int start);

} // namespace MemoryItems

// Which stored windows hold a text, by the text's hash: the windows a new one may join are then
// found with one look-up per message of the new window, not a pass over every stored message,
// so restoring a memory of many separate windows stays linear in its size.
class ConversationMemory::WindowTexts {
public:
    explicit WindowTexts(const std::vector<Window>& windows) { rebuild(windows); }
    void rebuild(const std::vector<Window>& windows) {
        windows_.clear();
        for (int j = 0; j < int(windows.size()); ++j)
            add(j, *windows[std::size_t(j)].items);
    }
    void add(int window, const std::vector<Item>& items) {
        for (const Item& item : items) {
            std::vector<int>& holders = windows_[item.hash];
            if (holders.empty() || holders.back() != window)
                holders.push_back(window);
        }
    }
    // The windows other than `except` sharing some text with `items`, in ascending order.
    std::vector<int> sharing(const std::vector<Item>& items, int except) const {
        std::vector<int> out;
        for (const Item& item : items)
            if (auto it = windows_.find(item.hash); it != windows_.end())
                for (int j : it->second)
                    if (j != except)
                        out.push_back(j);
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }

private:
    std::unordered_map<std::size_t, std::vector<int>> windows_;
};

} // namespace quillmere
