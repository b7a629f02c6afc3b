#pragma once

// Remembers each conversation's messages across scans. A host window shows only part of a long
// conversation at a time, so every scan sees a window of it; windows that overlap are joined,
// windows that do not are kept apart until a later scan bridges them, and a scan's result is the
// connected part of the conversation around what is visible now.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/ConversationText.h"
#include "core/MessageList.h"

namespace quillmere {

// A stored memory that cannot be read back: not JSON, wrong types, impossible values or more than
// the memory ever holds. The memory is left as it was.
class ConversationMemoryFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ConversationMemory {
public:
    struct Record {
        ConversationText::Message message;
        QDateTime firstObservedAt;
        QStringList identifiers; // every identifier seen for this message, in order, unique

        bool operator==(const Record&) const = default;
    };

    struct Result {
        // The observed list itself when memory adds nothing to it and keeps every message of it.
        MessageList messages;
        int connectedCount = 0;
        int windows = 0; // stored windows of the key after the call
        QString conversationScopeID;
    };

    // Bounds that keep a long session's memory finite. When they are passed, whole conversations
    // not seen for the longest time go first, then a conversation's least recently seen windows;
    // the conversation being observed keeps its current window, losing its oldest messages only
    // when it alone is beyond them. A stored memory beyond the counts is refused as damaged, since
    // this memory never writes one; the saved form keeps the order of use, so that after a
    // restart the bounds drop what they would have dropped without it.
    static constexpr int maximumConversations = 1000;
    static constexpr int maximumRecords = 200000;
    // The largest saved memory a restore is given to read: a larger file is no memory this
    // application wrote.
    static constexpr std::size_t maximumFileBytes = std::size_t(512) << 20;
    // What the memory keeps of its saved form, in bytes, worked out from above record by record:
    // well under what a restore reads, so that whatever it writes is read back at the next start,
    // and a restart's parse of the file stays within reason.
    static constexpr std::size_t maximumBytes = std::size_t(256) << 20;
    struct Bounds {
        int conversations = maximumConversations;
        int records = maximumRecords;
        std::size_t bytes = maximumBytes;
    };
    // A message is known by one durable number per host; a record gathering more than this many
    // identifiers keeps its first ones, so that neither a stored file nor a host repeating new
    // names can make each comparison of two records grow without end.
    static constexpr int maximumIdentifiersPerRecord = 16;

    // An empty memory with a fresh scope for observations it cannot attribute to a conversation
    // (an absent key).
    ConversationMemory();
    // The same with other bounds: tests reach them in a few reads.
    explicit ConversationMemory(const Bounds& bounds);
    const Bounds& bounds() const { return bounds_; }

    // What observing messages without identifiers costs in proportion to their texts (each
    // text's comparison key and its hash), worked out apart from any memory: a long history's can
    // be worked out a part at a time, ahead of the observation, and handed to observe, which then
    // takes them instead of working them out again. It stands for messages holding the very
    // texts it was made from (copies of the same strings), each at its place; any other message
    // is worked out as usual, so handing it over never changes what observe does.
    class KnownKeys;
    class Prepared {
    public:
        struct Key {
            // Null when the text is its own key; else the key's own string, or the string of an
            // equal key the memory holds when it was worked out with them at hand.
            QString key;
            std::size_t hash = 0;
            bool content = false;        // false: a timestamp or a blank, which memory does not keep
            std::uint32_t textBytes = 0; // what the text takes in the saved form at the most
        };
        std::vector<QString> texts; // what it stands for, sharing their characters
        std::vector<Key> keys;

        static Key of(const QString& text, const KnownKeys* known);
        // The key prepared for `text` at place `i`, when there is one.
        const Key* lookup(std::size_t i, const QString& text) const;
    };
    // `earlier`, when given, lends what it has for the same texts at the same places: a history
    // that grew costs only its new messages.
    static std::shared_ptr<const Prepared> prepare(std::span<const ConversationText::Message> messages,
                                                   const Prepared* earlier = nullptr);
    // The keys this memory holds, by their hashes: a key worked out with them at hand that equals
    // one of them shares its characters, so that comparing the two later costs no look at them.
    class KnownKeys {
    public:
        std::vector<std::pair<std::size_t, QString>> keys; // by hash
        // The held key equal to `key`, when there is one.
        const QString* find(std::size_t hash, const QString& key) const;
    };
    std::shared_ptr<const KnownKeys> knownKeys() const;
    // The same a part at a time: goes on from where `prepared` (made when none) stopped until
    // about `bytes` of text were worked out, and returns whether it stands for all of `messages`.
    static bool prepareMore(std::shared_ptr<Prepared>& prepared,
                            std::span<const ConversationText::Message> messages, const Prepared* earlier,
                            std::size_t bytes, const KnownKeys* known = nullptr);
    // About how many bytes of text among `messages` `prepared` (none: nothing) does not stand for.
    static std::size_t unpreparedBytes(std::span<const ConversationText::Message> messages,
                                       const Prepared* prepared);

