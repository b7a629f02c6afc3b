// Writes a copy of the demo desktop with a very long ChatGPT conversation and a very long Claude
// Code session, for measuring the running application on large inputs (bench/measure-large-desktop).
// The inputs are generated at run time because at full size they are hundreds of megabytes.
//
// Usage: generate_large_desktop <output folder> [transcript events] [ChatGPT messages] [branch shape]
//   <output folder>/desktop.json  the demo desktop, its ChatGPT conversation grown to the given
//                                 number of messages (the demo's four are the newest)
//   <output folder>/desktop-claude-code.json  the same desktop with the Claude Code host in front
//   <output folder>/home/         the fixture home folder, the Claude Code transcript grown to the
//                                 given number of events (the demo's session is the newest part)
//   <output folder>/small-home/   the fixture home folder as it is, for the measurement without
//                                 the large transcript
// Branch shapes: "session" (the default), a coding session's turns, each a request, its reply, a
// tool call and the tool's result, so that half the events are messages; "messages", every event a
// request or a reply of 300 to 400 characters, so that the branch has as many messages as events.
// Defaults: 264836 events (about 210 MB, 132,418 messages on the branch) and 50000 messages; with
// "messages", 264,000 events make a transcript of about 210 MB too, with twice the messages. The
// requests and replies are written as people and assistants write them (paragraphs, list items, a
// dash or an apostrophe outside ASCII now and then), so that, as in a real session, most texts are
// not their own comparison keys, and the memory the branch makes is as large as a real one's
// (about 92 MB for the default session). The output is the same on every run.

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <cstdio>

namespace {

const char* const kWords[] = {
    "the",      "settings", "page",     "toggle",    "theme",  "render",   "state",   "component",
    "test",     "value",    "should",   "update",    "when",   "user",     "changes", "layout",
    "colour",   "scheme",   "storage",  "default",   "system", "follow",   "switch",  "handler",
    "effect",   "hook",     "provider", "context",   "style",  "dark",     "light",   "mode",
    "file",     "import",   "export",   "function",  "return", "refactor", "module",  "build",
    "error",    "warning",  "type",     "interface", "props",  "button",   "label",   "aria",
    "snapshot", "review",   "commit",   "branch",    "merge",  "rebase",   "lint",    "format",
    "cache",    "network",  "request",  "response",  "retry",  "timeout",  "queue",   "worker",
};
constexpr int kWordCount = int(sizeof(kWords) / sizeof(kWords[0]));

// A small deterministic generator, so that every run writes the same bytes.
struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return std::uint32_t(state >> 33);
    }
};

// About `length` characters of words, numbered so that no two texts are alike.
QByteArray sentence(Random& random, int length, qint64 number) {
    QByteArray text = "Step " + QByteArray::number(number) + ":";
    while (text.size() < length) {
        text += ' ';
        text += kWords[random.next() % kWordCount];
    }
    return text;
}

// About `length` characters of prose as a person or an assistant writes it in a coding session,
// escaped for a JSON string: paragraphs apart by blank lines, list items, and now and then a dash
// or a quotation mark outside ASCII. Such a text is not its own comparison key: white space is
// folded and, with a character outside ASCII, the composed form is taken.
QByteArray prose(Random& random, int length, qint64 number) {
    QByteArray text = "Step " + QByteArray::number(number) + ":";
    int sincePause = 0;
    while (text.size() < length) {
        const std::uint32_t pick = random.next();
        if (sincePause > 160 && pick % 4 == 0) {
            text += pick % 8 == 0 ? "\\n\\n" : "\\n- ";
            sincePause = 0;
        } else {
            text += ' ';
        }
        text += kWords[random.next() % kWordCount];
        if (pick % 29 == 0)
            text += " \xe2\x80\x94"; // an em dash
        else if (pick % 31 == 0)
            text += "\xe2\x80\x99s"; // a typographic apostrophe
        sincePause += 8;
    }
    return text;
}

QByteArray uuid(qint64 n) {
    // The demo's own events use c0ffee00-…; these never collide with them.
    return QByteArray("5eed0000-0000-4000-8000-") + QByteArray::number(n, 16).rightJustified(12, '0');
}

QByteArray timestamp(qint64 n) {
    const qint64 seconds = 1790000000 + n * 2;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate).toUtf8();
}

bool copyTree(const QString& from, const QString& to) {
    QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(source);
        if (it.fileInfo().isDir()) {
            QDir().mkpath(target);
        } else {
            QDir().mkpath(QFileInfo(target).path());
            QFile::remove(target);
            if (!QFile::copy(source, target))
                return false;
        }
    }
    return true;
}

