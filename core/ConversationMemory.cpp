#include "core/ConversationMemory.h"

#include "core/ConversationAlignment.h"

#include "core/IsoTime.h"
#include "core/Json.h"
#include "core/Text.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <span>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace quillmere {

namespace {

using namespace ConversationAlignment;
using Message = ConversationText::Message;
using Item = ConversationMemory::Item;
using Items = std::vector<Item>;
using Window = ConversationMemory::Window;
using Entry = ConversationMemory::Entry;

// ---------------------------------------------------------------------------------------------
// Texts, keys and identifiers

QString newScopeID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}

// Document keys name a conversation by its web address; title and navigation keys by what the
// host's sidebar showed, which another conversation may reuse.
bool isDocumentKey(const QString& key) {
    return key.contains(QLatin1StringView("|https://"));
}
bool isTitleKey(const QString& key) {
    return key.contains(QLatin1StringView("|title:"));
}

// ---------------------------------------------------------------------------------------------
// The saved form's size

// What the saved form spends around what it holds, at the most: a record's member names and
// punctuation with room for the longest time a restore accepts, a window's brackets and rank, an
// entry's members with its digest, rank and confirmed position, and the list around them.
constexpr std::size_t longestTime = 24;
constexpr std::size_t longestRank = 10;
constexpr std::size_t recordFrame =
    std::string_view(R"({"message":{"role":,"text":},"firstObservedAt":,"identifiers":[]},)").size() +
    longestTime;
constexpr std::size_t windowFrame = std::string_view("[],,").size() + longestRank;
constexpr std::size_t entryFrame =
    std::string_view(R"({"key":,"segments":[],"segmentsDigest":"0123456789abcdef","conversationScopeID":,)"
                     R"("confirmedLatestMessagePosition":,"lastUsedRank":,"segmentsLastUsedRank":[]},)")
        .size() +
    3 * longestRank;
constexpr std::size_t listFrame = 2;

