#include "core/ConversationMemory.h"

#include "core/Json.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <numeric>
#include <span>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// A message as a failure shows it: its role and the start of its text.
namespace quillmere::ConversationText {
inline void PrintTo(const Message& message, std::ostream* os) {
    *os << message.role.toStdString() << ": \"" << message.text.left(40).toStdString()
        << (message.text.size() > 40 ? "…" : "") << '"';
}
} // namespace quillmere::ConversationText

using namespace quillmere;
using Message = ConversationText::Message;
using Messages = std::vector<Message>;

namespace {

Message user(const QString& text) {
    return {"user", text};
}
Message assistant(const QString& text) {
    return {"assistant", text};
}

QDateTime at(qint64 secondsSince1970) {
    return QDateTime::fromSecsSinceEpoch(secondsSince1970, Qt::UTC);
}

Messages turns(int from, int to, const QString& topic = "Turn") {
    Messages out;
    for (int i = from; i < to; ++i)
        out.push_back(i % 2 == 0 ? user(topic + " request " + QString::number(i))
                                 : assistant(topic + " answer " + QString::number(i)));
    return out;
}

ConversationMemory::Result twice(ConversationMemory& memory, const QString& key, const Messages& messages,
                                 const std::vector<std::optional<QString>>& ids = {}) {
    memory.observe(key, messages, ids, true, at(1000));
    return memory.observe(key, messages, ids, true, at(1000));
}

// A memory with something in it, to show that a refused restore changes nothing.
ConversationMemory populated() {
    ConversationMemory memory;
    twice(memory, "kept", turns(0, 6));
    memory.confirmLatestMessagePosition("kept", 6);
    return memory;
}

void expectRefused(const QByteArray& data) {
    ConversationMemory memory = populated();
    const QByteArray before = memory.encoded();
    EXPECT_THROW(memory.restore(data), ConversationMemoryFormatError) << data.left(200).toStdString();
    EXPECT_EQ(memory.encoded(), before);
    EXPECT_EQ(memory.records("kept").size(), 1u);
}

QByteArray entryWith(const QString& recordJson, const QString& extra = {}) {
    return QString(R"([{"key":"k","segments":[[%1]]%2}])").arg(recordJson, extra).toUtf8();
}

const QString goodRecord =
    R"({"message":{"role":"user","text":"hello"},"firstObservedAt":1,"identifiers":[]})";

} // namespace

TEST(ConversationMemoryRestore, RefusesDamagedFilesAndKeepsTheMemory) {
    expectRefused("");
    expectRefused("not json");
    expectRefused(R"([{"key":"k","segments":[[)");
    expectRefused(R"({"key":"k","segments":[]})");
    expectRefused(R"([1])");
    expectRefused(R"([{"segments":[]}])");
    expectRefused(R"([{"key":7,"segments":[]}])");
    expectRefused(R"([{"key":"k","segments":"[]"}])");
    expectRefused(R"([{"key":"k","segments":[{}]}])");
    expectRefused(R"([{"key":"k","segments":[],"conversationScopeID":5}])");
    expectRefused(R"([{"key":"k","segments":[]},{"key":"k","segments":[]}])");
    expectRefused(entryWith(R"({"firstObservedAt":1})"));
    expectRefused(entryWith(R"({"message":{"role":"user"},"firstObservedAt":1})"));
    expectRefused(entryWith(R"({"message":{"role":"user","text":"x"},"firstObservedAt":"1"})"));
    expectRefused(
        entryWith(R"({"message":{"role":"user","text":"x"},"firstObservedAt":1,"identifiers":[3]})"));
    expectRefused(
        entryWith(R"({"message":{"role":"user","text":"x"},"firstObservedAt":1,"identifiers":"a"})"));
    expectRefused(entryWith(goodRecord + ",7"));
}

TEST(ConversationMemoryRestore, RefusesAbsurdValues) {
    expectRefused(entryWith(R"({"message":{"role":"user","text":"x"},"firstObservedAt":1e300})"));
    expectRefused(entryWith(R"({"message":{"role":"user","text":"x"},"firstObservedAt":-1e12})"));
    for (const char* position : {"0", "-5", "3.5", "1e20", "2147483648", "\"7\""})
        expectRefused(
            entryWith(goodRecord, QString(R"(,"confirmedLatestMessagePosition":%1)").arg(position)));
}

TEST(ConversationMemoryRestore, RefusesHostileNestingAndSizes) {
    expectRefused(QByteArray(100000, '[') + QByteArray(100000, ']'));
    // More conversations than the memory ever holds.
    QByteArray many = "[";
    for (int i = 0; i <= ConversationMemory::maximumConversations; ++i)
        many += QString(R"(%1{"key":"k%2","segments":[]})").arg(i ? "," : "").arg(i).toUtf8();
    expectRefused(many + "]");
    // More records than the memory ever holds, in one segment.
    QByteArray records;
    records.reserve(64 * (ConversationMemory::maximumRecords + 2));
    const QByteArray record = R"({"message":{"role":"user","text":"y"},"firstObservedAt":0})";
    for (int i = 0; i <= ConversationMemory::maximumRecords; ++i) {
        if (i)
            records += ',';
        records += record;
    }
    expectRefused(R"([{"key":"k","segments":[[)" + records + "]]}]");
}

TEST(ConversationMemoryRestore, OptionalMembersAndUnknownKeys) {
    ConversationMemory memory;
    memory.restore(
        R"([{"key":"k","segments":[[{"message":{"role":"user","text":"hello","extra":1},)"
        R"("firstObservedAt":100,"more":true}]],"future":[1,2]},)"
        R"({"key":"j","segments":[],"conversationScopeID":"","confirmedLatestMessagePosition":null}])");
    auto records = memory.records("k");
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].size(), 1u);
    EXPECT_EQ(records[0][0].message, user("hello"));
    EXPECT_TRUE(records[0][0].identifiers.isEmpty());
    // Stored times count from 2001-01-01 00:00 UTC.
    EXPECT_EQ(records[0][0].firstObservedAt, QDateTime(QDate(2001, 1, 1), QTime(0, 1, 40), Qt::UTC));
    EXPECT_FALSE(memory.confirmedLatestMessagePosition("j"));
    // A missing scope gets a fresh one, which observing the key then reports.
    auto result = memory.observe("j", {user("first")}, {}, true, at(5));
    EXPECT_EQ(result.conversationScopeID.size(), 36);
    EXPECT_EQ(result.windows, 1);
}

TEST(ConversationMemoryRestore, RoundTripKeepsEverythingAndTheBytes) {
    ConversationMemory memory;
    twice(memory, "b|title:x", turns(0, 4));
    twice(memory, "a", {user("caf\u00e9 / \"quoted\"\nline"), assistant("ok")},
          {QString("message:1:user"), QString("message:2:assistant")});
    memory.confirmLatestMessagePosition("a", 2);
    const QByteArray first = memory.encoded();
    ConversationMemory copy;
    copy.restore(first);
    EXPECT_EQ(copy.encoded(), first);
    EXPECT_EQ(copy.records("a"), memory.records("a"));
    EXPECT_EQ(copy.records("b|title:x"), memory.records("b|title:x"));
    EXPECT_EQ(copy.maximumMessagePosition("a"), 2);
    // Keys come out in order, with the slash escaped as the platform writes it.
    EXPECT_LT(first.indexOf("\"key\":\"a\""), first.indexOf("\"key\":\"b|title:x\""));
    EXPECT_TRUE(first.contains("caf\xc3\xa9 \\/ \\\"quoted\\\"\\nline"));
}

TEST(ConversationMemoryRestore, ForgetsAnUnconfirmedScan) {
    ConversationMemory memory;
    memory.observe("new", turns(0, 2), {}, true, at(1));
    memory.restore("[]");
    EXPECT_EQ(memory.observe("new", turns(0, 2), {}, true, at(2)).windows, 0);
    EXPECT_EQ(memory.observe("new", turns(0, 2), {}, true, at(3)).windows, 1);
}

TEST(ConversationMemoryRestore, RepetitiveStoredHistoryIsRepairedWithoutHanging) {
    // Fifty thousand identical short records in one segment: every record looks like a restart.
    QByteArray records;
    for (int i = 0; i < 50000; ++i)
        records += QByteArray(i ? "," : "") + R"({"message":{"role":"user","text":"y"},"firstObservedAt":0})";
    ConversationMemory memory;
    memory.restore(R"([{"key":"k","segments":[[)" + records + "]]}]");
    std::size_t total = 0;
    for (const auto& window : memory.records("k"))
        total += window.size();
    EXPECT_GT(total, 0u);
    EXPECT_LE(total, 50000u);
}

TEST(ConversationMemoryRestore, ARecordKeepsItsFirstIdentifiersUpToTheCap) {
    // Twenty thousand identifiers on one record, each written twice: a restore reads them in
    // one pass and keeps the first distinct ones, in order.
    QByteArray ids;
    for (int i = 0; i < 20000; ++i)
        ids += QByteArray(i ? "," : "") + "\"id-" + QByteArray::number(i) + "\",\"id-" +
               QByteArray::number(i) + "\"";
    const QByteArray record =
        R"({"message":{"role":"user","text":"Plan the trip"},"firstObservedAt":0,"identifiers":[)" + ids +
        "]}";
    ConversationMemory memory;
    memory.restore(R"([{"key":"k","segments":[[)" + record + "]]}]");
    const auto windows = memory.records("k");
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_EQ(windows[0].size(), 1u);
    const QStringList& kept = windows[0][0].identifiers;
    ASSERT_EQ(kept.size(), ConversationMemory::maximumIdentifiersPerRecord);
    for (int i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i], QStringLiteral("id-%1").arg(i));
    // A read continuing records that gathered that many is placed by texts and identifiers
    // alike.
    const QByteArray answer =
        R"({"message":{"role":"assistant","text":"Here is a plan"},"firstObservedAt":0,"identifiers":[)" +
        ids + "]}";
    ConversationMemory gathered;
    gathered.restore(R"([{"key":"k","segments":[[)" + record + "," + answer + "]]}]");
    const auto result = gathered.observe(
        "k", Messages{user("Plan the trip"), assistant("Here is a plan"), user("Book it, please")}, {"id-3"},
        true, at(1));
    EXPECT_EQ(result.windows, 1);
    EXPECT_EQ(result.connectedCount, 3);
    // What lies past the cap is still checked.
    expectRefused(
        R"([{"key":"k","segments":[[{"message":{"role":"user","text":"x"},"firstObservedAt":0,"identifiers":[)" +
        ids + R"(,7]}]]}])");
}

TEST(ConversationMemoryObserve, AKeyIsStoredOnlyAfterTwoIdenticalScansInARow) {
    ConversationMemory memory;
    EXPECT_EQ(memory.observe("a", turns(0, 2), {}, true, at(1)).windows, 0);
    EXPECT_EQ(memory.observe("b", turns(0, 2), {}, true, at(2)).windows, 0);
    EXPECT_EQ(memory.observe("a", turns(0, 2), {}, true, at(3)).windows, 0);
    EXPECT_EQ(memory.observe("a", turns(0, 2), {QString("x")}, true, at(4)).windows, 0);
    EXPECT_EQ(memory.observe("a", turns(0, 2), {QString("x")}, true, at(5)).windows, 1);
    // Nothing visible is never a conversation, nor are timestamps alone, however often the very
    // same list is read.
    EXPECT_EQ(memory.observe("e", {}, {}, true, at(6)).windows, 0);
    EXPECT_EQ(memory.observe("e", {}, {}, true, at(7)).windows, 0);
    EXPECT_TRUE(memory.records("e").empty());
    const MessageList stamps(Messages{assistant("3 hours ago"), user("5 minutes ago")});
    for (int read = 0; read < 3; ++read)
        EXPECT_EQ(memory.observe("t", stamps, {}, true, at(8 + read)).windows, 0);
    EXPECT_FALSE(memory.encoded().contains(R"("key":"t")")) << "stored as an empty conversation";
    // The very same list read with other identifiers is another scan: stored only once it shows
    // them twice, and with them.
    const MessageList shown(turns(0, 2));
    const std::vector<std::optional<QString>> first{QString("message:1:user")},
        second{QString("message:5:user")};
    EXPECT_EQ(memory.observe("i", shown, first, true, at(20)).windows, 0);
    EXPECT_EQ(memory.observe("i", shown, second, true, at(21)).windows, 0);
    EXPECT_EQ(memory.observe("i", shown, second, true, at(22)).windows, 1);
    EXPECT_EQ(memory.maximumMessagePosition("i"), 5);
}

// A long history read from an archive comes back as the very list it came as while memory adds
// nothing to it and keeps all of it: neither copied nor counted again. A scan whose messages
// memory changes, or adds to, comes back as a list of its own. The same list again is stored as
// a second scan of equal messages would be, at its own time.
TEST(ConversationMemoryObserve, AHistoryMemoryKeepsWholeComesBackAsItsOwnList) {
    ConversationMemory memory;
    const MessageList history(turns(0, 40));
    const auto first = memory.observe("k", history, {}, false, at(100));
    EXPECT_TRUE(first.messages.isSameListAs(history));
    const auto stored = memory.observe("k", history, {}, false, at(160));
    EXPECT_EQ(stored.windows, 1);
    EXPECT_TRUE(stored.messages.isSameListAs(history));
    const auto records = memory.records("k");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].front().firstObservedAt, at(160)) << "a stored record keeps the storing scan's time";
    EXPECT_EQ(records[0].back().firstObservedAt, at(160));
    // Read anew and grown by a turn: the stored records keep their own strings of the same texts.
    Messages longer = turns(0, 42);
    const MessageList grown(longer);
    const auto extended = memory.observe("k", grown, {}, false, at(200));
    EXPECT_TRUE(extended.messages.isSameListAs(grown));
    // A scan with a timestamp among its messages: memory does not keep it.
    Messages stamped = turns(0, 42);
    stamped.insert(stamped.begin() + 5, assistant("3 hours ago"));
    const MessageList withStamp(stamped);
    const auto cleaned = memory.observe("k", withStamp, {}, false, at(210));
    EXPECT_FALSE(cleaned.messages.isSameListAs(withStamp));
    EXPECT_EQ(cleaned.messages, grown);
    // Memory holding more than the scan shows: the remembered history, not the scan's list.
    const MessageList tail(Messages(longer.end() - 6, longer.end()));
    const auto recalled = memory.observe("k", tail, {}, false, at(220));
    EXPECT_EQ(recalled.messages, grown);
}