// Generated events on one chain, then the demo's own transcript hung below the last of them.
// `messagesOnly`: every event a request or a reply, none a tool call or its result.
bool writeTranscript(const QString& path, qint64 events, bool messagesOnly) {
    QFile demo(path);
    if (!demo.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> demoLines = demo.readAll().split('\n');
    demo.close();
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray head =
        R"("sessionId":"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d","cwd":"/home/example/dashboard",)"
        R"("version":"2.1.0","gitBranch":"main","isSidechain":false,"userType":"external",)";
    Random random{42};
    QByteArray parent = "null";
    QByteArray buffer;
    for (qint64 n = 0; n < events; ++n) {
        QByteArray line = "{\"parentUuid\":" + parent + "," + head;
        const QByteArray id = uuid(n + 1);
        if (messagesOnly) {
            // 300 to 400 characters, the request or the reply alike.
            const int length = 300 + int(random.next() % 101);
            if (n % 2 == 0)
                line += R"("type":"user","uuid":")" + id + R"(","timestamp":")" + timestamp(n) +
                        R"(","message":{"role":"user","content":")" + prose(random, length, n) +
                        R"("},"origin":{"kind":"human"}})";
            else
                line += R"("type":"assistant","uuid":")" + id + R"(","timestamp":")" + timestamp(n) +
                        R"(","message":{"role":"assistant","content":[{"type":"text","text":")" +
                        prose(random, length, n) + R"("}]},"requestId":"req_)" + QByteArray::number(n) +
                        "\"}";
        } else {
            switch (n % 4) {
            case 0: // what a person typed
                line += R"("type":"user","uuid":")" + id + R"(","timestamp":")" + timestamp(n) +
                        R"(","message":{"role":"user","content":")" + prose(random, 400, n) +
                        R"("},"origin":{"kind":"human"}})";
                break;
            case 1: // the reply
                line += R"("type":"assistant","uuid":")" + id + R"(","timestamp":")" + timestamp(n) +
                        R"(","message":{"role":"assistant","content":[{"type":"text","text":")" +
                        prose(random, 840, n) + R"("}]},"requestId":"req_)" + QByteArray::number(n) + "\"}";
                break;
            case 2: // a tool call
                line += R"("type":"assistant","uuid":")" + id + R"(","timestamp":")" + timestamp(n) +
                        R"(","message":{"role":"assistant","content":[{"type":"tool_use","id":"toolu_)" +
                        QByteArray::number(n) +
                        R"(","name":"Edit","input":{"file_path":"/home/example/dashboard/src/Settings.tsx",)"
                        R"("old_string":")" +
                        sentence(random, 40, n) + R"(","new_string":")" + sentence(random, 40, n) +
                        R"("}}]},"requestId":"req_)" + QByteArray::number(n) + "\"}";
                break;
            default: // its result, stored as a user event
                line +=
                    R"("type":"user","uuid":")" + id + R"(","timestamp":")" + timestamp(n) +
                    R"(","message":{"role":"user","content":[{"type":"tool_result","tool_use_id":"toolu_)" +
                    QByteArray::number(n - 1) + R"(","content":")" + sentence(random, 70, n) +
                    R"("}]},"toolUseResult":{"type":"update"}})";
                break;
            }
        }
        buffer += line;
        buffer += '\n';
        parent = "\"" + id + "\"";
        if (buffer.size() > (1 << 22)) {
            out.write(buffer);
            buffer.clear();
        }
    }
    // The demo's events: its first root now continues the generated chain.
    bool hung = false;
    for (const QByteArray& line : demoLines) {
        if (line.trimmed().isEmpty())
            continue;
        QByteArray copy = line;
        if (!hung && copy.contains("\"parentUuid\":null")) {
            copy.replace("\"parentUuid\":null", "\"parentUuid\":" + parent);
            hung = true;
        }
        buffer += copy;
        buffer += '\n';
    }
    out.write(buffer);
    return out.error() == QFile::NoError && hung;
}

QJsonObject staticText(const QString& id, const QString& value) {
    return QJsonObject{{"id", id}, {"role", "AXStaticText"}, {"value", value}};
}

