#include "desktop/observation/ClaudeWindowTracker.h"

#include "core/Text.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "platform/accessibility/Backend.h"
#include "platform/events/WindowList.h"
#include "platform/files/AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
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

const QString ClaudeWindowTracker::initialReadSummary =
    QStringLiteral("axScanTruncated=unknown; modelPickerFound=unknown; selectedModelParsed=unknown; "
                   "selectedEffortParsed=unknown; historyCurrent=unknown; sentContextReadable=unknown");

ClaudeWindowTracker::Environment ClaudeWindowTracker::Environment::application() {
    Environment environment;
    environment.memoryFolder = Paths::applicationSupport();
    environment.diagnosticsFolder = Paths::diagnosticsRoot();
    environment.codexDirectory = QDir::home().filePath(QStringLiteral(".codex"));
    environment.claudeMetadataRoot = ClaudeLocalConversationArchive::defaultMetadataRoot();
    environment.claudeProjectsRoot = ClaudeLocalConversationArchive::defaultProjectsRoot();
    environment.clock = &Clock::system();
    environment.primaryScreenHeight = [] {
        // Only a GUI application knows its screens; the probe runs without one.
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return 0.0;
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen ? double(screen->geometry().height()) : 0.0;
    };
    return environment;
}

ClaudeWindowTracker::ClaudeWindowTracker(std::optional<QString> bundleID)
    : ClaudeWindowTracker(std::move(bundleID), Environment::application()) {}

ClaudeWindowTracker::ClaudeWindowTracker(std::optional<QString> bundleID, Environment environment)
    : requiredBundleID_(std::move(bundleID)), environment_(std::move(environment)) {
    if (!environment_.clock)
        environment_.clock = &Clock::system();
    if (!environment_.primaryScreenHeight)
        environment_.primaryScreenHeight = [] { return 0.0; };
    const std::optional<QString> host =
        requiredBundleID_ ? std::optional<QString>(text::lowercased(*requiredBundleID_)) : std::nullopt;
    memory_ =
        std::make_unique<ConversationMemoryStore>(ConversationMemoryFile(environment_.memoryFolder, host));
}

ClaudeWindowTracker::~ClaudeWindowTracker() {
    // The evidence of this tracker's reads is on disk before the tracker (and, in tests, the
    // folder it writes into) goes away.
    Diagnostics::waitForEvidence();
}

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

std::optional<ClaudeWindowTracker::TargetApplication> ClaudeWindowTracker::targetApplication() {
    std::vector<TargetApplication> candidates;
    for (const RunningApplication& application : Workspace::current().runningApplications())
        if (auto accepted = candidate(application))
            candidates.push_back(*accepted);
    const auto lowered = [](const TargetApplication& target) {
        return text::lowercased(target.application.bundleIdentifier.value_or(QString()));
    };
    const TargetApplication* chosen = nullptr;
    for (const TargetApplication& target : candidates)
        if (target.application.isActive) {
            chosen = &target;
            break;
        }
    if (!chosen && !lastTargetBundleID_.isEmpty())
        for (const TargetApplication& target : candidates)
            if (target.application.bundleIdentifier && lowered(target) == lastTargetBundleID_) {
                chosen = &target;
                break;
            }
    if (!chosen && !candidates.empty())
        chosen = &candidates.front();
    if (!chosen)
        return std::nullopt;
    lastTargetBundleID_ = lowered(*chosen);
    return *chosen;
}

std::optional<ClaudeWindowTracker::WindowSnapshot> ClaudeWindowTracker::currentWindow() {
    if (!ax::isProcessTrusted())
        return std::nullopt;
    const auto target = targetApplication();
    if (!target || target->application.isHidden)
        return std::nullopt;
    const qint32 pid = target->application.processIdentifier;
    const QList<QVariantMap> entries = WindowList::current().copyWindowInfo(
        windowinfo::optionOnScreenOnly | windowinfo::optionExcludeDesktopElements);
    if (std::none_of(entries.begin(), entries.end(),
                     [pid](const QVariantMap& entry) { return windowListEntryMatches(entry, pid); }))
        return std::nullopt;
    const auto window = focusedWindow(target->application);
    if (!window)
        return std::nullopt;
    ax::Value minimized;
    if (ax::copyAttributeValue(*window, QStringLiteral("AXMinimized"), minimized) == ax::Error::success &&
        minimized.asBoolean() == true)
        return std::nullopt;
    const auto position = pointAttribute(QStringLiteral("AXPosition"), *window);
    const auto size = sizeAttribute(QStringLiteral("AXSize"), *window);
    if (!position || !size)
        return std::nullopt;
    // Accessibility measures from the top left of the primary screen, the window list and the
    // panels placed beside the window from its bottom left.
    const double y = environment_.primaryScreenHeight() - position->y - size->height;
    return WindowSnapshot{QRectF(position->x, y, size->width, size->height), pid};
}

std::optional<ax::Element> ClaudeWindowTracker::focusedWindow(const RunningApplication& application) {
    const ax::Element app = ax::createApplication(application.processIdentifier);
    std::optional<ax::Element> focused;
    ax::Value value;
    if (ax::copyAttributeValue(app, QStringLiteral("AXFocusedWindow"), value) == ax::Error::success)
        if (const ax::Element* element = value.element())
            focused = *element;
    std::optional<QSizeF> focusedSize;
    if (focused)
        if (auto size = sizeAttribute(QStringLiteral("AXSize"), *focused))
            focusedSize = QSizeF(size->width, size->height);
    QList<QSizeF> sizes;
    ax::Value windows;
    if (ax::copyAttributeValue(app, QStringLiteral("AXWindows"), windows) == ax::Error::success &&
        windows.list())
        for (const ax::Value& item : *windows.list())
            if (const ax::Element* window = item.element())
                if (auto size = sizeAttribute(QStringLiteral("AXSize"), *window))
                    sizes.append(QSizeF(size->width, size->height));
    const QString bundle = application.bundleIdentifier.value_or(QString());
    Diagnostics::windowEvidence(environment_.diagnosticsFolder, bundle, focusedSize, sizes,
                                *environment_.clock);
    return focused;
}

} // namespace quillmere
