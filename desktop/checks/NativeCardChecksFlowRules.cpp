// The rows of the card suite's flow groups that need no card: task changes and option noise,
// conversation identity and title rules, the local ChatGPT recommendation and the service retry
// spacing, and what the analysis signature is made of.

#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"

#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/observation/ClaudeWindowTracker.h"

namespace quillmere::NativeCardChecks {

namespace {

using Input = RecommendationCadence::Input;
using Snapshot = ClaudeWindowTrackerConversationSnapshot;
using Message = ClaudeWindowTrackerConversationMessage;
using Service = ClassificationService;

// A ticket the scenario cannot go on without; its absence ends the run.
int requiredTicket(RecommendationCadence& cadence, double now) {
    const auto ticket = cadence.takeRequest(now);
    if (!ticket)
        throw RunError(QStringLiteral("the cadence granted no request at ") + QString::number(now));
    return *ticket;
}

// A ChatGPT conversation with the current setting read and the given options observed.
Snapshot chatGPT(std::vector<Message> messages, const QString& model, const QString& effort,
                 std::vector<ObservedSetting> settings) {
    Snapshot snapshot;
    snapshot.provider = AIProvider::openAI;
    snapshot.messages = std::move(messages);
    snapshot.currentModel = model;
    snapshot.currentEffort = effort;
    snapshot.currentSettingKnown = true;
    snapshot.availableSettings = std::move(settings);
    snapshot.historyCurrent = true;
    return snapshot;
}

const ObservedSetting lunaLow{QStringLiteral("gpt-5.6-luna"), QStringLiteral("low")};

Snapshot meetingNotes(bool withOptions) {
    return chatGPT({{QStringLiteral("user"), QStringLiteral("Summarize these meeting notes.")}},
                   QStringLiteral("gpt-6-astra"), QStringLiteral("high"),
                   withOptions ? std::vector<ObservedSetting>{lunaLow} : std::vector<ObservedSetting>{});
}

std::vector<Message> translationMessages() {
    return {
        {QStringLiteral("user"), QStringLiteral("Hello, can you help with writing?")},
        {QStringLiteral("assistant"), QStringLiteral("Yes, what would you like to write?")},
        {QStringLiteral("user"),
         QStringLiteral("Translate this sentence into French: The team meeting starts tomorrow at nine.")}};
}

Snapshot claudeThread(std::vector<Message> messages) {
    Snapshot snapshot;
    snapshot.provider = AIProvider::claude;
    snapshot.messages = std::move(messages);
    snapshot.currentModel = QStringLiteral("sonnet");
    snapshot.currentEffort = QStringLiteral("high");
    snapshot.currentSettingKnown = true;
    snapshot.historyCurrent = true;
    return snapshot;
}

} // namespace

void taskChangeChecks(const checks::Reporter& check) {
    const QString outreach = QStringLiteral("Draft an outreach email for enterprise leads");
    for (const TaskChange& change : taskChanges) {
        RecommendationCadence cadence = afterTaskChange(change, 10);
        const auto ticket = cadence.takeRequest(15);
        check(ticket && cadence.reason == QLatin1String("task_changed"),
              QStringLiteral("new task with ") + change.label +
                  QStringLiteral(" triggers an early server check"));
    }
    bool anyMaterial = false;
    for (const QString& followUp :
         {QStringLiteral("Write a shorter outreach email for enterprise leads"),
          QStringLiteral("Can you make this email shorter?"), QStringLiteral("Plan it")})
        anyMaterial = anyMaterial || RecommendationCadence::materialChange(outreach, followUp);
    check(!anyMaterial,
          QStringLiteral("short or same-subject follow-ups do not trigger an early server check"));

    RecommendationCadence cadence;
    Input options = cadenceInput(QStringLiteral("openai|same-conversation"), QStringLiteral("sol|high"),
                                 QStringLiteral("Implement this feature"));
    options.availability = QStringLiteral("sol,terra");
    cadence.observe(options, 0);
    cadence.complete(requiredTicket(cadence, 5));
    Input reordered = options;
    reordered.availability = QStringLiteral("terra,sol");
    const bool changed = cadence.observe(reordered, 10);
    check(!changed && !cadence.needsRecommendationRefresh(reordered),
          QStringLiteral("model-option discovery noise does not discard a current recommendation"));
}

void conversationIdentityRuleChecks(const checks::Reporter& check) {
    const QString claude = QStringLiteral("com.anthropic.claudefordesktop");
    const auto identity = [&claude](const std::optional<QString>& key, const QString& title,
                                    const QString& fallback) {
        return ClaudeWindowTracker::stableConversationIdentity(std::nullopt, claude, key, title, fallback);
    };
    const auto beforeRestart =
        identity(std::nullopt, QStringLiteral("Product roadmap"), QStringLiteral("old-pid"));
    const auto afterRestart =
        identity(std::nullopt, QStringLiteral("Product roadmap"), QStringLiteral("new-pid"));
    check(beforeRestart.verified && afterRestart.verified && beforeRestart == afterRestart,
          QStringLiteral("Claude conversation title preserves request memory across process restarts"));
    const auto firstRender =
        identity(QStringLiteral("_r_5gb_"), QStringLiteral("Product roadmap"), QStringLiteral("old-pid"));
    const auto secondRender =
        identity(QStringLiteral("_r_91x_"), QStringLiteral("Product roadmap"), QStringLiteral("old-pid"));
    check(firstRender.verified && secondRender.verified && firstRender == secondRender,
          QStringLiteral(
              "temporary Electron element IDs cannot split one Claude conversation into separate memories"));
    check(identity(QStringLiteral("conversation-123"), QStringLiteral("Old title"),
                   QStringLiteral("old-pid")) == identity(QStringLiteral("conversation-123"),
                                                          QStringLiteral("New title"),
                                                          QStringLiteral("old-pid")),
          QStringLiteral("a durable navigation identity survives a conversation title change"));
}

void conversationTitleAndTicketChecks(const checks::Reporter& check) {
    check(!ClaudeWindowTracker::conversationTitle(QStringLiteral("ChatGPT")) &&
              ClaudeWindowTracker::conversationTitle(QStringLiteral("Weekly planning — Claude")) ==
                  QStringLiteral("Weekly planning"),
          QStringLiteral("application-only titles are excluded and known app suffixes removed"));
    const QString sidebar = QStringLiteral("Optimize recommendation mechanism");
    check(ClaudeWindowTracker::conversationTitleFromNavigationLabel(sidebar) == sidebar &&
              !ClaudeWindowTracker::conversationTitleFromNavigationLabel(QStringLiteral("More")),
          QStringLiteral(
              "selected sidebar title supplies the conversation name without accepting menu controls"));

    RecommendationCadence cadence;
    const Input a = cadenceInput(QStringLiteral("claude|synthetic-A"), QStringLiteral("sonnet|high"),
                                 QStringLiteral("Summarize the weekly notes"));
    Input b = a;
    b.context = QStringLiteral("claude|synthetic-B");
    cadence.observe(a, 0);
    const int ticketA = requiredTicket(cadence, 5);
    cadence.observe(b, 6);
    check(!cadence.accepts(ticketA), QStringLiteral("same prompt in B rejects A response"));
    cadence.observe(a, 7);
    const bool oldTicketAccepted = cadence.accepts(ticketA);
    const bool grantedEarly = cadence.takeRequest(11).has_value();
    const bool grantedAfterQuiet = cadence.takeRequest(12).has_value();
    check(!oldTicketAccepted && !grantedEarly && grantedAfterQuiet,
          QStringLiteral("rapid A B A invalidates old A ticket and respects quiet period"));
}

Recommendation meetingRecommendation() {
    return Service::openAIRecommendation(meetingNotes(true));
}

void localRecommendationChecks(const checks::Reporter& check, const Recommendation& meeting) {
    check(meeting.provider == AIProvider::openAI && meeting.model == QLatin1String("gpt-5.6-luna") &&
              meeting.effort == QLatin1String("low"),
          QStringLiteral("Astra recommends an observed lighter model for a bounded task"));
    check(!meeting.savingsLabel(),
          QStringLiteral("legacy local ChatGPT recommendation omits unverified savings"));

    std::optional<Service::ServiceError> missing;
    bool recommended = false;
    try {
        Service::openAIRecommendation(meetingNotes(false));
        recommended = true;
    } catch (const Service::ServiceError& error) {
        missing = error;
    } catch (const std::exception&) {
    }
    check(!recommended, QStringLiteral("missing model options must not invent a recommendation"));
    check(missing == Service::ServiceError::availableSettingsUnavailable(),
          QStringLiteral("missing options has a distinct actionable state"));

    RecommendationCadence cadence;
    cadence.observe(meetingNotes(false).cadenceInput(), 0);
    cadence.complete(requiredTicket(cadence, 5));
    check(!cadence.takeRequest(10), QStringLiteral("abstention does not repeatedly analyze identical input"));
    cadence.observe(meetingNotes(true).cadenceInput(), 11);
    check(!cadence.takeRequest(15), QStringLiteral("new model options still respect the quiet period"));
    const auto retry = cadence.takeRequest(16);
    check(retry && cadence.reason == QLatin1String("available_settings_changed"),
          QStringLiteral("observing model options retries the same prompt"));

    const Snapshot continued =
        chatGPT(translationMessages(), QStringLiteral("gpt-6-astra"), QStringLiteral("high"), {lunaLow});
    check(continued.cadenceInput().eligible,
          QStringLiteral("continued ChatGPT conversations are eligible for cadence checks"));
    check(Service::openAIRecommendation(continued).model == meeting.model,
          QStringLiteral("explicit bounded task can receive a recommendation after the first user turn"));
    std::vector<Message> acknowledged = translationMessages();
    acknowledged.push_back(
        {QStringLiteral("assistant"), QStringLiteral("The requested translation is ready.")});
    acknowledged.push_back({QStringLiteral("user"), QStringLiteral("Done.")});
    const QString text =
        chatGPT(acknowledged, QStringLiteral("gpt-6-astra"), QStringLiteral("high"), {lunaLow})
            .cadenceInput()
            .text;
    check(text.contains(QLatin1String("Translate this sentence")) && text.endsWith(QLatin1String("Done.")),
          QStringLiteral("short latest acknowledgement preserves recent sent context for initial analysis"));

    const Snapshot treatment =
        chatGPT({{QStringLiteral("user"), QStringLiteral("Review a medical treatment plan")},
                 {QStringLiteral("user"),
                  QStringLiteral("Summarize the treatment plan above into a short patient message.")}},
                QStringLiteral("gpt-6-astra"), QStringLiteral("high"), {lunaLow});
    expectClaudeContractError(check,
                              QStringLiteral("high-stakes conversation context still prevents a downgrade"),
                              [&treatment] { Service::openAIRecommendation(treatment); });
}

void serviceRetryChecks(const checks::Reporter& check) {
    RecommendationCadence cadence;
    Input retry = cadenceInput(QStringLiteral("retry"), QStringLiteral("sol-low"),
                               QStringLiteral("Summarize this bounded test request"));
    cadence.observe(retry, 0);
    cadence.fail(requiredTicket(cadence, 5), 5);
    const bool early = cadence.takeRequest(9.9).has_value();
    check(!early && cadence.reason == QLatin1String("quiet_period"),
          QStringLiteral("transient service failure waits before retrying"));
    cadence.fail(requiredTicket(cadence, 10), 10);
    cadence.fail(requiredTicket(cadence, 15), 15);
    const bool fourth = cadence.takeRequest(25).has_value();
    check(!fourth && cadence.reason == QLatin1String("already_checked"),
          QStringLiteral("service retries stop after three attempts"));
}

void hebrewSummaryCheck(const checks::Reporter& check) {
    const Snapshot hebrew =
        chatGPT({{QStringLiteral("user"), QStringLiteral("סכם את פגישת הצוות בפסקה קצרה")}},
                QStringLiteral("gpt-5.6-terra"), QStringLiteral("medium"), {lunaLow});
    check(Service::openAIRecommendation(hebrew).effort == QLatin1String("low"),
          QStringLiteral("Hebrew bounded task receives the same safe effort recommendation"));
}

void analysisSignatureChecks(const checks::Reporter& check) {
    const QString request = QStringLiteral("Summarize this thread");
    const Snapshot start = claudeThread(
        {{QStringLiteral("user"), request}, {QStringLiteral("assistant"), QStringLiteral("Partial")}});
    const Snapshot later =
        claudeThread({{QStringLiteral("user"), request},
                      {QStringLiteral("assistant"), QStringLiteral("Partial response still streaming")}});
    Snapshot otherThread = start;
    otherThread.conversationID = QStringLiteral("another-thread");
    const Snapshot newRequest =
        claudeThread({{QStringLiteral("user"), QStringLiteral("Review the architecture instead")}});
    check(start.analysisSignature() == later.analysisSignature(),
          QStringLiteral("assistant streaming tokens coalesce into one recommendation analysis"));
    check(otherThread.analysisSignature() != start.analysisSignature(),
          QStringLiteral("same request in different conversations triggers analysis"));
    check(newRequest.analysisSignature() != start.analysisSignature(),
          QStringLiteral("a new user request triggers a fresh recommendation analysis"));
    check(!start.analysisSignature().contains(QLatin1String("draft:")),
          QStringLiteral("draft text is excluded from recommendation identity"));
}

void highImpactCheck(const checks::Reporter& check) {
    const Snapshot migration =
        chatGPT({{QStringLiteral("user"),
                  QStringLiteral("Review a production security vulnerability and architecture migration.")}},
                QStringLiteral("gpt-6-astra"), QStringLiteral("xhigh"), {});
    expectClaudeContractError(check, QStringLiteral("high-impact ChatGPT task abstains from a downgrade"),
                              [&migration] { Service::openAIRecommendation(migration); });
}

void durableIdentityCheck(const checks::Reporter& check) {
    // A navigation row's own key is durable; a renderer's temporary element id is not.
    check(ClaudeWindowTracker::isDurableNavigationKey(QStringLiteral("conversation-row-1")) &&
              !ClaudeWindowTracker::isDurableNavigationKey(QStringLiteral("_r_5gb_")),
          QStringLiteral("unreadable scan never trusts a title-only or truncated identity"));
}

} // namespace quillmere::NativeCardChecks
