#include "desktop/observation/ConversationMemoryStore.h"

#include "core/ConversationMemory.h"

#include <exception>

namespace quillmere {

struct ConversationMemoryStore::Memory {
    ConversationMemory memory;
};

ConversationMemoryStore::ConversationMemoryStore(ConversationMemoryFile file)
    : file_(std::move(file)), memory_(std::make_unique<Memory>()) {
    const std::optional<QByteArray> stored = file_.load();
    if (!stored)
        return;
    try {
        memory_->memory.restore(*stored);
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
    const ConversationMemory::Result result =
        memory_->memory.observe(key, messages, identifiers, positionOrderingTrusted, at);
    Recall recall{result.messages, result.connectedCount, result.windows, result.conversationScopeID,
                  std::nullopt};
    if (key) {
        recall.maximumPosition = memory_->memory.maximumMessagePosition(*key);
        file_.save(memory_->memory.encoded());
    }
    return recall;
}

} // namespace quillmere