std::uint32_t saturated(std::size_t bytes) {
    return std::uint32_t(std::min<std::size_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

std::size_t recordBytes(const QString& role, std::size_t textBytes, const QStringList& identifiers) {
    std::size_t bytes = recordFrame + json::quotedSize(role) + textBytes;
    for (const QString& id : identifiers)
        bytes += json::quotedSize(id) + 1;
    return bytes;
}

void measure(Item& item) {
    item.bytes =
        saturated(recordBytes(item.message.role, json::quotedSize(item.message.text), item.identifiers));
}

// Records are measured as they are stored: most of what a read shows is stored already, and is
// never measured again.
void measureNew(Item& item) {
    if (item.bytes == 0)
        measure(item);
}

std::size_t windowBytes(const Window& window) {
    return windowFrame + window.items.bytes();
}

// A key and a scope are short: bounded by the longest escape of each character rather than read.
std::size_t entryBytes(const QString& key, const Entry& entry) {
    std::size_t bytes = entryFrame + 6 * std::size_t(key.size() + entry.scopeID.size()) + 4;
    for (const Window& window : entry.windows)
        bytes += windowBytes(window);
    return bytes;
}

// What "the same text" means between scans: white space folded, canonically composed.
QString textKey(QStringView text) {
    QString n = ConversationText::normalize(text);
    for (QChar c : std::as_const(n))
        if (c.unicode() >= 0x80)
            return n.normalized(QString::NormalizationForm_C);
    return n;
}

struct Positioned {
    int position;
    QStringView role;
};

// "message:<N>:<role>", the hosts' durable message numbers; N >= 1.
std::optional<Positioned> positioned(const QString& id) {
    if (!id.startsWith(QLatin1StringView("message:")))
        return std::nullopt;
    QStringView rest = QStringView(id).mid(8);
    const qsizetype colon = rest.indexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    QStringView digits = rest.first(colon), role = rest.sliced(colon + 1);
    if (role != QLatin1StringView("user") && role != QLatin1StringView("assistant"))
        return std::nullopt;
    if (!std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    auto value = text::parseInteger(digits);
    if (!value || *value < 1 || *value > std::numeric_limits<int>::max())
        return std::nullopt;
    return Positioned{int(*value), role};
}

int firstPosition(const QStringList& ids) {
    for (const QString& id : ids)
        if (auto p = positioned(id))
            return p->position;
    return 0;
}

Item makeItem(Message message, QStringList ids, double at) {
    Item item;
    // Most texts are their own key already: the key then shares the text's characters, so a long
    // conversation is held once rather than twice.
    QString key = textKey(message.text);
    item.key = key == message.text ? message.text : std::move(key);
    item.hash = qHash(item.key);
    item.message = std::move(message);
    item.firstObserved = at;
    item.identifiers = std::move(ids);
    item.position = firstPosition(item.identifiers);
    return item;
}

std::vector<Message> messagesOf(std::span<const Item> items) {
    std::vector<Message> out;
    out.reserve(items.size());
    for (const Item& item : items)
        out.push_back(item.message);
    return out;
}

// Drops positioned identifiers that contradict their message's role, and every positioned
// identifier whose number occurs more than once in the window: a host that repeats a number has
// not numbered its messages.
void dropMismatchedRoles(Items& items) {
    for (Item& item : items) {
        const auto dropped = item.identifiers.removeIf([&](const QString& id) {
            auto p = positioned(id);
            return p && p->role != item.message.role;
        });
        item.position = firstPosition(item.identifiers);
        if (dropped > 0)
            item.bytes = 0;
    }
}

void cleanIdentifiers(Items& items) {
    // A history read from an archive has no identifiers at all.
    if (std::all_of(items.begin(), items.end(), [](const Item& item) { return item.identifiers.isEmpty(); }))
        return;
    dropMismatchedRoles(items);
    std::map<int, int> uses;
    for (Item& item : items) {
        for (const QString& id : std::as_const(item.identifiers))
            if (auto p = positioned(id))
                ++uses[p->position];
    }
    for (Item& item : items) {
        const auto dropped = item.identifiers.removeIf([&](const QString& id) {
            auto p = positioned(id);
            return p && uses[p->position] > 1;
        });
        item.position = firstPosition(item.identifiers);
        if (dropped > 0)
            item.bytes = 0;
    }
}

// One scanned message as a memory item: timestamps and blank messages are no content.
std::optional<Item> itemOf(const Message& message, const std::optional<QString>& identifier, double at) {
    if (ConversationText::isMessageMetadata(message.text))
        return std::nullopt;
    QStringList ids;
    if (identifier && !identifier->isEmpty())
        ids << *identifier;
    Item item = makeItem(message, std::move(ids), at);
    if (item.key.isEmpty())
        return std::nullopt;
    return item;
}

bool hasIdentifier(const std::optional<QString>& identifier) {
    return identifier && !identifier->isEmpty();
}

// The very same text: one string's characters shared by both. Such texts are equal without a
// look at them; a string's characters never change while another string shares them.
bool sameText(const QString& a, const QString& b) {
    return a.constData() == b.constData() && a.size() == b.size();
}

// Exactly the same messages: the same roles and texts, character for character.
bool sameMessages(const MessageList& a, const MessageList& b) {
    return a.isSameListAs(b) ||
           (a.size() == b.size() &&
            std::equal(a.begin(), a.end(), b.begin(), [](const Message& x, const Message& y) {
                return x.role == y.role && x.text == y.text;
            }));
}

// The same message character for character; the very same text at once.
bool isThe(const Message& message, const Message& observed) {
    return (sameText(message.text, observed.text) || message.text == observed.text) &&
           message.role == observed.role;
}

// The messages as a list: `observed` itself when they are its messages in its order, character
// for character, as when memory adds nothing to a scan and keeps every message of it (a stored
// record keeps its own string of the same text), so that a long history read from an archive
// comes back as the list it came as, neither copied nor counted again.
MessageList listOf(std::vector<Message> messages, const MessageList& observed) {
    if (messages.size() == observed.size() &&
        std::equal(messages.begin(), messages.end(), observed.begin(), isThe))
        return observed;
    return MessageList(std::move(messages));
}
MessageList listOf(const Items& items, const MessageList& observed) {
    if (items.size() == observed.size() &&
        std::equal(items.begin(), items.end(), observed.begin(),
                   [](const Item& item, const Message& message) { return isThe(item.message, message); }))
        return observed;
    return MessageList(messagesOf(items));
}
// The messages of `cut` (records the bounds cut, whose messages are taken) and then of `kept`
// the same way, compared with `observed` where they lie rather than copied first.
MessageList listOf(std::span<Item> cut, std::span<const Item> kept, const MessageList& observed) {
    const auto same = [](const Item& item, const Message& message) { return isThe(item.message, message); };
    if (cut.size() + kept.size() == observed.size() &&
        std::equal(cut.begin(), cut.end(), observed.begin(), same) &&
        std::equal(kept.begin(), kept.end(), observed.begin() + cut.size(), same))
        return observed;
    std::vector<Message> messages;
    messages.reserve(cut.size() + kept.size());
    for (Item& item : cut)
        messages.push_back(std::move(item.message));
    for (const Item& item : kept)
        messages.push_back(item.message);
    return MessageList(std::move(messages));
}

} // namespace

const QString* ConversationMemory::KnownKeys::find(std::size_t hash, const QString& key) const {
    auto it = std::lower_bound(keys.begin(), keys.end(), hash,
                               [](const auto& entry, std::size_t h) { return entry.first < h; });
    for (; it != keys.end() && it->first == hash; ++it)
        if (it->second == key)
            return &it->second;
    return nullptr;
}

ConversationMemory::Prepared::Key ConversationMemory::Prepared::of(const QString& text,
                                                                   const KnownKeys* known) {
    Key out;
    if (ConversationText::isMessageMetadata(text))
        return out;
    QString key = textKey(text);
    if (key.isEmpty())
        return out;
    out.hash = qHash(key);
    out.content = true;
    out.textBytes = saturated(json::quotedSize(text));
    if (const QString* same = known ? known->find(out.hash, key) : nullptr)
        out.key = *same;
    else if (key != text)
        out.key = std::move(key);
    return out;
}

const ConversationMemory::Prepared::Key* ConversationMemory::Prepared::lookup(std::size_t i,
                                                                              const QString& text) const {
    return i < texts.size() && sameText(texts[i], text) ? &keys[i] : nullptr;
}

namespace {

// A scan's messages as memory items.
Items cleanWindow(std::span<const Message> messages, const std::vector<std::optional<QString>>& identifiers,
                  double at, const ConversationMemory::Prepared* prepared = nullptr) {
    static const std::optional<QString> none;
    Items items;
    items.reserve(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const std::optional<QString>& identifier = i < identifiers.size() ? identifiers[i] : none;
        if (prepared && !hasIdentifier(identifier)) {
            if (const ConversationMemory::Prepared::Key* key = prepared->lookup(i, messages[i].text)) {
                if (key->content) {
                    Item& item = items.emplace_back();
                    item.message = messages[i];
                    item.key = key->key.isNull() ? messages[i].text : key->key;
                    item.hash = key->hash;
                    item.firstObserved = at;
                    item.bytes = saturated(recordBytes(item.message.role, key->textBytes, {}));
                }
                continue;
            }
        }
        if (std::optional<Item> item = itemOf(messages[i], identifier, at))
            items.push_back(std::move(*item));
    }
    cleanIdentifiers(items);
    return items;
}

bool sameWindow(const Items& a, const Items& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const Item& x, const Item& y) {
               return x.message.role == y.message.role && x.hash == y.hash && x.key == y.key &&
                      x.identifiers == y.identifiers;
           });
}

} // namespace

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
    void add(int window, const Items& items) {
        for (const Item& item : items) {
            std::vector<int>& holders = windows_[item.hash];
            if (holders.empty() || holders.back() != window)
                holders.push_back(window);
        }
    }
    // The windows other than `except` sharing some text with `items`, in ascending order.
    std::vector<int> sharing(const Items& items, int except) const {
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

namespace {

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

// ---------------------------------------------------------------------------------------------
// Position ordering

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

// ---------------------------------------------------------------------------------------------
// Repair of stored history

// Splits where message numbers fall: such a window joined two captures that cannot be one run.
std::vector<Items> splitAtFalls(Items items) {
    std::vector<Items> out(1);
    int previous = 0;
    for (Item& item : items) {
        const int p = firstPosition(item.identifiers);
        if (p > 0) {
            if (previous > 0 && p <= previous && !out.back().empty())
                out.emplace_back();
            previous = p;
        }
        out.back().push_back(std::move(item));
    }
    if (out.back().empty())
        out.pop_back();
    return out;
}

// Splits where an earlier capture restarts: a later part that re-covers the part before it
// with enough ordered two-speaker overlap was stored after it by mistake.
std::vector<Items> splitAtRestarts(Items items, long& budget) {
    std::vector<Items> out;
    while (true) {
        std::multimap<std::size_t, int> seen;
        int cut = -1;
        for (int i = 0; i < int(items.size()) && cut < 0 && budget > 0; ++i) {
            const std::size_t hash = items[std::size_t(i)].hash;
            auto [from, to] = seen.equal_range(hash);
            if (from != to) {
                const std::span<const Item> a(items.data(), std::size_t(i));
                const std::span<const Item> b(items.data() + i, items.size() - std::size_t(i));
                budget -= long(items.size());
                for (auto it = from; it != to && cut < 0 && budget > 0; ++it) {
                    if (a[std::size_t(it->second)].key != items[std::size_t(i)].key)
                        continue;
                    auto al = evaluate(b, a, it->second, false, budget);
                    if (al && restarts(*al))
                        cut = i;
                }
            }
            seen.emplace(hash, i);
        }
        if (cut < 0) {
            out.push_back(std::move(items));
            return out;
        }
        out.emplace_back(items.begin(), items.begin() + cut);
        items.erase(items.begin(), items.begin() + cut);
    }
}

// What tells a restore that an entry's segments are the windows this memory kept: a digest of
// the key, how many windows there are, how long each is and every record in them, saved beside
// them. Segments an older version wrote, or changed since (an older version's captures run
// together), do not match it and are repaired instead. Not a guard against a forger: it only has
// to tell such segments apart, and cost little beside reading the texts.
class WindowsDigest {
public:
    void add(std::uint64_t word) {
        h_ = std::rotl(h_ ^ (word * 0x9E3779B97F4A7C15ull), 27) * 0x94D049BB133111EBull +
             0x2545F4914F6CDD1Dull;
    }
    void add(QStringView text) {
        add(std::uint64_t(text.size()));
        const char16_t* units = text.utf16();
        const qsizetype n = text.size();
        qsizetype i = 0;
        for (; i + 4 <= n; i += 4)
            add(std::uint64_t(units[i]) | std::uint64_t(units[i + 1]) << 16 |
                std::uint64_t(units[i + 2]) << 32 | std::uint64_t(units[i + 3]) << 48);
        std::uint64_t rest = 0;
        for (int shift = 0; i < n; ++i, shift += 16)
            rest |= std::uint64_t(units[i]) << shift;
        add(rest);
    }
    void add(double time) {
        // -0 is written as 0.
        add(std::bit_cast<std::uint64_t>(time + 0.0));
    }
    void addRecord(const Message& message, double time, const QStringList& identifiers) {
        add(message.role);
        add(message.text);
        add(time);
        add(std::uint64_t(identifiers.size()));
        for (const QString& id : identifiers)
            add(id);
    }
    QString hex() const {
        std::uint64_t h = h_;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ull;
        h ^= h >> 33;
        return QString::number(h, 16).rightJustified(16, u'0');
    }

private:
    std::uint64_t h_ = 0x6A09E667F3BCC908ull;
};

// Each value's place among `values` in ascending order, 0 the smallest; equal values keep their
// order.
std::vector<int> ranks(const std::vector<std::uint64_t>& values) {
    std::vector<int> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&values](int a, int b) { return values[std::size_t(a)] < values[std::size_t(b)]; });
    std::vector<int> out(values.size());
    for (int rank = 0; rank < int(order.size()); ++rank)
        out[std::size_t(order[std::size_t(rank)])] = rank;
    return out;
}

