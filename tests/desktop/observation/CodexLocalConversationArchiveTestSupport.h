#pragma once

// Builds Codex archives the way the host lays them out, in a private temporary folder, and keeps
// read-write connections open like the host does while the reader works.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <initializer_list>
#include <optional>
#include <sqlite3.h>
#include <stdexcept>
#include <vector>

#include "core/ConversationText.h"

namespace quillmere::testing {

using ConversationText::Message;

// A column value: text bytes exactly as given (they may be invalid UTF-8), or NULL.
using SqlValue = std::optional<QByteArray>;

inline SqlValue sql(const QString& text) {
    return text.toUtf8();
}
inline SqlValue sql(const char* text) {
    return QByteArray(text);
}
inline SqlValue sql(qint64 number) {
    return QByteArray::number(number);
}
inline SqlValue sqlNull() {
    return std::nullopt;
}

class SqliteConnection {
public:
    explicit SqliteConnection(const QString& path) {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path.toStdString());
    }
    ~SqliteConnection() { sqlite3_close_v2(db_); }
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "unknown";
            sqlite3_free(error);
            throw std::runtime_error(std::string("sqlite: ") + message + " in " + sql);
        }
    }

    // Prepares, binds each value as text (or NULL) to parameters 1, 2, ... and steps once. Returns
    // the step's result code.
    int run(const char* sql, std::initializer_list<SqlValue> values) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("cannot prepare ") + sql + ": " + sqlite3_errmsg(db_));
        int parameter = 1;
        for (const SqlValue& value : values) {
            if (value)
                sqlite3_bind_text(statement, parameter, value->constData(), int(value->size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(statement, parameter);
            ++parameter;
        }
        const int result = sqlite3_step(statement);
        sqlite3_finalize(statement);
        return result;
    }

    sqlite3* handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

inline QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

inline QByteArray userJson(const QString& text) {
    return compact(QJsonObject{
        {QStringLiteral("content"), QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("text")},
                                                           {QStringLiteral("text"), text}}}}});
}

inline QByteArray agentJson(const QString& text, const QString& phase = QStringLiteral("final_answer")) {
    return compact(QJsonObject{{QStringLiteral("phase"), phase}, {QStringLiteral("text"), text}});
}

// The two archive files in a fresh temporary folder, with the host's tables.
class CodexArchive {
public:
    explicit CodexArchive(bool wal = false)
        : state_(dir_.filePath(QStringLiteral("state_5.sqlite"))),
          history_(dir_.filePath(QStringLiteral("thread_history_1.sqlite"))) {
        if (wal) {
            state_.exec("PRAGMA journal_mode=WAL");
            history_.exec("PRAGMA journal_mode=WAL");
        }
        state_.exec("CREATE TABLE threads (id TEXT, name TEXT, title TEXT)");
        history_.exec("CREATE TABLE thread_items (thread_id TEXT, rollout_ordinal INTEGER, item_type TEXT, "
                      "item_json TEXT, created_at_ms INTEGER, updated_at_ordinal INTEGER DEFAULT 0)");
    }

    QString path() const { return dir_.path(); }
    QString statePath() const { return dir_.filePath(QStringLiteral("state_5.sqlite")); }
    QString historyPath() const { return dir_.filePath(QStringLiteral("thread_history_1.sqlite")); }
    SqliteConnection& state() { return state_; }
    SqliteConnection& history() { return history_; }

    void addThread(SqlValue id, SqlValue name, SqlValue title) {
        state_.run("INSERT INTO threads VALUES (?, ?, ?)", {id, name, title});
    }

    void addItem(SqlValue threadID, SqlValue ordinal, SqlValue type, SqlValue json, SqlValue createdAt) {
        history_.run(
            "INSERT INTO thread_items (thread_id, rollout_ordinal, item_type, item_json, created_at_ms) "
            "VALUES (?, ?, ?, ?, ?)",
            {threadID, ordinal, type, json, createdAt});
    }

    void addUser(const QString& threadID, qint64 ordinal, const QString& text) {
        addItem(sql(threadID), sql(ordinal), sql("userMessage"), userJson(text), sql(ordinal * 1000));
    }
    void addAgent(const QString& threadID, qint64 ordinal, const QString& text,
                  const QString& phase = QStringLiteral("final_answer")) {
        addItem(sql(threadID), sql(ordinal), sql("agentMessage"), agentJson(text, phase),
                sql(ordinal * 1000));
    }
    // Adds the messages with ordinals 1, 2, ... and created-at times 1000 ms apart.
    void addMessages(const QString& threadID, const std::vector<Message>& messages) {
        qint64 ordinal = 1;
        for (const Message& message : messages) {
            if (message.role == QLatin1StringView("user"))
                addUser(threadID, ordinal, message.text);
            else
                addAgent(threadID, ordinal, message.text);
            ++ordinal;
        }
    }

private:
    QTemporaryDir dir_;
    SqliteConnection state_;
    SqliteConnection history_;
};

// Four exchanges about one task: user requests of 34 characters and assistant answers well over
// 80 characters, with Markdown bold marks and a Hebrew maqaf the window renders differently.
inline std::vector<Message> taskMessages() {
    std::vector<Message> messages;
    for (int n = 0; n < 4; ++n) {
        messages.push_back(
            {QStringLiteral("user"), QStringLiteral("Distinct user requirement number %1").arg(n)});
        QString answer = QStringLiteral("**Detailed assistant answer %1**: ").arg(n);
        for (int i = 0; i < 3; ++i)
            answer += QStringLiteral("A specific implementation detail for this exact task. ");
        answer += QStringLiteral("Works for ו־427 checks.");
        messages.push_back({QStringLiteral("assistant"), answer});
    }
    return messages;
}

// How the window renders an archived assistant answer: no bold marks, blanks before colons and
// after the maqaf, and the day-and-time badge at the end.
inline QString rendered(QString text) {
    text.replace(QStringLiteral("**"), QString());
    text.replace(QStringLiteral(": "), QStringLiteral(" : "));
    text.replace(QStringLiteral("ו־427"), QStringLiteral("ו־ 427"));
    return text + QStringLiteral(" Monday 3:08 PM Thinking");
}

inline std::vector<Message> slice(const std::vector<Message>& messages, size_t from, size_t to) {
    return std::vector<Message>(messages.begin() + from, messages.begin() + to);
}

} // namespace quillmere::testing
