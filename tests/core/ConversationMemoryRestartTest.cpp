// Random sessions of reads as a window tracker makes them, with restarts at random: whatever the
// live memory held, a copy restored from what it saved recalls the same for every read.

#include "core/ConversationMemory.h"

#include "core/Json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <sstream>
#include <string>

using namespace quillmere;
using Message = ConversationText::Message;
using Messages = std::vector<Message>;
using Ids = std::vector<std::optional<QString>>;
using Bounds = ConversationMemory::Bounds;

namespace {

constexpr std::uint32_t baseSeed = 20240611;
constexpr int sessions = 2000;

// Texts an agent or a person says over and over: a session that draws from them repeats blocks
// of its own history, which is where joining and splitting are hardest.
const char* const routineRequests[] = {"continue", "run the tests", "fix the lint",
                                       "hi",       "Thanks",        "ship it"};
const char* const routineAnswers[] = {"Done.", "Hello! How can I help you today?", "All green.",
                                      "You're welcome!", "Shipped."};

// How long a conversation's texts are.
enum class Voice {
    usual,
    terse, // a few words each: many records take few bytes
    wordy, // long answers, now and then one longer than a small memory holds
};

QDateTime at(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(1700000000 + seconds, Qt::UTC);
}

// One conversation as its host shows it: it grows, an answer is regenerated, an answer is written
// a little at a time, and each read shows the newest messages, a stretch scrolled up to or the
// whole branch. The random choices come from the session's generator.
class Conversation {
public:
    Conversation(std::mt19937& rng, QString key, bool numbered, int routine, Voice voice = Voice::usual,
                 bool revisits = false)
        : rng_(&rng), key_(std::move(key)), numbered_(numbered), routine_(routine), voice_(voice),
          revisits_(revisits) {}

    // One step: the conversation goes on, or an answer is regenerated, or nothing changes; then
    // the step's read: the newest messages, or a stretch scrolled up to, or the whole branch.
    void step(Messages& read, Ids& ids) {
        switch (pick(10)) {
        case 0:
        case 1:
        case 2:
            say();
            break;
        case 3:
            regenerate();
            break;
        case 4:
            if (!queued_ && streaming()) {
                branch_.push_back(user(request()));
                queued_ = true;
            }
            break;
        default:
            if (streaming())
                written_ =
                    std::min<qsizetype>(branch_[std::size_t(answer_)].text.size(), written_ + 1 + pick(40));
            break;
        }
        const int n = int(branch_.size());
        int from = 0, to = n;
        if (revisits_ && scrolledTo_ >= 0 && scrolledTo_ < n && chance(5)) {
            // Back to the stretch scrolled up to before, by a few messages either way.
            from = std::clamp(scrolledTo_ - 2 + pick(5), 0, n - 1);
            to = std::min(n, from + 1 + pick(14));
        } else {
            switch (pick(6)) {
            case 0:
                break; // the whole branch
            case 1:
            case 2:
                from = pick(n);
                to = std::min(n, from + 1 + pick(14)); // scrolled up
                scrolledTo_ = from;
                break;
            default:
                from = std::max(0, n - 4 - pick(14)); // the newest messages
                break;
            }
        }
        read.clear();
        ids.clear();
        for (int i = from; i < to; ++i) {
            Message message = branch_[std::size_t(i)];
            if (i == answer_)
                message.text.truncate(written_);
            read.push_back(message);
            if (numbered_)
                ids.push_back(QStringLiteral("message:%1:%2").arg(i + 1).arg(message.role));
        }
    }

    // A request and its answer, which is then written a little at a time.
    void say() {
        if (!queued_)
            branch_.push_back(user(request()));
        queued_ = false;
        startAnswer(int(branch_.size()));
        branch_.push_back(assistant(answerText()));
    }

    const QString& key() const { return key_; }

private:
    static Message user(const QString& text) { return {"user", text}; }
    static Message assistant(const QString& text) { return {"assistant", text}; }
    bool chance(int oneIn) { return pick(oneIn) == 0; }
    int pick(int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(*rng_)); }
    bool streaming() const { return answer_ >= 0 && written_ < branch_[std::size_t(answer_)].text.size(); }