// A stored rank; none when it is absent or is no rank this memory writes. Every rank it writes is a
// whole number a double holds exactly.
std::optional<std::uint64_t> rankOf(const QJsonValue& value) {
    const double rank = value.toDouble(-1);
    if (!value.isDouble() || !(rank >= 0 && rank <= std::numeric_limits<int>::max()) ||
        std::trunc(rank) != rank)
        return std::nullopt;
    return std::uint64_t(rank);
}

// When a window, or a conversation, last grew: the newest time one of its records was first
// observed; minus infinity for none.
double newestTime(const Items& items) {
    double newest = -std::numeric_limits<double>::infinity();
    for (const Item& item : items)
        newest = std::max(newest, item.firstObserved);
    return newest;
}

// The places of stored windows from the one used the longest ago: by their stored ranks when there
// is one for each; otherwise (an older version's file, which keeps no order of use) by when each
// last grew, `newest`, in stored order where they tie.
std::vector<int> orderOfUse(const json::Field<QJsonArray>& stored, const std::vector<double>& newest) {
    const std::size_t count = newest.size();
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::vector<std::uint64_t> ranks;
    if (stored.isPresent() && std::size_t(stored.value.size()) == count) {
        ranks.reserve(count);
        for (const QJsonValue& value : stored.value) {
            const std::optional<std::uint64_t> rank = rankOf(value);
            if (!rank)
                break;
            ranks.push_back(*rank);
        }
    }
    if (ranks.size() == count)
        std::stable_sort(order.begin(), order.end(),
                         [&ranks](int a, int b) { return ranks[std::size_t(a)] < ranks[std::size_t(b)]; });
    else
        std::stable_sort(order.begin(), order.end(),
                         [&newest](int a, int b) { return newest[std::size_t(a)] < newest[std::size_t(b)]; });
    return order;
}

