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

namespace {

constexpr std::uint32_t baseSeed = 20240611;
constexpr int sessions = 2000;

// Texts an agent or a person says over and over: a session that draws from them repeats blocks
// of its own history, which is where joining and splitting are hardest.
const char* const routineRequests[] = {"continue", "run the tests", "fix the lint",
                                       "hi",       "Thanks",        "ship it"};
const char* const routineAnswers[] = {"Done.", "Hello! How can I help you today?", "All green.",
                                      "You're welcome!", "Shipped."};

class Session {
public:
    explicit Session(std::uint32_t seed) : rng_(seed) {
        numbered_ = chance(2);
        routine_ = pick(4); // 0: every text its own; else one text in `routine_ + 1` is routine
        static const QString keys[] = {"claude|https://claude.ai/chat/1", "chatgpt|title:New chat",
                                       "codex|thread:1"};
        key_ = keys[pick(3)];
        for (int i = 0, n = 2 + pick(12); i < n; ++i)
            say();
    }

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
        switch (pick(6)) {
        case 0:
            break; // the whole branch
        case 1:
        case 2:
            from = pick(n);
            to = std::min(n, from + 1 + pick(14)); // scrolled up
            break;
        default:
            from = std::max(0, n - 4 - pick(14)); // the newest messages
            break;
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

    const QString& key() const { return key_; }
    bool chance(int oneIn) { return pick(oneIn) == 0; }
    int pick(int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng_)); }

private:
    static Message user(const QString& text) { return {"user", text}; }
    static Message assistant(const QString& text) { return {"assistant", text}; }
    bool streaming() const { return answer_ >= 0 && written_ < branch_[std::size_t(answer_)].text.size(); }

    QString request() {
        if (routine_ && chance(routine_ + 1))
            return routineRequests[pick(std::size(routineRequests))];
        return QStringLiteral("Request %1: please look at part %2 of the plan").arg(++said_).arg(pick(1000));
    }
    QString answerText() {
        if (routine_ && chance(routine_ + 1))
            return routineAnswers[pick(std::size(routineAnswers))];
        return QStringLiteral("Answer %1: here is what changed in part %2, ").arg(++said_).arg(pick(1000)) +
               QStringLiteral("with the reasons and the tests that show it. ").repeated(1 + pick(3));
    }

    // A request and its answer, which is then written a little at a time.
    void say() {
        if (!queued_)
            branch_.push_back(user(request()));
        queued_ = false;
        startAnswer(int(branch_.size()));
        branch_.push_back(assistant(answerText()));
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

    std::mt19937 rng_;
    bool numbered_ = false;
    int routine_ = 0;
    QString key_;
    Messages branch_;
    int answer_ = -1;       // the answer being written, -1 when none
    qsizetype written_ = 0; // how much of it a read shows
    bool queued_ = false;   // a request waits after it
    int said_ = 0;
};

QDateTime at(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(1700000000 + seconds, Qt::UTC);
}

ConversationMemory restarted(const ConversationMemory& memory) {
    ConversationMemory copy;
    copy.restore(memory.encoded());
    return copy;
}

std::string describe(const Messages& messages) {
    std::ostringstream out;
    out << messages.size() << " messages:";
    for (const Message& message : messages)
        out << " [" << message.role.left(1).toStdString() << "] " << message.text.left(24).toStdString()
            << ";";
    return out.str();
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
                                  << describe(read) << "\n live recalls "
                                  << describe(Messages(shown.messages.begin(), shown.messages.end()))
                                  << "\n after a restart "
                                  << describe(Messages(recalled.messages.begin(), recalled.messages.end()));
                    step = steps;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(differing, 0) << "of " << reads << " reads";
    RecordProperty("reads", reads);
}
