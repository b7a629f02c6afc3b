#include "desktop/observation/RenderedMessages.h"

#include "core/SentMessageTree.h"
#include "core/Text.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/observation/AccessibilityReading.h"
#include "platform/accessibility/Backend.h"

#include <algorithm>
#include <limits>

namespace quillmere::RenderedMessages {

std::optional<int> positionFromLabel(QStringView label) {
    static const QString prefix = QStringLiteral("Message ");
    if (!label.startsWith(prefix))
        return std::nullopt;
    std::optional<qint64> candidate;
    if (auto ordinal = SentMessageTree::conversationOrdinal(label)) {
        candidate = ordinal->position;
    } else {
        // "After the first 8 characters": a combining mark after the blank belongs to the eighth.
        const qsizetype cut = text::characterPrefix(label, 8).size();
        candidate = text::parseInteger(label.mid(cut));
    }
    if (!candidate || *candidate < 1 || *candidate > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(*candidate);
}

QString messageIdentifier(int position, QStringView role) {
    return QStringLiteral("message:") + QString::number(position) + QLatin1Char(':') + role.toString();
}

std::optional<QString> messageIdentifier(int index,
                                         const std::vector<std::optional<int>>& rememberedPositions,
                                         const std::optional<int>& fallbackPosition, QStringView role) {
    std::optional<int> position;
    if (index >= 0 && std::size_t(index) < rememberedPositions.size())
        position = rememberedPositions[std::size_t(index)];
    if (!position)
        position = fallbackPosition;
    if (!position)
        return std::nullopt;
    return messageIdentifier(*position, role);
}

QStringList renderedMessageRoles(const QStringList& controlTexts, const std::set<int>& markedUserIndices,
                                 const QStringList& userTexts) {
    QStringList remaining = userTexts;
    const auto consume = [&remaining](const QString& text) {
        for (qsizetype i = 0; i < remaining.size(); ++i)
            if (text::canonicallyEqual(remaining[i], text)) {
                remaining.removeAt(i);
                return true;
            }
        return false;
    };
    QStringList roles;
    roles.reserve(controlTexts.size());
    for (qsizetype index = 0; index < controlTexts.size(); ++index) {
        const QString& text = controlTexts[index];
        if (markedUserIndices.count(int(index))) {
            consume(text);
            roles.append(QStringLiteral("user"));
        } else {
            roles.append(consume(text) ? QStringLiteral("user") : QStringLiteral("assistant"));
        }
    }
    return roles;
}

MessageList stableArchiveMessages(const MessageList& messages, bool generating) {
    // The list without its last message shares the rest: withholding a streaming reply copies
    // nothing of a long history.
    if (generating && !messages.empty() && messages.back().role == QLatin1String("assistant"))
        return messages.prefix(messages.size() - 1);
    return messages;
}

bool isChatGPTUserMessageBubble(const ax::Element& element) {
    static const QStringList attributes{"AXDOMClassList",  "AXClassList", "AXIdentifier",
                                        "AXDOMIdentifier", "AXHelp",      "AXRoleDescription"};
    QStringList values;
    for (const QString& attribute : attributes)
        for (const QString& value : AccessibilityReading::stringValues(attribute, element))
            values.append(text::lowercased(value));
    return ConversationText::isRenderedUserMessageMarker(values);
}

std::optional<int> messagePosition(const ax::Element& element) {
    static const QString description = QStringLiteral("AXDescription"), title = QStringLiteral("AXTitle");
    std::optional<ax::Element> level = element;
    for (int depth = 0; depth < 6 && level; ++depth) {
        for (const QString* attribute : {&description, &title})
            if (auto label = AccessibilityReading::stringAttribute(*attribute, *level))
                if (auto position = positionFromLabel(*label))
                    return position;
        if (depth < 5)
            level = AccessibilityReading::parentElement(*level);
    }
    return std::nullopt;
}

json::Object identityEvidence(int ordinal, const QString& role, const ax::Element& root) {
    const bool early = ordinal < 4;
    json::Array levels;
    std::optional<ax::Element> level = root;
    for (int depth = 0; depth <= 6 && level; ++depth) {
        const ax::Element& e = *level;
        json::Object record{
            {"depth", depth},
            {"role", AccessibilityReading::stringAttribute(QStringLiteral("AXRole"), e).value_or(QString())},
            {"dom",
             Diagnostics::identifierProbe(AccessibilityReading::stringAttribute("AXDOMIdentifier", e))},
            {"ax", Diagnostics::identifierProbe(AccessibilityReading::stringAttribute("AXIdentifier", e))},
            {"chromeNode",
             Diagnostics::identifierProbe(early ? AccessibilityReading::identityAttribute("ChromeAXNodeId", e)
                                                : std::nullopt)},
            // Hosts report these as numbers; reading them as identities keeps their value (a
            // position in a set, never content) where a text-only read would always be empty.
            {"ariaPosition",
             AccessibilityReading::identityAttribute("AXARIAPosInSet", e).value_or(QString())},
            {"ariaSize", AccessibilityReading::identityAttribute("AXARIASetSize", e).value_or(QString())},
        };
        if (early) {
            ax::Value names;
            if (ax::copyAttributeNames(e, names) == ax::Error::success) {
                QStringList sorted;
                bool allStrings = names.list() != nullptr;
                if (allStrings)
                    for (const ax::Value& name : *names.list()) {
                        if (!name.string()) {
                            allStrings = false;
                            break;
                        }
                        sorted.append(*name.string());
                    }
                json::Array list;
                if (allStrings) {
                    std::sort(sorted.begin(), sorted.end());
                    for (const QString& name : sorted)
                        list.emplace_back(name);
                }
                record.emplace_back("attributeNames", std::move(list));
            }
        }
        levels.emplace_back(std::move(record));
        if (depth < 6)
            level = AccessibilityReading::parentElement(e);
    }
    return json::Object{{"ordinal", ordinal}, {"role", role}, {"ancestors", std::move(levels)}};
}

} // namespace quillmere::RenderedMessages
