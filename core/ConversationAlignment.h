#pragma once

// Whether a window of messages read now and a list stored before are one stretch of one
// conversation, and where they meet. Everything that decides a join is here: the offsets worth
// trying, how two facing messages compare, what an alignment at one offset counts, and which
// counts prove a join (or, on restore, an earlier capture restarting). Storing, merging and the
// saved form are the memory's (ConversationMemory).

#include "core/ConversationMemory.h"

#include <QtGlobal>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace quillmere::ConversationAlignment {

using Item = ConversationMemory::Item;
using Items = std::vector<Item>;

// How a window's message compares with the stored message it faces.
enum class Pair { incompatible, exact, near, strongNear, tailDifferent };

// A long answer that only grew a little while streaming still identifies its turn.
constexpr qsizetype strongNearLength = 80;
constexpr double strongNearRatio = 0.9;
// One shared message joins windows only when it is distinctive enough.
constexpr qsizetype distinctiveAnchorLength = 8;
// Windows whose interior answers changed need this many ordered anchors.
constexpr int streamingAnchors = 7;

// `storedLast`: the stored message is its list's newest. `exactOnly`: only equal texts are
// compatible.
Pair compare(const Item& w, const Item& s, bool storedLast, bool exactOnly);

struct Alignment {
    int offset = 0;  // window item i faces stored item i + offset
    int overlap = 0; // number of facing pairs
    int exact = 0;   // distinct texts among exact pairs
    int strong = 0;  // distinct texts among strong near pairs
    int interiorNear = 0;
    // The stored record of an answer the window completes: the one stored part written, every
    // message of the window facing a stored one before it the same as stored, and the window
    // going on past it with all the stored messages after it. -1 when there is none.
    int completes = -1;
    int exactPairs = 0;
    int userTexts = 0;      // distinct user texts among exact pairs (exact-only alignments)
    int assistantTexts = 0; // distinct assistant texts among exact pairs (exact-only alignments)
    int userPairs = 0;
    int assistantPairs = 0;
    bool identified = false;    // an exact pair shares an identifier
    bool contained = false;     // one side lies entirely within the other
    bool tailDifferent = false; // the stored list's newest answer differs entirely
    bool tailWritten = false;   // the stored list's newest answer read longer or shorter, as written
    // The read ends with a stored answer that changed, the stored messages after it unread: an
    // answer regenerated there, which leaves those messages on a branch the person abandoned.
    bool endsChanged = false;
    // The read faces a stored answer with a longer one, and nothing after it confirms that this is
    // the same answer finished: what was stored after it is not read, or is read otherwise.
    bool unconfirmed = false;
    qsizetype anchorLength = 0; // characters of the shared text when there is exactly one
};

// A hash table from text hashes to positions, built in one pass: a scan compares every visible
// message on every tick, so no sorting. A slot is one distinct hash and heads the list of its
// positions, in the order they were added: adding a position costs the same however often its
// text repeats (an agent's history says "Done." thousands of times), and visiting a hash's
// positions looks at no position of another hash.
class HashIndex {
public:
    explicit HashIndex(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < 2 * count)
            capacity *= 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        positions_.reserve(count);
    }
    // Adds the hash; returns false when it was already present.
    bool insert(std::size_t hash, int position) {
        int first = 0;
        return insert(hash, position, first);
    }
    // The same, telling the first position added with the hash.
    bool insert(std::size_t hash, int position, int& first) {
        Slot& slot = slots_[find(hash)];
        const int added = int(positions_.size());
        positions_.push_back({position, -1});
        if (slot.first < 0) {
            slot = Slot{hash, added, added};
            first = position;
            return true;
        }
        positions_[std::size_t(slot.last)].next = added;
        slot.last = added;
        first = positions_[std::size_t(slot.first)].position;
        return false;
    }
    // Visits the positions of `hash` in the order they were added until `visit` returns false.
    template <typename Visit> void forEach(std::size_t hash, Visit&& visit) const {
        for (int at = slots_[find(hash)].first; at >= 0; at = positions_[std::size_t(at)].next)
            if (!visit(positions_[std::size_t(at)].position))
                return;
    }

private:
    struct Slot {
        std::size_t hash = 0;
        int first = -1; // into positions_; -1: an empty slot
        int last = -1;
    };
    struct Position {
        int position;
        int next; // the hash's next position, -1 after its last
    };
    // The slot of `hash`, or the empty one where it would go. At most half the slots are taken
    // (one per distinct hash), so a search ends soon.
    std::size_t find(std::size_t hash) const {
        std::size_t slot = (hash * 0x9E3779B97F4A7C15ull >> 17) & mask_;
        while (slots_[slot].first >= 0 && slots_[slot].hash != hash)
            slot = (slot + 1) & mask_;
        return slot;
    }
    std::vector<Slot> slots_;
    std::vector<Position> positions_;
    std::size_t mask_ = 0;
};

HashIndex indexOf(const Items& items);
// Whether some item of `items` has a hash `index` holds.
bool sharesText(const HashIndex& index, const Items& items);

// How many distinct hashes there are.
int distinct(const std::vector<std::size_t>& hashes);

// The alignment of w against s at offset d (w[i] facing s[i + d]); none when they do not overlap
// or a facing pair is incompatible. Each pair looked at costs one unit of `budget`.
std::optional<Alignment> evaluate(std::span<const Item> w, std::span<const Item> s, int d, bool exactOnly,
                                  long& budget);

// Whether an alignment proves that a window continues a stored list of the same key.
bool joins(const Alignment& a);

// Whether an alignment of the later part of a stored window against the part before it, reaching
// that part's end, shows an earlier capture stored again after it (which a restore splits off).
bool restarts(const Alignment& a);

// Whether a is the better of two accepted alignments.
bool better(const Alignment& a, const Alignment& b);

// Where window w joins stored list s, when it does. Where a read shares the most with the stored
// list is where its messages are: when the offset sharing the most faces a stored answer with a
// changed one that nothing confirms (another branch, or another conversation under a reused
// title), a join elsewhere on one shared message alone would hold those same messages twice,
// before or after their stored selves.
std::optional<Alignment> bestJoin(const Items& w, const Items& s);

// Bounds on the work one alignment may cost, so that windows of one repeated text ("y", "y", …)
// cannot make a scan or a restore hang; such windows simply stay apart.
constexpr long voteBudget = 1L << 21;
constexpr std::size_t candidateLimit = 64;

// Offsets at which some texts face equal texts, the most promising first, at most candidateLimit.
// Votes are counted from the top of the longer side, voteBudget at most; when they run out before
// its end, as many again at most past them (the texts cheapest to count there first, then the rest
// from the bottom up), besides a few passes over both sides. `looked`, when given, receives how
// many pairs of texts the votes looked at: each vote counted, and each look-up of a message of the
// longer side among the shorter side's texts; so at most twice the vote budget and one look-up per
// message of the longer side. Identifiers, which an archive's history lacks, are looked at apart,
// within a budget of their own.
std::vector<int> candidateOffsets(const Items& w, const Items& s, long* looked = nullptr);

// The best alignment of w against s among those `accept` accepts.
template <typename Accept>
std::optional<Alignment> bestAlignment(const Items& w, const Items& s, bool exactOnly, Accept&& accept) {
    std::optional<Alignment> best;
    long budget = voteBudget;
    for (int d : candidateOffsets(w, s)) {
        if (budget <= 0)
            break;
        auto a = evaluate(w, s, d, exactOnly, budget);
        if (a && accept(*a) && (!best || better(*a, *best)))
            best = a;
    }
    return best;
}
} // namespace quillmere::ConversationAlignment
