#pragma once

// The host families a recommendation can target, written and read as their raw values.

#include <QString>
#include <QStringView>
#include <optional>

namespace quillmere {

enum class AIProvider { claude, openAI };

// "claude" or "openai".
inline QString rawValue(AIProvider provider) {
    return provider == AIProvider::claude ? QStringLiteral("claude") : QStringLiteral("openai");
}

// The host application's name: "Claude" or "ChatGPT".
inline QString appName(AIProvider provider) {
    return provider == AIProvider::claude ? QStringLiteral("Claude") : QStringLiteral("ChatGPT");
}

// Exact raw values only; anything else is none.
inline std::optional<AIProvider> aiProviderFromRawValue(QStringView raw) {
    if (raw == QLatin1String("claude"))
        return AIProvider::claude;
    if (raw == QLatin1String("openai"))
        return AIProvider::openAI;
    return std::nullopt;
}

} // namespace quillmere