// Stored times beyond this many seconds from 2001 (about 3,000 years) are damage.
constexpr double absurdTime = 1e11;

// A clock set wildly wrong gives the nearest time a restore accepts, so that what is saved of it
// is read back.
double timeOf(const QDateTime& at) {
    const double t = isotime::secondsSinceReferenceDate(at);
    return std::isfinite(t) ? std::clamp(t, -absurdTime, absurdTime) : 0.0;
}

[[noreturn]] void damaged(const char* what) {
    throw ConversationMemoryFormatError(std::string("conversation memory: ") + what);
}

} // namespace

// -------------------------------------------------------------------------------------------------

ConversationMemory::ConversationMemory() : ConversationMemory(Bounds{}) {}

ConversationMemory::ConversationMemory(const Bounds& bounds)
    : bounds_(bounds), unverifiedScopeID_(newScopeID()) {}

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

std::vector<Item>& ConversationMemory::SharedItems::edit() {
    bytes_ = unknown;
    if (!items_)
        items_ = std::make_shared<Items>();
    else if (items_.use_count() > 1)
        items_ = std::make_shared<Items>(*items_);
    else
        // The last other holder let go: whatever it read of the items, it read before this.
        std::atomic_thread_fence(std::memory_order_acquire);
    return *items_;
}

