#include "desktop/observation/ClaudeLocalConversationArchiveTranscript.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>

#include "core/Json.h"

using namespace quillmere;
using namespace quillmere::ClaudeLocalConversationArchive;

namespace {

QString uuid(int n) {
    return QStringLiteral("44444444-4444-4444-8444-%1").arg(n, 12, 10, QLatin1Char('0'));
}

const QString kWords[] = {QStringLiteral("filter"), QStringLiteral("café"),   QStringLiteral("שלום"),
                          QStringLiteral("東京"),   QStringLiteral("😀"),      QStringLiteral("a\nb"),
                          QStringLiteral("\"q\""),  QStringLiteral("e\u0301")};

QString words(QRandomGenerator& random, int count) {
    QString out;
    for (int i = 0; i < count; ++i)
        out += kWords[random.bounded(int(std::size(kWords)))] + u' ';
    return out;
}

QByteArray event(int n, int parent, const QString& type, const QJsonValue& content, bool human) {
    QJsonObject object{
        {"uuid", uuid(n)},
        {"parentUuid", parent > 0 ? QJsonValue(uuid(parent)) : QJsonValue()},
        {"type", type},
        {"timestamp", QStringLiteral("2026-09-29T08:%1:00.000Z").arg(n % 60, 2, 10, QLatin1Char('0'))},
        {"message", QJsonObject{{"content", content}}}};
    if (human)
        object.insert("origin", QJsonObject{{"kind", "human"}});
    return json::write(json::Value::from(object));
}

// A session as the host writes it, with what goes wrong in real files mixed in: forks, progress
// rows off the branch, duplicates (agreeing and not), unreadable and over-long lines, blank lines
// and carriage returns. The leaf after each line is the newest event of the branch.
struct Session {
    QByteArray bytes;
    std::vector<std::pair<qsizetype, int>> leaves; // from this byte on, the leaf is this event
};

Session session(quint32 seed, int events) {
    QRandomGenerator random(seed);
    Session out;
    int tip = 0;
    QByteArray tipLine;
    int fork = 0;
    auto add = [&](const QByteArray& line, const char* ending = "\n") { out.bytes += line + ending; };
    auto extend = [&](int n, const QByteArray& line, const char* ending = "\n") {
        add(line, ending);
        tip = n;
        tipLine = line;
    };
    for (int n = 1; n <= events; ++n) {
        const int roll = int(random.bounded(20));
        const char* ending = random.bounded(10) == 0 ? "\r\n" : "\n";
        if (roll < 6) {
            extend(n, event(n, tip, "user", words(random, 1 + int(random.bounded(30))), true), ending);
        } else if (roll < 11) {
            extend(n,
                   event(n, tip, "assistant",
                         QJsonArray{QJsonObject{{"type", "text"},
                                                {"text", words(random, 1 + int(random.bounded(40)))}}},
                         false),
                   ending);
        } else if (roll < 13) {
            extend(n, event(n, tip, "user",
                            QJsonArray{QJsonObject{{"type", "tool_result"}, {"content", words(random, 9)}}},
                            false));
        } else if (roll < 15) {
            add(event(n, tip, "progress", QJsonObject{{"hook", words(random, 3)}}, false)); // off the branch
        } else if (roll == 15 && tip > 3) {
            add(event(n, tip - 2, "user", words(random, 4), true)); // an abandoned fork
            fork = n;
        } else if (roll == 16) {
            add(random.bounded(2) ? QByteArray("not json at all") : QByteArray("{\"uuid\":\"\xff\"}"));
        } else if (roll == 17) {
            add("{\"type\":\"file-history-snapshot\",\"data\":\"" + QByteArray(700, 'x') + "\"}");
            add("   ");
        } else if (roll == 18 && tip > 0) {
            // The branch's end written again; a fork's event written again with another parent.
            add(tipLine);
            if (fork > 0)
                add(event(fork, 1, "assistant", QJsonArray{QJsonObject{{"type", "text"}, {"text", "again"}}},
                          false));
        } else {
            add(json::write(json::Value::from(QJsonObject{{"type", "summary"}, {"leafUuid", uuid(tip)}})));
        }
        // Near the end, a conflicting copy of the branch's end breaks the branch.
        if (n == events - 10)
            add(event(tip, tip > 1 ? tip - 1 : 0, "assistant", "a different event", false));
        out.leaves.emplace_back(out.bytes.size(), tip);
    }
    return out;
}

void write(const QString& path, const QByteArray& bytes, bool append) {
    QFile file(path);
    ASSERT_TRUE(file.open(append ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

void expectSameBranch(const Branch& read, const Branch& fresh, const std::string& where) {
    EXPECT_EQ(read.failure, fresh.failure) << where;
    EXPECT_EQ(read.messages, fresh.messages) << where;
    EXPECT_EQ(read.messageHashes, fresh.messageHashes) << where;
    EXPECT_EQ(read.lastCreatedAtMs, fresh.lastCreatedAtMs) << where;
    EXPECT_EQ(read.lines, fresh.lines) << where;
    EXPECT_EQ(read.badLines, fresh.badLines) << where;
    EXPECT_EQ(read.longLines, fresh.longLines) << where;
    EXPECT_EQ(read.invalidUtf8Lines, fresh.invalidUtf8Lines) << where;
    EXPECT_EQ(read.partialTail, fresh.partialTail) << where;
}

Limits smallLines() {
    Limits limits;
    limits.maxLineBytes = 600;
    return limits;
}

} // namespace

TEST(ClaudeArchiveTranscript, AGrowingTranscriptReadByItsNewBytesEqualsAFullRead) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/t.jsonl";
    for (quint32 seed : {1u, 2u, 3u}) {
        const Session s = session(seed, 160);
        QRandomGenerator random(seed * 77);
        write(path, {}, false);
        TranscriptReading reading;
        qsizetype written = 0;
        int extensions = 0;
        std::map<QString, int> outcomes;
        while (written < s.bytes.size()) {
            // Chunks cut anywhere, mid-line and mid-character included.
            const qsizetype size = std::min<qsizetype>(1 + random.bounded(900), s.bytes.size() - written);
            write(path, s.bytes.mid(written, size), true);
            written += size;
            int leaf = 1;
            for (const auto& [from, tip] : s.leaves)
                if (from <= written)
                    leaf = tip;
            // Now and then an older leaf, as when the host's metadata lags.
            if (random.bounded(5) == 0)
                leaf = std::max(1, leaf - int(random.bounded(6)));
            const Branch read = reading.read(path, uuid(leaf), smallLines());
            extensions += reading.lastReadExtended() ? 1 : 0;
            outcomes[read.failure] += 1;
            expectSameBranch(read, readBranch(path, uuid(leaf), smallLines()),
                             "seed " + std::to_string(seed) + " at " + std::to_string(written));
            if (HasFailure())
                return;
        }
        EXPECT_GT(extensions, 20);
        // The branch reads through, and breaks on the duplicates and damage the session holds.
        EXPECT_GT(outcomes[QString()], 10) << seed;
    }
}

TEST(ClaudeArchiveTranscript, AnythingButGrowthIsReadFromTheStart) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/t.jsonl";
    const Session s = session(9, 120);
    const QString leaf = uuid(s.leaves.back().second);
    write(path, s.bytes, false);
    TranscriptReading reading;
    reading.read(path, leaf, smallLines());

    const auto expectFresh = [&](const std::string& what) {
        const Branch read = reading.read(path, leaf, smallLines());
        EXPECT_FALSE(reading.lastReadExtended()) << what;
        expectSameBranch(read, readBranch(path, leaf, smallLines()), what);
    };
    // Truncated.
    write(path, s.bytes.left(s.bytes.size() / 2), false);
    expectFresh("truncated");
    // Rewritten with the same length, the change just before the old end.
    write(path, s.bytes, false);
    reading.read(path, leaf, smallLines());
    QByteArray rewritten = s.bytes;
    rewritten[rewritten.size() - 10] = 'Z';
    write(path, rewritten + "{}\n", false);
    expectFresh("rewritten");
    // Replaced by another file.
    reading.read(path, leaf, smallLines());
    const QString other = dir.path() + "/other.jsonl";
    write(other, s.bytes + "{}\n", false);
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(other, path));
    expectFresh("replaced");