    QString request() {
        if (routine_ && chance(routine_ + 1))
            return routineRequests[pick(std::size(routineRequests))];
        if (voice_ == Voice::terse)
            return QStringLiteral("Request %1").arg(++said_);
        return QStringLiteral("Request %1: please look at part %2 of the plan").arg(++said_).arg(pick(1000));
    }
    QString answerText() {
        if (routine_ && chance(routine_ + 1))
            return routineAnswers[pick(std::size(routineAnswers))];
        if (voice_ == Voice::terse)
            return QStringLiteral("Answer %1.").arg(++said_);
        // How many times the reasons are given is drawn before the part: the order in which the
        // sessions' texts have always been drawn.
        int reasons = 1 + pick(3);
        if (voice_ == Voice::wordy)
            reasons = chance(25) ? 60 + pick(60) : 6 * reasons;
        return QStringLiteral("Answer %1: here is what changed in part %2, ").arg(++said_).arg(pick(1000)) +
               QStringLiteral("with the reasons and the tests that show it. ").repeated(reasons);
    }

    void startAnswer(int at) {
        answer_ = at;
        written_ = chance(3) ? 1 << 20 : 1 + pick(30); // read whole from the start, or written
    }
    // An answer written again: the turns after it go to a branch left behind. The new answer may
    // begin like the old one.
    void regenerate() {
        std::vector<int> answers;
        for (int i = 0; i < int(branch_.size()); ++i)
            if (branch_[std::size_t(i)].role == "assistant")
                answers.push_back(i);
        if (answers.empty())
            return;
        const int at = answers[std::size_t(pick(int(answers.size())))];
        QString text = answerText();
        if (chance(2))
            text = branch_[std::size_t(at)].text.left(10 + pick(20)) + text;
        branch_.resize(std::size_t(at));
        branch_.push_back(assistant(text));
        queued_ = false;
        startAnswer(at);
    }

    std::mt19937* rng_;
    QString key_;
    bool numbered_ = false;
    int routine_ = 0; // 0: every text its own; else one text in `routine_ + 1` is routine
    Voice voice_ = Voice::usual;
    bool revisits_ = false; // reads go back to where they scrolled up to before
    Messages branch_;
    int answer_ = -1;       // the answer being written, -1 when none
    qsizetype written_ = 0; // how much of it a read shows
    bool queued_ = false;   // a request waits after it
    int said_ = 0;
    int scrolledTo_ = -1; // where the last read scrolled up to began
};

// One conversation, read step after step.
class Session {
public:
    explicit Session(std::uint32_t seed) : rng_(seed) {
        const bool numbered = chance(2);
        const int routine = pick(4);
        static const QString keys[] = {"claude|https://claude.ai/chat/1", "chatgpt|title:New chat",
                                       "codex|thread:1"};
        const QString& key = keys[pick(3)];
        conversation_.emplace(rng_, key, numbered, routine);
        for (int i = 0, n = 2 + pick(12); i < n; ++i)
            conversation_->say();
    }
    Session(const Session&) = delete; // the conversation draws from this session's generator
    Session& operator=(const Session&) = delete;

    void step(Messages& read, Ids& ids) { conversation_->step(read, ids); }
    const QString& key() const { return conversation_->key(); }
    bool chance(int oneIn) { return pick(oneIn) == 0; }
    int pick(int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng_)); }

private:
    std::mt19937 rng_;
    std::optional<Conversation> conversation_;
};

// A person at work with a handful of chats at once: switching between them, opening new ones
// (now and then under a title an earlier chat had), coming back to an old one after a while. Each
// chat goes on as a Conversation does. The memory's bounds are lowered so that a session passes
// them within a few reads: long texts pass the bound in bytes first, many short ones the bound in
// records, many chats the bound in conversations; and a chat read whole may be larger than the
// memory on its own.
class Workday {
public:
    enum class Kind { longTexts, shortTexts, manyChats, mixed };

    explicit Workday(std::uint32_t seed) : rng_(seed) {
        kind_ = Kind(pick(4));
        switch (kind_) {
        case Kind::longTexts:
            bounds_ = {5 + pick(4), 100, std::size_t(1800 + pick(3000))};
            break;
        case Kind::shortTexts:
            bounds_ = {5 + pick(4), 5 + pick(14), std::size_t(1) << 20};
            break;
        case Kind::manyChats:
            bounds_ = {1 + pick(3), 40, std::size_t(1) << 20};
            break;
        case Kind::mixed:
            bounds_ = {2 + pick(3), 10 + pick(20), std::size_t(2500 + pick(4000))};
            break;
        }
        for (int i = 0, n = 1 + pick(3); i < n; ++i)
            open();
    }
    Workday(const Workday&) = delete; // the chats draw from this session's generator
    Workday& operator=(const Workday&) = delete;

