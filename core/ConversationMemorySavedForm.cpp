// The memory's saved form: what it takes in bytes, the digest naming each entry's windows, the
// order of use kept as ranks, and writing and restoring it, with the repair of windows an older
// version stored.

#include "core/ConversationMemoryItems.h"

#include "core/ConversationAlignment.h"
#include "core/ConversationText.h"
#include "core/IsoTime.h"
#include "core/Json.h"

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <string_view>
#include <tuple>

namespace quillmere {

namespace {

using namespace ConversationAlignment;
using namespace MemoryItems;

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

[[noreturn]] void damaged(const char* what) {
    throw ConversationMemoryFormatError(std::string("conversation memory: ") + what);
}

} // namespace

namespace MemoryItems {

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

// A clock set wildly wrong gives the nearest time a restore accepts, so that what is saved of it
// is read back.
double timeOf(const QDateTime& at) {
    const double t = isotime::secondsSinceReferenceDate(at);
    return std::isfinite(t) ? std::clamp(t, -absurdTime, absurdTime) : 0.0;
}

} // namespace MemoryItems

std::size_t ConversationMemory::encodedSizeEstimate() const {
    std::size_t bytes = listFrame;
    for (const auto& [key, entry] : entries_)
        bytes += entryBytes(key, entry);
    return bytes;
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

// A restore's reading of the saved form, an entry at a time. Nothing of the memory changes
// until every entry was read.
class ConversationMemory::Restoring {
public:
    Restoring(ConversationMemory& memory, const std::function<bool()>& abandoned)
        : memory_(memory), abandoned_(abandoned) {}
    // Reads one stored entry; false when the restore was abandoned meanwhile.
    bool read(const QJsonValue& value);
    // Gives the memory what was read, in its order of use and within its bounds.
    void install();

private:
    // What the file holds of when an entry was used.
    struct Use {
        std::optional<std::uint64_t> rank;
        double newest = -std::numeric_limits<double>::infinity(); // when it last grew
    };
    // A segment's records, adding them to `digest` when given and to `use`'s newest time.
    Items records(const QJsonArray& stored, WindowsDigest* digest, Use& use);
    // Splits a segment as an older version may have stored it into windows to join again.
    void split(Items items, std::vector<Items>& fragments);
    // The windows the memory kept, given back as they were, in their order of use.
    void keep(Entry& entry, std::vector<Items> windows, const json::Field<QJsonArray>& ranks);
    // Joins the fragments into the entry's windows; false when the restore was abandoned.
    bool repair(Entry& entry, std::vector<Items> fragments);

    ConversationMemory& memory_;
    const std::function<bool()>& abandoned_;
    std::map<QString, Entry> restored_;
    std::map<QString, Use> uses_;
    std::size_t total_ = 0;
    long repairBudget_ = 1L << 22;
};

bool ConversationMemory::Restoring::read(const QJsonValue& value) {
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
    if (restored_.count(key.value))
        damaged("a key is stored twice");
    if (confirmed.isPresent() && (confirmed.value < 1 || confirmed.value > std::numeric_limits<int>::max()))
        damaged("an impossible confirmed message position");
    Entry entry;
    entry.scopeID = scope.isPresent() && !scope.value.isEmpty() ? scope.value : newScopeID();
    if (confirmed.isPresent())
        entry.confirmedLatest = int(confirmed.value);
    Use use{rank};
    // Segments that may be the windows kept wait until the digest is known; others are
    // repaired as they are read.
    std::vector<Items> read, fragments;
    WindowsDigest digest;
    digest.add(key.value);
    digest.add(std::uint64_t(segments.value.size()));
    for (const QJsonValue& segment : segments.value) {
        if (abandoned_())
            return false;
        if (!segment.isArray())
            damaged("a segment is not an array");
        const QJsonArray stored = segment.toArray();
        if (kept.isPresent())
            digest.add(std::uint64_t(stored.size()));
        Items items = records(stored, kept.isPresent() ? &digest : nullptr, use);
        if (kept.isPresent())
            read.push_back(std::move(items));
        else
            split(std::move(items), fragments);
    }
    if (kept.isPresent() && kept.value == digest.hex()) {
        keep(entry, std::move(read), windowRanks);
    } else {
        for (Items& items : read)
            split(std::move(items), fragments);
        if (!repair(entry, std::move(fragments)))
            return false;
    }
    uses_.emplace(key.value, use);
    restored_.emplace(key.value, std::move(entry));
    return true;
}

Items ConversationMemory::Restoring::records(const QJsonArray& stored, WindowsDigest* digest, Use& use) {
    Items items;
    for (const QJsonValue& recordValue : stored) {
        if (++total_ > std::size_t(memory_.bounds_.records))
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
            if (identifiers.size() < maximumIdentifiersPerRecord && !identifiers.contains(id.toString()))
                identifiers << id.toString();
        }
        if (digest)
            digest->addRecord(*parsed, time.value, identifiers);
        use.newest = std::max(use.newest, time.value);
        Item item = makeItem(std::move(*parsed), std::move(identifiers), time.value);
        if (!item.key.isEmpty() && !ConversationText::isMessageMetadata(item.message.text))
            items.push_back(std::move(item));
    }
    dropMismatchedRoles(items);
    return items;
}

void ConversationMemory::Restoring::split(Items items, std::vector<Items>& fragments) {
    for (Items& piece : splitAtFalls(std::move(items))) {
        cleanIdentifiers(piece);
        for (Items& fragment : splitAtRestarts(std::move(piece), repairBudget_))
            fragments.push_back(std::move(fragment));
    }
}

void ConversationMemory::Restoring::keep(Entry& entry, std::vector<Items> windows,
                                         const json::Field<QJsonArray>& ranks) {
    // A restart decides again neither where they split nor which of them join, nor which of them
    // the bounds drop first.
    std::vector<double> newest(windows.size());
    std::transform(windows.begin(), windows.end(), newest.begin(), newestTime);
    std::vector<std::uint64_t> used(windows.size());
    for (int w : orderOfUse(ranks, newest))
        used[std::size_t(w)] = memory_.tick();
    for (std::size_t w = 0; w < windows.size(); ++w) {
        for (Item& item : windows[w])
            measure(item);
        if (!windows[w].empty())
            entry.windows.push_back(Window{std::move(windows[w]), used[w]});
    }
}

bool ConversationMemory::Restoring::repair(Entry& entry, std::vector<Items> fragments) {
    WindowTexts known(entry.windows);
    for (Items& fragment : fragments) {
        if (abandoned_())
            return false;
        if (!fragment.empty())
            memory_.insertWindow(entry, std::move(fragment), false, &known);
    }
    // A repaired window has no rank of its own: it counts as used when it last grew, in the order
    // the repair left the windows where they tie.
    std::vector<std::tuple<double, std::uint64_t, Window*>> byGrowth;
    for (Window& window : entry.windows)
        byGrowth.emplace_back(newestTime(*window.items), window.lastUsed, &window);
    std::sort(byGrowth.begin(), byGrowth.end());
    for (auto& [newest, repairOrder, window] : byGrowth)
        window->lastUsed = memory_.tick();
    return true;
}

void ConversationMemory::Restoring::install() {
    // Entries without a rank (an older version's file keeps none) count as used before any ranked
    // one, by when each last grew; ranked ones in the order of their ranks; in key order where
    // they tie.
    std::vector<std::pair<Entry*, Use>> byUse;
    for (auto& [key, entry] : restored_)
        byUse.emplace_back(&entry, uses_.at(key));
    std::stable_sort(byUse.begin(), byUse.end(), [](const auto& a, const auto& b) {
        const Use &x = a.second, &y = b.second;
        if (x.rank.has_value() != y.rank.has_value())
            return !x.rank;
        return x.rank ? *x.rank < *y.rank : x.newest < y.newest;
    });
    for (auto& [entry, use] : byUse)
        entry->lastUsed = memory_.newestEntryUse_ = memory_.tick();
    auto& entries = memory_.entries_;
    entries = std::move(restored_);
    ++memory_.revision_;
    memory_.pending_.reset();
    memory_.lastScan_.reset();
    // An older version bounded its memory by records alone: what is beyond the bound in bytes goes
    // now, as the bounds would have dropped it, the conversation used last keeping its newest
    // window.
    if (byUse.empty())
        return;
    auto newest = std::max_element(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.second.lastUsed < b.second.lastUsed;
    });
    const auto& windows = newest->second.windows;
    auto window = std::max_element(windows.begin(), windows.end(),
                                   [](const Window& a, const Window& b) { return a.lastUsed < b.lastUsed; });
    memory_.enforceBounds(newest->first, window == windows.end() ? -1 : int(window - windows.begin()));
}

bool ConversationMemory::restore(const QByteArray& data, const std::function<bool()>& abandonedWhen) {
    const std::function<bool()> abandoned = [&abandonedWhen] { return abandonedWhen && abandonedWhen(); };
    const auto array = json::parseArray(data);
    if (abandoned())
        return false;
    if (!array)
        damaged("not a JSON array");
    if (array->size() > bounds_.conversations)
        damaged("more conversations than the memory holds");
    Restoring restoring(*this, abandoned);
    for (const QJsonValue& value : *array)
        if (!restoring.read(value))
            return false;
    // Nothing has changed until everything was read.
    restoring.install();
    return true;
}

} // namespace quillmere
