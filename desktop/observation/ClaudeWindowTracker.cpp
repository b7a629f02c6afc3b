#include "desktop/observation/ClaudeWindowTracker.h"

#include "core/Text.h"
#include "platform/events/WindowList.h"

#include <cmath>
#include <limits>

namespace quillmere {

const std::map<QString, AIProvider> ClaudeWindowTracker::supportedBundleIDs{
    {QStringLiteral("com.anthropic.claudefordesktop"), AIProvider::claude},
    {QStringLiteral("com.anthropic.claude"), AIProvider::claude},
    {QStringLiteral("com.openai.chat"), AIProvider::openAI},
    {QStringLiteral("com.openai.chatgpt"), AIProvider::openAI},
    {QStringLiteral("com.openai.codex"), AIProvider::openAI},
};

ClaudeWindowTracker::ClaudeWindowTracker(std::optional<QString> bundleID)
    : requiredBundleID_(std::move(bundleID)) {}

std::optional<ClaudeWindowTracker::TargetApplication>
ClaudeWindowTracker::candidate(const RunningApplication& application) const {
    const std::optional<QString> bundle =
        application.bundleIdentifier ? std::optional<QString>(text::lowercased(*application.bundleIdentifier))
                                     : std::nullopt;
    // Both sides lowercased: a tracker pinned with "com.OpenAI.chat" still finds its host.
    if (requiredBundleID_ && (!bundle || *bundle != text::lowercased(*requiredBundleID_)))
        return std::nullopt;
    if (bundle)
        if (const auto known = supportedBundleIDs.find(*bundle); known != supportedBundleIDs.end())
            return TargetApplication{application, known->second};
    const QString name = application.localizedName.value_or(QString());
    if (name.contains(QStringLiteral("Claude"), Qt::CaseInsensitive))
        return TargetApplication{application, AIProvider::claude};
    if (name.contains(QStringLiteral("ChatGPT"), Qt::CaseInsensitive))
        return TargetApplication{application, AIProvider::openAI};
    return std::nullopt;
}

namespace {

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// A number's whole-number reading, truncated toward zero; none for reals that have none.
std::optional<qint64> wholeNumber(const QVariant& value) {
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float) {
        const double real = value.toDouble();
        if (!std::isfinite(real) || std::fabs(real) >= 9.2e18)
            return std::nullopt;
        return qint64(std::trunc(real));
    }
    return value.toLongLong();
}

} // namespace

bool ClaudeWindowTracker::windowListEntryMatches(const QVariantMap& entry, qint32 pid) {
    const QVariant owner = entry.value(windowinfo::ownerPID);
    const QVariant layer = entry.value(windowinfo::layer);
    if (!isNumber(owner) || !isNumber(layer))
        return false;
    const std::optional<qint64> ownerPid = wholeNumber(owner);
    const std::optional<qint64> layerNumber = wholeNumber(layer);
    // A process identifier out of range names no process (rather than wrapping onto one).
    return ownerPid && *ownerPid == pid && layerNumber && *layerNumber == 0;
}

} // namespace quillmere