std::vector<Item> ConversationMemory::SharedItems::take() {
    bytes_ = unknown;
    Items items;
    if (items_ && items_.use_count() > 1) {
        items = *items_;
    } else if (items_) {
        std::atomic_thread_fence(std::memory_order_acquire);
        items = std::move(*items_);
    }
    items_.reset();
    return items;
}

void ConversationMemory::SharedItems::takeInto(std::vector<Item>& out) {
    bytes_ = unknown;
    if (items_ && items_.use_count() > 1) {
        out.insert(out.end(), items_->begin(), items_->end());
    } else if (items_) {
        std::atomic_thread_fence(std::memory_order_acquire);
        out.insert(out.end(), std::make_move_iterator(items_->begin()),
                   std::make_move_iterator(items_->end()));
    }
    items_.reset();
}

void ConversationMemory::SharedItems::measure() {
    if (bytes_ != unknown)
        return;
    std::size_t sum = 0;
    const Items& items = **this;
    std::size_t i = 0;
    for (; i < items.size() && items[i].bytes > 0; ++i)
        sum += items[i].bytes;
    if (i < items.size()) {
        // Only a window this memory changed since it was last copied holds unmeasured records.
        Items& own = edit();
        for (; i < own.size(); ++i) {
            measureNew(own[i]);
            sum += own[i].bytes;
        }
    }
    bytes_ = sum;
}

std::size_t ConversationMemory::SharedItems::bytes() const {
    if (bytes_ == unknown) {
        bytes_ = 0;
        for (const Item& item : **this) {
            Q_ASSERT(item.bytes > 0); // every stored record is measured as it is stored
            bytes_ += item.bytes;
        }
    }
    return bytes_;
}

const std::vector<Item>& ConversationMemory::SharedItems::empty() {
    static const Items none;
    return none;
}

std::shared_ptr<const ConversationMemory::Prepared>
ConversationMemory::prepare(std::span<const Message> messages, const Prepared* earlier) {
    std::shared_ptr<Prepared> prepared;
    prepareMore(prepared, messages, earlier, std::numeric_limits<std::size_t>::max());
    return prepared;
}

