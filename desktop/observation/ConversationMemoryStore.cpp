#include "desktop/observation/ConversationMemoryStore.h"

#if __has_include("core/ConversationMemory.h")
#include "core/ConversationMemory.h"
#define QUILLMERE_HAS_CONVERSATION_MEMORY 1
#else
#include "core/Json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QUuid>
#endif

#include <exception>

namespace quillmere {

#if QUILLMERE_HAS_CONVERSATION_MEMORY

struct ConversationMemoryStore::Memory {
    ConversationMemory memory;
    QByteArray encoded() const { return memory.encoded(); }
    void restore(const QByteArray& bytes) { memory.restore(bytes); }
    Recall observe(const std::optional<QString>& key, const std::vector<ConversationText::Message>& messages,
                   const std::vector<std::optional<QString>>& identifiers, bool trusted,
                   const QDateTime& at) {
        const auto result = memory.observe(key, messages, identifiers, trusted, at);
        Recall recall{result.messages, int(result.connectedCount), int(result.windows),
                      result.conversationScopeID, std::nullopt};
        if (key)
            recall.maximumPosition = memory.maximumMessagePosition(*key);
        return recall;
    }
};

#else

// Until the shared memory model is part of the build, reads are passed through unremembered; the
// scope ids are still kept per key and in the file, so a conversation keeps its scope.
struct ConversationMemoryStore::Memory {
    QMap<QString, QString> scopes;
    QString unverifiedScope = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QByteArray encoded() const {
        json::Array entries;
        for (auto it = scopes.constBegin(); it != scopes.constEnd(); ++it)
            entries.emplace_back(json::Object{
                {"key", it.key()}, {"segments", json::Array{}}, {"conversationScopeID", it.value()}});
        return json::write(json::Value(std::move(entries)));
    }
    void restore(const QByteArray& bytes) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError || !document.isArray())
            throw std::runtime_error("not a conversation memory document");
        QMap<QString, QString> restored;
        for (const QJsonValue& entry : document.array()) {
            const QJsonObject object = entry.toObject();
            if (!object.value("key").isString() || !object.value("segments").isArray())
                throw std::runtime_error("an entry without key or segments");
            restored.insert(object.value("key").toString(), object.value("conversationScopeID").toString());
        }
        scopes = restored;
    }
    Recall observe(const std::optional<QString>& key, const std::vector<ConversationText::Message>& messages,
                   const std::vector<std::optional<QString>>&, bool, const QDateTime&) {
        Recall recall{messages, int(messages.size()), 0, unverifiedScope, std::nullopt};
        if (key) {
            QString& scope = scopes[*key];
            if (scope.isEmpty())
                scope = QUuid::createUuid().toString(QUuid::WithoutBraces);
            recall.scopeID = scope;
            recall.windows = 1;
        }
        return recall;
    }
};

#endif

ConversationMemoryStore::ConversationMemoryStore(ConversationMemoryFile file)
    : file_(std::move(file)), memory_(std::make_unique<Memory>()) {
    const std::optional<QByteArray> stored = file_.load();
    if (!stored)
        return;
    try {
        memory_->restore(*stored);
    } catch (const std::exception& error) {
        memory_ = std::make_unique<Memory>();
        startedAfterDamage_ = true;
        file_.setAside(QString::fromUtf8(error.what()));
    }
}

ConversationMemoryStore::~ConversationMemoryStore() = default;

ConversationMemoryStore::Recall
ConversationMemoryStore::observe(const std::optional<QString>& key,
                                 const std::vector<ConversationText::Message>& messages,
                                 const std::vector<std::optional<QString>>& identifiers,
                                 bool positionOrderingTrusted, const QDateTime& at) {
    Recall recall = memory_->observe(key, messages, identifiers, positionOrderingTrusted, at);
    if (key)
        file_.save(memory_->encoded());
    return recall;
}

} // namespace quillmere
