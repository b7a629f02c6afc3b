#pragma once

// Every text the recommendation card shows or speaks, byte for byte. The typographic characters
// (— … ’ · ≈ → ↗ ↓ ✓ ▼ ▶ ● ⌃ ⌄) and the doubled or tripled blanks are part of the texts; keep this
// file UTF-8 and never retype a text elsewhere.

#include <QString>

namespace quillmere::cardtext {

// Initial view texts.
inline const QString connectQuillmere = QStringLiteral("Connect Quillmere");
inline const QString connectQuillmereAccessibility = QStringLiteral("Connect Quillmere to ChatGPT");
inline const QString logo = QStringLiteral("Quillmere");
inline const QString providerClaudeInitial = QStringLiteral("· Claude");
inline const QString miniTitleInitial = QStringLiteral("Quillmere");
inline const QString statusInitial = QStringLiteral("Waiting");
inline const QString modelInitial = QStringLiteral("Waiting for a message");
inline const QString reasonInitial =
    QStringLiteral("Open a Claude or ChatGPT conversation or type a meaningful prompt.");
inline const QString requestLogHeading = QStringLiteral("LIVE SERVER LOGS · THIS APP SESSION");
inline const QString requestLogEmpty =
    QStringLiteral("No server calls in this app session yet.\n\nWhen Quillmere analyzes a conversation, the "
                   "messages it sent and the server’s answer will appear here in a readable format.");
inline const QString askHeading = QStringLiteral("ASK QUILLMERE");
inline const QString whyThisSwitch = QStringLiteral("Why this switch?");
inline const QString whyThisSwitchOpen = QStringLiteral("Why this switch? ⌃");
inline const QString whyThisSwitchClosed = QStringLiteral("Why this switch? ⌄");
inline const QString viewLogs = QStringLiteral("View logs");
inline const QString viewLogsAccessibility = QStringLiteral("View Quillmere server logs");
inline const QString switchInitial = QStringLiteral("Switch");
inline const QString askEntry = QStringLiteral("Model?");
inline const QString askEntryAccessibility = QStringLiteral("Ask Quillmere which model to use");
inline const QString askEntryToolTip = QStringLiteral("Which model should I use?");
inline const QString recommend = QStringLiteral("Recommend");
inline const QString recommendAccessibility = QStringLiteral("Recommend a model for this task");
inline const QString askPresetAccessibility = QStringLiteral("Choose a task by category");
inline const QString askFieldPlaceholder = QStringLiteral("Describe a task, e.g. website copywriting");
inline const QString askFieldAccessibility = QStringLiteral("Task to recommend a model for");
inline const QString askPlaceholderItem = QStringLiteral("Choose a task by category…");
inline const QString cardAccessibility = QStringLiteral("Quillmere recommendation");
inline const QString expandCard = QStringLiteral("Expand recommendation card");
inline const QString closeRecommendation = QStringLiteral("Close recommendation");

// Expand toggle.
inline const QString moreInfo = QStringLiteral("More info");
inline const QString closeInfo = QStringLiteral("Close info");
inline const QString closeInfoAccessibility =
    QStringLiteral("Close info and return to compact recommendation");

// Provider.
inline const QString applicationPrefix = QStringLiteral("Application: ");
inline const QString providerDotPrefix = QStringLiteral("· ");

// Message states.
inline const QString collectingStatus = QStringLiteral("COLLECTING");
inline const QString collectingTitle = QStringLiteral("Collecting context");
inline const QString collectingReason =
    QStringLiteral("Quillmere is gathering information to make a recommendation.");
inline const QString previousAnalysisStatus = QStringLiteral("PREVIOUS ANALYSIS");
inline const QString withheldFeedback = QStringLiteral(
    "Model availability is being verified. Previous analysis is shown; switching and savings are paused.");
inline const QString waitingForFresh = QStringLiteral("Waiting for a fresh recommendation");
inline const QString lastCompletedAnalysis = QStringLiteral("Last completed analysis: ");
inline const QString noVerifiedSavings = QStringLiteral("no verified savings");
inline const QString comparedWith = QStringLiteral(" compared with ");
inline const QString modelOptionsUnverified =
    QStringLiteral("Available model options have not been verified.");
inline const QString noRecommendationEstablished =
    QStringLiteral("The latest analysis did not establish a model recommendation.");
inline const QString latestAnalysis = QStringLiteral("Latest analysis: ");
inline const QString needsMoreInformation =
    QStringLiteral(" Quillmere needs more information before recommending a model.");
inline const QString switchingPaused =
    QStringLiteral(" Switching is paused until a new recommendation is confirmed.");
inline const QString prefixUnverified =
    QStringLiteral("Showing previous analysis. Model availability and savings are not verified. ");
inline const QString prefixLastCompleted =
    QStringLiteral("Showing the last completed recommendation and savings estimate. ");

// Recommendation body.
inline const QString conversationUseHeading = QStringLiteral("CONVERSATION USE");
inline const QString conversationUseHeadingAccessibility = QStringLiteral("Conversation use");
inline const QString categoryJoin = QStringLiteral(" · ");
inline const QString categoryPrefix = QStringLiteral("Category: ");
inline const QString conversationUsePrefix = QStringLiteral("Conversation use: ");
inline const QString whyUpper = QStringLiteral("WHY ");
inline const QString why = QStringLiteral("Why ");
inline const QString colon = QStringLiteral(": ");
inline const QString switchTo = QStringLiteral("Switch to ");
inline const QString recommendedModelPrefix = QStringLiteral("Recommended model: ");
inline const QString recommendedSettingPrefix = QStringLiteral("Recommended setting: ");
inline const QString settingDash = QStringLiteral(" — ");
inline const QString fewerCreditsThan = QStringLiteral(" fewer credits than ");

// Context usage line.
inline const QString basedOnThe = QStringLiteral("Based on the ");
inline const QString mostRecentOf = QStringLiteral(" most recent of ");
inline const QString availableMessages = QStringLiteral(" available messages");
inline const QString basedOn = QStringLiteral("Based on ");
inline const QString message = QStringLiteral("message");
inline const QString messages = QStringLiteral("messages");
inline const QString available = QStringLiteral("available ");
inline const QString middleDot = QStringLiteral(" · ");
inline const QString yoursPlus = QStringLiteral(" yours + ");
inline const QString ai = QStringLiteral(" AI");

// Chips.
inline const QString fitChip = QStringLiteral("✓  Model fit");
inline const QString fitChipAccessibility = QStringLiteral("Current model is a good fit");
inline const QString switchChip = QStringLiteral("↗  Switch recommended");
inline const QString switchChipAccessibility = QStringLiteral("Model switch recommended");
inline const QString approximately = QStringLiteral("≈");
inline const QString downArrow = QStringLiteral("↓ ");
inline const QString versus = QStringLiteral(" vs ");
inline const QString credits = QStringLiteral(" credits");
inline const QString estimatedCreditSavingsComparedWith =
    QStringLiteral(" estimated credit savings compared with ");
inline const QString estimatedCreditSavings = QStringLiteral(" estimated credit savings");

// Reason split.
inline const QString detailsUnavailable = QStringLiteral("Recommendation details aren’t available.");
inline const QString arrowMarker = QStringLiteral(" → ");
inline const QString blankLineMarker = QStringLiteral("\n\n");
inline const QString lineBreakMarker = QStringLiteral("\n");
inline const QString compactReasonUnavailable = QStringLiteral("Why this model: details unavailable");
inline const QString compactReasonPrefix = QStringLiteral("Why: ");
inline const QString whyThisModelPrefix = QStringLiteral("Why this model: ");

// Compact lines.
inline const QString quillmereDot = QStringLiteral("Quillmere · ");
inline const QString quillmereComma = QStringLiteral("Quillmere, ");
inline const QString commaSpace = QStringLiteral(", ");
inline const QString noConversationSelected = QStringLiteral("no conversation selected");
inline const QString previousAnalysis = QStringLiteral("Previous analysis");
inline const QString compactFit = QStringLiteral("✓ Model fit");
inline const QString compactSwitch = QStringLiteral("↗ Switch");
inline const QString availabilityUnverified = QStringLiteral("Availability and savings unverified");
inline const QString savingsDash = QStringLiteral("Savings —");
inline const QString savingsNotVerified = QStringLiteral("Savings estimate not verified");
inline const QString estimatedSavingsVs = QStringLiteral(" estimated savings vs ");
inline const QString currentSettingAtAnalysis = QStringLiteral("current setting at analysis");
inline const QString lastCompletedEstimatedSavings =
    QStringLiteral("Last completed analysis, estimated savings: ");
inline const QString estimatedSavings = QStringLiteral("Estimated savings: ");

// Switch button and its outcome.
inline const QString switching = QStringLiteral("Switching…");
inline const QString applyingFeedback = QStringLiteral("Applying model and reasoning…");
inline const QString confirmedFeedback = QStringLiteral("Model and reasoning confirmed for the next send.");
inline const QString failedFeedbackPrefix =
    QStringLiteral("Couldn’t confirm the model and reasoning setting. Try again, or use ");
inline const QString failedFeedbackSuffix = QStringLiteral("’s model picker.");
inline const QString settingConfirmed = QStringLiteral("Setting confirmed");
inline const QString retrySwitch = QStringLiteral("Retry switch");
inline const QString switchModel = QStringLiteral("Switch model");
inline const QString expandedValue = QStringLiteral("Expanded");
inline const QString collapsedValue = QStringLiteral("Collapsed");
inline const QString detailsExpandedAnnouncement = QStringLiteral("Recommendation details expanded");
inline const QString detailsCollapsedAnnouncement = QStringLiteral("Recommendation details collapsed");

// Request log.
inline const QString rowOpen = QStringLiteral("▼");
inline const QString rowClosed = QStringLiteral("▶");
inline const QString rowDot = QStringLiteral("   ●   ");
inline const QString statusFailed = QStringLiteral("FAILED");
inline const QString statusCancelled = QStringLiteral("CANCELLED");
inline const QString statusSending = QStringLiteral("SENDING");
inline const QString statusResponseReceived = QStringLiteral("RESPONSE RECEIVED");
inline const QString statusNoRecommendation = QStringLiteral("NO RECOMMENDATION");

// Ask panel.
inline const QString askTooShort = QStringLiteral("Describe the task you want help choosing a model for.");
inline const QString askFinding = QStringLiteral("Finding the best model…");
inline const QString askOpenedAnnouncement = QStringLiteral("Ask Quillmere opened");

// Connector mode.
inline const QString connectorStatusInitial =
    QStringLiteral("Connect Quillmere to receive recommendations from ChatGPT.");
inline const QString connectorFromConnector = QStringLiteral("From your ChatGPT connector");
inline const QString connectorEntryTitle = QStringLiteral("Connection");
inline const QString connectorEntryAccessibility = QStringLiteral("Quillmere connector connection");
inline const QString connectorEntryToolTip = QStringLiteral("Connect or manage your ChatGPT connector");
inline const QString connectorStatusHeading = QStringLiteral("CHATGPT CONNECTOR");
inline const QString connectorWidgetTitle = QStringLiteral("Your Quillmere widget");
inline const QString connectorAskInChatGPT =
    QStringLiteral("Ask Quillmere in ChatGPT which model to use. The recommendation will appear here.");
inline const QString connectorUnverifiedLine =
    QStringLiteral("Model availability and savings are unverified. Change the model in ChatGPT yourself.");
inline const QString connectorRecommendedStatus = QStringLiteral("RECOMMENDED · CHATGPT CONNECTOR");
inline const QString connectorSourceHeading = QStringLiteral("SOURCE");
inline const QString connectorSourceText = QStringLiteral(
    "For the task you shared with Quillmere in ChatGPT. The active conversation has not been verified.");
inline const QString connectorWhyThisModel = QStringLiteral("WHY THIS MODEL");
inline const QString connectorDetached = QStringLiteral("Connection opened in another Quillmere widget.");
inline const QString connectorPreviewPrefix = QStringLiteral("Preview · ");
inline const QString connectorRecommendedPrefix = QStringLiteral("Recommended · ");
inline const QString connectorCompactTitle = QStringLiteral("Quillmere · ChatGPT connector");

} // namespace quillmere::cardtext
