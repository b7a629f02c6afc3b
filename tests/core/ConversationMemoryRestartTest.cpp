// Random sessions of reads as a window tracker makes them, with restarts at random: whatever the
// live memory held, a copy restored from what it saved recalls the same for every read.

#include "core/ConversationMemory.h"

#include <gtest/gtest.h>

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

QDateTime at(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(1700000000 + seconds, Qt::UTC);
}

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