std::shared_ptr<const ConversationMemory::KnownKeys> ConversationMemory::knownKeys() const {
    auto known = std::make_shared<KnownKeys>();
    known->keys.reserve(recordCount());
    for (const auto& [key, entry] : entries_)
        for (const Window& window : entry.windows)
            for (const Item& item : *window.items)
                known->keys.emplace_back(item.hash, item.key);
    std::sort(known->keys.begin(), known->keys.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return known;
}

bool ConversationMemory::prepareMore(std::shared_ptr<Prepared>& prepared, std::span<const Message> messages,
                                     const Prepared* earlier, std::size_t bytes, const KnownKeys* known) {
    if (!prepared) {
        prepared = std::make_shared<Prepared>();
        prepared->texts.reserve(messages.size());
        prepared->keys.reserve(messages.size());
    }
    std::size_t spent = 0;
    for (std::size_t i = prepared->texts.size(); i < messages.size(); ++i) {
        if (spent >= bytes)
            return false;
        prepared->texts.push_back(messages[i].text);
        if (const Prepared::Key* lent = earlier ? earlier->lookup(i, messages[i].text) : nullptr) {
            prepared->keys.push_back(*lent);
        } else {
            prepared->keys.push_back(Prepared::of(messages[i].text, known));
            spent += 2 * std::size_t(messages[i].text.size());
        }
    }
    return true;
}

std::size_t ConversationMemory::unpreparedBytes(std::span<const Message> messages, const Prepared* prepared) {
    // A message's own cost beside its text: the item, its key's header and its hash.
    constexpr std::size_t perMessage = 64;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (!prepared || !prepared->lookup(i, messages[i].text))
            bytes += perMessage + 2 * std::size_t(messages[i].text.size());
    return bytes;
}

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
        // A join is only ever found where texts are shared: the one stored window is tried at
        // once, rather than after indexing every text of a window as long as a whole history.
        if (windows.size() == 1)
            return std::vector<int>{0};
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

int ConversationMemory::enforceBounds(const QString& currentKey, int currentWindow, Items* cut) {
    std::size_t records = 0, bytes = listFrame;
    for (const auto& [key, entry] : entries_)
        for (const Window& window : entry.windows)
            records += window.items->size();
    auto current = entries_.find(currentKey);
    if (current != entries_.end() && currentWindow >= 0 &&
        currentWindow < int(current->second.windows.size())) {
        if (records > std::size_t(bounds_.records) &&
            current->second.windows[std::size_t(currentWindow)].items->size() >
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
        if (cut)
            cut->insert(cut->end(), std::make_move_iterator(items.begin()),
                        std::make_move_iterator(items.begin() + std::ptrdiff_t(count)));
        items.erase(items.begin(), items.begin() + std::ptrdiff_t(count));
        if (items.empty()) {
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
    const auto excess = std::ptrdiff_t(items.size() - std::size_t(bounds_.records));
    if (cut)
        cut->insert(cut->end(), std::make_move_iterator(items.begin()),
                    std::make_move_iterator(items.begin() + excess));
    items.erase(items.begin(), items.begin() + excess);
    if (items.empty()) {
        windows.clear();
        return -1;
    }
    return 0;
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
    if (it != entries_.end() && lastScan_ && lastScan_->key == *key &&
        lastScan_->positionOrderingTrusted == positionOrderingTrusted && time >= lastScan_->at &&
        lastScan_->identifiers == identifiers && sameMessages(lastScan_->messages, messages)) {
        // The last scan's conversation and window are already the ones used last: their order
        // of use, and so what is saved, stays as it is.
        it->second.lastUsed = newestEntryUse_ = tick();
        if (lastScan_->window < int(it->second.windows.size()))
            it->second.windows[std::size_t(lastScan_->window)].lastUsed = tick();
        return lastScan_->result;
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
    int current = 0;
    if (!window.empty()) {
        int readAt = 0;
        const std::size_t readSize = window.size();
        // Records are measured once the bounds have cut what they are certain to cut: a read
        // past the record bound stores again what it cut last time, only to cut it again.
        current = insertWindow(entry, std::move(window), true, nullptr, &readAt, false);
        // The result is what the memory holds once within its bounds, as the same read recalls
        // again and after a restart; but a read beyond them still recalls all it shows.
        Items cut;
        current = enforceBounds(*key, current, &cut);
        const std::span<Item> shown(cut.data() + std::min(cut.size(), std::size_t(readAt)),
                                    cut.data() + std::min(cut.size(), std::size_t(readAt) + readSize));
        // A read the bounds cut whole (one scrolled far up a window longer than they allow) is no
        // longer joined to what is kept.
        if (current < 0 || (!cut.empty() && cut.size() >= std::size_t(readAt) + readSize)) {
            result.messages = listOf(shown, {}, messages);
        } else if (positionOrderingTrusted && isDocumentKey(*key)) {
            std::vector<Message> chained = messagesOf(shown);
            for (int w : positionChain(entry.windows, current)) {
                const auto part = messagesOf(*entry.windows[std::size_t(w)].items);
                chained.insert(chained.end(), part.begin(), part.end());
            }
            result.messages = listOf(std::move(chained), messages);
        } else {
            result.messages = listOf(shown, *entry.windows[std::size_t(current)].items, messages);
        }
    }
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

std::size_t ConversationMemory::encodedSizeEstimate() const {
    std::size_t bytes = listFrame;
    for (const auto& [key, entry] : entries_)
        bytes += entryBytes(key, entry);
    return bytes;
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

QByteArray ConversationMemory::encoded() const {
    // Ranks rather than the clock's own readings: reading the conversation used last again
    // changes neither, so what is saved stays as it is.
    std::vector<std::uint64_t> uses;
    uses.reserve(entries_.size());
    for (const auto& [key, entry] : entries_)
        uses.push_back(entry.lastUsed);
    const std::vector<int> entryRanks = ranks(uses);
    json::Array entries;
    int index = 0;
    for (const auto& [key, entry] : entries_) {
        json::Array segments;
        WindowsDigest digest;
        digest.add(key);
        digest.add(std::uint64_t(entry.windows.size()));
        for (const Window& window : entry.windows) {
            json::Array records;
            digest.add(std::uint64_t(window.items->size()));
            for (const Item& item : *window.items) {
                json::Array ids;
                for (const QString& id : item.identifiers)
                    ids.emplace_back(id);
                records.emplace_back(json::Object{{"message", ConversationText::toJson(item.message)},
                                                  {"firstObservedAt", item.firstObserved},
                                                  {"identifiers", std::move(ids)}});
                digest.addRecord(item.message, item.firstObserved, item.identifiers);
            }
            segments.emplace_back(std::move(records));
        }
        json::Object object{{"key", key},
                            {"segments", std::move(segments)},
                            {"segmentsDigest", digest.hex()},
                            {"conversationScopeID", entry.scopeID}};
        if (entry.confirmedLatest)
            object.emplace_back("confirmedLatestMessagePosition", *entry.confirmedLatest);
        uses.clear();
        for (const Window& window : entry.windows)
            uses.push_back(window.lastUsed);
        json::Array windowRanks;
        for (int rank : ranks(uses))
            windowRanks.emplace_back(rank);
        object.emplace_back("lastUsedRank", entryRanks[std::size_t(index++)]);
        object.emplace_back("segmentsLastUsedRank", std::move(windowRanks));
        entries.emplace_back(std::move(object));
    }
    // A text cut inside a character (an answer read while it streams) is kept as it is, its half
    // character escaped: QJsonDocument reads that back as the very unit, an older version's too, so
    // the file holds what the digest was taken of and a restart gives back the text it held.
    return json::write(entries, {.escapeLoneSurrogates = true});
}

bool ConversationMemory::restore(const QByteArray& data, const std::function<bool()>& abandonedWhen) {
    const auto abandoned = [&abandonedWhen] { return abandonedWhen && abandonedWhen(); };
    const auto array = json::parseArray(data);
    if (abandoned())
        return false;
    if (!array)
        damaged("not a JSON array");
    if (array->size() > bounds_.conversations)
        damaged("more conversations than the memory holds");
    std::map<QString, Entry> restored;
    // What each entry's file holds of when it was used, to order the entries once all are read.
    struct Use {
        std::optional<std::uint64_t> rank;
        double newest = -std::numeric_limits<double>::infinity(); // when it last grew
    };
    std::map<QString, Use> uses;
    std::size_t total = 0;
    long repairBudget = 1L << 22;
    for (const QJsonValue& value : *array) {
        if (!value.isObject())
            damaged("an entry is not an object");
        const QJsonObject object = value.toObject();
        const auto key = json::string(object, "key");
        const auto segments = json::array(object, "segments");
        const auto scope = json::string(object, "conversationScopeID");
        const auto confirmed = json::integer(object, "confirmedLatestMessagePosition");
        // Not a string (or absent): segments as an older version wrote them, repaired as ever.
        const auto kept = json::string(object, "segmentsDigest");
        // The order of use; an older version wrote none, and one that is not a rank is ignored.
        const std::optional<std::uint64_t> rank = rankOf(object.value(QLatin1StringView("lastUsedRank")));
        const auto windowRanks = json::array(object, "segmentsLastUsedRank");
        if (!key.isPresent() || !segments.isPresent() || scope.isWrongType() || confirmed.isWrongType())
            damaged("an entry lacks its key or segments or has a member of the wrong type");
        if (restored.count(key.value))
            damaged("a key is stored twice");
        if (confirmed.isPresent() &&
            (confirmed.value < 1 || confirmed.value > std::numeric_limits<int>::max()))
            damaged("an impossible confirmed message position");
        Entry entry;
        entry.scopeID = scope.isPresent() && !scope.value.isEmpty() ? scope.value : newScopeID();
        if (confirmed.isPresent())
            entry.confirmedLatest = int(confirmed.value);
        Use entryUse{rank};
        // Segments that may be the windows kept wait until the digest is known; others are
        // repaired as they are read.
        std::vector<Items> read, fragments;
        const auto repair = [&fragments, &repairBudget](Items items) {
            for (Items& piece : splitAtFalls(std::move(items))) {
                cleanIdentifiers(piece);
                for (Items& fragment : splitAtRestarts(std::move(piece), repairBudget))
                    fragments.push_back(std::move(fragment));
            }
        };
        WindowsDigest digest;
        digest.add(key.value);
        digest.add(std::uint64_t(segments.value.size()));
        for (const QJsonValue& segment : segments.value) {
            if (abandoned())
                return false;
            if (!segment.isArray())
                damaged("a segment is not an array");
            Items items;
            const QJsonArray records = segment.toArray();
            if (kept.isPresent())
                digest.add(std::uint64_t(records.size()));
            for (const QJsonValue& recordValue : records) {
                if (++total > std::size_t(bounds_.records))
                    damaged("more records than the memory holds");
                if (!recordValue.isObject())
                    damaged("a record is not an object");
                const QJsonObject record = recordValue.toObject();
                const auto message = json::object(record, "message");
                const auto time = json::number(record, "firstObservedAt");
                const auto ids = json::array(record, "identifiers");
                if (!message.isPresent() || !time.isPresent() || ids.isWrongType())
                    damaged("a record lacks its message or time");
                auto parsed = ConversationText::messageFromJson(message.value);
                if (!parsed)
                    damaged("a message lacks its role or text");
                if (!std::isfinite(time.value) || std::abs(time.value) > absurdTime)
                    damaged("an impossible time");
                // Past the cap the rest is only checked: a long stored list is read in one pass.
                QStringList identifiers;
                for (const QJsonValue& id : ids.value) {
                    if (!id.isString())
                        damaged("an identifier is not a string");
                    if (identifiers.size() < maximumIdentifiersPerRecord &&
                        !identifiers.contains(id.toString()))
                        identifiers << id.toString();
                }
                if (kept.isPresent())
                    digest.addRecord(*parsed, time.value, identifiers);
                entryUse.newest = std::max(entryUse.newest, time.value);
                Item item = makeItem(std::move(*parsed), std::move(identifiers), time.value);
                if (!item.key.isEmpty() && !ConversationText::isMessageMetadata(item.message.text))
                    items.push_back(std::move(item));
            }
            dropMismatchedRoles(items);
            if (kept.isPresent())
                read.push_back(std::move(items));
            else
                repair(std::move(items));
        }
        if (kept.isPresent() && kept.value == digest.hex()) {
            // The windows the memory kept, given back as they were and in their order of use: a
            // restart decides again neither where they split nor which of them join, nor which
            // of them the bounds drop first.
            std::vector<double> newest(read.size());
            std::transform(read.begin(), read.end(), newest.begin(), newestTime);
            std::vector<std::uint64_t> used(read.size());
            for (int w : orderOfUse(windowRanks, newest))
                used[std::size_t(w)] = tick();
            for (std::size_t w = 0; w < read.size(); ++w) {
                for (Item& item : read[w])
                    measure(item);
                if (!read[w].empty())
                    entry.windows.push_back(Window{std::move(read[w]), used[w]});
            }
        } else {
            for (Items& items : read)
                repair(std::move(items));
            read.clear();
            WindowTexts known(entry.windows);
            for (Items& fragment : fragments) {
                if (abandoned())
                    return false;
                if (!fragment.empty())
                    insertWindow(entry, std::move(fragment), false, &known);
            }
            // A repaired window has no rank of its own: it counts as used when it last grew, in
            // the order the repair left the windows where they tie.
            std::vector<std::tuple<double, std::uint64_t, Window*>> byGrowth;
            for (Window& window : entry.windows)
                byGrowth.emplace_back(newestTime(*window.items), window.lastUsed, &window);
            std::sort(byGrowth.begin(), byGrowth.end());
            for (auto& [newest, repairOrder, window] : byGrowth)
                window->lastUsed = tick();
        }
        uses.emplace(key.value, entryUse);
        restored.emplace(key.value, std::move(entry));
    }
    // Nothing has changed until everything was read. Entries without a rank (an older version's
    // file keeps none) count as used before any ranked one, by when each last grew; ranked ones
    // in the order of their ranks; in key order where they tie.
    std::vector<std::pair<Entry*, Use>> byUse;
    for (auto& [key, entry] : restored)
        byUse.emplace_back(&entry, uses.at(key));
    std::stable_sort(byUse.begin(), byUse.end(), [](const auto& a, const auto& b) {
        const Use &x = a.second, &y = b.second;
        if (x.rank.has_value() != y.rank.has_value())
            return !x.rank;
        return x.rank ? *x.rank < *y.rank : x.newest < y.newest;
    });
    for (auto& [entry, entryUse] : byUse)
        entry->lastUsed = newestEntryUse_ = tick();
    entries_ = std::move(restored);
    ++revision_;
    pending_.reset();
    lastScan_.reset();
    // An older version bounded its memory by records alone: what is beyond the bound in bytes goes
    // now, as the bounds would have dropped it, the conversation used last keeping its newest
    // window.
    if (!byUse.empty()) {
        auto newest = std::max_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.lastUsed < b.second.lastUsed;
        });
        const auto& windows = newest->second.windows;
        auto window = std::max_element(windows.begin(), windows.end(), [](const Window& a, const Window& b) {
            return a.lastUsed < b.lastUsed;
        });
        enforceBounds(newest->first, window == windows.end() ? -1 : int(window - windows.begin()));
    }
    return true;
}

} // namespace quillmere
