#include "core/ConversationAlignment.h"

#include "core/Text.h"

#include <QHash>
#include <algorithm>
#include <tuple>

namespace quillmere::ConversationAlignment {

namespace {

bool isUser(const ConversationText::Message& m) {
    return m.role == QLatin1StringView("user");
}
bool isAssistant(const ConversationText::Message& m) {
    return m.role == QLatin1StringView("assistant");
}

bool idsConflict(const QStringList& a, const QStringList& b) {
    if (a.isEmpty() || b.isEmpty())
        return false;
    return std::none_of(a.begin(), a.end(), [&](const QString& id) { return b.contains(id); });
}

bool sharesId(const QStringList& a, const QStringList& b) {
    return std::any_of(a.begin(), a.end(), [&](const QString& id) { return b.contains(id); });
}

} // namespace

Pair compare(const Item& w, const Item& s, bool storedLast, bool exactOnly) {
    if (w.message.role != s.message.role || idsConflict(w.identifiers, s.identifiers))
        return Pair::incompatible;
    if (w.hash == s.hash && w.key == s.key)
        return Pair::exact;
    if (exactOnly || !isAssistant(w.message))
        return Pair::incompatible;
    const QString& shorter = w.key.size() <= s.key.size() ? w.key : s.key;
    const QString& longer = w.key.size() <= s.key.size() ? s.key : w.key;
    if (longer.startsWith(shorter)) {
        const qsizetype a = text::characterCount(shorter), b = text::characterCount(longer);
        const bool strong = a >= strongNearLength && b > 0 && double(a) / double(b) >= strongNearRatio;
        return strong ? Pair::strongNear : Pair::near;
    }
    // The newest answer of a window may still be streaming or have been regenerated.
    return storedLast ? Pair::tailDifferent : Pair::incompatible;
}

HashIndex indexOf(const Items& items) {
    HashIndex index(items.size());
    for (int i = 0; i < int(items.size()); ++i)
        index.insert(items[std::size_t(i)].hash, i);
    return index;
}

bool sharesText(const HashIndex& index, const Items& items) {
    return std::any_of(items.begin(), items.end(), [&](const Item& item) {
        bool found = false;
        index.forEach(item.hash, [&](int) { return !(found = true); });
        return found;
    });
}
int distinct(const std::vector<std::size_t>& hashes) {
    if (hashes.size() < 2)
        return int(hashes.size());
    HashIndex seen(hashes.size());
    int count = 0;
    for (std::size_t hash : hashes)
        count += seen.insert(hash, 0) ? 1 : 0;
    return count;
}

std::optional<Alignment> evaluate(std::span<const Item> w, std::span<const Item> s, int d, bool exactOnly,
                                  long& budget) {
    const int m = int(w.size()), n = int(s.size());
    const int begin = std::max(0, -d), end = std::min(m, n - d);
    if (end - begin < 1)
        return std::nullopt;
    Alignment a;
    a.offset = d;
    a.overlap = end - begin;
    a.contained = a.overlap == m || a.overlap == n;
    std::vector<std::size_t> exact, strong, users, assistants;
    const QString* anchor = nullptr;
    // Messages of the read before the stored list's first one face nothing: a read that starts
    // above the stored list may complete an answer as well as one that starts within it.
    bool sameSoFar = true;
    // What the read shows after the answer it completes: how many messages the same as stored,
    // and whether any other differs (the stored newest answer growing aside).
    int sameAfter = 0;
    bool changedAfter = false;
    for (int i = begin; i < end; ++i) {
        --budget;
        const Item& x = w[std::size_t(i)];
        const Item& y = s[std::size_t(i + d)];
        const bool storedLast = i + d == n - 1;
        const Pair pair = compare(x, y, storedLast, exactOnly);
        if (pair == Pair::incompatible)
            return std::nullopt;
        if (a.completes >= 0) {
            if (pair == Pair::exact)
                ++sameAfter;
            else if (!(storedLast && (pair == Pair::near || pair == Pair::strongNear)))
                changedAfter = true;
        }
        (isUser(x.message) ? a.userPairs : a.assistantPairs)++;
        if (pair == Pair::exact) {
            ++a.exactPairs;
            exact.push_back(y.hash);
            if (exactOnly)
                (isUser(x.message) ? users : assistants).push_back(y.hash);
            a.identified = a.identified || sharesId(x.identifiers, y.identifiers);
            anchor = &y.key;
        } else if (pair == Pair::tailDifferent) {
            a.tailDifferent = true;
        } else if (pair == Pair::near || pair == Pair::strongNear) {
            if (pair == Pair::strongNear)
                strong.push_back(y.hash);
            if (storedLast) {
                a.tailWritten = true;
            } else {
                ++a.interiorNear;
                a.endsChanged = i == m - 1;
                if (sameSoFar && y.key.size() < x.key.size())
                    a.completes = i + d;
            }
        }
        sameSoFar = sameSoFar && pair == Pair::exact;
    }
    // An answer stored while it was still being written, and now read whole with the same
    // messages before it, is that answer: like the newest answer changing, it is no sign of
    // another conversation. Any other interior change is. Such an answer was the newest message
    // when it was stored, or followed only by requests sent meanwhile, so a read that is this
    // conversation goes on past it with all that was stored after it, unchanged. A read that ends
    // with the longer answer proves nothing: another conversation under a reused title, or the
    // same one with that answer regenerated, begins the same way.
    const bool completing = a.interiorNear == 1 && a.completes >= 0;
    const bool confirmed = sameAfter > 0 && !changedAfter && end + d == n;
    a.unconfirmed = completing && !confirmed;
    if (completing && confirmed)
        a.interiorNear = 0;
    else
        a.completes = -1;
    a.exact = distinct(exact);
    if (a.exact == 1)
        a.anchorLength = text::characterCount(*anchor);
    a.strong = distinct(strong);
    a.userTexts = distinct(users);
    a.assistantTexts = distinct(assistants);
    return a;
}

// Whether an alignment proves that a window continues a stored list of the same key.
bool joins(const Alignment& a) {
    // However much the read shares before it, a changed answer it ends with was regenerated, not
    // streamed: what was stored after it is no longer this conversation's. That holds for a stored
    // window ending with the beginning of an answer the list holds longer too: a regenerated
    // answer, or another conversation's under a reused title, may begin the same way, and only a
    // read that goes on past it tells them apart (by completing it).
    if (a.endsChanged)
        return false;
    if (a.interiorNear > 0)
        return a.exact + a.strong >= streamingAnchors;
    // Containment proves little when the newest answer was replaced by another one: a new
    // conversation may begin with the same short request.
    return a.exact >= 2 || a.identified || (a.contained && a.exact >= 1 && !a.tailDifferent) ||
           (a.exact == 1 && a.anchorLength >= distinctiveAnchorLength);
}

std::optional<Alignment> bestJoin(const Items& w, const Items& s) {
    int changed = 0; // the most distinct texts shared where the read shows an answer changed
    auto best = bestAlignment(w, s, false, [&changed](const Alignment& a) {
        if (joins(a))
            return true;
        if (a.unconfirmed)
            changed = std::max(changed, a.exact + a.strong);
        return false;
    });
    // A join on more than one shared text, a message number, an answer completed at the stored
    // end or the stored newest answer still being written says where the read lies by itself: a
    // routine said over and over shares a few texts at many offsets, one of them where the read
    // really continues it.
    const bool alone = best && best->exact + best->strong == 1 && !best->identified && best->completes < 0 &&
                       !best->tailWritten;
    if (alone && changed > 1)
        return std::nullopt;
    return best;
}

bool restarts(const Alignment& a) {
    // As many distinct anchors as reconnect a streaming change, whatever changed in between (an
    // answer completed included): a routine said over and over (run the tests, "Done.", fix the
    // lint, "Done.") re-covers its own start with a few distinct texts, and a window the memory
    // stored so must come back whole. So many anchors also prove the join itself.
    return a.exact + a.strong >= streamingAnchors && a.overlap >= 4 && a.userPairs >= 2 &&
           a.assistantPairs >= 2;
}

bool better(const Alignment& a, const Alignment& b) {
    if (a.exact + a.strong != b.exact + b.strong)
        return a.exact + a.strong > b.exact + b.strong;
    if (a.overlap != b.overlap)
        return a.overlap > b.overlap;
    return a.offset > b.offset;
}

namespace {

// The pairs an offset's votes were counted over: every pair facing one of the large side's first
// `top` messages or its messages from `bottom` on, and between them the pairs whose small side's
// text was counted whole (`cheapBefore[i]`: how many small positions before i hold one).
struct Reach {
    int top = 0;
    int bottom = 0;
    std::vector<int> cheapBefore;
    // Of the small side's positions [first, end), facing the large side `shift` places later.
    int pairs(int first, int end, int shift) const {
        int pairs = std::max(0, std::min(end, top - shift) - first) +
                    std::max(0, end - std::max(first, bottom - shift));
        const int from = std::max(first, top - shift), to = std::min(end, bottom - shift);
        if (from < to && !cheapBefore.empty())
            pairs += cheapBefore[std::size_t(to)] - cheapBefore[std::size_t(from)];
        return pairs;
    }
};

// Goes on counting past the large side's first `reach.top` messages, where the vote budget
// ran out, within a budget of its own: the texts of the small side whose pairs over the rest cost
// least first, each over the whole rest (a text the rest never says costs nothing); then what is
// left on the others from the bottom of the large side up, where a read of a conversation's
// newest messages lies, a whole message at a time (one counted in part would leave out the pairs
// of the offsets facing it last). The texts said over and over in a long history spend the first
// budget on its top, while a read of its bottom is told apart by the texts it says least, or by
// the stored messages it faces there. `smallText[i]`: the text at small position i, numbered from
// 0 in the order they first occur; `texts`: how many there are. `lookups` counts the messages of the
// large side looked up.
template <typename Vote>
void countOn(const Items& large, const HashIndex& index, const std::vector<int>& smallText, int texts,
             Reach& reach, long& lookups, Vote&& vote) {
    const int smallSize = int(smallText.size()), largeSize = int(large.size()), top = reach.top;
    // The text of a message of the large side; -1 when the small side never says it.
    const auto textOf = [&](std::size_t hash) {
        ++lookups;
        int first = -1;
        index.forEach(hash, [&first](int position) { return first = position, false; });
        return first < 0 ? -1 : smallText[std::size_t(first)];
    };
    // The small side's positions by text, each text's together: what counting on visits, in
    // order, rather than chained through the index.
    std::vector<int> from(std::size_t(texts) + 1, 0), byText(smallText.size());
    for (int text : smallText)
        ++from[std::size_t(text) + 1];
    for (int text = 0; text < texts; ++text)
        from[std::size_t(text) + 1] += from[std::size_t(text)];
    {
        std::vector<int> next(from.begin(), from.end() - 1);
        for (int i = 0; i < smallSize; ++i)
            byText[std::size_t(next[std::size_t(smallText[std::size_t(i)])]++)] = i;
    }
    const auto uses = [&from](int text) { return from[std::size_t(text) + 1] - from[std::size_t(text)]; };
    const auto count = [&](int l, int text) {
        for (int k = from[std::size_t(text)]; k < from[std::size_t(text) + 1]; ++k)
            vote(l, byText[std::size_t(k)]);
    };
    std::vector<int> restText(std::size_t(largeSize - top));
    std::vector<long> restCost(std::size_t(texts), 0);
    for (int l = top; l < largeSize; ++l) {
        const int text = restText[std::size_t(l - top)] = textOf(large[std::size_t(l)].hash);
        if (text >= 0)
            restCost[std::size_t(text)] += uses(text);
    }
    // The cheapest texts first, ties in the order they occur, while the budget lasts. Texts that
    // cost more than the whole budget never fit; when the others all fit together, no order is
    // needed to tell which they are.
    std::vector<char> cheap(std::size_t(texts), 0);
    long left = voteBudget, fitting = 0;
    for (long cost : restCost)
        fitting += cost <= voteBudget ? cost : 0;
    if (fitting <= voteBudget) {
        for (int text = 0; text < texts; ++text)
            cheap[std::size_t(text)] = restCost[std::size_t(text)] <= voteBudget;
        left -= fitting;
    } else {
        std::vector<std::pair<long, int>> costs; // (votes over the rest, text)
        for (int text = 0; text < texts; ++text)
            if (restCost[std::size_t(text)] <= voteBudget)
                costs.emplace_back(restCost[std::size_t(text)], text);
        std::sort(costs.begin(), costs.end());
        for (const auto& [cost, text] : costs) {
            if (cost > left)
                break;
            left -= cost;
            cheap[std::size_t(text)] = 1;
        }
    }
    if (left < voteBudget)
        for (int l = top; l < largeSize; ++l)
            if (const int text = restText[std::size_t(l - top)]; text >= 0 && cheap[std::size_t(text)])
                count(l, text);
    for (; reach.bottom > top; --reach.bottom) {
        const int text = restText[std::size_t(reach.bottom - 1 - top)];
        if (text < 0 || cheap[std::size_t(text)])
            continue;
        if (uses(text) > left)
            break;
        left -= uses(text);
        count(reach.bottom - 1, text);
    }
    reach.cheapBefore.assign(smallText.size() + 1, 0);
    for (int i = 0; i < smallSize; ++i)
        reach.cheapBefore[std::size_t(i) + 1] =
            reach.cheapBefore[std::size_t(i)] + cheap[std::size_t(smallText[std::size_t(i)])];
}

} // namespace

// Offsets at which some texts face equal texts: those where a message has the same identifier on
// both sides first, then those with the most shared texts. A few texts said over and over in a
// long history outvote, at every shift of their cycle, the one offset where an answer still being
// written was stored shorter; only the identifiers tell that one apart.
std::vector<int> candidateOffsets(const Items& w, const Items& s, long* looked) {
    const int m = int(w.size()), n = int(s.size());
    if (looked)
        *looked = 0;
    if (m == 0 || n == 0)
        return {};
    const bool indexWindow = m <= n;
    const Items& small = indexWindow ? w : s;
    const Items& large = indexWindow ? s : w;
    const int smallSize = int(small.size()), largeSize = int(large.size());
    HashIndex index(small.size());
    // The small side's texts, numbered in the order they first occur.
    std::vector<int> smallText(small.size());
    int texts = 0;
    for (int i = 0; i < smallSize; ++i) {
        int first = i;
        smallText[std::size_t(i)] =
            index.insert(small[std::size_t(i)].hash, i, first) ? texts++ : smallText[std::size_t(first)];
    }
    std::vector<int> votes(std::size_t(m + n - 1), 0);
    long cast = 0, lookups = 0;
    // The large side's message l and the small side's message at `position` have equal texts.
    const auto vote = [&](int l, int position) {
        const int i = indexWindow ? position : l;
        const int j = indexWindow ? l : position;
        ++votes[std::size_t(j - i + m - 1)];
        ++cast;
    };
    Reach reach{0, largeSize, {}};
    long spent = 0;
    for (int l = 0; l < largeSize && spent < voteBudget; ++l, ++reach.top, ++lookups)
        index.forEach(large[std::size_t(l)].hash, [&](int position) {
            vote(l, position);
            return ++spent < voteBudget;
        });
    if (reach.top < largeSize)
        countOn(large, index, smallText, texts, reach, lookups, vote);
    if (looked)
        *looked = cast + lookups;
    std::vector<char> named(votes.size(), 0);
    std::size_t smallIds = 0;
    for (const Item& item : small)
        smallIds += std::size_t(item.identifiers.size());
    if (smallIds > 0) {
        // Message numbers are unique within a window; identifiers that repeat are bounded as
        // repeated texts are.
        long looked = 0;
        HashIndex ids(smallIds);
        for (int i = 0; i < smallSize; ++i)
            for (const QString& id : small[std::size_t(i)].identifiers)
                ids.insert(qHash(id), i);
        for (int l = 0; l < largeSize && looked < voteBudget; ++l)
            for (const QString& id : large[std::size_t(l)].identifiers)
                ids.forEach(qHash(id), [&](int position) {
                    if (small[std::size_t(position)].identifiers.contains(id)) {
                        const int i = indexWindow ? position : l;
                        const int j = indexWindow ? l : position;
                        named[std::size_t(j - i + m - 1)] = 1;
                    }
                    return ++looked < voteBudget;
                });
    }
    // A budget cut short counts each offset's votes over the pairs it looked at, which are more of
    // the offset's overlap at some offsets than at others: a few texts said in turn in a long
    // history would outvote, at shifts of their cycle, the offset where the read covers the stored
    // list, the shifts holding the messages they share twice. Each offset's count is scaled to its
    // whole overlap (counted whole, it stays as it is), so that of offsets sharing texts as
    // densely the one facing the most stored messages comes first. The best candidateLimit are kept
    // in a heap whose least is the first to go.
    using Ranked = std::tuple<char, double, int>; // (named, votes, offset)
    std::vector<Ranked> ranked;
    ranked.reserve(candidateLimit);
    const auto greater = [](const Ranked& a, const Ranked& b) { return a > b; };
    for (int k = 0; k < int(votes.size()); ++k)
        if (votes[std::size_t(k)] > 0) {
            const int d = k - (m - 1);
            const int overlap = std::min(m, n - d) - std::max(0, -d);
            // The large side lies `shift` places after the small side it faces.
            const int shift = indexWindow ? d : -d;
            const int pairs = reach.pairs(std::max(0, -shift), std::min(smallSize, largeSize - shift), shift);
            const Ranked offset{named[std::size_t(k)], double(votes[std::size_t(k)]) * overlap / pairs, d};
            if (ranked.size() == candidateLimit) {
                if (!greater(offset, ranked.front()))
                    continue;
                std::pop_heap(ranked.begin(), ranked.end(), greater);
                ranked.pop_back();
            }
            ranked.push_back(offset);
            std::push_heap(ranked.begin(), ranked.end(), greater);
        }
    std::sort_heap(ranked.begin(), ranked.end(), greater);
    std::vector<int> out;
    for (const Ranked& offset : ranked)
        out.push_back(std::get<2>(offset));
    return out;
}

} // namespace quillmere::ConversationAlignment