    // Grown, after all that.
    write(path, event(9000, 0, "user", "more", true) + "\n", true);
    const Branch grown = reading.read(path, uuid(9000), smallLines());
    EXPECT_TRUE(reading.lastReadExtended());
    expectSameBranch(grown, readBranch(path, uuid(9000), smallLines()), "grown");
    ASSERT_EQ(grown.messages.size(), 1u);
    EXPECT_EQ(grown.messages.back().text, "more");
}

TEST(ClaudeArchiveTranscript, AChangedUnfinishedLastLineIsReadAgain) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/t.jsonl";
    const QByteArray first = event(1, 0, "user", "first request", true) + "\n";
    const QByteArray second = event(2, 1, "assistant", "the first reply", false);
    write(path, first + second.left(second.size() - 1), false);
    TranscriptReading reading;
    Branch read = reading.read(path, uuid(1), {});
    EXPECT_TRUE(read.partialTail);

    // The host rewrote its unfinished line and went on.
    write(path,
          first +
              event(2, 1, "assistant", QJsonArray{QJsonObject{{"type", "text"}, {"text", "reply"}}}, false) +
              "\n",
          false);
    read = reading.read(path, uuid(2), {});
    EXPECT_FALSE(reading.lastReadExtended());
    expectSameBranch(read, readBranch(path, uuid(2), {}), "rewritten tail");
    ASSERT_EQ(read.messages.size(), 2u);
    EXPECT_EQ(read.messages.back().text, "reply");
}

TEST(ClaudeArchiveTranscript, ARowRewrittenUnderTheIndexIsReadAgainFromTheStart) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/t.jsonl";
    const QByteArray fork = event(5, 2, "user", "the fork", true);
    QByteArray bytes = event(1, 0, "user", "one", true) + "\n" + event(2, 1, "assistant", "two", false) +
                       "\n" + event(3, 2, "user", "three", true) + "\n" + fork + "\n" +
                       event(4, 3, "assistant", "four", false) + "\n";
    // Bookkeeping after the rows, so that the bytes checked before the end stay the same.
    for (int i = 0; i < 100; ++i)
        bytes += "{\"type\":\"summary\",\"summary\":\"padding padding padding padding\"}\n";
    write(path, bytes, false);
    TranscriptReading reading;
    ASSERT_EQ(reading.read(path, uuid(4), {}).messages.size(), 4u);

    // The fork's line rewritten in place with another parent, then the file grows.
    QByteArray rewritten = bytes;
    const QByteArray moved = event(5, 3, "user", "the fork", true);
    ASSERT_EQ(moved.size(), fork.size());
    rewritten.replace(rewritten.indexOf(fork), fork.size(), moved);
    write(path, rewritten + "{}\n", false);

    const Branch read = reading.read(path, uuid(5), {});
    expectSameBranch(read, readBranch(path, uuid(5), {}), "rewritten row");
    EXPECT_FALSE(reading.lastReadExtended());
    ASSERT_EQ(read.messages.size(), 4u);
    EXPECT_EQ(read.messages[2].text, "three");
}
