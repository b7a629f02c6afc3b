#pragma once

// A conversation's messages, oldest first, as one immutable list that every copy shares.
//
// A long conversation is a hundred thousand messages, and it travels on every read of a host
// window: from the archive and the memory into the snapshot, from the snapshot to the card, the
// debug monitor and the usage recorder. Copying the list costs nothing here, and two lists that
// share their messages are equal without a look at them, so a read that finds the conversation
// as it was does work in proportion to what changed, not to how long the conversation is. What
// those readers ask of a list on every read (how many requests and replies, which requests are
// the latest) is counted once, when the list is made.

#include "core/ConversationText.h"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

namespace quillmere {

class MessageList {
public:
    using Message = ConversationText::Message;
    using value_type = Message;
    using size_type = std::size_t;
    using const_iterator = const Message*;
    using iterator = const_iterator;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    MessageList() = default;
    // A list is made from the messages it holds; implicit, since a list of messages is what a
    // conversation is everywhere else.
    MessageList(std::vector<Message> messages); // NOLINT(google-explicit-constructor)
    MessageList(std::initializer_list<Message> messages);

    size_type size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const_iterator begin() const { return storage_ ? storage_->messages.data() : nullptr; }
    const_iterator end() const { return begin() + size_; }
    const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    const_reverse_iterator crbegin() const { return rbegin(); }
    const_reverse_iterator crend() const { return rend(); }
    const Message& operator[](size_type index) const { return begin()[index]; }
    const Message& front() const { return *begin(); }
    const Message& back() const { return end()[-1]; }

    // The first `count` messages (all of them when there are fewer), sharing this list's.
    MessageList prefix(size_type count) const;

    // How many messages have the role "user", and how many "assistant".
    int userCount() const;
    int assistantCount() const;
    // How many of those have a text that is not blank: what a request may carry.
    int readableCount() const;
    // Where the newest `count` messages with the role "user" are, newest first.
    std::vector<size_type> latestUserIndices(int count) const;

    // The messages as a vector of their own (a copy of every message).
    std::vector<Message> toVector() const { return std::vector<Message>(begin(), end()); }

    // Whether both are the very same list: no message is looked at.
    bool isSameListAs(const MessageList& other) const {
        return size_ == other.size_ && (size_ == 0 || storage_ == other.storage_);
    }

    // Equal when they hold equal messages in the same order; the same list is equal at once.
    friend bool operator==(const MessageList& a, const MessageList& b);
    friend bool operator==(const MessageList& a, const std::vector<Message>& b);

private:
    struct Storage {
        std::vector<Message> messages;
        // The places of the requests and of the replies, ascending; and of those whose text is
        // blank (usually none).
        std::vector<size_type> users, assistants, blank;
    };
    static int countBelow(const std::vector<size_type>& places, size_type end);

    std::shared_ptr<const Storage> storage_;
    size_type size_ = 0;
};

} // namespace quillmere
