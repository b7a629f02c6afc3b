#pragma once

// Watches one host application (or the frontmost supported one) through accessibility: which
// host to read, its window, its conversation and model picker, and driving the picker.
//
// The element readers and walks it stands on are its own static members, kept in
// AccessibilityReading and ElementWalks. A read of the open conversation
// (conversationSnapshot()) is composed in ConversationSnapshotReading.cpp.

#include "core/ClaudeModelAvailability.h"
#include "core/ConversationText.h"
#include "core/SentMessageTree.h"
#include "core/UsageObservation.h"
#include "desktop/observation/AccessibilityReading.h"
#include "desktop/observation/ClaudeLocalConversationArchive.h"
#include "desktop/observation/CodexLocalConversationArchive.h"
#include "desktop/observation/ConversationIdentity.h"
#include "desktop/observation/ConversationMemoryStore.h"
#include "desktop/observation/ElementWalks.h"
#include "desktop/observation/RenderedMessages.h"
#include "desktop/observation/VisibleHistoryProgress.h"
#include "desktop/records/AIProvider.h"
#include "desktop/records/ConversationSnapshot.h"
#include "desktop/records/RecommendationCadenceState.h"
#include "platform/tasks/Task.h"
#include "platform/time/Clock.h"
#include "platform/workspace/Workspace.h"

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QRectF>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace quillmere {

class ModelSettingApplier;

class ClaudeWindowTracker : public AccessibilityReading, public ElementWalks {
public:
    using ConversationMessage = ClaudeWindowTrackerConversationMessage;
    using ConversationSnapshot = ClaudeWindowTrackerConversationSnapshot;

    // A running application the tracker may read, with the family of models it runs.
    struct TargetApplication {
        RunningApplication application;
        AIProvider provider;
        friend bool operator==(const TargetApplication&, const TargetApplication&) = default;
    };

    // The host's focused window as it is shown: its frame in screen coordinates with the origin
    // at the bottom left of the primary screen.
    struct WindowSnapshot {
        QRectF frame;
        qint32 processIdentifier = 0;
        friend bool operator==(const WindowSnapshot&, const WindowSnapshot&) = default;
    };

    // Where the tracker keeps and finds its files, and what it measures time and the screen
    // with. The defaults are the application's; tests point them elsewhere.
    struct Environment {
        QString memoryFolder;       // the conversation memory file's folder
        QString diagnosticsFolder;  // content-free evidence files
        QString codexDirectory;     // the Codex host's archive folder
        QString claudeMetadataRoot; // the Claude host's Claude Code session metadata
        QString claudeProjectsRoot; // the Claude Code transcripts
        const Clock* clock = nullptr;
        std::function<double()> primaryScreenHeight;

        static Environment application();
    };

    // The hosts known by bundle identifier (lowercased).
    static const std::map<QString, AIProvider> supportedBundleIDs;

    // `bundleID` pins the tracker to that one host; without it any supported host will do. The
    // conversation memory is restored from its file here.
    explicit ClaudeWindowTracker(std::optional<QString> bundleID = std::nullopt);
    ClaudeWindowTracker(std::optional<QString> bundleID, Environment environment);
    ~ClaudeWindowTracker();
    ClaudeWindowTracker(const ClaudeWindowTracker&) = delete;
    ClaudeWindowTracker& operator=(const ClaudeWindowTracker&) = delete;

    const std::optional<QString>& requiredBundleID() const { return requiredBundleID_; }
    const QString& lastTargetBundleID() const { return lastTargetBundleID_; }
    const std::vector<std::optional<int>>& renderedMessagePositions() const {
        return renderedMessagePositions_;
    }
    const CodexLocalConversationArchive::Reader& codexArchiveReader() const { return codexArchiveReader_; }
    const ClaudeLocalConversationArchive::Reader& claudeArchiveReader() const { return claudeArchiveReader_; }
    const ConversationMemoryStore& memory() const { return *memory_; }

    // Whether a running application is a host this tracker may read, and of which family. A
    // pinned tracker accepts only its own host; otherwise a known bundle identifier decides,
    // and failing that the application's name ("Claude" before "ChatGPT").
    std::optional<TargetApplication> candidate(const RunningApplication& application) const;

    // Whether a window-list entry is a normal window (layer 0) of the process `pid`. Entries
    // whose owner or layer is missing or not a number never match.
    static bool windowListEntryMatches(const QVariantMap& entry, qint32 pid);

    // The host to read: the active candidate, else the one read last, else the first.
    std::optional<TargetApplication> targetApplication();
    // None without accessibility trust, without a host, or when its window is not on screen.
    std::optional<WindowSnapshot> currentWindow();
    // The host's focused window; leaves the window-size evidence on the way.
    std::optional<ax::Element> focusedWindow(const RunningApplication& application);

    // A fresh reading of the host's open conversation; none when no conversation with a model
    // picker and a sent user message can be read. Every call refreshes the state below.
    std::optional<ConversationSnapshot> conversationSnapshot();

    // --- state of the last read
    // No model picker could be read.
    bool modelControlsUnavailable() const { return modelControlsUnavailable_; }
    // No sent user message could be read.
    bool userContextUnavailable() const { return userContextUnavailable_; }
    // What was read is not enough for a recommendation.
    bool recommendationContextIncomplete() const { return recommendationContextIncomplete_; }
    // The verified conversation the previous read returned, when this read could not read it.
    const std::optional<QString>& unreadableVerifiedConversationID() const {
        return unreadableVerifiedConversationID_;
    }
    const std::optional<UsageSnapshot>& usageSnapshot() const { return usageSnapshot_; }
    // How many reads took memory's recall kept from the read before, instead of observing again.
    int keptObservations() const { return keptObservations_; }
    // One line of key=value items about the last read. The shell may replace it.
    const QString& lastReadSummary() const { return lastReadSummary_; }
    void setLastReadSummary(const QString& summary) { lastReadSummary_ = summary; }

    // --- rules of the read, as the tracker's own
    static std::optional<QString> stringFromAccessibilityValue(const ax::Value& value) {
        return AccessibilityReading::stringFromAccessibilityValue(value);
    }
    static bool isConversationURL(const QString& text) {
        return ConversationIdentity::isConversationURL(text);
    }
    static std::optional<QString> canonicalConversationURL(const QString& text) {
        return ConversationIdentity::canonicalConversationURL(text);
    }
    static bool isDurableNavigationKey(const QString& key) {
        return ConversationIdentity::isDurableNavigationKey(key);
    }
    static ConversationIdentity::Identity stableConversationIdentity(const std::optional<QString>& document,
                                                                     const QString& bundleID,
                                                                     const std::optional<QString>& activeKey,
                                                                     const std::optional<QString>& title,
                                                                     const QString& fallback) {
        return ConversationIdentity::stableConversationIdentity(document, bundleID, activeKey, title,
                                                                fallback);
    }
    static std::optional<QString> conversationTitle(const QString& windowTitle) {
        return ConversationIdentity::conversationTitle(windowTitle);
    }
    static std::optional<QString> conversationTitleFromNavigationLabel(const QString& label) {
        return ConversationIdentity::conversationTitleFromNavigationLabel(label);
    }
    static QStringList renderedMessageRoles(const QStringList& controlTexts,
                                            const std::set<int>& markedUserIndices,
                                            const QStringList& userTexts) {
        return RenderedMessages::renderedMessageRoles(controlTexts, markedUserIndices, userTexts);
    }
    static MessageList stableArchiveMessages(const MessageList& messages, bool generating) {
        return RenderedMessages::stableArchiveMessages(messages, generating);
    }
    static bool isChatGPTUserMessageBubble(const ax::Element& element) {
        return RenderedMessages::isChatGPTUserMessageBubble(element);
    }
    static std::optional<int> messagePosition(const ax::Element& element) {
        return RenderedMessages::messagePosition(element);
    }

    // The summary before any read.
    static const QString initialReadSummary;

    // --- switching the host's model setting (ModelSettingApplier does the work)
    // Works the host's own picker to the setting and reads it back. False, with a code in
    // lastApplyFailure(), when it could not; false at once, with no code, while a switch runs.
    QCoro::Task<bool> apply(AIProvider provider, QString model, std::optional<QString> modelID,
                            QString effort, bool extended, CancelToken token = {});
    bool applying() const;
    // None after a success and while a switch runs.
    std::optional<QString> lastApplyFailure() const;
    bool failApply(const QString& code);
    // Reads the host's current setting back and says whether it is the given one.
    bool settingIsConfirmed(const QString& model, const std::optional<QString>& modelID,
                            const QString& effort, bool extended, const RunningApplication& application);
    static bool isActiveClaudeSettingControl(const ax::Element& element);

private:
    class ApplyHost;
    ModelSettingApplier& applier();
    struct Scan;
    struct Controls;
    struct Reading;

    // The messages of an OpenAI host's window, from the tree `nodes` built from the walk's
    // elements. Remembers each message's announced position and leaves the messages'
    // content-free identity and structure evidence.
    std::vector<SentMessageTree::Message>
    chatGPTRenderedMessages(const std::vector<SentMessageTree::Node>& nodes, const Scan& scan);

    // What a host's own archive says about the conversation in view: nothing (no archive, or
    // none for this host), its whole history, or that the window's conversation is not the one
    // the archive names (then the read yields nothing rather than a wrong history).
    struct ArchivedHistory {
        // `identified`: the archive names the conversation but does not (yet) vouch for its
        // history, so the window's messages stand.
        enum class Outcome { none, identified, verified, unverified };
        Outcome outcome = Outcome::none;
        MessageList messages;
        QString conversationID;
        QString unverifiedSummary; // appended to the read summary
        QString summaryAddition;   // appended to the read summary whatever the outcome
        std::optional<bool> latestVisibleUserCurrent;
    };
    ArchivedHistory archivedHistory(const QString& bundle, const std::optional<QString>& windowTitle,
                                    const std::optional<QString>& document, const MessageList& visible,
                                    bool generating);

    std::optional<ConversationSnapshot> read(Reading& reading);
    void finishRead(Reading& reading, const std::optional<ConversationSnapshot>& snapshot);
    void writeMessageEvidence(const std::vector<SentMessageTree::Node>& nodes,
                              const std::vector<SentMessageTree::Message>& messages, const Scan& scan);

    std::optional<QString> requiredBundleID_;
    Environment environment_;
    QString lastTargetBundleID_;
    std::vector<std::optional<int>> renderedMessagePositions_;
    CodexLocalConversationArchive::Reader codexArchiveReader_;
    ClaudeLocalConversationArchive::Reader claudeArchiveReader_;
    std::unique_ptr<ConversationMemoryStore> memory_;
    ClaudeModelAvailability availability_;
    VisibleHistoryProgress progress_;
    QString lastReadSummary_ = initialReadSummary;

    bool modelControlsUnavailable_ = false;
    bool userContextUnavailable_ = false;
    bool recommendationContextIncomplete_ = false;
    std::optional<QString> unreadableVerifiedConversationID_;
    std::optional<QString> lastVerifiedConversationID_;
    std::optional<UsageSnapshot> usageSnapshot_;
    MessageList usageTurnsFrom_; // the messages the usage turns were made from

    // What the last read gave memory to observe, and what memory recalled of it. While memory has
    // not changed since, a read that gives it the same takes this recall as it is: a long
    // conversation is a hundred thousand messages, and the same list is recognised as itself.
    struct Observed {
        std::optional<QString> key;
        MessageList messages;
        std::vector<std::optional<QString>> identifiers; // none for the archive's messages
        bool trusted = false;
        bool fromArchive = false;
        quint64 memoryChanges = 0;
        ConversationMemoryStore::Recall recall;
        std::optional<bool> sentContext; // of the recall's messages, once worked out
    };
    std::optional<Observed> observed_;
    int keptObservations_ = 0;

    // The last read's tree and what was derived from it: an unchanged window is not derived again.
    struct Derived {
        std::vector<SentMessageTree::Node> nodes;
        AIProvider provider = AIProvider::claude;
        std::set<int> navigation;
        std::vector<SentMessageTree::Message> messages;
        std::vector<std::optional<int>> positions;
        // The kept messages with their positions and identifiers, when working them out read
        // nothing from the live tree.
        struct Kept {
            MessageList visible;
            std::vector<std::optional<QString>> identifiers;
            std::vector<std::optional<int>> positions;
            bool identified = true;
        };
        std::optional<Kept> kept;
        // What the tree's labels show of its controls, once worked out.
        std::shared_ptr<const Controls> controls;
    };
    std::optional<Derived> derived_;

    // The steps of one read, in the order they run; each hands the next what it found through
    // the read's `Reading`.
    // Finds the host and its focused window; false when there is none to read.
    bool reachWindow(Reading& reading);
    // Walks the window, reading each element once, in one request.
    void walkWindow(Reading& reading);
    // Gives each element its labels and its place among menus and sources panels, reusing what
    // the last read made of an element that reads as it did then.
    void classifyElements(Reading& reading);
    static void probeWebArea(Reading& reading, const ax::Element& element);
    // What the labels show of the model controls, and which element is the model picker.
    void readControls(Reading& reading);
    // The messages the window renders, with their positions and identifiers.
    void collectMessages(Reading& reading);
    Derived::Kept keptMessages(int count, bool& liveRead) const;
    // Names the conversation: its document, its selected navigation row or its title.
    void establishIdentity(Reading& reading);
    void selectNavigationRow(Reading& reading);
    // Lets a host's own archive vouch for the whole history, and memory complete what the window
    // shows; false when the archive says the window's conversation is not the one it names.
    bool consultArchivesAndMemory(Reading& reading);
    // The snapshot from what the steps found (none without a picker or a sent message), and the
    // identity evidence.
    std::optional<ConversationSnapshot> composeSnapshot(Reading& reading);
    void readModelSetting(Reading& reading, ConversationSnapshot& snapshot);
    void composeHistory(Reading& reading, ConversationSnapshot& snapshot);
    void writeIdentityEvidence(const Reading& reading, const ConversationSnapshot& snapshot);
    // The walk's buffers and the last read's values (shared only so the type can stay private
    // to the reading code).
    std::shared_ptr<Scan> scan_;

    // The message evidence is rewritten only when the rendered tree changed.
    std::optional<std::vector<SentMessageTree::Node>> evidenceNodes_;
    std::vector<int> evidenceRoots_;

    // Made on the first switch; shared pointers because their types are complete only there.
    std::shared_ptr<ApplyHost> applyHost_;
    std::shared_ptr<ModelSettingApplier> applier_;
};

} // namespace quillmere