    // One step: the person may open a new chat or turn to another; the chat goes on, and the
    // step's read is what its host shows. Returns the chat's key.
    const QString& step(Messages& read, Ids& ids) {
        seconds_ += 1 + pick(20);
        if (chance(kind_ == Kind::manyChats ? 3 : 8)) {
            open();
        } else if (byUse_.size() > 1 && chance(3)) {
            // Mostly one of the last few chats; now and then one left long ago.
            const int n = int(byUse_.size()) - 1; // the current one is last
            turnTo(byUse_[std::size_t(chance(4) ? pick(n) : std::max(0, n - 1 - pick(2)))]);
        }
        Conversation& chat = chats_[std::size_t(byUse_.back())];
        chat.step(read, ids);
        return chat.key();
    }

    const Bounds& bounds() const { return bounds_; }
    Kind kind() const { return kind_; }
    QDateTime now() const { return at(seconds_); }
    bool chance(int oneIn) { return pick(oneIn) == 0; }
    int pick(int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng_)); }

private:
    void open() {
        // Titles a host gives: a new chat is often just "New chat", another one's title again.
        static const char* const titles[] = {"New chat", "New chat", "Build failure", "Weekly plan",
                                             "Parser refactor"};
        QString key;
        switch (pick(3)) {
        case 0:
            key = QStringLiteral("claude|https://claude.ai/chat/%1").arg(++documents_);
            break;
        case 1:
            key = QStringLiteral("chatgpt|title:%1").arg(titles[pick(std::size(titles))]);
            break;
        default:
            key = QStringLiteral("codex|thread:%1").arg(++threads_);
            break;
        }
        Voice voice = Voice::usual;
        if (kind_ == Kind::longTexts)
            voice = Voice::wordy;
        else if (kind_ == Kind::shortTexts)
            voice = Voice::terse;
        else if (kind_ == Kind::mixed)
            voice = Voice(pick(3));
        const bool numbered = chance(2);
        const int routine = pick(4);
        chats_.emplace_back(rng_, key, numbered, routine, voice, true);
        // A chat begun just now, or one with a long history opened again.
        for (int i = 0, n = chance(4) ? 5 + pick(8) : 1 + pick(4); i < n; ++i)
            chats_.back().say();
        byUse_.push_back(int(chats_.size()) - 1);
    }
    void turnTo(int chat) {
        byUse_.erase(std::find(byUse_.begin(), byUse_.end(), chat));
        byUse_.push_back(chat);
    }

    std::mt19937 rng_;
    Kind kind_ = Kind::mixed;
    Bounds bounds_;
    std::vector<Conversation> chats_;
    std::vector<int> byUse_; // the chats, the one read last at the end
    int documents_ = 0, threads_ = 0;
    qint64 seconds_ = 0;
};

ConversationMemory restored(const Bounds& bounds, const QByteArray& saved) {
    ConversationMemory copy(bounds);
    copy.restore(saved);
    return copy;
}

ConversationMemory restarted(const ConversationMemory& memory) {
    return restored(memory.bounds(), memory.encoded());
}

std::string describe(const Messages& messages) {
    std::ostringstream out;
    out << messages.size() << " messages:";
    for (const Message& message : messages)
        out << " [" << message.role.left(1).toStdString() << "] " << message.text.left(24).toStdString()
            << ";";
    return out.str();
}

std::string describe(const MessageList& messages) {
    return describe(Messages(messages.begin(), messages.end()));
}

bool recallsAlike(const ConversationMemory::Result& a, const ConversationMemory::Result& b) {
    return a.messages == b.messages && a.connectedCount == b.connectedCount;
}

// What a saved memory holds, read from its bytes: each conversation is an object beginning with
// its key. Texts cannot end the object early, their quotes being escaped.
int conversationsIn(const QByteArray& saved) {
    return int(saved.count("{\"key\":"));
}
bool holds(const QByteArray& saved, const QString& key) {
    return saved.contains("{\"key\":" + json::quoted(key) + ",");
}