// A copy of the memory (what a save encodes on a worker) keeps what the memory held when it was
// taken, however the memory changes afterwards, and the memory itself changes as it would alone:
// whichever change comes first after the copy, a copy taken just before it keeps its windows.
TEST(ConversationMemoryObserve, ACopyKeepsWhatTheMemoryHeldWhenItWasTaken) {
    ConversationMemory memory;
    twice(memory, "k", turns(0, 10));
    twice(memory, "other", turns(0, 4, "Other"));
    const ConversationMemory copy = memory;
    const QByteArray taken = copy.encoded();
    ConversationMemory alone;
    alone.restore(taken);
    const std::function<void(ConversationMemory&)> changes[] = {
        [](ConversationMemory& m) { twice(m, "k", turns(-4, 2)); }, // older messages before the stored window
        [](ConversationMemory& m) { m.observe("k", turns(8, 14), {}, true, at(2000)); }, // grows it
        [](ConversationMemory& m) {
            m.observe("k", turns(0, 10), {QString(), QString("message:2:assistant")}, true, at(1)); // earlier
        },
        [](ConversationMemory& m) { twice(m, "k", turns(20, 24, "Apart")); }, // another window
        [](ConversationMemory& m) { twice(m, "k", turns(12, 22, "Apart")); }, // bridging into it
        [](ConversationMemory& m) {
            m.adoptMatchingEntries("claude|https://example.test/chat/1", {"o"}, turns(0, 4, "Other"), {},
                                   true);
        },
    };
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        const ConversationMemory before = memory;
        const QByteArray beforeBytes = before.encoded();
        changes[i](memory);
        changes[i](alone);
        EXPECT_TRUE(before.encoded() == beforeBytes) << "a copy lost what it held at change " << i;
        EXPECT_NE(memory.encoded(), beforeBytes);
    }
    EXPECT_EQ(copy.encoded(), taken);
    EXPECT_EQ(memory.records("k"), alone.records("k"));
    EXPECT_EQ(memory.records("other"), alone.records("other"));
    EXPECT_EQ(memory.records("claude|https://example.test/chat/1").size(), 1u);
    EXPECT_EQ(memory.records("k").size(), 2u);
}

TEST(ConversationMemoryObserve, AConversationKeepsItsOwnScopeWhileItWaitsToBeStored) {
    ConversationMemory memory;
    const auto unverified = memory.observe(std::nullopt, turns(0, 2), {}, true, at(1)).conversationScopeID;
    const auto first = memory.observe("first", turns(0, 2), {}, true, at(2)).conversationScopeID;
    const auto again = memory.observe("first", turns(0, 3), {}, true, at(3)).conversationScopeID;
    const auto second = memory.observe("second", {user("A different question entirely")}, {}, true, at(4));
    EXPECT_NE(first, unverified);
    EXPECT_EQ(again, first);
    EXPECT_NE(second.conversationScopeID, first);
    EXPECT_NE(second.conversationScopeID, unverified);
    // Once stored, the conversation keeps the scope it had while waiting.
    const auto stored = memory.observe("second", {user("A different question entirely")}, {}, true, at(5));
    EXPECT_EQ(stored.windows, 1);
    EXPECT_EQ(stored.conversationScopeID, second.conversationScopeID);
}

TEST(ConversationMemoryObserve, AnAbsentKeyPassesTheMessagesThroughUntouched) {
    ConversationMemory memory;
    const Messages shown = {user("a"), assistant("3 hours ago")};
    auto first = memory.observe(std::nullopt, shown, {}, true, at(1));
    auto second = memory.observe(std::nullopt, shown, {}, true, at(1));
    EXPECT_EQ(first.messages, shown);
    EXPECT_EQ(first.conversationScopeID, second.conversationScopeID);
    EXPECT_EQ(memory.encoded(), "[]");
}

TEST(ConversationMemoryObserve, CanonicallyEqualTextsAreOneMessage) {
    ConversationMemory memory;
    twice(memory, "k", {user("Caf\u00e9 menu please"), assistant("Here it is")});
    auto result =
        memory.observe("k", {user("Cafe\u0301  menu\u00a0please"), assistant("Here it is")}, {}, true, at(2));
    EXPECT_EQ(result.connectedCount, 2);
    EXPECT_EQ(result.windows, 1);
}

// Keys worked out apart from the memory (on another thread, in the application) change nothing
// in what observing does: not for the history they were made from, not for one that grew or
// changed since, not for messages with identifiers, timestamps, blanks or texts that are not
// their own keys, and not for a history the memory holds already in strings of its own.
TEST(ConversationMemoryObserve, PreparedKeysChangeNothingInWhatIsObserved) {
    Messages history = turns(0, 8);
    history.insert(history.begin() + 3, assistant("5 minutes ago"));
    history.insert(history.begin() + 5, user("  "));
    history.push_back(assistant("Caf\u00e9  menu,\n\nplease"));
    history.push_back(assistant("Cafe\u0301 menu, please"));
    Messages grown = history;
    grown.push_back(user("One more request"));
    Messages changed = history;
    changed[2].text = "A different request";
    const Messages other = turns(0, 6, "Other");
    Messages readAgain; // the same texts in strings of their own, as an archive read anew gives them
    for (const Message& message : grown)
        readAgain.push_back({message.role, QString(message.text.data(), message.text.size())});
    struct Case {
        const char* name;
        Messages prepared;
        Messages observed;
        std::vector<std::optional<QString>> identifiers;
        Messages held = {}; // observed plainly under the same key first
    };
    const Case cases[] = {
        {"the same history", history, history, {}},
        {"grown since", history, grown, {}},
        {"changed since", history, changed, {}},
        {"another conversation", history, other, {}},
        {"identifiers", history, history, {std::nullopt, QString("message:2:assistant"), QString()}},
        {"held already", readAgain, readAgain, {}, history},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto prepared = ConversationMemory::prepare(c.prepared);
        const Messages copy = c.observed; // the same strings, as another read hands them over
        ConversationMemory plain = populated(), helped = populated();
        if (!c.held.empty()) {
            twice(plain, "k", c.held);
            twice(helped, "k", c.held);
        }
        for (int read = 0; read < 2; ++read) {
            const auto expected = plain.observe("k", c.observed, c.identifiers, false, at(2000 + read));
            const auto result =
                helped.observe("k", copy, c.identifiers, false, at(2000 + read), prepared.get());
            EXPECT_EQ(result.messages, expected.messages);
            EXPECT_EQ(result.connectedCount, expected.connectedCount);
            EXPECT_EQ(result.windows, expected.windows);
        }
        EXPECT_EQ(helped.records("k"), plain.records("k"));
        EXPECT_EQ(helped.records("kept"), plain.records("kept"));
    }
}

// Keys worked out with those the memory holds at hand, for a history it holds already (a restart
// reading a session again), and in parts: observing with them does what observing without does.
TEST(ConversationMemoryObserve, KeysPreparedInPartsAgainstTheHeldOnesChangeNothing) {
    Messages history = turns(0, 40);
    history.push_back(assistant("Caf\u00e9  menu,\n\nplease"));
    ConversationMemory plain = populated();
    twice(plain, "k", history);
    ConversationMemory helped = plain;
    Messages again; // the same texts in strings of their own, as read anew from an archive
    for (const Message& message : history)
        again.push_back({message.role, QString(message.text.data(), message.text.size())});
    again.push_back(user("And one more request"));
    std::shared_ptr<ConversationMemory::Prepared> prepared;
    const auto known = helped.knownKeys();
    int parts = 1;
    while (!ConversationMemory::prepareMore(prepared, again, nullptr, 200, known.get()))
        ++parts;
    EXPECT_GT(parts, 3);
    EXPECT_EQ(ConversationMemory::unpreparedBytes(again, prepared.get()), 0u);
    // A key equal to one the memory holds is that one's string: the history's keys are not held
    // twice while it is current.
    int shared = 0;
    for (const auto& key : prepared->keys) {
        if (key.key.isNull())
            continue;
        const auto held = std::find_if(known->keys.begin(), known->keys.end(),
                                       [&](const auto& entry) { return entry.second == key.key; });
        if (held == known->keys.end())
            continue;
        EXPECT_EQ(key.key.constData(), held->second.constData()) << key.key.toStdString();
        ++shared;
    }
    EXPECT_GT(shared, 0);
    const auto expected = plain.observe("k", again, {}, true, at(3000));
    const auto result = helped.observe("k", again, {}, true, at(3000), prepared.get());
    EXPECT_EQ(result.messages, expected.messages);
    EXPECT_EQ(result.windows, expected.windows);
    EXPECT_EQ(helped.records("k"), plain.records("k"));
    EXPECT_EQ(helped.encoded(), plain.encoded());
}

// What is left to work out is what the prepared keys do not stand for: nothing for the same
// strings, the new messages of a history that grew, every message of equal texts in other strings.
TEST(ConversationMemoryObserve, OnlyWhatPreparedKeysDoNotStandForIsLeftToWorkOut) {
    const Messages history = turns(0, 6);
    const auto prepared = ConversationMemory::prepare(history);
    EXPECT_EQ(ConversationMemory::unpreparedBytes(history, prepared.get()), 0u);
    Messages grown = history;
    grown.push_back(user("One more request"));
    const std::size_t added = ConversationMemory::unpreparedBytes({grown.end() - 1, grown.end()}, nullptr);
    EXPECT_EQ(ConversationMemory::unpreparedBytes(grown, prepared.get()), added);
    const auto lent = ConversationMemory::prepare(grown, prepared.get());
    EXPECT_EQ(ConversationMemory::unpreparedBytes(grown, lent.get()), 0u);
    Messages equalTexts;
    for (const Message& message : history)
        equalTexts.push_back({message.role, QString(message.text.data(), message.text.size())});
    EXPECT_EQ(ConversationMemory::unpreparedBytes(equalTexts, prepared.get()),
              ConversationMemory::unpreparedBytes(equalTexts, nullptr));
    EXPECT_GT(ConversationMemory::unpreparedBytes(equalTexts, nullptr), 0u);
}

TEST(ConversationMemoryObserve, ShortSharedTextsOrInteriorChangesDoNotJoin) {
    ConversationMemory memory;
    twice(memory, "k", {user("ok"), assistant("First answer")});
    // A short answer still streaming grows in place.
    auto streaming = memory.observe("k", {user("ok"), assistant("First answer in full")}, {}, true, at(2));
    EXPECT_EQ(streaming.windows, 1);
    EXPECT_EQ(streaming.messages.back(), assistant("First answer in full"));
    // One shared "ok" before an unrelated answer is not enough to claim the same conversation.
    const Messages unrelated = {user("ok"), assistant("A different answer")};
    auto result = memory.observe("k", unrelated, {}, true, at(3));
    EXPECT_EQ(result.windows, 2);
    EXPECT_EQ(result.messages, unrelated);
}

