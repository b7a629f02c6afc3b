// What joins a window read now to a stored list of the same conversation, and what keeps them
// apart, in one table: each row is a stored list, a read, and where (if anywhere) they meet.

#include "core/ConversationAlignment.h"

#include <gtest/gtest.h>

#include <QHash>

using namespace quillmere;
using namespace quillmere::ConversationAlignment;
using Message = ConversationText::Message;

namespace {

Item item(const QString& role, const QString& text, const QString& id = {}) {
    Item out;
    out.message = {role, text};
    out.key = ConversationText::normalize(text);
    out.hash = qHash(out.key);
    if (!id.isEmpty())
        out.identifiers << id;
    return out;
}
Item asks(const QString& text, const QString& id = {}) {
    return item("user", text, id);
}
Item says(const QString& text, const QString& id = {}) {
    return item("assistant", text, id);
}

Items turns(int from, int to) {
    Items out;
    for (int i = from; i < to; ++i)
        out.push_back(i % 2 == 0 ? asks(QStringLiteral("Turn request %1").arg(i))
                                 : says(QStringLiteral("Turn answer %1").arg(i)));
    return out;
}

Items with(Items items, std::size_t at, const QString& text) {
    items[at] = item(items[at].message.role, text);
    return items;
}

Items then(Items first, const Items& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// An agent's routine, its second "run the tests" answered with `third`.
Items routine(const QString& third) {
    return {asks("run the tests"), says("Done."),   asks("fix the lint"), says("Done."),
            asks("run the tests"), says(third),     asks("fix the lint"), says("Done."),
            asks("ship it"),       says("Shipped.")};
}

const QString completed = QStringLiteral("Turn answer 3, and the rest of it");

// An agent's long history of a few texts said in turn: three requests and two answers.
Items fewTexts(int count) {
    Items out;
    for (int i = 0; i < count; ++i)
        out.push_back(i % 2 == 0 ? asks(QStringLiteral("continue %1").arg(i / 2 % 3))
                                 : says(QStringLiteral("Done %1.").arg(i / 2 % 2)));
    return out;
}

// An agent's long history of two requests said in turn, each answered the same way, ending with
// `own` messages said nowhere else.
Items twoRequests(int count, int own) {
    Items out;
    for (int i = 0; i < count; ++i)
        out.push_back(i >= count - own ? item(i % 2 == 0 ? "user" : "assistant",
                                              QStringLiteral("A message of its own, %1").arg(i))
                      : i % 2 == 0 ? asks(QStringLiteral("continue %1").arg(i / 2 % 2))
                                   : says("Done 0."));
    return out;
}

// A history of two requests and two answers said in no order: each message picks one of its
// speaker's two texts by a bit of its position's mix.
Items twoTextsAtRandom(int count) {
    Items out;
    for (int i = 0; i < count; ++i) {
        std::uint64_t z = std::uint64_t(i) + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        const int bit = int((z ^ (z >> 31)) & 1);
        out.push_back(i % 2 == 0 ? asks(QStringLiteral("run step %1").arg(bit))
                                 : says(QStringLiteral("Step %1 done.").arg(bit)));
    }
    return out;
}

Items stretch(const Items& items, int from, int count) {
    return Items(items.begin() + from, items.begin() + from + count);
}

Items lastOf(const Items& items, int count) {
    return Items(items.end() - count, items.end());
}

} // namespace

TEST(ConversationAlignment, WhatJoinsAndWhatStaysApart) {
    const Items trip = {asks("Can you help me plan a trip?"), says("Sure, I can help with that."),
                        asks("I would like to see Kyoto in spring"), says("Kyoto in spring is lovely.")};
    // An agent driven by one request said over and over: the request faces itself at several
    // offsets, one of them at an end of the stored list.
    const Items session = {asks("Continue."), says("Created the schema."), asks("Continue."),
                           says("Done."),     asks("Continue."),           says("Wrote the API handlers."),
                           asks("Continue."), says("Added their tests.")};
    const auto part = [&](int count) { return Items(session.begin(), session.begin() + count); };
    const Item regenerated = says("Done. I also ran the migrations.");
    const Items longRead = fewTexts(5001);
    // Read a thousand messages at a time, a history of twenty thousand spends the vote budget on
    // its first part.
    const Items pinned = twoRequests(20000, 2), unpinned = twoRequests(20000, 0);
    const Items oneRequest(50000, asks("continue"));
    const Items shortMix = twoTextsAtRandom(20000), longMix = twoTextsAtRandom(50000);
    struct Row {
        const char* name;
        Items stored;
        Items read;
        bool joins;
        int offset = 0;     // where the read's first message faces the stored list
        int completes = -1; // the stored answer the read completes
    };
    const Row rows[] = {
        // Ordered overlap.
        {"two shared messages", turns(0, 6), turns(4, 8), true, 4},
        {"the read within the stored list", turns(0, 8), turns(2, 4), true, 2},
        {"one distinctive shared message",
         turns(0, 5),
         {asks("Turn request 4"), says("An answer not stored")},
         true,
         4},
        {"one short shared message before another answer",
         {asks("ok"), says("First answer")},
         {asks("ok"), says("A different answer")},
         false},
        {"nothing shared", turns(0, 4), {asks("Another conversation entirely")}, false},
        // Identifiers.
        {"a shared identifier", {asks("y", "1"), asks("y", "2")}, {asks("y", "2"), asks("y", "3")}, true, 1},
        {"conflicting identifiers",
         {asks("Build the feature", "message:1:user")},
         {asks("Build the feature", "message:5:user")},
         false},
        // The newest answer may still be written or regenerated.
        {"the newest answer growing",
         {asks("ok"), says("First answer")},
         {asks("ok"), says("First answer in full")},
         true},
        {"the newest answer regenerated", turns(0, 4), with(turns(0, 4), 3, "Another answer entirely"), true},
        // An interior answer that changed.
        {"an interior answer rewritten", turns(0, 6), with(turns(0, 6), 1, "A rewritten first answer"),
         false},
        {"an interior answer cut shorter", turns(0, 6), with(turns(0, 6), 3, "Turn ans"), false},
        {"an interior change with seven ordered anchors", turns(2, 16),
         with(turns(0, 16), 7, "Turn answer 7, revised"), true, -2, 5},
        {"an interior answer read shorter, with seven ordered anchors", turns(2, 16),
         with(turns(0, 16), 7, "Turn answer"), true, -2},
        {"seven ordered anchors, then an answer regenerated longer", turns(0, 16),
         with(turns(0, 12), 11, "Turn answer 11. Actually, here is more"), false},
        {"seven ordered anchors, then an answer regenerated shorter", turns(0, 16),
         with(turns(0, 12), 11, "Turn"), false},
        // An answer stored while it was still being written, read whole.
        {"completed, the read going on with the stored rest", with(turns(0, 6), 3, "Turn answer 3"),
         with(turns(0, 8), 3, completed), true, 0, 3},
        {"completed, a request sent meanwhile read after it", with(turns(0, 5), 3, "Turn answer 3"),
         with(turns(0, 6), 3, completed), true, 0, 3},
        {"completed, the read ending with it", turns(0, 6), with(turns(0, 4), 3, completed), false},
        {"completed, the read stopping before the stored end", turns(0, 6), with(turns(0, 5), 3, completed),
         false},
        {"completed, the stored newest answer regenerated after it", turns(0, 6),
         with(with(turns(0, 6), 3, completed), 5, "Another answer entirely"), false},
        {"completed, nothing but the newest answer after it",
         {asks("Turn request 0"), says("Turn answer 1"), says("Turn answer 2")},
         {asks("Turn request 0"), says("Turn answer 1, and more"), says("Turn answer 2, and more")},
         false},
        {"completed, another answer changed too", turns(0, 6),
         with(with(turns(0, 6), 3, completed), 1, "Turn answer 1, revised"), false},
        {"completed, read from before the stored messages", turns(0, 6), with(turns(-2, 6), 5, completed),
         true, -2, 3},
        {"a reused title",
         trip,
         {trip[0], says("Sure, I can help with that. Where would you like to go?")},
         false},
        {"a reused title, a greeting",
         {asks("hi"), says("Hello!"), asks("What is the weather?"), says("Sunny.")},
         {asks("hi"), says("Hello! How can I help you today?")},
         false},
        // Where the read shares the most with the stored list is where its messages are: when
        // that offset does not join, no offset sharing less does.
        {"a regenerated answer, the same request after it, the stored newest answer answered otherwise",
         part(6), then(part(3), {regenerated, asks("Continue."), says("Added the API handlers instead.")}),
         false},
        {"a regenerated answer, the same request after it, the read stopping before the stored end", session,
         then(part(3), {regenerated, asks("Continue.")}), false},
        {"an answer completed in a session driven by one request",
         then(part(3), {says("Do"), asks("Continue.")}), part(6), true, 0, 3},
        // A routine shares a few texts at many offsets; where the read continues it, one shared
        // request says enough with the stored newest answer still being written, with its message
        // number, or with an answer completed at the stored end.
        {"one shared request, the stored newest answer still written",
         {asks("Continue."), says("Done."), asks("run the tests"), says("Done."), asks("Continue."),
          says("D")},
         {asks("Continue."), says("Done."), asks("run the tests"), says("Done. All green now."),
          asks("Continue.")},
         true,
         4},
        {"one shared request with its number",
         {asks("Continue."), says("Done."), asks("run the tests"), says("Done."), asks("Continue."),
          says("Shipped."), asks("Continue.", "message:9:user")},
         {asks("Continue.", "message:9:user"), says("Done."), asks("run the tests"),
          says("Done. All green now."), asks("Continue.")},
         true,
         6},
        // Where the most is shared, an answer reads shorter than stored: no sign of another
        // branch, and the routine it shares comes before the distinctive request there and after
        // it in the read, so one distinctive request says where the read goes on.
        {"one distinctive shared request, a routine sharing more with an answer read shorter",
         {asks("run the tests"), says("Done. All 12 pass."), asks("fix the lint"), says("Done."),
          asks("commit"), says("Done."), asks("Now migrate the billing tables")},
         {asks("Now migrate the billing tables"), says("Migrated them."), asks("run the tests"),
          says("Done."), asks("fix the lint"), says("Done.")},
         true,
         6},
        // Every shift of its cycle shares as many texts; the read covers the stored list where it
        // faces the most of it, and adds only the message it shows past the end.
        {"a long history of a few texts, read whole again with one message more", fewTexts(5000), longRead,
         true, 0},
        {"a long history of a few texts, read again from its second message", fewTexts(5000),
         Items(longRead.begin() + 1, longRead.end()), true, 1},
        // The texts said over and over spend the vote budget on the top of a long history; a read
        // of its bottom lies where the texts it shares least put it, or where it goes on past it.
        {"the bottom of a long history of a few texts, two messages of its own at its end", pinned,
         lastOf(pinned, 1000), true, 19000},
        {"the bottom of a long history of a few texts, going on with a message not stored", unpinned,
         then(lastOf(unpinned, 999), {asks("A request not stored")}), true, 19001},
        {"the bottom of a long history of one request, going on with a request not stored", oneRequest,
         then(lastOf(oneRequest, 999), {asks("A request not stored")}), true, 49001},
        {"a long history of one request, read whole again", oneRequest, oneRequest, true, 0},
        // Texts said at random: a long enough read lies only where it was read, each pair of
        // texts counted once, the texts cheapest to count as well as the others.
        {"the middle of a history of two texts said at random", shortMix, stretch(shortMix, 9500, 1000), true,
         9500},
        {"the middle of a longer history of two texts said at random", longMix, stretch(longMix, 24850, 300),
         true, 24850},
        {"one shared request, an answer completed at the stored end",
         {asks("Continue."), says("Done."), asks("run the tests"), says("Done."), asks("Continue."),
          says("Do"), asks("Continue.")},
         {says("Done."), asks("Continue."), says("Done. All green now.")},
         true,
         5,
         5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto found = bestJoin(row.read, row.stored);
        EXPECT_EQ(found.has_value(), row.joins);
        if (!found || !row.joins)
            continue;
        EXPECT_EQ(found->offset, row.offset);
        EXPECT_EQ(found->completes, row.completes);
    }
}

// A restore splits a stored window where its later part re-covers the part before it: two
// captures stored as one. A window the memory stored itself is never cut there.
TEST(ConversationAlignment, WhatARestoreTakesForAnEarlierCaptureStoredAgain) {
    struct Row {
        const char* name;
        Items window;
        int cut; // where the later part starts
        int offset;
        bool restarts;
    };
    // An agent's queue: one request answered in seven steps, or seven requests answered at once.
    Items oneRequest = {asks("Continue.")}, oneAnswer;
    for (int i = 0; i < 7; ++i) {
        oneRequest.push_back(says(QStringLiteral("Step %1 is done").arg(i)));
        oneAnswer.push_back(asks(QStringLiteral("Queued task %1").arg(i)));
    }
    oneAnswer.push_back(says("All queued tasks are done."));
    const Row rows[] = {
        {"a capture re-covering the last eight messages", then(turns(0, 12), turns(4, 18)), 12, 4, true},
        {"the same capture twice, its newest answer grown",
         then(with(turns(0, 12), 11, "Turn answer 11, part"), turns(0, 12)), 12, 0, true},
        {"a capture whose interior answer was stored part written",
         then(with(turns(0, 12), 5, "Turn answer 5, part"), turns(0, 12)), 12, 0, true},
        {"a routine said over and over", routine("Done."), 4, 0, false},
        {"a routine whose answer once said more", routine("Done. All green now."), 4, 0, false},
        {"four messages said again", then(turns(0, 4), turns(0, 6)), 4, 0, false},
        {"six distinct messages said again", then(turns(0, 6), turns(0, 6)), 6, 0, false},
        {"one request and seven distinct answers said again", then(oneRequest, oneRequest), 8, 0, false},
        {"seven distinct requests and one answer said again", then(oneAnswer, oneAnswer), 8, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::span<const Item> all(row.window);
        long budget = voteBudget;
        const auto a = evaluate(all.subspan(std::size_t(row.cut)), all.first(std::size_t(row.cut)),
                                row.offset, false, budget);
        EXPECT_TRUE(a && restarts(*a) == row.restarts);
    }
}

// The index behind every search for equal texts: a hash said thousands of times keeps all its
// positions, in the order they were added, beside hashes that share its slots' neighbourhood.
TEST(ConversationAlignment, TheHashIndexKeepsEveryPositionOfARepeatedHashInOrder) {
    constexpr int repeats = 5000;
    HashIndex index(2 * repeats + 1);
    for (int i = 0; i < repeats; ++i) {
        EXPECT_EQ(index.insert(42, i), i == 0);
        // Hashes that land in the same slots as 42 or next to them.
        EXPECT_EQ(index.insert(42 + (std::size_t(i % 3 + 1) << 60), repeats + i), i < 3);
    }
    std::vector<int> visited;
    index.forEach(42, [&](int position) {
        visited.push_back(position);
        return true;
    });
    ASSERT_EQ(int(visited.size()), repeats);
    for (int i = 0; i < repeats; ++i)
        ASSERT_EQ(visited[std::size_t(i)], i);
    int seen = 0;
    index.forEach(42, [&](int) { return ++seen < 3; });
    EXPECT_EQ(seen, 3) << "a visit that stops sees no further position";
    index.forEach(7, [&](int) { return ADD_FAILURE(), false; });
    EXPECT_EQ(distinct({1, 1, 2, 3, 3, 3, 2, 1}), 3);
    EXPECT_EQ(distinct({}), 0);
}

// The bottom of an agent's long history of two requests said in turn, read once the whole history
// is stored: its frequent texts spend the vote budget on the top of the history, and the two
// messages of its own still say where the read lies, up to the memory's bound. Read elsewhere, it
// would be stored apart and the bound would drop the history it belongs to.
TEST(ConversationAlignment, TheBottomOfALongHistoryOfAFewTextsJoinsItUpToTheMemorysBound) {
    const QDateTime at = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    for (const int count : {195001, 199997, ConversationMemory::maximumRecords - 1}) {
        SCOPED_TRACE(count);
        std::vector<Message> history;
        history.reserve(std::size_t(count));
        for (const Item& item : twoRequests(count, 2))
            history.push_back(item.message);
        ConversationMemory memory;
        const QString key = "codex|thread:bottom";
        memory.observe(key, history, {}, true, at);
        memory.observe(key, history, {}, true, at);
        ASSERT_EQ(memory.recordCount(), std::size_t(count));
        const std::vector<Message> bottom(history.end() - 30, history.end());
        const auto result = memory.observe(key, bottom, {}, true, at.addSecs(60));
        EXPECT_EQ(result.windows, 1);
        EXPECT_EQ(result.connectedCount, count);
        EXPECT_EQ(memory.recordCount(), std::size_t(count)) << "the read was stored apart or twice";
    }
}

// The bottom of a long history of a few texts said in turn, read once the whole history is stored:
// each message of the read faces thousands of stored ones with its text, so the votes spend their
// first budget on the top of the history, and what they count past it, the texts cheapest to count
// first and then the rest from the bottom up, is priced by the pairs it counts, not by the stored
// messages: the search looks at no more pairs than twice the vote budget and one look-up per stored
// message, however long the read.
TEST(ConversationAlignment, TheVotesForTheBottomOfALongHistoryOfAFewTextsStayWithinTheirBudgets) {
    constexpr int count = 199990;
    for (const int texts : {2, 3}) {
        Items history;
        history.reserve(count);
        for (int i = 0; i < count; ++i) {
            const QString text = QStringLiteral("Said in turn, text %1").arg(i % texts);
            history.push_back(i % 2 == 0 ? asks(text) : says(text));
        }
        for (const int read : {30, 2000, 8000}) {
            SCOPED_TRACE(QStringLiteral("%1 texts, the last %2 messages").arg(texts).arg(read).toStdString());
            long looked = 0;
            const std::vector<int> offsets = candidateOffsets(lastOf(history, read), history, &looked);
            EXPECT_FALSE(offsets.empty());
            EXPECT_GT(looked, voteBudget) << "the first budget ran out before the end of the history";
            EXPECT_LE(looked, 2 * voteBudget + long(history.size()));
        }
    }
    // Past a top that spends the budget, thirty texts each cheap enough on its own but not all
    // together: as many are counted as the second budget holds.
    Items history, read;
    for (int i = 0; i < 32000; ++i)
        history.push_back(
            says(i < 2000 ? QStringLiteral("Said at the top") : QStringLiteral("Said %1").arg(i % 30)));
    for (int i = 0; i < 7000; ++i)
        read.push_back(
            says(i < 4000 ? QStringLiteral("Said at the top") : QStringLiteral("Said %1").arg(i % 30)));
    long looked = 0;
    EXPECT_FALSE(candidateOffsets(read, history, &looked).empty());
    EXPECT_GT(looked, voteBudget);
    EXPECT_LE(looked, 2 * voteBudget + long(history.size()));
}
