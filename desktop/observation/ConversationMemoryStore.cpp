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
    std::optional<Observation> observation;
    if (key) {
        observation = Observation{*key, messages, identifiers, positionOrderingTrusted};
        if (lastObservation_ == observation)
            return lastRecall_;
    }
    const ConversationMemory::Result result =
        memory_->memory.observe(key, messages, identifiers, positionOrderingTrusted, at);
    Recall recall{result.messages, result.connectedCount, result.windows, result.conversationScopeID,
                  std::nullopt};
    if (key) {
        recall.maximumPosition = memory_->memory.maximumMessagePosition(*key);
        file_.save(memory_->memory.encoded());
    }
    // Only a stored conversation is settled: before that, the next alike read is what stores it.
    if (observation && recall.windows > 0) {
        lastObservation_ = std::move(observation);
        lastRecall_ = recall;
    } else {
        lastObservation_.reset();
    }
    return recall;
}

std::vector<ConversationText::Message> ConversationMemoryStore::remembered(const QString& key) const {
    if (lastObservation_ && lastObservation_->key == key)
        return lastRecall_.messages;
    const auto windows = memory_->memory.records(key);
    std::vector<ConversationText::Message> messages;
    if (!windows.empty())
        for (const auto& record : windows.back())
            messages.push_back(record.message);
    return messages;
}

} // namespace quillmere