// An interior answer that differs from the stored one is another conversation, not a streaming
// revision, unless the stored one is what of it had been written when it was read, the read
// showing the same messages before it and nothing else changed.
TEST(ConversationMemoryObserve, AnInteriorAnswerJoinsOnlyWhenItCompletesTheStoredOne) {
    const Messages stored = turns(0, 6);
    const auto with = [](Messages messages, std::size_t at, const QString& text) {
        messages[at].text = text;
        return messages;
    };
    struct Case {
        const char* name;
        Messages read;
        int windows;
    };
    const Case cases[] = {
        {"completed", with(stored, 3, "Turn answer 3, and the rest of it"), 1},
        {"rewritten entirely", with(stored, 1, "A rewritten first answer"), 2},
        {"cut shorter", with(stored, 3, "Turn ans"), 2},
        {"completed and another answer changed",
         with(with(stored, 3, "Turn answer 3, and the rest of it"), 1, "Turn answer 1, revised"), 2},
        {"completed, read from before the stored messages",
         with(turns(-2, 6), 5, "Turn answer 3, and the rest of it"), 1},
        // Nothing after the longer answer confirms it: another conversation under a reused
        // title, or this one with the answer regenerated, begins the same way.
        {"completed, the read ending with it", with(turns(0, 4), 3, "Turn answer 3, and the rest of it"), 2},
        {"completed, the read stopping before the stored end",
         with(turns(0, 5), 3, "Turn answer 3, and the rest of it"), 2},
        {"completed, the stored newest answer regenerated after it",
         with(with(stored, 3, "Turn answer 3, and the rest of it"), 5, "Another answer entirely"), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversationMemory memory;
        twice(memory, "k", stored);
        const auto result = memory.observe("k", c.read, {}, true, at(3));
        EXPECT_EQ(result.windows, c.windows);
        EXPECT_TRUE(result.messages == c.read);
        if (c.windows == 2) {
            std::vector<Message> kept;
            const auto windows = memory.records("k");
            for (const auto& record : windows.front())
                kept.push_back(record.message);
            EXPECT_TRUE(kept == stored) << "the stored answers were rewritten";
        }
    }
}

// Two conversations under one reused title, the second's first answer beginning with the whole of
// the first's and going on, and a conversation whose earlier answer was regenerated longer: the
// read ends with the longer answer, or reads on with the same next request but stops before the
// stored end or answers it otherwise, so nothing shows it continues what is stored. It stays a
// window of its own, brings none of the other messages (not even where a request said over and
// over faces its own stored self at an end of the stored list), and the stored answer keeps its
// text, also across a restart.
TEST(ConversationMemoryObserve, ALongerAnswerNothingConfirmsCompletesNothing) {
    const QString title = "openai|desktop|title:New chat";
    const auto pairs = [](Messages opening, int more, const QString& topic) {
        for (int i = 0; i < more; ++i) {
            opening.push_back(user(QStringLiteral("%1 question %2, in some detail").arg(topic).arg(i)));
            opening.push_back(assistant(QStringLiteral("%1 answer %2, in some detail").arg(topic).arg(i)));
        }
        return opening;
    };
    const Messages trip = {user("Can you help me plan a trip?"), assistant("Sure, I can help with that.")};
    const Messages tripGoesOn = {trip[0],
                                 assistant("Sure, I can help with that. Where would you like to go?")};
    const Messages greeting = {user("hi"), assistant("Hello!")};
    const Messages colour = {user("Which colour should the banner be?"), assistant("Blue.")};
    const Messages layout = pairs({}, 1, "Layout"), longLayout = pairs({}, 4, "Layout");
    // An agent driven by one request said over and over, its second answer regenerated longer.
    const Messages session = {user("Continue."), assistant("Created the schema."),
                              user("Continue."), assistant("Done."),
                              user("Continue."), assistant("Wrote the API handlers."),
                              user("Continue."), assistant("Added their tests.")};
    const auto part = [&](int count) { return Messages(session.begin(), session.begin() + count); };
    const Message regenerated = assistant("Done. I also ran the migrations.");
    const auto then = [](Messages first, const Messages& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    struct Case {
        const char* name;
        Messages stored; // read twice
        Messages read;   // read twice
    };
    const Case cases[] = {
        {"a reused title", pairs(trip, 1, "Kyoto"), tripGoesOn},
        {"a reused title, three more pairs", pairs(trip, 3, "Kyoto"), tripGoesOn},
        {"a reused title, a greeting",
         pairs(greeting, 1, "Weather"),
         {greeting[0], assistant("Hello! How can I help you today?")}},
        {"a regenerated answer, two messages read",
         pairs(colour, 2, "Banner"),
         {colour[0], assistant("Blue. Actually, here is the exact shade: #1E40AF.")}},
        {"a regenerated answer, four messages read", pairs(then(layout, colour), 2, "Banner"),
         then(layout, {colour[0], assistant("Blue. Actually, here is the exact shade.")})},
        // Seven distinct messages before it would reconnect an answer changed while streaming.
        {"a regenerated answer, ten messages read", pairs(then(longLayout, colour), 2, "Banner"),
         then(longLayout, {colour[0], assistant("Blue. Actually, here is the exact shade.")})},
        {"a regenerated answer, the same request after it, the stored newest answer answered otherwise",
         part(6),
         then(part(3), {regenerated, user("Continue."), assistant("Added the API handlers instead.")})},
        {"a regenerated answer, the same request after it, the read stopping before the stored end", session,
         then(part(3), {regenerated, user("Continue.")})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversationMemory memory;
        twice(memory, title, c.stored);
        const auto result = twice(memory, title, c.read);
        EXPECT_EQ(result.windows, 2);
        EXPECT_EQ(result.connectedCount, int(c.read.size()));
        EXPECT_TRUE(result.messages == c.read);
        ConversationMemory restarted;
        restarted.restore(memory.encoded());
        for (ConversationMemory* m : {&memory, &restarted}) {
            const auto again = m->observe(title, c.stored, {}, true, at(2000));
            EXPECT_TRUE(again.messages == c.stored) << "the stored conversation recalls another answer";
        }
    }
}

TEST(ConversationMemoryObserve, MismatchedIdentifierCountsArePaddedOrIgnored) {
    ConversationMemory memory;
    twice(memory, "k", turns(0, 3), {QString("message:1:user")});
    EXPECT_EQ(memory.maximumMessagePosition("k"), 1);
    twice(
        memory, "k", turns(0, 3),
        {QString("message:1:user"), QString("message:2:assistant"), std::nullopt, QString("message:9:user")});
    EXPECT_EQ(memory.maximumMessagePosition("k"), 2);
    // A number on the wrong speaker is no durable identity, nor one the window repeats, also
    // beside messages that carry none.
    twice(memory, "j", turns(0, 2), {QString("message:4:assistant"), QString("message:5:user")});
    EXPECT_FALSE(memory.maximumMessagePosition("j"));
    twice(
        memory, "m", turns(0, 4),
        {std::nullopt, QString("message:4:user"), QString("message:7:user"), QString("message:7:assistant")});
    EXPECT_FALSE(memory.maximumMessagePosition("m"));
    const auto numbered = memory.records("m");
    ASSERT_EQ(numbered.size(), 1u);
    for (const auto& record : numbered[0])
        EXPECT_TRUE(record.identifiers.isEmpty()) << record.identifiers.join(' ').toStdString();
}

TEST(ConversationMemoryObserve, RepetitiveWindowsStayBoundedAndFast) {
    ConversationMemory memory;
    const Messages many(3000, user("y"));
    twice(memory, "k", many);
    auto result = memory.observe("k", many, {}, true, at(3));
    EXPECT_EQ(result.connectedCount, 3000);
    EXPECT_EQ(result.windows, 1);
}

// An agent's long history of a few texts said in turn ("continue 0", "Done 0.", "continue 1", …),
// read whole and then again with one message more: every shift of its cycle shares as many texts,
// and the read lies where it covers the stored messages, adding only the one message it shows
// past them. Read again as it was, it adds nothing.
TEST(ConversationMemoryObserve, AHistoryOfAFewTextsReadWholeAgainIsRecalledOnce) {
    for (const int stored : {2000, 5000, 10000}) {
        SCOPED_TRACE(stored);
        Messages history;
        for (int i = 0; i <= stored; ++i)
            history.push_back(i % 2 == 0 ? user(QStringLiteral("continue %1").arg(i / 2 % 3))
                                         : assistant(QStringLiteral("Done %1.").arg(i / 2 % 2)));
        const Messages before(history.begin(), history.end() - 1);
        const QString thread = "codex|thread:few-texts";
        ConversationMemory memory;
        twice(memory, thread, before);
        EXPECT_EQ(memory.observe(thread, before, {}, true, at(1500)).connectedCount, stored);
        const auto result = twice(memory, thread, history);
        EXPECT_EQ(result.windows, 1);
        EXPECT_EQ(result.connectedCount, stored + 1);
        const auto records = memory.records(thread);
        EXPECT_EQ(records.size(), 1u);
        EXPECT_TRUE(!records.empty() &&
                    std::equal(history.begin(), history.end(), records[0].begin(), records[0].end(),
                               [](const Message& m, const auto& record) { return record.message == m; }))
            << "stored other than the history";
    }
}

// The revision says whether there is anything new to write: it rises with every read that
// changes what is stored, earlier messages, an earlier time or an identifier alone included, and
// stays with a read that changes nothing.
TEST(ConversationMemoryObserve, TheRevisionRisesExactlyWhenWhatIsStoredChanges) {
    ConversationMemory memory;
    twice(memory, "k", turns(4, 10));
    struct Read {
        const char* name;
        Messages messages;
        std::vector<std::optional<QString>> identifiers;
        qint64 time;
        bool changes;
    };
    const Read reads[] = {
        {"its tail", turns(6, 10), {}, 1100, false},
        {"earlier messages, scrolling up", turns(0, 6), {}, 1200, true},
        {"the same seen earlier", turns(0, 6), {}, 900, true},
        {"the same seen later", turns(0, 6), {}, 1300, false},
        {"an identifier", turns(0, 6), {QString("message:1:user")}, 1400, true},
        {"the same identifier again", turns(0, 6), {QString("message:1:user")}, 1500, false},
    };
    for (const Read& read : reads) {
        SCOPED_TRACE(read.name);
        const std::uint64_t before = memory.revision();
        memory.observe("k", read.messages, read.identifiers, true, at(read.time));
        EXPECT_EQ(memory.revision() != before, read.changes);
    }
    // The order of use is saved too: going back to another conversation, or to another window,
    // unchanged, is something new to write; reading it again is not.
    twice(memory, "other", turns(0, 4, "Other"));
    twice(memory, "k", turns(20, 24, "Apart"));
    const Read returns[] = {
        {"another conversation again", turns(0, 4, "Other"), {}, 1600, true},
        {"the same again", turns(0, 4, "Other"), {}, 1700, false},
        {"the first window of a conversation again", turns(0, 6), {}, 1800, true},
        {"the same again", turns(0, 6), {}, 1900, false},
        {"its other window", turns(20, 24, "Apart"), {}, 2000, true},
    };
    for (const Read& read : returns) {
        SCOPED_TRACE(read.name);
        const QString key = read.messages.front().text.startsWith("Other") ? "other" : "k";
        const std::uint64_t before = memory.revision();
        const QByteArray saved = memory.encoded();
        memory.observe(key, read.messages, read.identifiers, true, at(read.time));
        EXPECT_EQ(memory.revision() != before, read.changes);
        EXPECT_EQ(memory.encoded() != saved, read.changes);
    }
    const auto records = memory.records("k");
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[0].size(), 10u);
    EXPECT_EQ(records[0][0].firstObservedAt.toSecsSinceEpoch(), 900);
    EXPECT_EQ(records[0][5].firstObservedAt.toSecsSinceEpoch(), 900) << "stored at 1000, seen at 900";
    EXPECT_EQ(records[0][6].firstObservedAt.toSecsSinceEpoch(), 1000);
}

// Numbers a host shows only on a later read of a stored stretch order it among a document's
// others as if they had been there from the start.
TEST(ConversationMemoryPositions, NumbersLearnedLaterOrderADocumentsStretches) {
    const QString document = "claude|https://example.test/chat/2";
    const auto numbered = [](int from, int to) {
        std::vector<std::optional<QString>> ids;
        for (int i = from; i < to; ++i)
            ids.push_back(QStringLiteral("message:%1:%2").arg(i + 1).arg(i % 2 ? "assistant" : "user"));
        return ids;
    };
    ConversationMemory memory;
    twice(memory, document, turns(0, 6));
    memory.observe(document, turns(0, 6), numbered(0, 6), true, at(1100));
    const auto result = twice(memory, document, turns(6, 12, "Later"), numbered(6, 12));
    EXPECT_EQ(result.windows, 2);
    EXPECT_EQ(result.connectedCount, 12);
    Messages expected = turns(0, 6);
    const Messages later = turns(6, 12, "Later");
    expected.insert(expected.end(), later.begin(), later.end());
    EXPECT_EQ(result.messages, expected);
}

TEST(ConversationMemoryPositions, ConfirmationNeedsAStoredKeyAndAPosition) {
    ConversationMemory memory;
    memory.confirmLatestMessagePosition("unknown", 5);
    EXPECT_FALSE(memory.confirmedLatestMessagePosition("unknown"));
    twice(memory, "k", turns(0, 2));
    memory.confirmLatestMessagePosition("k", 0);
    EXPECT_FALSE(memory.confirmedLatestMessagePosition("k"));
    memory.confirmLatestMessagePosition("k", 7);
    memory.confirmLatestMessagePosition("k", 3);
    EXPECT_EQ(memory.confirmedLatestMessagePosition("k"), 3);
    EXPECT_FALSE(memory.maximumMessagePosition("unknown"));
}

TEST(ConversationMemoryAdoption, DocumentKeysNeedStrongOverlapEvenFromTemporaryIdentities) {
    ConversationMemory memory;
    twice(memory, "claude|owner|navigation:_r_1_", turns(0, 8));
    const QString document = "claude|https://example.test/chat/1";
    memory.adoptMatchingEntries(document, {"claude|owner|navigation:"}, turns(4, 6), {}, false);
    EXPECT_TRUE(memory.records(document).empty());
    memory.adoptMatchingEntries(document, {"claude|owner|navigation:"}, turns(2, 8), {}, false);
    EXPECT_EQ(memory.records(document).size(), 1u);
    EXPECT_TRUE(memory.records("claude|owner|navigation:_r_1_").empty());
    // Nothing to compare with moves nothing.
    twice(memory, "claude|owner|navigation:_r_2_", turns(0, 8, "Other"));
    memory.adoptMatchingEntries(document, {"claude|owner|navigation:"}, {}, {}, false);
    EXPECT_EQ(memory.records("claude|owner|navigation:_r_2_").size(), 1u);
}

TEST(ConversationMemoryAdoption, AnUnchangedScanAfterAdoptionSeesTheAdoptedHistory) {
    ConversationMemory memory;
    twice(memory, "claude|owner|navigation:x", turns(0, 8));
    EXPECT_EQ(twice(memory, "t", turns(6, 12)).connectedCount, 6);
    memory.adoptMatchingEntries("t", {"claude|owner|navigation:"}, turns(6, 8), {}, false);
    auto result = memory.observe("t", turns(6, 12), {}, true, at(2000));
    EXPECT_EQ(result.messages, turns(0, 12));
    EXPECT_EQ(result.windows, 1);
}

TEST(ConversationMemoryBounds, ThousandsOfSeparateWindowsAreKeptAndStillBridged) {
    ConversationMemory memory;
    twice(memory, "k", {user("Opening request of the session")});
    for (int i = 0; i < 1500; ++i)
        memory.observe("k", {user("Separate section number " + QString::number(i))}, {}, true, at(2000 + i));
    EXPECT_EQ(memory.records("k").size(), 1501u);
    auto bridged = memory.observe(
        "k", {user("Separate section number 7"), assistant("bridge"), user("Separate section number 8")}, {},
        true, at(9000));
    EXPECT_EQ(bridged.connectedCount, 3);
    EXPECT_EQ(bridged.windows, 1500);
}

TEST(ConversationMemoryBounds, ALongSessionForgetsTheLeastRecentConversations) {
    ConversationMemory memory;
    for (int i = 0; i <= ConversationMemory::maximumConversations; ++i)
        twice(memory, "conversation " + QString::number(i),
              {user("Request in conversation " + QString::number(i))});
    EXPECT_TRUE(memory.records("conversation 0").empty());
    EXPECT_EQ(memory.records("conversation 1").size(), 1u);
    EXPECT_EQ(
        memory.records("conversation " + QString::number(ConversationMemory::maximumConversations)).size(),
        1u);
    const QByteArray stored = memory.encoded();
    ConversationMemory copy;
    EXPECT_NO_THROW(copy.restore(stored));
}

TEST(ConversationMemoryBounds, OneHugeConversationKeepsItsNewestMessages) {
    ConversationMemory memory;
    Messages huge;
    const int size = ConversationMemory::maximumRecords + 10;
    huge.reserve(std::size_t(size));
    for (int i = 0; i < size; ++i)
        huge.push_back(user("m" + QString::number(i)));
    auto result = twice(memory, "huge", huge);
    EXPECT_EQ(result.windows, 1);
    const auto records = memory.records("huge");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(int(records[0].size()), ConversationMemory::maximumRecords);
    EXPECT_EQ(records[0].back().message, huge.back());
    EXPECT_EQ(records[0].front().message, huge[10]);
}

// A whole history read from a host's archive, longer than the memory keeps, while its newest
// answer is being written and a request waits after it: the stored list lost its oldest messages,
// so the next whole read starts above it, and completes the answer all the same.
TEST(ConversationMemoryBounds, AWholeHistoryReadCompletesAnAnswerPastTheTrimmedStart) {
    ConversationMemory memory;
    const int size = ConversationMemory::maximumRecords + 11, trimmed = 11;
    Messages history = turns(0, size); // ends with a request
    const int answer = size - 2;
    ASSERT_EQ(history[std::size_t(answer)].role, "assistant");
    const QString whole = history[std::size_t(answer)].text + QString(100, u'w');
    history[std::size_t(answer)].text = whole.left(whole.size() / 2);
    twice(memory, "huge", history);
    history[std::size_t(answer)].text = whole;
    const auto result = memory.observe("huge", history, {}, true, at(2000));
    EXPECT_EQ(result.windows, 1);
    const auto records = memory.records("huge");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(int(records[0].size()), ConversationMemory::maximumRecords);
    EXPECT_EQ(records[0].back().message, history.back());
    EXPECT_EQ(records[0].front().message, history[trimmed]);
    EXPECT_EQ(records[0][std::size_t(answer - trimmed)].message.text.size(), whole.size())
        << "the answer stayed cut";
}

namespace {

// A stored memory of one key whose segments are the given message lists, in order.
QByteArray storedSegments(const std::vector<Messages>& segments) {
    QJsonArray stored;
    for (const Messages& segment : segments) {
        QJsonArray records;
        for (const Message& message : segment)
            records.append(
                QJsonObject{{"message", QJsonObject{{"role", message.role}, {"text", message.text}}},
                            {"firstObservedAt", 1},
                            {"identifiers", QJsonArray()}});
        stored.append(records);
    }
    const QJsonArray entries{QJsonObject{{"key", "k"}, {"segments", stored}, {"conversationScopeID", "s"}}};
    return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

std::vector<Messages> windowsOf(const ConversationMemory& memory, const QString& key) {
    std::vector<Messages> out;
    for (const auto& window : memory.records(key)) {
        Messages messages;
        for (const auto& record : window)
            messages.push_back(record.message);
        out.push_back(messages);
    }
    return out;
}

Messages section(int i) {
    return {user("Separate section " + QString::number(i) + " asks"),
            assistant("Separate section " + QString::number(i) + " answers")};
}

Messages joined(std::initializer_list<Messages> parts) {
    Messages out;
    for (const Messages& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// An agent's routine, its second "run the tests" answered with `third`.
Messages routine(const QString& third) {
    return {user("run the tests"), assistant("Done."),   user("fix the lint"), assistant("Done."),
            user("run the tests"), assistant(third),     user("fix the lint"), assistant("Done."),
            user("ship it"),       assistant("Shipped.")};
}

} // namespace

// Stored segments that overlap are joined on restore, also through a later one that bridges two
// earlier ones; the others stay apart, in their stored order.
TEST(ConversationMemoryRestore, OverlappingSegmentsJoinAndOthersStayApartInOrder) {
    struct Case {
        const char* name;
        std::vector<Messages> stored;
        std::vector<Messages> expected;
    };
    const Messages other = turns(0, 4, "Other");
    Messages steps = {user("Continue.")};
    for (int i = 0; i < 7; ++i)
        steps.push_back(assistant(QStringLiteral("Step %1 is done").arg(i)));
    const auto cutAt = [](Messages messages, std::size_t at) {
        messages[at].text.truncate(8);
        return messages;
    };
    const Case cases[] = {
        {"apart", {turns(0, 4), other}, {turns(0, 4), other}},
        {"overlapping", {turns(0, 6), turns(4, 10)}, {turns(0, 10)}},
        {"bridged", {turns(0, 6), other, turns(10, 16), turns(4, 12)}, {turns(0, 16), other}},
        // Each segment continues what the one before it added: the texts a merge brought in
        // must be known to the next segment's search.
        {"chained", {turns(0, 6), turns(4, 10), turns(8, 14)}, {turns(0, 14)}},
        // One segment holding a capture and, after it, a later capture re-covering its end: two
        // captures stored as one by mistake, split and joined again.
        {"a capture stored again after the one before it",
         {joined({turns(0, 12), turns(4, 18)})},
         {turns(0, 18)}},
        // A window ending with the beginning of an answer stored longer, stored after it: the
        // same answer read while it was written, or a regenerated one beginning alike, which only a
        // read going on past it tells apart. It stays apart however much it shares.
        {"an earlier reading ending with an answer cut, eleven texts shared",
         {turns(0, 20), cutAt(turns(0, 12), 11)},
         {turns(0, 20), cutAt(turns(0, 12), 11)}},
        {"a regenerated answer's beginning, fifty and twenty records",
         {turns(0, 50), cutAt(turns(20, 40), 19)},
         {turns(0, 50), cutAt(turns(20, 40), 19)}},
        {"an earlier reading ending with an answer cut, five texts shared",
         {turns(0, 20), cutAt(turns(6, 12), 5)},
         {turns(0, 20), cutAt(turns(6, 12), 5)}},
        // A routine said over and over re-covers its own start: it is one window as stored.
        {"a routine said over and over", {routine("Done.")}, {routine("Done.")}},
        // Fewer than seven distinct texts said again, or a single request (or answer) among
        // them, is no earlier capture either.
        {"six distinct messages said again",
         {joined({turns(0, 6), turns(0, 6)})},
         {joined({turns(0, 6), turns(0, 6)})}},
        {"one request and seven distinct answers said again",
         {joined({steps, steps})},
         {joined({steps, steps})}},
        {"a routine whose answer once said more",
         {routine("Done. All green now.")},
         {routine("Done. All green now.")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversationMemory memory;
        ASSERT_TRUE(memory.restore(storedSegments(c.stored)));
        EXPECT_EQ(windowsOf(memory, "k"), c.expected);
    }
}

namespace {

// `data` with each entry's member `name` set to `value`, or taken out when `value` is undefined.
QByteArray withMember(const QByteArray& data, const QString& name, const QJsonValue& value) {
    QJsonArray entries = QJsonDocument::fromJson(data).array();
    for (int i = 0; i < entries.size(); ++i) {
        QJsonObject entry = entries[i].toObject();
        if (value.isUndefined())
            entry.remove(name);
        else
            entry.insert(name, value);
        entries.replace(i, entry);
    }
    return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

// `data` with the member `name` of the entry under `key` set to `value`.
QByteArray withMemberOf(const QByteArray& data, const QString& key, const QString& name,
                        const QJsonValue& value) {
    QJsonArray entries = QJsonDocument::fromJson(data).array();
    for (int i = 0; i < entries.size(); ++i) {
        QJsonObject entry = entries[i].toObject();
        if (entry.value("key").toString() != key)
            continue;
        entry.insert(name, value);
        entries.replace(i, entry);
    }
    return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

// What an older version stored of two captures: the first entry of `first` with its segments
// replaced by one, its first segment followed by the first segment of `second`'s first entry;
// everything else in the entry as it was.
QByteArray runTogether(const QByteArray& first, const QByteArray& second) {
    QJsonArray a = QJsonDocument::fromJson(first).array();
    const QJsonArray b = QJsonDocument::fromJson(second).array();
    QJsonObject entry = a.first().toObject();
    QJsonArray segment = entry.value("segments").toArray().first().toArray();
    for (const QJsonValue& record : b.first().toObject().value("segments").toArray().first().toArray())
        segment.append(record);
    entry.insert("segments", QJsonArray{segment});
    a.replace(0, entry);
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

std::vector<std::optional<QString>> numbers(int from, int to) {
    std::vector<std::optional<QString>> out;
    for (int i = from; i < to; ++i)
        out.push_back(QStringLiteral("message:%1:%2").arg(i + 1).arg(i % 2 ? "assistant" : "user"));
    return out;
}

} // namespace

// A file this memory wrote comes back as exactly the windows it held, also where a restore
// would repair them otherwise: a chat that says a stretch of its own history again keeps both
// copies, windows kept apart stay apart, a window read whole stays whole however its numbers run,
// and a text cut inside a character comes back as it was. Its scopes and confirmed positions come
// back, and the next read recalls what it recalls live. The same segments without the digest
// naming them (as an older version wrote them), or with their digest of the wrong type or not
// theirs, or replaced as an older version ran two captures together, are repaired as ever.
TEST(ConversationMemoryRestore, AFileThisMemoryWroteComesBackAsTheWindowsItHeld) {
    struct Read {
        Messages messages;
        std::vector<std::optional<QString>> identifiers;
    };
    struct Case {
        const char* name;
        std::vector<Read> reads;
        Messages next;                // read after the restart
        std::vector<Messages> held;   // what the memory held, and holds after the restart
        std::vector<Messages> legacy; // the same segments repaired
    };
    const Messages block = turns(0, 8);
    const Messages twoBlocks = joined({block, block});
    const Messages again = joined({turns(0, 12), turns(4, 18)});
    // A host numbering a read's later half first: the numbers fall half way through the window.
    std::vector<std::optional<QString>> falling = numbers(4, 8);
    for (const auto& id : numbers(0, 4))
        falling.push_back(id);
    // An answer read while it streams, cut between the two halves of an emoji, in a block said
    // again; the next read completes it.
    Messages cutBlock = block;
    cutBlock.back().text += QChar(0xD83D);
    const Messages twoCutBlocks = joined({cutBlock, cutBlock});
    Messages completing(twoCutBlocks.end() - 4, twoCutBlocks.end());
    completing.back().text = block.back().text + QString::fromUtf16(u"\U0001F600 and more");
    const Case cases[] = {
        {"a block of eight distinct messages said again",
         {{twoBlocks}},
         Messages(twoBlocks.end() - 4, twoBlocks.end()),
         {twoBlocks},
         {block}},
        {"a block of eight distinct messages said again, numbered",
         {{twoBlocks, numbers(0, 16)}},
         Messages(twoBlocks.end() - 4, twoBlocks.end()),
         {twoBlocks},
         {twoBlocks}},
        {"a stretch said again part way through",
         {{again}},
         Messages(again.end() - 3, again.end()),
         {again},
         {turns(0, 18)}},
        {"windows kept apart",
         {{turns(0, 6)}, {turns(0, 4, "Other")}},
         turns(4, 8),
         {turns(0, 8), turns(0, 4, "Other")},
         {turns(0, 6), turns(0, 4, "Other")}},
        {"a window read whole numbered 5 to 8, then 1 to 4",
         {{block, falling}},
         Messages(block.end() - 4, block.end()),
         {block},
         {Messages(block.begin(), block.begin() + 4), Messages(block.end() - 4, block.end())}},
        {"a block said again whose answer was cut inside a character",
         {{twoCutBlocks}},
         completing,
         {joined({cutBlock, Messages(cutBlock.begin(), cutBlock.end() - 1), {completing.back()}})},
         {cutBlock}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversationMemory memory;
        for (const Read& read : c.reads)
            twice(memory, "k", read.messages, read.identifiers);
        memory.confirmLatestMessagePosition("k", 5);
        const QByteArray saved = memory.encoded();
        ConversationMemory restarted;
        ASSERT_TRUE(restarted.restore(saved));
        EXPECT_TRUE(restarted.records("k") == memory.records("k"));
        EXPECT_EQ(restarted.encoded(), saved);
        EXPECT_EQ(restarted.confirmedLatestMessagePosition("k"), 5);
        const auto live = memory.observe("k", c.next, {}, true, at(2000));
        const auto recalled = restarted.observe("k", c.next, {}, true, at(2000));
        EXPECT_EQ(recalled.conversationScopeID, live.conversationScopeID);
        EXPECT_EQ(recalled.messages, live.messages);
        EXPECT_EQ(windowsOf(memory, "k"), c.held);
        EXPECT_EQ(windowsOf(restarted, "k"), c.held);

        const QByteArray older = withMember(saved, "segmentsDigest", QJsonValue(QJsonValue::Undefined));
        for (const QJsonValue& digest : {QJsonValue(QJsonValue::Undefined), QJsonValue(7),
                                         QJsonValue(QJsonArray()), QJsonValue("0123456789abcdef")}) {
            SCOPED_TRACE(QJsonDocument(QJsonArray{digest}).toJson(QJsonDocument::Compact).toStdString());
            ConversationMemory repaired;
            ASSERT_TRUE(repaired.restore(withMember(older, "segmentsDigest", digest)));
            EXPECT_EQ(windowsOf(repaired, "k"), c.legacy);
            EXPECT_EQ(repaired.confirmedLatestMessagePosition("k"), 5);
            EXPECT_EQ(repaired.observe("k", c.next, {}, true, at(2000)).conversationScopeID,
                      live.conversationScopeID);
        }
        // The segments replaced, the rest of the entry (its digest too) left as it was.
        ConversationMemory other;
        twice(other, "k", turns(4, 18));
        ConversationMemory edited, editedOlder;
        ASSERT_TRUE(edited.restore(runTogether(saved, other.encoded())));
        ASSERT_TRUE(editedOlder.restore(runTogether(older, other.encoded())));
        EXPECT_EQ(windowsOf(edited, "k"), windowsOf(editedOlder, "k"));
        EXPECT_NE(
            QJsonDocument::fromJson(runTogether(saved, other.encoded()))[0]["segmentsDigest"].toString(),
            QString());
    }
}

namespace {

// `data` with record `index` of the first entry's first segment changed by `edit`; everything else
// (the digest too) as it was.
QByteArray withRecord(const QByteArray& data, int index, const std::function<void(QJsonObject&)>& edit) {
    QJsonArray entries = QJsonDocument::fromJson(data).array();
    QJsonObject entry = entries.first().toObject();
    QJsonArray segments = entry.value("segments").toArray();
    QJsonArray records = segments.first().toArray();
    QJsonObject record = records.at(index).toObject();
    edit(record);
    records.replace(index, record);
    segments.replace(0, records);
    entry.insert("segments", segments);
    entries.replace(0, entry);
    return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

// An edit of a record's message.
std::function<void(QJsonObject&)> inMessage(const std::function<void(QJsonObject&)>& edit) {
    return [edit](QJsonObject& record) {
        QJsonObject message = record.value("message").toObject();
        edit(message);
        record.insert("message", message);
    };
}

} // namespace

// A file this memory wrote with one thing in one record changed since, its digest left as it was:
// its segments are no longer the windows the digest names, so they are repaired as an older
// version's are rather than trusted. The memory holds a stretch said twice, which a repair takes
// for a capture stored again and keeps once, so a trusted restore would keep more.
TEST(ConversationMemoryRestore, ARecordChangedSinceTheFileWasWrittenIsRepaired) {
    // Its first texts are 14, 13 and 15 units long: their last units are hashed apart from the
    // four-unit steps before them.
    const Messages block = joined({turns(8, 12, "Step"), turns(0, 8)});
    const Messages twoBlocks = joined({block, block});
    std::vector<std::optional<QString>> identifiers(twoBlocks.size());
    identifiers[3] = "node-3";
    ConversationMemory memory;
    twice(memory, "k", twoBlocks, identifiers);
    ASSERT_EQ(memory.records("k").at(0).at(3).identifiers, QStringList{"node-3"});
    const QByteArray saved = memory.encoded();
    const auto lastUnit = inMessage([](QJsonObject& message) {
        QString text = message.value("text").toString();
        text.back() = text.back() == u'X' ? u'Y' : u'X';
        message.insert("text", text);
    });
    struct Case {
        const char* name;
        int record;
        std::function<void(QJsonObject&)> edit;
        int rest = -1; // the edited text's length past a multiple of four, where it matters
    };
    const Case cases[] = {
        {"its role", 1, inMessage([](QJsonObject& message) { message.insert("role", "user"); })},
        {"its text's first unit", 0, inMessage([](QJsonObject& message) {
             message.insert("text", "X" + message.value("text").toString().mid(1));
         })},
        {"its time", 2,
         [](QJsonObject& record) {
             record.insert("firstObservedAt", record.value("firstObservedAt").toDouble() + 1);
         }},
        {"its identifier", 3,
         [](QJsonObject& record) { record.insert("identifiers", QJsonArray{"node-4"}); }},
        {"an identifier added", 2,
         [](QJsonObject& record) { record.insert("identifiers", QJsonArray{"node-2"}); }},
        {"the last unit of a text of 4n + 1", 1, lastUnit, 1},
        {"the last unit of a text of 4n + 2", 0, lastUnit, 2},
        {"the last unit of a text of 4n + 3", 2, lastUnit, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rest >= 0) {
            ASSERT_EQ(twoBlocks[std::size_t(c.record)].text.size() % 4, c.rest);
        }
        const QByteArray edited = withRecord(saved, c.record, c.edit);
        ASSERT_NE(edited, saved);
        ConversationMemory restored, repaired;
        ASSERT_TRUE(restored.restore(edited));
        ASSERT_TRUE(
            repaired.restore(withMember(edited, "segmentsDigest", QJsonValue(QJsonValue::Undefined))));
        ASSERT_LT(repaired.recordCount(), twoBlocks.size()) << "a repair keeps the stretch once";
        EXPECT_TRUE(restored.records("k") == repaired.records("k"));
        EXPECT_EQ(restored.recordCount(), repaired.recordCount());
    }
}

// A thread that repeats a short routine, stored as one window: after a restart a read of its
// last messages recalls all of it, as it does without the restart.
TEST(ConversationMemoryRestore, ARoutineSaidOverAndOverIsRecalledWholeAfterARestart) {
    for (const QString& third : {QStringLiteral("Done."), QStringLiteral("Done. All green now.")}) {
        SCOPED_TRACE(third.toStdString());
        const Messages thread = routine(third);
        ConversationMemory memory;
        twice(memory, "codex|thread:1", thread);
        ConversationMemory restarted;
        restarted.restore(memory.encoded());
        EXPECT_EQ(restarted.records("codex|thread:1"), memory.records("codex|thread:1"));
        const Messages last(thread.end() - 4, thread.end());
        for (ConversationMemory* m : {&memory, &restarted}) {
            const auto result = m->observe("codex|thread:1", last, {}, true, at(2000));
            EXPECT_EQ(result.windows, 1);
            EXPECT_EQ(result.messages, thread);
        }
    }
}

// Thousands of separate windows: one bridged by a later segment, after which every later window
// has moved down a place, and a segment after that still finds the window it continues.
TEST(ConversationMemoryRestore, ManySeparateWindowsAreRestoredAndStillBridged) {
    std::vector<Messages> stored;
    for (int i = 0; i < 3000; ++i)
        stored.push_back(section(i));
    stored.push_back(joined({section(5), section(6)}));
    const Message continued = user("Separate section 2000 goes on");
    stored.push_back(joined({section(2000), {continued}}));
    ConversationMemory memory;
    ASSERT_TRUE(memory.restore(storedSegments(stored)));
    const std::vector<Messages> windows = windowsOf(memory, "k");
    ASSERT_EQ(windows.size(), 2999u);
    EXPECT_EQ(windows[5], joined({section(5), section(6)}));
    EXPECT_EQ(windows[6], section(7));
    EXPECT_EQ(windows[1999], joined({section(2000), {continued}}));
    EXPECT_EQ(windows.back(), section(2999));
}

TEST(ConversationMemoryRestore, AnAbandonedRestoreChangesNothing) {
    const QByteArray stored = storedSegments({turns(0, 4), turns(0, 4, "Other")});
    ConversationMemory memory = populated();
    const QByteArray before = memory.encoded();
    bool abandon = true;
    const auto abandoned = [&abandon] { return abandon; };
    EXPECT_FALSE(memory.restore(stored, abandoned));
    EXPECT_EQ(memory.encoded(), before);
    abandon = false;
    EXPECT_TRUE(memory.restore(stored, abandoned));
    EXPECT_EQ(memory.records("k").size(), 2u);
    EXPECT_TRUE(memory.records("kept").empty());
}

// Quitting while thousands of stored windows are being joined: the restore stops at the next
// window rather than joining the rest first.
TEST(ConversationMemoryRestore, ARestoreAbandonedWhileJoiningWindowsStopsAtOnce) {
    constexpr int windows = 2000;
    std::vector<Messages> stored;
    for (int i = 0; i < windows; ++i)
        stored.push_back(section(i));
    const QByteArray data = storedSegments(stored);
    ConversationMemory memory = populated();
    const QByteArray before = memory.encoded();
    // Asked once after parsing and once per segment read, then once per window joined: the
    // answer turns true half way through the joining.
    const int abandonAt = 1 + windows + windows / 2;
    int asked = 0;
    EXPECT_FALSE(memory.restore(data, [&asked] { return ++asked >= abandonAt; }));
    EXPECT_EQ(asked, abandonAt) << "nothing more is done once the restore is abandoned";
    EXPECT_EQ(memory.encoded(), before);
}

namespace {

using Bounds = ConversationMemory::Bounds;

// A read seen twice in a row, as a tracker scans an unchanged window again.
struct Read {
    QString key;
    Messages messages;
};

void readAll(ConversationMemory& memory, const std::vector<Read>& reads) {
    for (const Read& read : reads)
        twice(memory, read.key, read.messages);
}

Messages lastOf(const Messages& messages, int count) {
    return Messages(messages.end() - std::min<int>(count, int(messages.size())), messages.end());
}

// `count` messages of `length` characters or more, each its own.
Messages longTurns(int count, const QString& topic, int length) {
    Messages out = turns(0, count, topic);
    for (Message& message : out)
        message.text += QString(length, u'x');
    return out;
}

} // namespace

// After a restart the bounds drop what they would have dropped without it: the conversations and
// windows used the longest ago, whatever their keys' order or their windows' places. A file
// without the order (an older version's) comes back in key and stored order, as it always did.
TEST(ConversationMemoryBounds, ARestartDropsWhatTheLiveMemoryWouldDrop) {
    struct Case {
        const char* name;
        Bounds bounds;
        std::vector<Read> before; // read before the restart
        std::vector<Read> after;  // read after it
        Read last;                // what is read then
        int recalled;             // and recalls, live and restarted
        int recalledUnordered;    // restarted from a file without the order
        // The bound in bytes, when given, is what the reads before the restart took and this much.
        std::size_t bytesMore = 0;
    };
    std::vector<Read> chats;
    for (int i = 0; i < 15; ++i)
        chats.push_back({"claude|https://claude.ai/chat/" + QString::number(i),
                         turns(0, 4, "Chat " + QString::number(i))});
    // Used last, and first in key order.
    for (int i = 0; i < 5; ++i)
        chats.push_back(
            {"chatgpt|title:Task " + QString::number(i), turns(0, 6, "Task " + QString::number(i))});
    std::vector<Read> newChats;
    for (int i = 0; i < 5; ++i)
        newChats.push_back({"codex|thread:" + QString::number(i), turns(0, 2, "New " + QString::number(i))});
    const Messages a = turns(0, 60, "A"), b = turns(0, 60, "B"), c = turns(0, 60, "C"), d = turns(0, 30, "D");
    const Messages longA = longTurns(12, "A", 400), longB = longTurns(12, "B", 400),
                   longC = longTurns(12, "C", 400), longD = longTurns(4, "D", 400);
    std::vector<Read> windows;
    for (int w = 0; w < 5; ++w)
        windows.push_back({"k", turns(0, 38, "Window " + QString::number(w))});
    const Messages firstWindow = windows[0].messages;
    windows.push_back({"k", lastOf(firstWindow, 6)}); // scrolled back into the first
    const Case cases[] = {
        {"twenty chats, the five used last first in key order, then five new ones",
         {20, 1000},
         chats,
         newChats,
         {"chatgpt|title:Task 0", lastOf(chats[15].messages, 2)},
         6,
         2},
        {"three conversations by records, the one used last first in key order",
         {1000, 200},
         {{"b", b}, {"c", c}, {"a", a}},
         {{"d", d}},
         {"a", lastOf(a, 4)},
         60,
         4},
        {"the same by bytes",
         {1000, 1000000},
         {{"b", longB}, {"c", longC}, {"a", longA}},
         {{"d", longD}},
         {"a", lastOf(longA, 2)},
         12,
         2,
         2000},
        {"five windows of one chat, the first scrolled back into, then another",
         {1000, 200},
         windows,
         {{"k", turns(0, 15, "Window 5")}},
         {"k", lastOf(firstWindow, 2)},
         38,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bounds bounds = c.bounds;
        if (c.bytesMore > 0) {
            ConversationMemory probe;
            readAll(probe, c.before);
            bounds.bytes = probe.encodedSizeEstimate() + c.bytesMore;
        }
        ConversationMemory live(bounds);
        readAll(live, c.before);
        const QByteArray saved = live.encoded();
        ConversationMemory restarted(bounds), unordered(bounds);
        ASSERT_TRUE(restarted.restore(saved));
        ASSERT_TRUE(unordered.restore(withMember(withMember(saved, "lastUsedRank", QJsonValue::Undefined),
                                                 "segmentsLastUsedRank", QJsonValue::Undefined)));
        EXPECT_EQ(restarted.encoded().toStdString(), saved.toStdString());
        for (ConversationMemory* memory : {&live, &restarted, &unordered})
            readAll(*memory, c.after);
        // New conversations get scopes of their own on each side.
        const auto unscoped = [](const ConversationMemory& memory) {
            return withMember(memory.encoded(), "conversationScopeID", QJsonValue::Undefined).toStdString();
        };
        EXPECT_EQ(unscoped(restarted), unscoped(live));
        EXPECT_EQ(live.observe(c.last.key, c.last.messages, {}, true, at(3000)).connectedCount, c.recalled);
        EXPECT_EQ(restarted.observe(c.last.key, c.last.messages, {}, true, at(3000)).connectedCount,
                  c.recalled);
        EXPECT_EQ(unordered.observe(c.last.key, c.last.messages, {}, true, at(3000)).connectedCount,
                  c.recalledUnordered);
    }
}

namespace {

// `data` as an older version wrote it: without the order of use.
QByteArray withoutOrder(const QByteArray& data) {
    return withMember(withMember(data, "lastUsedRank", QJsonValue::Undefined), "segmentsLastUsedRank",
                      QJsonValue::Undefined);
}

} // namespace

// A file without the order of use (an older version's) counts each conversation, and each of its
// windows, as used when it last grew (its newest record), key and stored order deciding ties, so
// that the bounds drop first what was used the longest ago, whatever the keys' order or the
// windows' places; as the same file with its order does.
TEST(ConversationMemoryBounds, AnOlderFileCountsWhatGrewLastAsUsedLast) {
    // Chats whose keys sort against their order of use: chat i grew last at minute i.
    constexpr int chatCount = 100;
    const auto chatKey = [](int i) {
        return QStringLiteral("claude|session:%1").arg(chatCount - 1 - i, 3, 10, QChar(u'0'));
    };
    ConversationMemory chats;
    for (int i = 0; i < chatCount; ++i)
        for (int scan = 0; scan < 2; ++scan)
            chats.observe(chatKey(i), longTurns(8, "Chat " + QString::number(i), 300), {}, true, at(60 * i));
    struct Case {
        const char* name;
        Bounds bounds;
        int newChats = 0; // read after the restart, each of 8 messages
    };
    const Case cases[] = {
        {"past the bound in bytes at the restore", {1000, 1000000, chats.encodedSizeEstimate() / 2}},
        {"past the conversation bound after it", {chatCount, 1000000}, 50},
        {"past the record bound after it", {1000, 8 * chatCount}, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto kept = [&](const QByteArray& file) {
            ConversationMemory memory(c.bounds);
            EXPECT_TRUE(memory.restore(file));
            for (int i = 0; i < c.newChats; ++i)
                twice(memory, "new " + QString::number(i), turns(0, 8, "New " + QString::number(i)));
            std::vector<int> out;
            for (int i = 0; i < chatCount; ++i)
                if (!memory.records(chatKey(i)).empty())
                    out.push_back(i);
            return out;
        };
        const std::vector<int> withOrder = kept(chats.encoded());
        ASSERT_FALSE(withOrder.empty());
        EXPECT_LT(withOrder.size(), std::size_t(chatCount));
        EXPECT_GE(withOrder.size(), 40u);
        EXPECT_EQ(withOrder.back(), chatCount - 1);
        EXPECT_EQ(withOrder.front(), chatCount - int(withOrder.size())) << "the chats used last are kept";
        EXPECT_EQ(kept(withoutOrder(chats.encoded())), withOrder);
    }

    // Five windows of one chat; the first stored is the one that grew last.
    ConversationMemory windows;
    twice(windows, "k", turns(0, 10, "Window 0"));
    for (int w = 1; w < 5; ++w)
        for (int scan = 0; scan < 2; ++scan)
            windows.observe("k", turns(0, 10, "Window " + QString::number(w)), {}, true, at(100 * w));
    for (int scan = 0; scan < 2; ++scan)
        windows.observe("k", turns(0, 12, "Window 0"), {}, true, at(1000));
    ASSERT_EQ(windowsOf(windows, "k").size(), 5u);
    const QByteArray saved = windows.encoded();
    const std::pair<const char*, QByteArray> files[] = {
        {"with the order", saved},
        {"without it", withoutOrder(saved)},
        {"without it and repaired", withMember(withoutOrder(saved), "segmentsDigest", QJsonValue::Undefined)},
    };
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        ConversationMemory restored(Bounds{1000, 1000, windows.encodedSizeEstimate() * 3 / 10});
        ASSERT_TRUE(restored.restore(file));
        EXPECT_EQ(windowsOf(restored, "k"), std::vector<Messages>{turns(0, 12, "Window 0")});
    }

    // Entries with and without ranks: those without count as used before any ranked one (a rank of
    // 0 included), by when each grew last, in key order where they tie; ranked ones by their ranks.
    const std::pair<const char*, int> grewAt[] = {{"a", 100},  {"b", 3000}, {"c", 500},
                                                  {"d", 1000}, {"e", 200},  {"f", 1000}};
    ConversationMemory mixed;
    for (const auto& [key, time] : grewAt)
        for (int scan = 0; scan < 2; ++scan)
            mixed.observe(key, turns(0, 4, key), {}, true, at(time));
    QJsonArray entries = QJsonDocument::fromJson(mixed.encoded()).array();
    const std::map<QString, QJsonValue> ranks = {{"a", 0}, {"b", QJsonValue::Undefined},
                                                 {"c", 2}, {"d", QJsonValue::Undefined},
                                                 {"e", 1}, {"f", QJsonValue::Undefined}};
    for (int i = 0; i < entries.size(); ++i) {
        QJsonObject entry = entries[i].toObject();
        const QJsonValue rank = ranks.at(entry.value("key").toString());
        if (rank.isUndefined())
            entry.remove("lastUsedRank");
        else
            entry.insert("lastUsedRank", rank);
        entries.replace(i, entry);
    }
    ConversationMemory restored;
    ASSERT_TRUE(restored.restore(QJsonDocument(entries).toJson(QJsonDocument::Compact)));
    std::map<std::string, int> order;
    for (const QJsonValue& entry : QJsonDocument::fromJson(restored.encoded()).array())
        order[entry["key"].toString().toStdString()] = entry["lastUsedRank"].toInt();
    const std::map<std::string, int> expected = {{"d", 0}, {"f", 1}, {"b", 2}, {"a", 3}, {"e", 4}, {"c", 5}};
    EXPECT_EQ(order, expected);
}

// Ranks that are not ranks this memory writes are ignored, as an older version's file without
// any: the entries then count as used in key order, the windows in stored order.
TEST(ConversationMemoryBounds, StoredRanksThatAreNoRanksAreIgnored) {
    // "b" used before "a"; a third conversation then leaves room for one of them.
    ConversationMemory conversations;
    twice(conversations, "b", turns(0, 4, "B"));
    twice(conversations, "a", turns(0, 4, "A"));
    const auto keepsTheOneUsedLast = [](const QByteArray& data) {
        ConversationMemory restored(Bounds{2, 1000});
        EXPECT_TRUE(restored.restore(data));
        twice(restored, "c", turns(0, 2, "C"));
        return !restored.records("a").empty();
    };
    // Two windows of one conversation, the first used last; a third then leaves room for one.
    ConversationMemory windows;
    twice(windows, "a", turns(0, 4, "A"));
    twice(windows, "a", turns(0, 4, "Other A"));
    twice(windows, "a", turns(2, 4, "A"));
    const auto windowKept = [](const QByteArray& data) {
        ConversationMemory restored(Bounds{1000, 10});
        EXPECT_TRUE(restored.restore(data));
        twice(restored, "a", turns(0, 3, "Third A"));
        return windowsOf(restored, "a").front();
    };
    EXPECT_TRUE(keepsTheOneUsedLast(conversations.encoded()));
    EXPECT_EQ(windowKept(windows.encoded()), turns(0, 4, "A"));
    for (const QJsonValue& rank :
         {QJsonValue(-1), QJsonValue(1.5), QJsonValue("1"), QJsonValue(1e20), QJsonValue(2147483648.0),
          QJsonValue(QJsonValue::Null), QJsonValue(QJsonArray{1}), QJsonValue(QJsonValue::Undefined)}) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{rank}).toJson(QJsonDocument::Compact).toStdString());
        EXPECT_FALSE(keepsTheOneUsedLast(withMember(conversations.encoded(), "lastUsedRank", rank)))
            << "the entries count as used in key order";
        const QJsonValue ranks = rank.isUndefined() ? rank : QJsonValue(QJsonArray{rank, 0});
        EXPECT_EQ(windowKept(withMember(windows.encoded(), "segmentsLastUsedRank", ranks)),
                  turns(0, 4, "Other A"))
            << "the windows count as used in stored order";
    }
    for (const QJsonValue& ranks : {QJsonValue(QJsonArray{1}), QJsonValue(QJsonArray{1, 0, 2}), QJsonValue(7),
                                    QJsonValue(QJsonValue::Null)}) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{ranks}).toJson(QJsonDocument::Compact).toStdString());
        EXPECT_EQ(windowKept(withMember(windows.encoded(), "segmentsLastUsedRank", ranks)),
                  turns(0, 4, "Other A"));
    }
    // The largest rank read is a rank like any other.
    const double largest = std::numeric_limits<int>::max();
    EXPECT_TRUE(keepsTheOneUsedLast(withMemberOf(conversations.encoded(), "a", "lastUsedRank", largest)));
    EXPECT_FALSE(keepsTheOneUsedLast(
        withMemberOf(withMemberOf(conversations.encoded(), "a", "lastUsedRank", largest - 1), "b",
                     "lastUsedRank", largest)));
    EXPECT_EQ(windowKept(withMember(windows.encoded(), "segmentsLastUsedRank", QJsonArray{largest, 0})),
              turns(0, 4, "A"));
    EXPECT_EQ(
        windowKept(withMember(windows.encoded(), "segmentsLastUsedRank", QJsonArray{largest - 1, largest})),
        turns(0, 4, "Other A"));
    // Three windows, the first used last: one rank that is no rank, wherever it stands, sets them
    // all aside, and the windows count as used in stored order; a fourth then leaves room for two.
    ConversationMemory three;
    for (const char* topic : {"First", "Second", "Third"})
        twice(three, "a", turns(0, 4, topic));
    twice(three, "a", turns(2, 4, "First"));
    const auto windowsKept = [](const QByteArray& data) {
        ConversationMemory restored(Bounds{1000, 12});
        EXPECT_TRUE(restored.restore(data));
        twice(restored, "a", turns(0, 2, "Fourth"));
        return windowsOf(restored, "a");
    };
    EXPECT_EQ(windowsKept(three.encoded()),
              (std::vector<Messages>{turns(0, 4, "First"), turns(0, 4, "Third"), turns(0, 2, "Fourth")}));
    for (const QJsonArray& ranks :
         {QJsonArray{1, "x", 0}, QJsonArray{0, 1.5, 2}, QJsonArray{"x", 1, 0}, QJsonArray{2, 0, -1},
          QJsonArray{2, QJsonValue::Null, 1}, QJsonArray{2, 0, 2147483648.0}}) {
        SCOPED_TRACE(QJsonDocument(ranks).toJson(QJsonDocument::Compact).toStdString());
        EXPECT_EQ(
            windowsKept(withMember(three.encoded(), "segmentsLastUsedRank", ranks)),
            (std::vector<Messages>{turns(0, 4, "Second"), turns(0, 4, "Third"), turns(0, 2, "Fourth")}));
    }
}

// What the memory writes stays within its bound in bytes, however its texts are escaped or
// encoded, so that the next start reads it back: conversations used longest ago go first, and one
// conversation alone beyond the bound keeps its newest messages. The size worked out for the
// bound is never below what is written: for a scan's texts and for an archive's, whose sizes are
// worked out ahead with their keys, for a real clock's times to the millisecond, for identifiers
// a later read adds to stored records, and for keys and scopes that need escapes.
TEST(ConversationMemoryBounds, WhatIsSavedStaysWithinTheBoundInBytes) {
    struct Case {
        const char* name;
        QString text; // said over and over, numbered to keep each message its own
    };
    const auto repeated = [](char32_t c, int times) { return QString::fromUcs4(&c, 1).repeated(times); };
    const Case cases[] = {
        {"plain text", QString(300, u'a')},
        {"three bytes a character", QString(300, QChar(0x4E2D))},
        {"control characters", QString(300, QChar(0x01))},
        {"quotes, solidus and line breaks", QString("\"/\\\n").repeated(75)},
        {"characters outside the basic plane", QString::fromUtf16(u"\U0001F600").repeated(150)},
        {"a lone surrogate at the end", QString(299, u'b') + QChar(0xD83D)},
        // Each end of each length a character takes in UTF-8.
        {"the last character of one byte", repeated(0x7F, 300)},
        {"the first character of two bytes", repeated(0x80, 300)},
        {"the last character of two bytes", repeated(0x7FF, 300)},
        {"the first character of three bytes", repeated(0x800, 300)},
        {"the last character of three bytes", repeated(0xFFFF, 300)},
        {"the first character of four bytes", repeated(0x10000, 150)},
        {"the last character", repeated(0x10FFFF, 150)},
        // Texts longer than what compares them: white space folded, accents composed.
        {"runs of white space", QString("a \t\n\r  ").repeated(50)},
        {"decomposed accents", QString::fromUtf16(u"e\u0301").repeated(150)},
    };
    struct Path {
        const char* name;
        bool prepared;        // the texts' keys and sizes worked out ahead, as for a host's archive
        bool identifiedLater; // each chat read once more with identifiers its records lacked
        QString keys;         // around each conversation's key
        std::function<QDateTime(int)> clock;
        std::span<const Case> texts;
        std::size_t bytes; // the bound
        int reads;         // the first 60 of six chats, the rest of one long conversation
    };
    // Quotes, a backslash, a solidus, control characters and text beyond ASCII.
    const QString escaped = QString("\"\\/\b\x01\x1f\x7f") + QString(20, QChar(0x02)) +
                            QString::fromUtf16(u"\u00e9\u4e2d\U0001F600");
    const Path paths[] = {
        {"a scan's reads",
         false,
         false,
         {},
         [](int) { return at(1000); },
         std::span(cases).first(6),
         40000,
         220},
        // The chats' records are measured anew as their identifiers come; the long conversation's
        // keep the sizes worked out ahead.
        {"an archive's reads by a real clock under keys with escapes, the chats identified later", true, true,
         escaped,
         [](int i) {
             // 2024-12-08T23:20:00.123Z and on, a second and a few milliseconds a read.
             return QDateTime::fromMSecsSinceEpoch(1733700000123 + qint64(i) * 1037, Qt::UTC);
         },
         cases, 16000, 140},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        for (const Case& c : path.texts) {
            SCOPED_TRACE(c.name);
            const Bounds bounds{1000, 100000, path.bytes};
            ConversationMemory memory(bounds);
            const auto message = [&](int i) {
                return i % 2 ? assistant(QString::number(i) + c.text) : user(QString::number(i) + c.text);
            };
            const auto keyOf = [&](const QString& name) { return path.keys + name + path.keys; };
            // Each message's own, escaped as its text is.
            const auto identifier = [&](const Message& m) {
                return QString("an identifier a later read adds, \"" + m.text.left(12) + "\" \\/");
            };
            // Whenever what is written may have changed.
            QByteArray saved;
            std::uint64_t checked = memory.revision();
            const auto check = [&](int i) {
                if (memory.revision() == checked)
                    return;
                checked = memory.revision();
                saved = memory.encoded();
                ASSERT_LE(std::size_t(saved.size()), memory.encodedSizeEstimate()) << "after read " << i;
                ASSERT_LE(memory.encodedSizeEstimate(), bounds.bytes) << "after read " << i;
            };
            Messages conversation;
            for (int i = 0; i < path.reads; ++i) {
                const bool chat = i < 60;
                const QString key = keyOf(chat ? "chat " + QString::number(i / 10) : QString("long"));
                if (!chat)
                    conversation.push_back(message(i));
                const Messages shown = chat ? Messages{message(i)} : lastOf(conversation, 6);
                const auto prepared = path.prepared ? ConversationMemory::prepare(shown) : nullptr;
                ASSERT_EQ(ConversationMemory::unpreparedBytes(shown, prepared.get()) == 0, path.prepared);
                for (int scan = 0; scan < 2; ++scan) {
                    memory.observe(key, shown, {}, true, path.clock(i), prepared.get());
                    ASSERT_NO_FATAL_FAILURE(check(i));
                }
                if (chat && path.identifiedLater) {
                    memory.observe(key, shown, {identifier(shown[0])}, true, path.clock(i));
                    ASSERT_NO_FATAL_FAILURE(check(i));
                    ASSERT_EQ(memory.records(key).back().back().identifiers,
                              QStringList{identifier(shown[0])});
                }
                if (i % 10 != 9)
                    continue;
                ConversationMemory restarted(bounds);
                ASSERT_TRUE(restarted.restore(saved)) << "after read " << i;
                ASSERT_EQ(restarted.encoded().toStdString(), saved.toStdString()) << "after read " << i;
            }
            EXPECT_TRUE(memory.records(keyOf("chat 0")).empty());
            const auto kept = windowsOf(memory, keyOf("long"));
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(kept[0].back(), conversation.back());
            EXPECT_LT(kept[0].size(), conversation.size()) << "its oldest messages went";
            EXPECT_GT(kept[0].size(), 6u);
            // A scope that needs escapes, as a file may hold: counted as what it takes written.
            ConversationMemory restarted(bounds);
            ASSERT_TRUE(restarted.restore(
                withMember(saved, "conversationScopeID", escaped + QString(1000, QChar(0x01)))));
            EXPECT_EQ(restarted.records(keyOf("long")).size(), 1u);
            EXPECT_LE(std::size_t(restarted.encoded().size()), restarted.encodedSizeEstimate());
            EXPECT_LE(restarted.encodedSizeEstimate(), bounds.bytes);
        }
    }
}

// A read that passes the bounds recalls what the memory keeps of it, and the same again and after
// a restart: the stored messages the bounds drop are not recalled once more; those the read shows
// are, however many. A read recalled whole comes back as the very list it came as.
TEST(ConversationMemoryBounds, AReadPastTheBoundsRecallsTheSameAgainAndAfterARestart) {
    struct Case {
        const char* name;
        Messages stored, read;
        int recalled;
        // The bound in bytes, when given, is what this many of the read's newest messages take
        // stored alone; the bound in records is 8.
        int keptByBytes = 0;
    };
    const Case cases[] = {
        {"stored messages dropped", turns(0, 8), turns(3, 10), 8},
        {"a read longer than the bound", turns(0, 4), turns(0, 12), 12},
        {"a read beside newer stored messages", turns(4, 12), turns(0, 10), 12},
        {"a read longer than the bound in records, then past the bound in bytes", turns(0, 4), turns(0, 12),
         12, 5},
        {"a read beside newer stored messages, past both bounds", turns(4, 12), turns(0, 10), 12, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bounds bounds{5, 8};
        if (c.keptByBytes > 0) {
            ConversationMemory probe;
            twice(probe, "k", lastOf(c.read, c.keptByBytes));
            bounds.bytes = probe.encodedSizeEstimate();
        }
        ConversationMemory memory(bounds);
        twice(memory, "k", c.stored);
        const MessageList read(c.read);
        const auto result = memory.observe("k", read, {}, true, at(2000));
        ConversationMemory restarted(memory.bounds());
        ASSERT_TRUE(restarted.restore(memory.encoded()));
        EXPECT_EQ(result.connectedCount, c.recalled);
        EXPECT_EQ(result.messages.isSameListAs(read),
                  c.recalled == int(read.size()) && c.stored.front() == c.read.front());
        EXPECT_EQ(memory.observe("k", c.read, {}, true, at(2001)).connectedCount, c.recalled);
        EXPECT_EQ(restarted.observe("k", c.read, {}, true, at(2001)).connectedCount, c.recalled);
        EXPECT_LE(memory.recordCount(), std::size_t(c.keptByBytes > 0 ? c.keptByBytes : 8));
        EXPECT_LE(memory.encodedSizeEstimate(), bounds.bytes);
        EXPECT_LE(std::size_t(memory.encoded().size()), memory.encodedSizeEstimate());
    }
}

// A file beyond the bound in bytes, as an older version bounded by records alone could write,
// loses at its restore what the bounds drop first: the conversations used the longest ago, then
// the oldest messages of the one used last.
TEST(ConversationMemoryBounds, AFileBeyondTheBoundInBytesLosesWhatTheBoundsDropFirst) {
    ConversationMemory written;
    twice(written, "b", longTurns(10, "B", 500));
    twice(written, "c", longTurns(10, "C", 500));
    twice(written, "a", longTurns(10, "A", 500));
    const QByteArray saved = written.encoded();
    for (const QByteArray& file : {saved, withMember(withMember(saved, "lastUsedRank", QJsonValue::Undefined),
                                                     "segmentsLastUsedRank", QJsonValue::Undefined)}) {
        const bool ordered = file == saved;
        SCOPED_TRACE(ordered ? "with the order of use" : "without it");
        ConversationMemory bounded(Bounds{1000, 1000, written.encodedSizeEstimate() / 2});
        ASSERT_TRUE(bounded.restore(file));
        EXPECT_LE(bounded.encodedSizeEstimate(), bounded.bounds().bytes);
        EXPECT_TRUE(bounded.records("b").empty());
        // Used last, or last in key order.
        const QString newest = ordered ? "a" : "c";
        ASSERT_EQ(bounded.records(newest).size(), 1u);
        EXPECT_EQ(bounded.records(newest)[0].size(), 10u);
        ConversationMemory tight(Bounds{1000, 1000, written.encodedSizeEstimate() / 5});
        ASSERT_TRUE(tight.restore(file));
        EXPECT_LE(tight.encodedSizeEstimate(), tight.bounds().bytes);
        const auto kept = windowsOf(tight, newest);
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_LT(kept[0].size(), 10u);
        EXPECT_EQ(kept[0].back(), longTurns(10, newest.toUpper(), 500).back());
    }
    // One conversation of three windows, the first used last: the window it keeps is the one used
    // last, or without the order the one stored last, and only the newest messages of it when the
    // bound is tighter still.
    const Messages first = longTurns(10, "First", 500), second = longTurns(10, "Second", 500),
                   third = longTurns(10, "Third", 500);
    ConversationMemory windows;
    for (const Messages& window : {first, second, third, lastOf(first, 2)})
        twice(windows, "a", window);
    ASSERT_EQ(windowsOf(windows, "a").size(), 3u);
    const QByteArray three = windows.encoded();
    for (const QByteArray& file : {three, withMember(three, "segmentsLastUsedRank", QJsonValue::Undefined)}) {
        const bool ordered = file == three;
        SCOPED_TRACE(ordered ? "three windows with the order of use" : "three windows without it");
        const Messages& newest = ordered ? first : third;
        ConversationMemory bounded(Bounds{1000, 1000, windows.encodedSizeEstimate() / 2});
        ASSERT_TRUE(bounded.restore(file));
        EXPECT_LE(bounded.encodedSizeEstimate(), bounded.bounds().bytes);
        EXPECT_EQ(windowsOf(bounded, "a"), std::vector<Messages>{newest});
        ConversationMemory tight(Bounds{1000, 1000, windows.encodedSizeEstimate() / 5});
        ASSERT_TRUE(tight.restore(file));
        EXPECT_LE(tight.encodedSizeEstimate(), tight.bounds().bytes);
        const auto kept = windowsOf(tight, "a");
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_LT(kept[0].size(), 10u);
        EXPECT_EQ(kept[0].back(), newest.back());
    }
}

// The bound in bytes is the most the memory takes: reads that take exactly that much keep all they
// read, and one byte less drops what was used the longest ago, a conversation or a window of the
// one read, and nothing more.
TEST(ConversationMemoryBounds, AtTheBoundInBytesNothingGoesAndOneByteLessDropsWhatWasUsedLongestAgo) {
    struct Case {
        const char* name;
        std::vector<Read> reads;
        std::size_t less; // the bound is what the reads take less this
        std::vector<std::pair<QString, std::vector<Messages>>> kept; // each key's windows
    };
    const Messages a = turns(0, 6, "A"), b = turns(0, 6, "B"), c = turns(0, 6, "C");
    std::vector<Read> windows;
    std::vector<Messages> each;
    for (int w = 0; w < 5; ++w) {
        each.push_back(turns(0, 6, "Window " + QString::number(w)));
        windows.push_back({"k", each.back()});
    }
    // The first read again before the last is read.
    std::vector<Read> scrolledBack = windows;
    scrolledBack.insert(scrolledBack.end() - 1, {"k", lastOf(each[0], 2)});
    const Case cases[] = {
        {"three conversations at the bound",
         {{"b", b}, {"c", c}, {"a", a}},
         0,
         {{"a", {a}}, {"b", {b}}, {"c", {c}}}},
        {"three conversations a byte beyond it",
         {{"b", b}, {"c", c}, {"a", a}},
         1,
         {{"a", {a}}, {"b", {}}, {"c", {c}}}},
        {"five windows at the bound", windows, 0, {{"k", each}}},
        {"five windows a byte beyond it", windows, 1, {{"k", {each[1], each[2], each[3], each[4]}}}},
        {"five windows, the first read again before the last, a byte beyond the bound",
         scrolledBack,
         1,
         {{"k", {each[0], each[2], each[3], each[4]}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversationMemory unbounded;
        readAll(unbounded, c.reads);
        const Bounds bounds{1000, 100000, unbounded.encodedSizeEstimate() - c.less};
        ConversationMemory memory(bounds);
        readAll(memory, c.reads);
        EXPECT_LE(memory.encodedSizeEstimate(), bounds.bytes);
        for (const auto& [key, kept] : c.kept)
            EXPECT_EQ(windowsOf(memory, key), kept) << key.toStdString();
    }
}

// A clock set thousands of years wrong still writes times that a restore reads back.
TEST(ConversationMemoryRestore, TimesFromAClockSetFarOffAreReadBack) {
    for (const QDateTime& when : {QDateTime(QDate(9000, 1, 1), QTime(0, 0), Qt::UTC),
                                  QDateTime(QDate(-3000, 1, 1), QTime(0, 0), Qt::UTC)}) {
        SCOPED_TRACE(when.toString(Qt::ISODate).toStdString());
        ConversationMemory memory;
        memory.observe("k", turns(0, 2), {}, true, when);
        memory.observe("k", turns(0, 2), {}, true, when);
        ConversationMemory restarted;
        EXPECT_NO_THROW(restarted.restore(memory.encoded()));
        EXPECT_EQ(restarted.records("k"), memory.records("k"));
    }
}

// The estimate decides whether a save may run in passing: it must follow the encoded size, for
// short and for long texts.
TEST(ConversationMemoryBounds, TheEncodedSizeEstimateFollowsTheEncodedSize) {
    for (int length : {10, 1000, 100000}) {
        SCOPED_TRACE(length);
        ConversationMemory memory;
        Messages messages;
        for (int i = 0; i < 40; ++i)
            messages.push_back(i % 2 ? assistant(QString::number(i) + QString(length, 'x'))
                                     : user(QString::number(i) + QString(length, 'y')));
        twice(memory, "k", messages);
        const double encoded = double(memory.encoded().size());
        const double estimate = double(memory.encodedSizeEstimate());
        EXPECT_GT(estimate, encoded / 2);
        EXPECT_LT(estimate, encoded * 2);
    }
}

// Each record's time takes no more room than is worked out for it, whatever the clock: a real one's
// to the millisecond, one before 2001, one set far off either way, or a time of every digit a double
// has, as a file may hold it. A long conversation of short messages then stays within the size
// worked out.
TEST(ConversationMemoryBounds, EveryRecordsTimeFitsTheRoomWorkedOutForIt) {
    struct Case {
        const char* name;
        QDateTime observed;
        const char* written; // the time, as seconds since 2001
        bool stored = false; // the file holds it instead of the time observed
    };
    const auto ms = [](qint64 msecs) { return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC); };
    const Case cases[] = {
        {"a real clock to the millisecond", ms(1733700000123), "755392800.123"},
        {"a clock before 2001", ms(-1), "-978307200.001"},
        {"a clock set far ahead", ms(94670000000001), "93691692800.001"},
        {"a clock set far back", ms(-94670000000001), "-95648307200.001"},
        {"a file's time of every digit", ms(0), "-1.2345678901234568e-300", true},
    };
    const Messages conversation = turns(0, 1000, "T");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversationMemory memory;
        memory.observe("k", conversation, {}, true, c.observed);
        memory.observe("k", conversation, {}, true, c.observed);
        if (c.stored) {
            QJsonArray entries = QJsonDocument::fromJson(memory.encoded()).array();
            QJsonObject entry = entries[0].toObject();
            QJsonArray segments = entry.value("segments").toArray();
            QJsonArray records = segments[0].toArray();
            for (int i = 0; i < records.size(); ++i) {
                QJsonObject record = records[i].toObject();
                record.insert("firstObservedAt", QByteArray(c.written).toDouble());
                records.replace(i, record);
            }
            segments.replace(0, records);
            entry.insert("segments", segments);
            entries.replace(0, entry);
            ASSERT_TRUE(memory.restore(QJsonDocument(entries).toJson(QJsonDocument::Compact)));
        }
        const QByteArray saved = memory.encoded();
        ASSERT_EQ(saved.count(QByteArray("\"firstObservedAt\":") + c.written + ","), 1000);
        EXPECT_LE(std::size_t(saved.size()), memory.encodedSizeEstimate());
        ConversationMemory restarted;
        ASSERT_TRUE(restarted.restore(saved));
        EXPECT_EQ(restarted.encoded().toStdString(), saved.toStdString());
    }
}

// A long history read again and again while its newest answer is still being written, as a host
// that goes on working in the background shows it: two reads of three see that answer cut to half
// its length, a request queued after it included, and each read is seen twice and then its last
// five messages once more with their numbers. Each read continues the stored history, completing
// the answer stored partly, so the history stays one window of its messages. An agent's history
// may say the same few things over and over; its numbers then tell where a read lies.
TEST(ConversationMemoryObserve, AnAnswerReadWhileItWasWrittenIsCompletedInPlace) {
    using Growth = std::array<int, 12>;
    const Growth steady = {0, 2, 3, 1, 4, 2, 3, 1, 4, 2, 3, 1};
    const Growth uneven = {2, 3, 2, 1, 3, 2, 1, 2, 2, 1, 4, 3};
    struct Case {
        const char* name;
        bool repeated;             // two requests and two answers, in turn, over and over
        bool cutFollowedByRequest; // the cut answer may have a queued request after it
        bool numbered;             // every read carries the messages' numbers, not only the last five
        int wholeRead;             // reads r with r % 3 == wholeRead see the answer whole
        bool tailWhole;            // the last five messages are read with the answer whole
        Growth growth;
    };
    const Case cases[] = {
        {"the newest answer last", false, false, false, 2, false, steady},
        {"a request queued after it", false, true, false, 2, false, steady},
        {"the same few texts, numbered", true, true, true, 2, false, uneven},
        {"the same few texts, the last read cut and its end read whole", true, true, true, 0, true, uneven},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Messages history;
        for (int i = 0; i < 326; ++i) {
            const int n = c.repeated ? i / 2 % 2 : i;
            history.push_back(
                i % 2 == 0
                    ? user(QStringLiteral("Request %1: carry on with module %1").arg(n))
                    : assistant(
                          QStringLiteral("Answer %1: ").arg(n) +
                          QStringLiteral("updated the build, ran the tests, fixed them. ").repeated(3)));
        }
        ConversationMemory memory;
        int shown = 300;
        for (int read = 0; read < 12; ++read) {
            shown += c.growth[std::size_t(read)];
            const Messages whole(history.begin(), history.begin() + shown);
            Messages messages = whole;
            std::vector<std::optional<QString>> ids;
            for (int i = 0; i < shown; ++i)
                ids.push_back(QStringLiteral("message:%1:%2").arg(i + 1).arg(messages[std::size_t(i)].role));
            int newest = shown - 1;
            while (c.cutFollowedByRequest && messages[std::size_t(newest)].role != "assistant")
                --newest;
            QString& answer = messages[std::size_t(newest)].text;
            if (read % 3 != c.wholeRead && messages[std::size_t(newest)].role == "assistant")
                answer.truncate(answer.size() / 2);
            twice(memory, "k", messages, c.numbered ? ids : std::vector<std::optional<QString>>{});
            const Messages& end = c.tailWhole ? whole : messages;
            memory.observe("k", Messages(end.end() - 5, end.end()),
                           std::vector<std::optional<QString>>(ids.end() - 5, ids.end()), true, at(1000));
        }
        const auto windows = memory.records("k");
        std::size_t records = 0;
        for (const auto& window : windows)
            records += window.size();
        EXPECT_EQ(windows.size(), 1u);
        EXPECT_EQ(records, 326u);
        const Messages remembered = windowsOf(memory, "k").front();
        EXPECT_TRUE(remembered == history)
            << std::inner_product(remembered.begin(), remembered.end(), history.begin(), 0, std::plus<>(),
                                  std::not_equal_to<>())
            << " messages differ";
    }
}

// A read ending with an answer still being written whose beginning is also the beginning of a
// stored answer with messages after it: a regenerated answer beginning like the old one, or
// another conversation's under a reused title. Nothing tells it from an earlier reading of the
// stored answer until a read goes on past it, so its window stays its own, however many texts it
// shares, when the stored window grows and after a restart: the new branch recalls its own
// history, and the other conversation never recalls its private turns.
TEST(ConversationMemoryObserve, AnAnswerBeingWrittenThatBeginsLikeAStoredOneKeepsItsOwnWindow) {
    const QString title = "openai|desktop|title:New chat";
    const QString begun = QStringLiteral("Answer in full: here is the plan we agreed on, ");
    const QString oldAnswer = begun + QString(80, u'o'), newAnswer = begun + QString(80, u'n');
    // A chat of 46 messages whose answer 39 is regenerated: the old branch, and the new one up
    // to the new answer as written so far, then with it whole and a request after it.
    Messages oldBranch = turns(0, 46);
    oldBranch[39] = assistant(oldAnswer);
    Messages newBranch(oldBranch.begin(), oldBranch.begin() + 39);
    newBranch.push_back(assistant(newAnswer.left(30)));
    Messages newGoesOn(newBranch.begin(), newBranch.end() - 1);
    newGoesOn.push_back(assistant(newAnswer));
    newGoesOn.push_back(user("A request on the new branch"));
    const auto part = [](const Messages& messages, int from, int to) {
        return Messages(messages.begin() + from, messages.begin() + to);
    };
    // Two chats titled alike, sharing seven routine texts in order; X has private turns of its own
    // and is read while its answer, beginning like one of Y's, is written.
    const Messages routine = {user("hi"),
                              assistant("Hello! How can I help you today?"),
                              user("Thanks"),
                              assistant("You're welcome!"),
                              user("Can you help with something else?"),
                              assistant("Of course, what do you need?"),
                              user("ok")};
    const QString printer = "Sure, here is how to set up the printer: first, open the settings panel";
    const Messages y =
        joined({routine, {assistant(printer), user("It worked, thanks"), assistant("Glad to hear it!")}});
    const Messages x =
        joined({{user("I have a question about my taxes"), assistant("Sure, ask away about your taxes.")},
                routine,
                {assistant(printer.left(25))}});
    const Messages yGoesOn = joined({y, {user("One more printer question"), assistant("Ask away.")}});
    struct Read {
        Messages messages;
        int first = 0; // its first message's number, less one
    };
    struct Case {
        const char* name;
        std::vector<Read> reads; // each read twice, in order
        bool restart;
        Read last;
        int recalled;
        const char* never; // a text the last read never recalls
        bool numberedToo;
    };
    const Case cases[] = {
        {"a regenerated answer read cut in thirty messages, after a restart",
         {{oldBranch}, {part(newBranch, 10, 40), 10}},
         true,
         {part(newGoesOn, 29, 41), 29},
         31,
         "ooooo",
         true},
        {"a regenerated answer read cut in twelve messages, after a restart",
         {{oldBranch}, {part(newBranch, 28, 40), 28}},
         true,
         {part(newGoesOn, 29, 41), 29},
         13,
         "ooooo",
         true},
        {"a regenerated answer read cut in thirty messages",
         {{oldBranch}, {part(newBranch, 10, 40), 10}},
         false,
         {part(newGoesOn, 29, 41), 29},
         31,
         "ooooo",
         true},
        // Numbers set chats apart: under a reused title only unnumbered reads share texts.
        {"a reused title, the other chat growing", {{y}, {x}}, false, {yGoesOn}, 12, "taxes", false},
        {"a reused title, after a restart", {{y}, {x}}, true, {y}, 10, "taxes", false},
        {"a reused title, the other chat growing after a restart",
         {{y}, {x}},
         true,
         {yGoesOn},
         12,
         "taxes",
         false},
        {"a reused title, the chat read cut read again",
         {{y}, {x}, {yGoesOn}},
         true,
         {part(x, 7, 10)},
         10,
         "Glad",
         false},
    };
    const auto numbers = [](const Read& read, bool numbered) {
        std::vector<std::optional<QString>> out;
        for (int i = 0; numbered && i < int(read.messages.size()); ++i)
            out.push_back(QStringLiteral("message:%1:%2")
                              .arg(read.first + i + 1)
                              .arg(read.messages[std::size_t(i)].role));
        return out;
    };
    for (const Case& c : cases)
        for (const bool numbered : {false, true}) {
            if (numbered && !c.numberedToo)
                continue;
            SCOPED_TRACE(std::string(c.name) + (numbered ? ", numbered" : ""));
            ConversationMemory memory;
            for (const Read& read : c.reads)
                twice(memory, title, read.messages, numbers(read, numbered));
            if (c.restart) {
                ConversationMemory restarted;
                restarted.restore(memory.encoded());
                memory = restarted;
            }
            const auto result = twice(memory, title, c.last.messages, numbers(c.last, numbered));
            EXPECT_EQ(result.connectedCount, c.recalled);
            for (const Message& message : result.messages)
                EXPECT_FALSE(message.text.contains(QLatin1StringView(c.never))) << message.text.toStdString();
        }
}

// An answer read while it was being written, cut to its first 20 characters, and read whole
// later. Where reads and the stored windows meet, the newest reading of that answer is what is
// kept: a read that bridges two windows, one of them holding the cut answer; a read that starts
// above the stored list. A stored window ending with the cut answer is no read that completes it,
// however much it shares: it stays apart, as a regenerated answer's beginning must. Numbered and
// not, and the same after a restart.
TEST(ConversationMemoryObserve, WhereReadsMeetStoredWindowsTheNewestReadingOfAnAnswerWins) {
    const QString whole = QStringLiteral("Answer in full: ") + QString(128, u'w');
    const QString cut = whole.left(20);
    // Each window as its first and last request and how it holds the answer.
    const auto shape = [&](const std::vector<Messages>& windows) {
        std::string out;
        for (const Messages& window : windows) {
            const auto holds = [&](const QString& text) {
                return std::any_of(window.begin(), window.end(),
                                   [&](const Message& m) { return m.text == text; });
            };
            out += "[" + window.front().text.toStdString() + " .. " +
                   window.back().text.left(20).toStdString() + ", " + std::to_string(window.size()) +
                   " messages" + (holds(whole) ? ", whole" : "") + (holds(cut) ? ", cut" : "") + "] ";
        }
        return out;
    };
    // Turns [from, to) with the answer at `answer` read as `text` (none when outside).
    const auto reading = [](int from, int to, int answer, const QString& text) {
        Messages messages = turns(from, to);
        if (answer >= from && answer < to)
            messages[std::size_t(answer - from)] = assistant(text);
        return messages;
    };
    struct Case {
        const char* name;
        int answer;                                  // where the answer is written
        std::vector<std::pair<int, int>> cutReads;   // read while it was cut
        std::vector<std::pair<int, int>> wholeReads; // read afterwards
        std::vector<std::pair<int, int>> expected;   // the stored windows, all with the whole answer
        std::vector<std::pair<int, int>> cutKept;    // windows still holding the cut answer
        // The same windows saved without naming them, as an older version wrote them, when they
        // are repaired otherwise: read back in order, a later one that goes on from an earlier
        // one's newest answer continues it.
        std::vector<std::pair<int, int>> restarted = {};
    };
    const Case cases[] = {
        {"a read bridging two windows, the later one holding the cut answer",
         29,
         {{0, 20}, {24, 30}},
         {{10, 30}},
         {{0, 30}},
         {}},
        {"a read bridging three windows, the earliest joined first",
         29,
         {{0, 12}, {14, 22}, {26, 30}},
         {{10, 30}},
         {{0, 30}},
         {}},
        {"a read bridging two windows, a request queued after the answer",
         29,
         {{0, 18}, {20, 31}},
         {{6, 33}},
         {{0, 33}},
         {}},
        {"a read starting above the stored list at message 10", 15, {{10, 17}}, {{0, 20}}, {{0, 20}}, {}},
        {"a read starting above the stored list at message 1", 15, {{1, 17}}, {{0, 18}}, {{0, 18}}, {}},
        {"a stale window ending with it, ten texts shared",
         21,
         {{0, 22}},
         {{40, 60}, {30, 60}, {11, 60}},
         {{11, 60}},
         {{0, 22}},
         {{0, 60}}},
        {"a stale window ending with it, sixteen texts shared",
         21,
         {{0, 22}},
         {{40, 60}, {30, 60}, {5, 60}},
         {{5, 60}},
         {{0, 22}},
         {{0, 60}}},
        {"a stale window ending with it, six texts shared",
         21,
         {{0, 22}},
         {{40, 60}, {30, 60}, {15, 60}},
         {{15, 60}},
         {{0, 22}},
         {{0, 60}}},
    };
    for (const Case& c : cases)
        for (const bool numbered : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (numbered ? ", numbered" : ""));
            const auto ids = [numbered](int from, int to) {
                std::vector<std::optional<QString>> out;
                for (int i = from; numbered && i < to; ++i)
                    out.push_back(
                        QStringLiteral("message:%1:%2").arg(i + 1).arg(i % 2 ? "assistant" : "user"));
                return out;
            };
            ConversationMemory memory;
            for (const auto& [from, to] : c.cutReads)
                twice(memory, "k", reading(from, to, c.answer, cut), ids(from, to));
            for (const auto& [from, to] : c.wholeReads)
                twice(memory, "k", reading(from, to, c.answer, whole), ids(from, to));
            std::vector<Messages> expected;
            for (const auto& [from, to] : c.cutKept)
                expected.push_back(reading(from, to, c.answer, cut));
            for (const auto& [from, to] : c.expected)
                expected.push_back(reading(from, to, c.answer, whole));
            std::vector<Messages> afterRestart;
            for (const auto& [from, to] : c.restarted)
                afterRestart.push_back(reading(from, to, c.answer, whole));
            ConversationMemory restarted, older;
            restarted.restore(memory.encoded());
            older.restore(withMember(memory.encoded(), "segmentsDigest", QJsonValue(QJsonValue::Undefined)));
            EXPECT_EQ(shape(windowsOf(memory, "k")), shape(expected));
            EXPECT_EQ(shape(windowsOf(restarted, "k")), shape(expected)) << "after a restart";
            EXPECT_EQ(shape(windowsOf(older, "k")), shape(c.restarted.empty() ? expected : afterRestart))
                << "saved as an older version saved it";
            EXPECT_TRUE(windowsOf(memory, "k") == expected);
        }
}
