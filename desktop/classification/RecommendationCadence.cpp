#include "desktop/classification/RecommendationCadence.h"

#include "core/Text.h"

#include <QChar>
#include <QSet>
#include <algorithm>
#include <array>
#include <limits>

namespace quillmere {

namespace {

// Texts typed or read in different normal forms are the same text.
bool sameText(const QString& a, const QString& b) {
    return a == b || text::canonicallyEqual(a, b);
}

bool sameInput(const std::optional<RecommendationCadence::Input>& a,
               const std::optional<RecommendationCadence::Input>& b) {
    if (!a || !b)
        return !a && !b;
    return *a == *b;
}

bool tooShort(const QString& userText) {
    return text::characterCount(text::trimmed(userText)) < 8;
}

struct Profile {
    const char* name;
    std::vector<const char*> keywords;
};

const std::array<Profile, 5>& profiles() {
    static const std::array<Profile, 5> table{{
        {"high_stakes",
         {"security", "medical", "legal", "financial", "production incident", "אבטחה", "רפוא", "משפט",
          "פיננס"}},
        {"deep", {"architecture", "migration", "deep analysis", "ארכיטקט", "מיגרציה", "ניתוח מעמיק"}},
        {"code", {"code", "debug", "implement", "function", "bug", "קוד", "באג", "תממש"}},
        {"writing", {"draft", "write", "email", "כתוב", "כתיבת", "נסח", "מייל"}},
        {"transform", {"summar", "translat", "rewrite", "format", "סכם", "סיכום", "תרגם", "תרגום"}},
    }};
    return table;
}

const QSet<QString>& cueVerbs() {
    static const QSet<QString> set{"plan",      "draft", "write",   "build",   "create", "design",
                                   "implement", "debug", "analyze", "analyse", "review", "develop",
                                   "תכנן",      "לתכנן", "בנה",     "תבנה",    "לבנות",  "צור",
                                   "עצב",       "נתח",   "בדוק",    "כתוב",    "נסח",    "תקן"};
    return set;
}

const QSet<QString>& stopWords() {
    static const QSet<QString> set{"the",  "and",   "for",   "with", "from",  "this",  "that", "please",
                                   "can",  "you",   "your",  "our",  "about", "now",   "then", "into",
                                   "what", "how",   "all",   "are",  "את",    "של",    "על",   "עם",
                                   "אני",  "אנחנו", "בבקשה", "הזה",  "זאת",   "עכשיו", "כדי"};
    return set;
}

QSet<QString> subjectWords(const QStringList& words) {
    QSet<QString> subjects;
    for (const QString& word : words)
        if (text::characterCount(word) >= 2 && !stopWords().contains(word) && !cueVerbs().contains(word))
            subjects.insert(word);
    return subjects;
}

} // namespace

bool RecommendationCadence::observe(const std::optional<Input>& newInput, double now) {
    bool skipRecoveryCount = false;
    if (unreadable) {
        if (newInput) {
            unreadable = false;
            recoveryConsecutiveReads = 1;
            if (sameInput(newInput, input)) {
                reason = QStringLiteral("verifying_recovery");
                return true;
            }
            skipRecoveryCount = true;
        }
    }
    if (!skipRecoveryCount && unreadableRecoveryPending && newInput && sameInput(newInput, input))
        ++recoveryConsecutiveReads;

    if (sameInput(newInput, input))
        return false;

    if (unreadableRecoveryPending && newInput)
        recoveryConsecutiveReads = 1;

    if (!newInput) {
        baseline.reset();
        attempted.reset();
        unreadable = false;
        unreadableRecoveryPending = false;
        recoveryConsecutiveReads = 0;
        lastRecoveryRequestAt.reset();
    }

    // The request granted for the old input is abandoned, so its answer is not taken as the
    // baseline.
    if (sameInput(attempted, input) && !sameInput(attempted, baseline))
        attempted.reset();

    if (newInput && (!contextID || !sameText(*contextID, newInput->context))) {
        baseline.reset();
        attempted.reset();
        nextSafetyTurn = 8;
        contextID = newInput->context;
        highestPosition.reset();
        historyWasUnavailable = false;
        transientFailures = 0;
        unreadableRecoveryPending = false;
        recoveryConsecutiveReads = 0;
        lastRecoveryRequestAt.reset();
    }

    if (newInput && newInput->historyPosition)
        highestPosition = highestPosition ? std::max(*highestPosition, *newInput->historyPosition)
                                          : *newInput->historyPosition;

    input = newInput;
    ++generation;
    changedAt = now;
    reason = QStringLiteral("quiet_period");
    return true;
}

void RecommendationCadence::grant(const QString& why, double now) {
    reason = why;
    attempted = input;
    ++requestCount;
    if (unreadableRecoveryPending)
        lastRecoveryRequestAt = now;
}

std::optional<int> RecommendationCadence::takeRequest(double now) {
    if (!input) {
        reason = QStringLiteral("no_context");
        return std::nullopt;
    }
    if (unreadable) {
        reason = QStringLiteral("unreadable_context");
        return std::nullopt;
    }
    if (unreadableRecoveryPending && recoveryConsecutiveReads < 2) {
        reason = QStringLiteral("verifying_recovery");
        return std::nullopt;
    }
    // Comparisons are written so that a time that is not a number withholds rather than grants.
    if (unreadableRecoveryPending && lastRecoveryRequestAt &&
        !(now - *lastRecoveryRequestAt >= recoveryBackoff)) {
        reason = QStringLiteral("recovery_backoff");
        return std::nullopt;
    }
    if (!input->historyCurrent ||
        (highestPosition && input->historyPosition && *input->historyPosition < *highestPosition)) {
        historyWasUnavailable = true;
        reason = QStringLiteral("partial_history");
        return std::nullopt;
    }
    if (input->attachment) {
        reason = QStringLiteral("unsupported_attachment");
        return std::nullopt;
    }
    if (!input->eligible) {
        reason = QStringLiteral("routing_not_supported");
        return std::nullopt;
    }
    if (tooShort(input->text)) {
        reason = QStringLiteral("insufficient_text");
        return std::nullopt;
    }
    if (!(now - changedAt >= quietPeriod)) {
        reason = QStringLiteral("quiet_period");
        return std::nullopt;
    }

    const bool restored = historyWasUnavailable;
    if (restored) {
        attempted.reset();
        historyWasUnavailable = false;
    }

    if (sameInput(attempted, input)) {
        reason = QStringLiteral("already_checked");
        return std::nullopt;
    }
    if (!baseline)
        grant(QStringLiteral("first_context_check"), now);
    else if (!sameText(baseline->setting, input->setting))
        grant(QStringLiteral("setting_changed"), now);
    else if (!sameText(baseline->availability, input->availability))
        grant(QStringLiteral("available_settings_changed"), now);
    else if (materialChange(baseline->text, input->text))
        grant(QStringLiteral("task_changed"), now);
    else if (restored)
        grant(QStringLiteral("history_restored"), now);
    else if (input->turn < nextSafetyTurn) {
        reason = QStringLiteral("same_task_skip");
        return std::nullopt;
    } else
        grant(QStringLiteral("five_turn_safety"), now);
    return generation;
}

bool RecommendationCadence::accepts(int ticket) const {
    return input && !unreadable && ticket == generation;
}

void RecommendationCadence::complete(int ticket) {
    if (!accepts(ticket))
        return;
    baseline = input;
    transientFailures = 0;
    unreadableRecoveryPending = false;
    recoveryConsecutiveReads = 0;
    lastRecoveryRequestAt.reset();
    // Saturates instead of overflowing for an absurd turn count.
    const int turn = input->turn;
    nextSafetyTurn =
        turn < 4 ? 8
                 : (turn > std::numeric_limits<int>::max() - 5 ? std::numeric_limits<int>::max() : turn + 5);
}

void RecommendationCadence::fail(int ticket, double now) {
    if (!accepts(ticket) || !sameInput(attempted, input))
        return;
    ++transientFailures;
    if (transientFailures > 2) {
        // `attempted` stays, so the same input is not retried.
        reason = QStringLiteral("service_retry_exhausted");
        return;
    }
    attempted.reset();
    if (unreadableRecoveryPending)
        historyWasUnavailable = true;
    changedAt = now;
    reason = QStringLiteral("service_retry");
}

bool RecommendationCadence::suspendUnreadable() {
    if (!input || unreadable)
        return false;
    unreadable = true;
    unreadableRecoveryPending = true;
    recoveryConsecutiveReads = 0;
    historyWasUnavailable = true;
    ++generation;
    reason = QStringLiteral("unreadable_context");
    return true;
}

bool RecommendationCadence::needsRecommendationRefresh(const Input& candidate) const {
    if (unreadableRecoveryPending || unreadable || !contextID || !sameText(*contextID, candidate.context) ||
        !candidate.historyCurrent ||
        (highestPosition && candidate.historyPosition && *candidate.historyPosition < *highestPosition) ||
        candidate.attachment || !candidate.eligible || !baseline)
        return true;
    if (candidate == *baseline)
        return false;
    if (!sameText(baseline->setting, candidate.setting) ||
        !sameText(baseline->availability, candidate.availability) ||
        materialChange(baseline->text, candidate.text))
        return true;
    return candidate.turn >= nextSafetyTurn;
}

bool RecommendationCadence::permits(const Input& candidate) const {
    if (unreadable || !contextID || !sameText(*contextID, candidate.context) || !candidate.historyCurrent ||
        (highestPosition && candidate.historyPosition && *candidate.historyPosition < *highestPosition) ||
        candidate.attachment)
        return false;
    return candidate.eligible;
}

QString RecommendationCadence::profile(const QString& textToJudge) {
    const QString lowered = text::canonical(text::lowercased(textToJudge));
    for (const Profile& entry : profiles())
        for (const char* keyword : entry.keywords)
            if (lowered.contains(QString::fromUtf8(keyword)))
                return QString::fromLatin1(entry.name);
    return QStringLiteral("unknown");
}

QStringList RecommendationCadence::words(const QString& textToSplit) {
    // Split per user-perceived character, judged by its first scalar, so that combining marks
    // (Hebrew points, accents) stay inside their word.
    return text::letterOrNumberRuns(text::canonical(text::lowercased(textToSplit)));
}

bool RecommendationCadence::materialChange(const QString& from, const QString& to) {
    const QString newProfile = profile(to);
    if (newProfile != QLatin1String("unknown") && profile(from) != newProfile)
        return true;
    if (text::characterCount(to) < 24)
        return false;
    const QStringList newWords = words(to);
    bool cue = false;
    for (qsizetype i = 0; i < std::min<qsizetype>(7, newWords.size()); ++i)
        cue = cue || cueVerbs().contains(newWords.at(i));
    if (!cue)
        return false;
    const QSet<QString> oldSubjects = subjectWords(words(from));
    const QSet<QString> newSubjects = subjectWords(newWords);
    if (oldSubjects.size() < 2 || newSubjects.size() < 3)
        return false;
    const QSet<QString> shared = QSet<QString>(oldSubjects).intersect(newSubjects);
    const QSet<QString> all = QSet<QString>(oldSubjects).unite(newSubjects);
    return double(shared.size()) / double(all.size()) < 0.2;
}

} // namespace quillmere
