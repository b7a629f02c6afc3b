#pragma once

// The family of a host: which company's models it runs. Stored and sent as its raw value.

#include <QString>
#include <QStringView>
#include <cstddef>
#include <optional>

namespace quillmere {

class AIProvider {
public:
    enum Case { claude, openAI };

    constexpr AIProvider(Case value) : value_(value) {}

    // "claude" or "openai"; any other text is no provider.
    static std::optional<AIProvider> fromRawValue(QStringView raw) {
        if (raw == u"claude")
            return AIProvider(claude);
        if (raw == u"openai")
            return AIProvider(openAI);
        return std::nullopt;
    }

    constexpr Case value() const { return value_; }
    QString rawValue() const {
        return value_ == claude ? QStringLiteral("claude") : QStringLiteral("openai");
    }
    // The host application's name as people know it.
    QString appName() const {
        return value_ == claude ? QStringLiteral("Claude") : QStringLiteral("ChatGPT");
    }

    friend constexpr bool operator==(AIProvider a, AIProvider b) { return a.value_ == b.value_; }

private:
    Case value_;
};

inline std::size_t qHash(AIProvider provider, std::size_t seed = 0) noexcept {
    return std::size_t(provider.value()) ^ seed;
}

} // namespace quillmere