// The saved form without the conversations' scopes: a conversation first stored after a restart
// is given a scope of its own, not the one it would have had without the restart.
QByteArray withoutScopes(QByteArray saved) {
    static const QByteArray member = "\"conversationScopeID\":\"";
    for (qsizetype at = saved.indexOf(member); at >= 0; at = saved.indexOf(member, at)) {
        at += member.size();
        saved.remove(at, saved.indexOf('"', at) - at);
    }
    return saved;
}

// More than a read can add to the saved form: each of its messages as a record of its own, a
// window of its own, and a conversation when it is not stored yet. A memory further from its
// bound in bytes than this is not cut by the read.
std::size_t mostAdded(const QString& key, bool stored, const Messages& read, const Ids& ids) {
    std::size_t bytes = 50 + (stored ? 0 : 1000 + 6 * std::size_t(key.size()));
    for (std::size_t i = 0; i < read.size(); ++i)
        bytes += 150 + json::quotedSize(read[i].text) + (i < ids.size() ? json::quotedSize(*ids[i]) : 0);
    return bytes;
}

// Whether the bounds cut the oldest records of the one window the live memory kept of the
// conversation read, or dropped it whole: it recalled a longer window, the connected part around
// the read before the bounds, when the window does not continue others by message number.
bool cutOnItsOwn(const ConversationMemory& live, const QString& key,
                 const ConversationMemory::Result& shown) {
    const MessageList kept = live.newestWindow(key);
    return kept.size() < shown.messages.size() &&
           std::equal(kept.begin(), kept.end(), shown.messages.end() - std::ptrdiff_t(kept.size()));
}

// Where two saved forms part: the first byte that differs, with what each has around it.
std::string whereTheyDiffer(const QByteArray& a, const QByteArray& b, const char* other) {
    qsizetype at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    const qsizetype from = std::max<qsizetype>(0, at - 80);
    return std::to_string(a.size()) + " bytes, " + other + " " + std::to_string(b.size()) +
           " bytes, parting at byte " + std::to_string(at) + ":\n  " + a.mid(from, 160).toStdString() +
           "\n  " + b.mid(from, 160).toStdString();
}

const char* nameOf(Workday::Kind kind) {
    switch (kind) {
    case Workday::Kind::longTexts:
        return "long texts";
    case Workday::Kind::shortTexts:
        return "short texts";
    case Workday::Kind::manyChats:
        return "many chats";
    case Workday::Kind::mixed:
        break;
    }
    return "mixed";
}

} // namespace

