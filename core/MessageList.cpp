#include "core/MessageList.h"

#include "core/Text.h"

#include <algorithm>

namespace quillmere {

MessageList::MessageList(std::vector<Message> messages) {
    if (messages.empty())
        return;
    auto storage = std::make_shared<Storage>();
    storage->messages = std::move(messages);
    const auto& all = storage->messages;
    for (size_type i = 0; i < all.size(); ++i) {
        if (all[i].role == QLatin1String("user"))
            storage->users.push_back(i);
        else if (all[i].role == QLatin1String("assistant"))
            storage->assistants.push_back(i);
        else
            continue;
        if (text::isBlank(all[i].text))
            storage->blank.push_back(i);
    }
    size_ = all.size();
    storage_ = std::move(storage);
}

MessageList::MessageList(std::initializer_list<Message> messages)
    : MessageList(std::vector<Message>(messages)) {}

MessageList MessageList::prefix(size_type count) const {
    MessageList list;
    list.size_ = std::min(count, size_);
    if (list.size_ > 0)
        list.storage_ = storage_;
    return list;
}

int MessageList::countBelow(const std::vector<size_type>& places, size_type end) {
    return int(std::lower_bound(places.begin(), places.end(), end) - places.begin());
}

int MessageList::userCount() const {
    return storage_ ? countBelow(storage_->users, size_) : 0;
}

int MessageList::assistantCount() const {
    return storage_ ? countBelow(storage_->assistants, size_) : 0;
}

int MessageList::readableCount() const {
    return storage_ ? userCount() + assistantCount() - countBelow(storage_->blank, size_) : 0;
}

std::vector<MessageList::size_type> MessageList::latestUserIndices(int count) const {
    std::vector<size_type> latest;
    if (!storage_ || count <= 0)
        return latest;
    const auto& users = storage_->users;
    for (auto at = users.begin() + countBelow(users, size_);
         at != users.begin() && int(latest.size()) < count;)
        latest.push_back(*--at);
    return latest;
}

bool operator==(const MessageList& a, const MessageList& b) {
    return a.isSameListAs(b) || (a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()));
}

bool operator==(const MessageList& a, const std::vector<MessageList::Message>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

} // namespace quillmere
