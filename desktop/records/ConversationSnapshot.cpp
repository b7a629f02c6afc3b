#include "desktop/records/ConversationSnapshot.h"

#include "core/Text.h"

#include <QCryptographicHash>
#include <algorithm>

namespace quillmere {

namespace {

QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

RecommendationCadenceInput ClaudeWindowTrackerConversationSnapshot::cadenceInput() const {
    RecommendationCadenceInput input;
    input.context = rawValue(provider) + QLatin1Char('|') + conversationID;
    input.setting = currentModel + QLatin1Char('|') + currentModelID.value_or(QString()) + QLatin1Char('|') +
                    currentEffort + QLatin1Char('|') + flag(currentExtended) + QStringLiteral("|known:") +
                    flag(currentSettingKnown) + QStringLiteral("|surface:") +
                    surfaceMode.value_or(QStringLiteral("unknown"));

    // Only the last eight requests can be needed, and the list knows where they are: this runs on
    // every read, and a long conversation is neither walked nor copied for it.
    const int userCount = messages.userCount();
    QStringList recentUserTexts; // newest first
    for (const std::size_t index : messages.latestUserIndices(8))
        recentUserTexts << messages[index].text;
    input.text = recentUserTexts.isEmpty() ? QString() : recentUserTexts.first();
    // A short acknowledgement ("ok", "yes") says little on its own: the recent requests around it
    // stand for the task instead.
    if (text::characterCount(text::trimmed(input.text)) < 8) {
        std::reverse(recentUserTexts.begin(), recentUserTexts.end());
        input.text = recentUserTexts.join(QLatin1Char('\n'));
    }

    const int turn = std::max(userCount, observedUserTurnCount);
    input.turn = turn == 0 ? 1 : turn;
    input.attachment = hasAttachment;
    input.eligible = true;

    QStringList tokens;
    for (const auto& setting : availableSettings)
        tokens << setting.model + QLatin1Char('|') + setting.effort;
    for (const auto& model : availableModels)
        tokens << QStringLiteral("model:") + model;
    for (const auto& id : availableModelIDs)
        tokens << QStringLiteral("model-id:") + id;
    for (const auto& setting : claudeAvailability.settings)
        tokens << QStringLiteral("claude-setting:") + setting.modelID + QLatin1Char('|') + setting.effort +
                      QLatin1Char('|') + flag(setting.extended);
    std::sort(tokens.begin(), tokens.end());
    input.availability = tokens.join(QLatin1Char(','));

    input.historyPosition = historyPosition;
    input.historyCurrent = historyCurrent;
    return input;
}

QString ClaudeWindowTrackerConversationSnapshot::analysisSignature() const {
    const RecommendationCadenceInput input = cadenceInput();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // Each part is length-prefixed so that no two different snapshots can run together into the
    // same bytes.
    const auto add = [&hash](const QString& part) {
        const QByteArray bytes = text::canonical(part).toUtf8();
        hash.addData(QByteArray::number(bytes.size()) + ':');
        hash.addData(bytes);
    };
    add(input.context);
    add(input.setting);
    add(QString::number(input.turn));
    add(flag(input.attachment));
    add(input.text);
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace quillmere