// Every read is made on the live memory and on a copy restored from what it saved just before,
// and both recall the same; now and then the live memory itself is restarted, so that what a
// restored memory goes on to observe is saved and restored in turn.
TEST(ConversationMemoryRestart, EveryReadAfterARestartRecallsWhatItRecallsLive) {
    int differing = 0, reads = 0;
    for (int s = 0; s < sessions && differing < 3; ++s) {
        const std::uint32_t seed = baseSeed + std::uint32_t(s);
        Session session(seed);
        ConversationMemory live;
        Messages read;
        Ids ids;
        const int steps = 5 + session.pick(6);
        for (int step = 0; step < steps; ++step) {
            session.step(read, ids);
            if (session.chance(5)) {
                ConversationMemory copy = restarted(live);
                ASSERT_EQ(copy.encoded(), live.encoded())
                    << "session " << s << " (seed " << seed << "), step " << step
                    << ": the restored copy holds other windows";
                live = std::move(copy);
            }
            // Most reads are seen twice in a row, as a tracker scans an unchanged window again.
            for (int scan = 0, scans = session.chance(4) ? 1 : 2; scan < scans; ++scan) {
                ConversationMemory copy = restarted(live);
                const auto shown = live.observe(session.key(), read, ids, true, at(step));
                const auto recalled = copy.observe(session.key(), read, ids, true, at(step));
                ++reads;
                if (!(recalled.messages == shown.messages) ||
                    recalled.connectedCount != shown.connectedCount) {
                    ++differing;
                    ADD_FAILURE() << "session " << s << " (seed " << seed << "), step " << step << ", read "
                                  << describe(read) << "\n live recalls " << describe(shown.messages)
                                  << "\n after a restart " << describe(recalled.messages);
                    step = steps;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(differing, 0) << "of " << reads << " reads";
    RecordProperty("reads", reads);
}

// Sessions of several conversations at once, with bounds lowered so that each session passes
// them: whole conversations go, then a conversation's least recently read windows, then the
// oldest records of a window larger than the memory on its own. Every read is made on the live
// memory, on a copy restored from what it saved just before, and on a memory that is never
// restarted, and all three recall the same; the live memory is restarted at random, now and then
// several times in a row, often right after a read the bounds cut. After every read the live
// memory is within its bounds and has marked as a change what changes its saved form and nothing
// else; at each restart and at the end it saves what the memory never restarted saves.
TEST(ConversationMemoryRestart, ManyConversationsPastTheBoundsRecallAfterARestartWhatTheyRecallLive) {
    constexpr std::uint32_t workdayBaseSeed = 20260421;
    const Bounds unbounded{std::numeric_limits<int>::max(), std::numeric_limits<int>::max(),
                           std::numeric_limits<std::size_t>::max()};
    int failing = 0, reads = 0, restarts = 0;
    // Sessions in which a read would have taken the memory past each bound; in which the
    // conversation read lost windows of its own to the bounds; and in which the one window left
    // of it lost its oldest records.
    int pastConversations = 0, pastRecords = 0, pastBytes = 0, windowsDropped = 0, windowsCut = 0;
    for (int s = 0; s < sessions && failing < 3; ++s) {
        const std::uint32_t seed = workdayBaseSeed + std::uint32_t(s);
        Workday day(seed);
        const Bounds bounds = day.bounds();
        ConversationMemory live(bounds), unbroken(bounds);
        // What a saver holds: the live memory's saved form, written again whenever its revision
        // goes up.
        QByteArray saved = live.encoded();
        std::uint64_t revision = live.revision();
        bool restartedOnce = false, cut = false;
        bool passedConversations = false, passedRecords = false, passedBytes = false, droppedWindows = false,
             cutWindow = false;
        std::ostringstream failure;
        const auto unlikeUnbroken = [&](const char* when) {
            if (!restartedOnce)
                return false; // the same memory until then
            const QByteArray expected = withoutScopes(unbroken.encoded());
            const QByteArray actual = withoutScopes(saved);
            if (actual == expected)
                return false;
            failure << when << " it saves " << whereTheyDiffer(actual, expected, "never restarted it saves");
            return true;
        };
        Messages read;
        Ids ids;
        const int steps = 7 + day.pick(7);
        for (int step = 0; step < steps && failure.tellp() == 0; ++step) {
            const QString key = day.step(read, ids);
            const QDateTime time = day.now();
            if (day.chance(cut ? 4 : 12)) {
                if (unlikeUnbroken(("step " + std::to_string(step) + ", before a restart,").c_str()))
                    break;
                do {
                    ++restarts;
                    ConversationMemory copy = restored(bounds, saved);
                    if (const QByteArray again = copy.encoded(); again != saved) {
                        failure << "step " << step << ", a restart: it read "
                                << whereTheyDiffer(saved, again, "and saves");
                        break;
                    }
                    live = std::move(copy);
                } while (day.chance(4));
                revision = live.revision();
                restartedOnce = true;
                // A conversation seen once waits for a second read to be stored, and a restart
                // forgets it; the memory never restarted forgets it too, by a read of no
                // conversation.
                unbroken.observe(std::nullopt, {}, {}, true, time);
            }
            // A read is seen twice in a row now and then, as a tracker scans an unchanged window
            // again.
            for (int scan = 0, scans = day.chance(4) ? 2 : 1; scan < scans && failure.tellp() == 0; ++scan) {
                const std::size_t recordsBefore = live.recordCount();
                const std::size_t bytesBefore = live.encodedSizeEstimate();
                ConversationMemory copy = restored(bounds, saved);
                const auto shown = live.observe(key, read, ids, true, time);
                const auto recalled = copy.observe(key, read, ids, true, time);
                const auto reference = unbroken.observe(key, read, ids, true, time);
                ++reads;
                const QByteArray now = live.encoded();
                const bool changed = live.revision() != revision;

                // What the bounds did. Whether the read took the memory past the bound in records
                // or in bytes is told by a memory without bounds that makes the same read, when
                // the read comes near enough to them and it is not known yet, or when it decides
                // whether a new revision that saves nothing new is allowed. Otherwise `cut` is
                // only whether it came near enough, which is all the restarts need.
                const bool storedBefore = holds(saved, key), storedNow = holds(now, key);
                const bool tooManyConversations =
                    !storedBefore && storedNow && conversationsIn(saved) >= bounds.conversations;
                const bool nearRecords = recordsBefore + read.size() > std::size_t(bounds.records);
                const bool nearBytes = bytesBefore + mostAdded(key, storedBefore, read, ids) > bounds.bytes;
                cut = tooManyConversations || nearRecords || nearBytes;
                if ((nearRecords && !passedRecords) || (nearBytes && !passedBytes) ||
                    (cut && changed && now == saved)) {
                    ConversationMemory free = restored(unbounded, saved);
                    auto grown = free.observe(key, read, ids, true, time);
                    // A conversation the live memory stored with this read was seen once before.
                    if (!storedBefore && storedNow)
                        grown = free.observe(key, read, ids, true, time);
                    const bool tooManyRecords = free.recordCount() > std::size_t(bounds.records);
                    const bool tooManyBytes = free.encodedSizeEstimate() > bounds.bytes;
                    cut = tooManyConversations || tooManyRecords || tooManyBytes;
                    passedRecords |= tooManyRecords;
                    passedBytes |= tooManyBytes;
                    droppedWindows |= shown.windows > 0 && grown.windows > shown.windows;
                }
                passedConversations |= tooManyConversations;
                // The bounds reach into the conversation read once every other one is gone. What
                // it recalls is its window before the bounds, unless it joins windows by number.
                if (cut && conversationsIn(now) == 1 && shown.windows <= 1 &&
                    (!key.contains(QLatin1StringView("|https://")) || ids.empty()))
                    cutWindow |= cutOnItsOwn(live, key, shown);

                std::ostringstream wrong;
                if (!recallsAlike(recalled, shown))
                    wrong << "after a restart it recalls " << describe(recalled.messages);
                else if (!recallsAlike(reference, shown))
                    wrong << "never restarted it recalls " << describe(reference.messages);
                else if (!changed && now != saved)
                    wrong << "its saved form changed, its revision did not: it saved "
                          << whereTheyDiffer(saved, now, "and holds");
                // A read the bounds cut may add what they then drop again.
                else if (changed && now == saved && !cut)
                    wrong << "its revision went up, its saved form did not change";
                else if (conversationsIn(now) > bounds.conversations)
                    wrong << "it holds " << conversationsIn(now) << " conversations";
                else if (live.recordCount() > std::size_t(bounds.records))
                    wrong << "it holds " << live.recordCount() << " records";
                else if (live.encodedSizeEstimate() > bounds.bytes)
                    wrong << "it takes " << live.encodedSizeEstimate() << " bytes";
                else if (std::size_t(now.size()) > live.encodedSizeEstimate())
                    wrong << "it saves " << now.size() << " bytes, more than the "
                          << live.encodedSizeEstimate() << " it estimates";
                if (wrong.tellp() != 0) {
                    failure << "step " << step << ", scan " << scan << ", " << key.toStdString() << ", read "
                            << describe(read) << "\n live it recalls " << describe(shown.messages) << "\n "
                            << wrong.str();
                    break;
                }
                if (changed) {
                    saved = now;
                    revision = live.revision();
                }
            }
        }
        if (failure.tellp() == 0)
            unlikeUnbroken("at the end");
        if (failure.tellp() != 0) {
            ++failing;
            ADD_FAILURE() << "session " << s << " (seed " << seed << "; " << nameOf(day.kind()) << "; bounds "
                          << bounds.conversations << " conversations, " << bounds.records << " records, "
                          << bounds.bytes << " bytes), " << failure.str();
        }
        pastConversations += passedConversations;
        pastRecords += passedRecords;
        pastBytes += passedBytes;
        windowsDropped += droppedWindows;
        windowsCut += cutWindow;
    }
    EXPECT_EQ(failing, 0) << "of " << reads << " reads";
    RecordProperty("reads", reads);
    RecordProperty("restarts", restarts);
    RecordProperty("sessions_past_conversations", pastConversations);
    RecordProperty("sessions_past_records", pastRecords);
    RecordProperty("sessions_past_bytes", pastBytes);
    RecordProperty("sessions_dropping_windows", windowsDropped);
    RecordProperty("sessions_cutting_a_window", windowsCut);
    // Sessions that never reach a bound would check nothing of it.
    EXPECT_GT(pastConversations, 0);
    EXPECT_GT(pastRecords, 0);
    EXPECT_GT(pastBytes, 0);
    EXPECT_GT(windowsDropped, 0);
    EXPECT_GT(windowsCut, 0);
    EXPECT_GT(restarts, 0);
}
