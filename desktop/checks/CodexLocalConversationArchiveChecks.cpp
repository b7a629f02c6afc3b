#include "desktop/checks/CodexLocalConversationArchiveChecks.h"

#include "core/ConversationText.h"
#include "core/Json.h"
#include "desktop/checks/ScratchDirectory.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/observation/CodexLocalConversationArchive.h"
#include "desktop/records/ConversationSnapshot.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <sqlite3.h>
#include <vector>

namespace quillmere::CodexLocalConversationArchiveChecks {

namespace {

namespace Archive = CodexLocalConversationArchive;
using Message = ConversationText::Message;
using Messages = std::vector<Message>;

const QString mainThread = QStringLiteral("test-codex-thread-1");
const QString mainTitle = QStringLiteral("A uniquely named Codex task");
const QString wrappedThread = QStringLiteral("test-codex-thread-wrapped");
const QString wrappedTitle = QStringLiteral("Codex task with ambient browser context");

const char* const insertThread = "INSERT INTO threads VALUES (?, ?, ?)";
const char* const insertItem = "INSERT INTO thread_items (thread_id, rollout_ordinal, item_type, item_json, "
                               "created_at_ms) VALUES (?, ?, ?, ?, ?)";

// A read-write connection like the host's own, open for the whole run so that the reader always
// works beside a writer, as it does on a real machine. Closed when the run ends.
class Connection {
public:
    explicit Connection(const QString& path) {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &handle_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            sqlite3_close(handle_);
            handle_ = nullptr;
        }
    }
    ~Connection() { sqlite3_close(handle_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool isOpen() const { return handle_ != nullptr; }

    bool exec(const char* sql) {
        return handle_ && sqlite3_exec(handle_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    // One statement with every value bound as text to parameters 1, 2, ... in order, stepped
    // once. Whether the row was stored: a statement that does not prepare or step counts as a
    // broken fixture, so that it shows as such rather than as a misleading check failure later.
    bool insert(const char* sql, std::initializer_list<QString> values) {
        if (!handle_)
            return false;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle_, sql, -1, &statement, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement);
            return false;
        }
        bool bound = true;
        int parameter = 1;
        for (const QString& value : values) {
            const QByteArray bytes = value.toUtf8();
            bound = bound && sqlite3_bind_text(statement, parameter++, bytes.constData(), int(bytes.size()),
                                               SQLITE_TRANSIENT) == SQLITE_OK;
        }
        const bool stored = bound && sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_finalize(statement);
        return stored;
    }

private:
    sqlite3* handle_ = nullptr;
};

QString userText(int n) {
    return QStringLiteral("Distinct user requirement number %1").arg(n);
}

QString assistantText(int n) {
    return QStringLiteral("**Detailed assistant answer %1**: ").arg(n) +
           QStringLiteral("A specific implementation detail for this exact task. ").repeated(3) +
           QStringLiteral("Works for \u05D5\u05BE427 checks.");
}

// The four pairs: user, assistant, user, assistant, ...
Messages mainMessages() {
    Messages messages;
    for (int n = 0; n < 4; ++n) {
        messages.push_back({QStringLiteral("user"), userText(n)});
        messages.push_back({QStringLiteral("assistant"), assistantText(n)});
    }
    return messages;
}

QString userItem(const QString& text) {
    return QString::fromUtf8(json::write(json::Object{
        {QStringLiteral("content"), json::Array{json::Object{{QStringLiteral("type"), QStringLiteral("text")},
                                                             {QStringLiteral("text"), text}}}}}));
}

QString agentItem(const QString& phase, const QString& text) {
    return QString::fromUtf8(
        json::write(json::Object{{QStringLiteral("phase"), phase}, {QStringLiteral("text"), text}}));
}

// An assistant text as the host's window renders it: Markdown bold marks gone, a blank before the
// colon, a blank after the maqaf, and the message's time badge run into the text.
QString rendered(QString text) {
    text.remove(QStringLiteral("**"));
    text.replace(QStringLiteral(": "), QStringLiteral(" : "));
    text.replace(QStringLiteral("\u05D5\u05BE427"), QStringLiteral("\u05D5\u05BE 427"));
    return text + QStringLiteral(" Monday 3:08 PM Thinking");
}

QString wrappedRequest(int n) {
    return QStringLiteral("Implement distinct feature requirement number %1 in the dashboard").arg(n);
}

// A user request as the host stores it when its browser panel adds what the page showed.
QString browserWrapped(const QString& request) {
    return QStringLiteral("<in-app-browser-context source=\"ambient-ui-state\">\n"
                          "Browser tab details\n"
                          "</in-app-browser-context>\n"
                          "\n"
                          "## My request:\n"
                          "\n") +
           request;
}

Messages slice(const Messages& messages, size_t from, size_t to) {
    return Messages(messages.begin() + qsizetype(from), messages.begin() + qsizetype(to));
}

bool containsText(const Archive::Lookup& lookup, const QString& text) {
    return lookup.snapshot && std::any_of(lookup.snapshot->messages.begin(), lookup.snapshot->messages.end(),
                                          [&](const Message& message) { return message.text == text; });
}

// The conversation as the window tracker passes a verified Codex task to the request builder.
ClaudeWindowTrackerConversationSnapshot codexSnapshot(const Archive::Snapshot& archived) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.provider = AIProvider::openAI;
    snapshot.messages = archived.messages;
    snapshot.currentModel = QStringLiteral("gpt-5.6-sol");
    snapshot.currentEffort = QStringLiteral("high");
    snapshot.conversationID = QStringLiteral("com.openai.codex|thread:") + archived.threadID;
    // The request names its conversation by the snapshot's scope id; the thread id stands in for
    // the scope id the conversation memory would give, so that the request can be seen to name
    // this task.
    snapshot.conversationScopeID = archived.threadID;
    return snapshot;
}

bool requestCarries(const OpenAIRecommendationContract::Request& request, const Messages& messages,
                    const QString& conversation) {
    if (request.conversationId != conversation || request.messages.size() != messages.size())
        return false;
    for (size_t i = 0; i < messages.size(); ++i) {
        const auto& sent = request.messages[i];
        if (!(Message{sent.role, sent.text} == messages[i]) || sent.conversationId != conversation)
            return false;
    }
    return true;
}

} // namespace

void run(const checks::Reporter& check) {
    run(check, QDir::tempPath());
}

void run(const checks::Reporter& check, const QString& temporaryFolder) {
    // Declared before the connections, so that they are closed before the folder goes.
    const checks::ScratchDirectory folder(QStringLiteral("quillmere-codex-archive-check-"), temporaryFolder);
    const QString directory = folder.path();
    Connection state(folder.filePath(QStringLiteral("state_5.sqlite")));
    Connection history(folder.filePath(QStringLiteral("thread_history_1.sqlite")));

    const Messages messages = mainMessages();
    bool fixture =
        folder.created() && state.isOpen() && history.isOpen() &&
        state.exec("CREATE TABLE threads (id TEXT, name TEXT, title TEXT)") &&
        history.exec("CREATE TABLE thread_items (thread_id TEXT, rollout_ordinal INTEGER, item_type "
                     "TEXT, item_json TEXT, created_at_ms INTEGER, updated_at_ordinal INTEGER DEFAULT 0)");
    fixture = fixture &&
              state.insert(insertThread, {mainThread, mainTitle, QStringLiteral("Original task title")}) &&
              state.insert(insertThread,
                           {wrappedThread, wrappedTitle, QStringLiteral("Original wrapped task title")});
    for (int k = 0; fixture && k < int(messages.size()); ++k) {
        const bool user = messages[size_t(k)].role == QLatin1String("user");
        const QString body =
            user ? userItem(messages[size_t(k)].text)
                 : agentItem(k == 3 ? QStringLiteral("commentary") : QStringLiteral("final_answer"),
                             messages[size_t(k)].text);
        fixture =
            history.insert(insertItem, {mainThread, QString::number(k + 1),
                                        user ? QStringLiteral("userMessage") : QStringLiteral("agentMessage"),
                                        body, QString::number(1000 * (k + 1))});
    }
    if (!fixture) {
        check(false, QStringLiteral("Codex archive fixture databases open"));
        return;
    }

    const Messages visible = slice(messages, 3, 8);
    const Archive::Lookup full = Archive::lookup(mainTitle, visible, directory);
    check(full.isVerified() && full.snapshot->threadID == mainThread && full.snapshot->messages == messages &&
              full.snapshot->userCount == 4 && full.snapshot->lastPosition == 8 &&
              full.snapshot->lastCreatedAtMs == 8000 && full.snapshot->verifiedAnchors == 5,
          QStringLiteral(
              "Codex local archive recovers complete ordered user and AI history with durable positions"));

    check(full.isVerified() &&
              requestCarries(OpenAIRecommendationContract::request(codexSnapshot(*full.snapshot)), messages,
                             mainThread),
          QStringLiteral("verified Codex archive reaches the server request in full old-to-new order"));

    const Messages distinct{messages[2], messages[3], messages[5]};
    const Archive::Lookup fromDistinct = Archive::lookup(mainTitle, distinct, directory);
    check(fromDistinct.isVerified() && fromDistinct.snapshot->messages == messages,
          QStringLiteral(
              "two distinct AI replies and one substantive user request verify the same Codex task"));

    Messages shown = distinct;
    for (Message& message : shown)
        if (message.role == QLatin1String("assistant"))
            message.text = rendered(message.text);
    const Archive::Lookup fromRendered = Archive::lookup(mainTitle, shown, directory);
    check(fromRendered.isVerified() && fromRendered.snapshot->messages == messages,
          QStringLiteral("rendered Markdown and message time badges still verify the full Codex task"));

    Archive::Reader reader;
    const bool emptyCache =
        !reader.cachedThreadID() && !reader.cachedRevision() && reader.cachedItems().empty();
    const Archive::Lookup first = reader.lookup(mainTitle, visible, directory);
    check(emptyCache && first.isVerified() && first.snapshot->messages == messages,
          QStringLiteral("Codex archive reader accepts the verified fixture before caching"));

    Archive::Reader restarted;
    const Archive::Lookup restored = restarted.lookup(mainTitle, visible, directory);
    check(first.isVerified() && restored.isVerified() &&
              restored.snapshot->messages == first.snapshot->messages &&
              restored.snapshot->lastPosition == first.snapshot->lastPosition,
          QStringLiteral("a fresh desktop reader restores the same complete Codex history and position"));

    const QString newest = QStringLiteral("One newly sent requirement after the cached archive");
    const bool storedNewest =
        history.insert(insertItem, {mainThread, QStringLiteral("9"), QStringLiteral("userMessage"),
                                    userItem(newest), QStringLiteral("9000")});
    const Archive::Lookup refreshed = reader.lookup(mainTitle, visible, directory);
    check(storedNewest && refreshed.isVerified() &&
              refreshed.snapshot->messages.size() == messages.size() + 1 &&
              refreshed.snapshot->messages.back() == Message{QStringLiteral("user"), newest},
          QStringLiteral("Codex archive cache refreshes when a new task message is stored"));

    const QString hidden = QStringLiteral("internal content");
    const bool storedHidden =
        history.insert(insertItem, {mainThread, QStringLiteral("10"), QStringLiteral("agentMessage"),
                                    agentItem(QStringLiteral("analysis"), hidden), QStringLiteral("10000")});
    const Archive::Lookup withHidden = reader.lookup(mainTitle, visible, directory);
    // The stored row must have changed what the reader sees (its revision) for the exclusion to
    // mean anything.
    check(storedHidden && withHidden.isVerified() && reader.cachedRevision() &&
              reader.cachedRevision()->lastPosition == 10 && !containsText(withHidden, hidden) &&
              withHidden.snapshot->messages.back() == Message{QStringLiteral("user"), newest},
          QStringLiteral("Codex archive excludes non-visible agent phases from recommendation context"));

    Messages unrelated = visible;
    for (Message& message : unrelated)
        message.text = QStringLiteral("Unrelated ") + message.text;
    const Archive::Lookup withoutAnchors = Archive::lookup(mainTitle, unrelated, directory);
    check(!withoutAnchors.isVerified(),
          QStringLiteral("Codex local archive rejects a matching title without visible message anchors"));
    check(
        withoutAnchors.kind == Archive::Lookup::Kind::unverified,
        QStringLiteral("a known Codex task waits for message proof rather than reusing title-keyed memory"));

    check(Archive::lookup(QStringLiteral("A non-Codex chat"), visible, directory).kind ==
              Archive::Lookup::Kind::unavailable,
          QStringLiteral("a chat absent from the Codex archive retains the accessibility fallback"));

    const Messages reversed(visible.rbegin(), visible.rend());
    check(!Archive::lookup(mainTitle, reversed, directory).isVerified(),
          QStringLiteral("Codex local archive rejects visible messages in a conflicting order"));

    Messages wrapped;
    bool storedWrapped = true;
    for (int n = 0; n < 5; ++n) {
        const QString request = browserWrapped(wrappedRequest(n));
        const QString reply = QStringLiteral("Completed requirement %1 and tested the dashboard.").arg(n);
        const QString created = QString::number(2000 * (n + 1));
        storedWrapped =
            storedWrapped &&
            history.insert(insertItem, {wrappedThread, QString::number(2 * n + 1),
                                        QStringLiteral("userMessage"), userItem(request), created}) &&
            history.insert(insertItem,
                           {wrappedThread, QString::number(2 * n + 2), QStringLiteral("agentMessage"),
                            agentItem(QStringLiteral("final_answer"), reply), created});
        wrapped.push_back({QStringLiteral("user"), request});
        wrapped.push_back({QStringLiteral("assistant"), reply});
    }
    Messages requests;
    for (int n = 1; n < 5; ++n)
        requests.push_back({QStringLiteral("user"), wrappedRequest(n)});
    const Archive::Lookup fromRequests = Archive::lookup(wrappedTitle, requests, directory);
    check(storedWrapped && fromRequests.isVerified() && fromRequests.snapshot->threadID == wrappedThread &&
              fromRequests.snapshot->messages == wrapped,
          QStringLiteral(
              "four ordered visible user requests verify complete Codex history despite ambient browser "
              "wrappers"));

    const Messages reversedRequests(requests.rbegin(), requests.rend());
    check(!Archive::lookup(wrappedTitle, reversedRequests, directory).isVerified(),
          QStringLiteral("wrapped Codex requests in conflicting order cannot verify the archive"));

    Messages otherTask = requests;
    otherTask.front().text = QStringLiteral("Different task: ") + otherTask.front().text;
    check(!Archive::lookup(wrappedTitle, otherTask, directory).isVerified(),
          QStringLiteral("wrapped request matching still rejects unrelated visible task text"));

    const bool storedDuplicate = state.insert(
        insertThread, {QStringLiteral("test-codex-thread-2"), mainTitle, QStringLiteral("Other task")});
    check(storedDuplicate && !Archive::lookup(mainTitle, visible, directory).isVerified(),
          QStringLiteral("Codex local archive rejects ambiguous duplicate task titles"));
}

} // namespace quillmere::CodexLocalConversationArchiveChecks