// The ChatGPT conversation grown to `count` messages; the demo's messages stay the newest.
bool growChatGPT(QJsonObject& desktop, int count) {
    QJsonArray apps = desktop.value("apps").toArray();
    for (int a = 0; a < apps.size(); ++a) {
        QJsonObject app = apps[a].toObject();
        if (app.value("bundleID").toString() != QLatin1String("com.openai.chat"))
            continue;
        QJsonArray windows = app.value("windows").toArray();
        QJsonObject window = windows[0].toObject();
        QJsonArray top = window.value("children").toArray();
        for (int t = 0; t < top.size(); ++t) {
            QJsonObject area = top[t].toObject();
            if (area.value("role").toString() != QLatin1String("AXWebArea"))
                continue;
            const QJsonArray children = area.value("children").toArray();
            QJsonArray demoMessages, rest;
            for (const QJsonValue& child : children)
                (child.toObject().value("description").toString().startsWith("Message ") ? demoMessages
                                                                                         : rest)
                    .append(child);
            const int generated = count - int(demoMessages.size());
            QJsonArray grown;
            Random random{7};
            for (int n = 0; n < generated; ++n) {
                const bool user = n % 2 == 0;
                const QString id = QStringLiteral("chatgpt.bulk%1").arg(n);
                QJsonObject message{
                    {"id", id},
                    {"role", "AXGroup"},
                    {"description", QStringLiteral("Message %1 of %2").arg(n + 1).arg(count)}};
                if (user)
                    message.insert("attributes",
                                   QJsonObject{{"AXDOMClassList", QJsonArray{"group", "bg-user-message"}}});
                message.insert("children",
                               QJsonArray{QJsonObject{{"id", id + ".heading"},
                                                      {"role", "AXHeading"},
                                                      {"title", user ? "You said:" : "ChatGPT said:"}},
                                          staticText(id + ".text", QString::fromUtf8(sentence(
                                                                       random, user ? 120 : 300, n)))});
                grown.append(message);
            }
            for (int n = 0; n < demoMessages.size(); ++n) {
                QJsonObject message = demoMessages[n].toObject();
                message.insert("description",
                               QStringLiteral("Message %1 of %2").arg(generated + n + 1).arg(count));
                grown.append(message);
            }
            for (const QJsonValue& child : rest)
                grown.append(child);
            area.insert("children", grown);
            top[t] = area;
            window.insert("children", top);
            windows[0] = window;
            app.insert("windows", windows);
            apps[a] = app;
            desktop.insert("apps", apps);
            return true;
        }
    }
    return false;
}

// The desktop with only the application `bundleID` in front.
void bringToFront(QJsonObject& desktop, const QString& bundleID) {
    QJsonArray apps = desktop.value("apps").toArray();
    for (int a = 0; a < apps.size(); ++a) {
        QJsonObject app = apps[a].toObject();
        app.insert("active", app.value("bundleID").toString() == bundleID);
        apps[a] = app;
    }
    desktop.insert("apps", apps);
}

bool writeDesktop(const QString& path, const QJsonObject& desktop) {
    QFile target(path);
    return target.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           target.write(QJsonDocument(desktop).toJson(QJsonDocument::Compact)) >= 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fputs("usage: generate_large_desktop <output folder> [transcript events] [ChatGPT messages] "
                   "[session|messages]\n",
                   stderr);
        return 2;
    }
    const QString out = QDir(args[1]).absolutePath();
    const qint64 events = args.size() > 2 ? args[2].toLongLong() : 264836;
    const int messages = args.size() > 3 ? args[3].toInt() : 50000;
    const QString shape = args.size() > 4 ? args[4] : QStringLiteral("session");
    const QString source = QStringLiteral(QUILLMERE_SOURCE_DIR);
    if (events < 0 || messages < 4) {
        std::fputs("generate_large_desktop: counts out of range\n", stderr);
        return 2;
    }
    if (shape != QLatin1String("session") && shape != QLatin1String("messages")) {
        std::fputs("generate_large_desktop: the branch shape is \"session\" or \"messages\"\n", stderr);
        return 2;
    }

    const QString fixtureHome = source + "/tests/fixtures/home";
    if (!copyTree(fixtureHome, out + "/small-home") || !copyTree(fixtureHome, out + "/home")) {
        std::fputs("generate_large_desktop: could not copy the fixture home folder\n", stderr);
        return 1;
    }
    const QString transcript =
        out + "/home/.claude/projects/-home-example-dashboard/9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d.jsonl";
    if (!writeTranscript(transcript, events, shape == QLatin1String("messages"))) {
        std::fputs("generate_large_desktop: could not write the transcript\n", stderr);
        return 1;
    }

    QFile demo(source + "/share/demo-desktop.json");
    if (!demo.open(QIODevice::ReadOnly)) {
        std::fputs("generate_large_desktop: could not read the demo desktop\n", stderr);
        return 1;
    }
    QJsonObject desktop = QJsonDocument::fromJson(demo.readAll()).object();
    if (!growChatGPT(desktop, messages)) {
        std::fputs("generate_large_desktop: the demo desktop has no ChatGPT conversation\n", stderr);
        return 1;
    }
    const QString target = out + "/desktop.json";
    QJsonObject claudeCodeInFront = desktop;
    bringToFront(claudeCodeInFront, QStringLiteral("com.anthropic.claude"));
    if (!writeDesktop(target, desktop) ||
        !writeDesktop(out + "/desktop-claude-code.json", claudeCodeInFront)) {
        std::fputs("generate_large_desktop: could not write the desktop\n", stderr);
        return 1;
    }
    std::printf("%s %lld bytes, %lld events\n%s %lld bytes, %d messages\n", qPrintable(transcript),
                QFileInfo(transcript).size(), events + 8, qPrintable(target), QFileInfo(target).size(),
                messages);
    return 0;
}