    // Folds one scan's visible messages (with one optional identifier each; missing ones count
    // as none) into the key's memory and returns the connected messages around them. An absent
    // key neither reads nor writes memory. A key is stored only once two consecutive scans show
    // the same messages.
    Result observe(const std::optional<QString>& key, const MessageList& messages,
                   const std::vector<std::optional<QString>>& identifiers, bool positionOrderingTrusted,
                   const QDateTime& at, const Prepared* prepared = nullptr);

    // Moves the windows stored under keys with the given prefixes (title keys only when titled
    // aliases are allowed) that overlap the given messages sufficiently, with windows adjacent to
    // them by message number, into `into`. Unrelated windows stay where they are.
    void adoptMatchingEntries(const QString& into, const QStringList& fromKeyPrefixes,
                              const std::vector<ConversationText::Message>& overlapping,
                              const std::vector<std::optional<QString>>& identifiers,
                              bool allowTitledAliases);

    // The key's confirmed latest message position. Ignored for a key with nothing stored and for
    // a position below 1.
    void confirmLatestMessagePosition(const QString& key, int position);
    std::optional<int> confirmedLatestMessagePosition(const QString& key) const;

    // The highest message position among the key's durable identifiers.
    std::optional<int> maximumMessagePosition(const QString& key) const;

    // How many messages are stored over every key.
    std::size_t recordCount() const;
    // At most how many bytes encoded() gives, from what each window's records take, without
    // encoding them: what the bound in bytes holds, and what decides whether writing the memory
    // can be done in passing.
    std::size_t encodedSizeEstimate() const;

    // The key's stored windows; empty when unknown.
    std::vector<std::vector<Record>> records(const QString& key) const;
    // The messages of the key's newest stored window; empty when unknown. What records(key)
    // gives of it, without making a record (and a date) of every message.
    MessageList newestWindow(const QString& key) const;

    // Goes up whenever what encoded() gives may have changed; observing what changes nothing
    // stored (a key's first scan, the same scan again) leaves it as it was.
    std::uint64_t revision() const { return revision_; }

    // The JSON array of stored entries, one per key in key order:
    // {"key", "segments": [[{"message", "firstObservedAt", "identifiers"}, …], …],
    //  "segmentsDigest", "conversationScopeID", "confirmedLatestMessagePosition" (left out when
    // absent), "lastUsedRank", "segmentsLastUsedRank": [rank, …]}. Each segment is one stored
    // window; "segmentsDigest" names them (the key, how many and how long, every record), so that
    // a restore knows them for the windows kept. The ranks give the order in which the entries,
    // and each entry's windows, were last used, 0 the longest ago. Times are seconds since
    // 2001-01-01 00:00 UTC. Half a surrogate pair, as a text cut inside a character holds, is
    // written as its "\udXXX" escape, so that a restore gives back the very text.
    QByteArray encoded() const;

    // Replaces the stored entries with those of `data`, keeping scopes, confirmed positions and
    // the order of use. Where the file keeps none (an older version's), an entry or window counts
    // as used when it last grew, its newest record's time, in key or stored order where they tie;
    // an entry without a rank counts as used before any with one, and repaired windows have none.
    // A memory beyond the bound in bytes (an older version's) loses what the bounds drop first.
    // An entry whose segments match its "segmentsDigest" comes back as exactly those windows.
    // Any other (written by an older version, or its segments changed since) is repaired: windows
    // are split where message positions fall and where an earlier capture restarts, and joined
    // where they overlap. Throws ConversationMemoryFormatError and changes nothing when the data
    // cannot be read. A restore on another thread asks `abandoned` once the data is parsed, before
    // each stored segment it reads and before each repaired window it joins, and at the first true
    // stops, changing nothing, and returns false.
    bool restore(const QByteArray& data, const std::function<bool()>& abandoned = {});

    // Internal representation, public only so the implementation's helpers can name it.
    struct Item {
        ConversationText::Message message;
        QString key;              // normalised, canonical text: what "the same text" means
        std::size_t hash;         // of key
        double firstObserved = 0; // seconds since 2001-01-01 UTC
        QStringList identifiers;
        int position = 0; // from the first positioned identifier; 0 when none
        // What the record takes in the saved form at the most, with its share of the punctuation.
        std::uint32_t bytes = 0;
    };
    // A window's items, shared by the copies of the memory (a save encodes one on a worker
    // while the memory goes on) until one of them changes its items: copying a memory of a
    // hundred thousand messages then costs a pointer per window, not a copy of every message.
    class SharedItems {
    public:
        SharedItems() = default;
        SharedItems(std::vector<Item> items) // NOLINT(google-explicit-constructor)
            : items_(std::make_shared<std::vector<Item>>(std::move(items))) {}
        const std::vector<Item>& operator*() const { return items_ ? *items_ : empty(); }
        const std::vector<Item>* operator->() const { return &**this; }
        // The items to change: this copy's own, copied first while another copy still holds them.
        std::vector<Item>& edit();
        // The items to keep, leaving this empty: moved out, or copied while shared.
        std::vector<Item> take();
        // The same appended to `out`: copied straight into it while shared.
        void takeInto(std::vector<Item>& out);
        // What the items' records take in the saved form at the most: worked out once after each
        // edit, since the memory's bounds ask after every read that changes something.
        std::size_t bytes() const;
        // Measures the records stored unmeasured (only this copy's own, changed since it was last
        // copied, hold any), working out bytes() in the same pass.
        void measure();

    private:
        static const std::vector<Item>& empty();
        static constexpr std::size_t unknown = std::size_t(-1);
        std::shared_ptr<std::vector<Item>> items_;
        mutable std::size_t bytes_ = unknown;
    };
    struct Window {
        SharedItems items;
        std::uint64_t lastUsed = 0;
    };
    struct Entry {
        std::vector<Window> windows;
        QString scopeID;
        std::optional<int> confirmedLatest;
        std::uint64_t lastUsed = 0;
    };

private:
    // The last scan of a key not stored yet. Its conversation already has a scope of its own,
    // kept when the key is stored: two conversations never share one while they wait.
    struct Pending {
        QString key;
        SharedItems window;
        QString scopeID;
        // The scan it was made from: the same list with the same identifiers makes the same window.
        MessageList messages;
        std::vector<std::optional<QString>> identifiers;
    };

    class WindowTexts;
    class Restoring;
    // Joins `window` into the entry's windows; `read`: it is what a read shows now, not a window
    // stored before. `known`, when given, indexes their texts and is kept up to date.
    // `readAt`, when given, is where the window starts in the stored window it ends up in.
    // `measured` false leaves the window's new and changed records unmeasured, all in the window
    // it returns, for enforceBounds to measure those the bounds keep.
    int insertWindow(Entry& entry, std::vector<Item> window, bool read, WindowTexts* known = nullptr,
                     int* readAt = nullptr, bool measured = true);
    // Returns where the current window is afterwards.
    // -1 when not even the current window's newest message fits. `cut`, when given, receives the
    // current window's oldest records that had to go, in order. Measures the current window's
    // records left unmeasured, once what the record bound is certain to cut has gone.
    int enforceBounds(const QString& currentKey, int currentWindow, std::vector<Item>* cut = nullptr);
    // Drops what the record bound is certain to drop when the current window alone holds more
    // records than it: every other conversation and window, and the window's oldest records
    // beyond it (into `cut`, when given). Returns where the current window is afterwards, -1
    // when nothing of it is left.
    int cutToRecordBound(std::map<QString, Entry>::iterator current, int currentWindow,
                         std::vector<Item>* cut);
    // The last scan's result again when this scan shows the same as it did; none otherwise.
    std::optional<Result> sameAsLastScan(const QString& key, Entry& entry, const MessageList& messages,
                                         const std::vector<std::optional<QString>>& identifiers,
                                         bool positionOrderingTrusted, double time);
    // Stores a read's window in the key's entry, within the bounds, and gives what it recalls.
    // Returns where the current window is afterwards, -1 when the bounds left nothing of it.
    int store(const QString& key, Entry& entry, std::vector<Item> window, const MessageList& messages,
              bool positionOrderingTrusted, MessageList& recalled);
    std::uint64_t tick() { return ++clock_; }
    // Marks an entry, or one of its windows, used now. The saved form keeps the order of use, so
    // what changes that order is a change to write.
    void use(Entry& entry);
    void use(Entry& entry, int window);

    Bounds bounds_;
    std::map<QString, Entry> entries_;
    QString unverifiedScopeID_;
    std::optional<Pending> pending_;
    // The last scan folded into a stored key and its result: the open conversation usually shows
    // the same messages tick after tick, and such a scan changes nothing.
    struct LastScan {
        QString key;
        MessageList messages;
        std::vector<std::optional<QString>> identifiers;
        bool positionOrderingTrusted = false;
        double at = 0;
        int window = 0;
        Result result;
    };
    std::optional<LastScan> lastScan_;
    std::uint64_t clock_ = 0;
    std::uint64_t newestEntryUse_ = 0; // the latest time an entry was used
    std::uint64_t revision_ = 0;
};

} // namespace quillmere
