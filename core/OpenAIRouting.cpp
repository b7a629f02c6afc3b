#include "core/OpenAIRouting.h"

#include "core/Text.h"

namespace quillmere {

json::Value ObservedSetting::toJson() const {
    return json::Object{{QStringLiteral("model"), model}, {QStringLiteral("effort"), effort}};
}

namespace OpenAIRouting {

namespace {

// Requests longer than this are not "short", whatever they start with.
constexpr qsizetype maximumRoutedCharacters = 1500;
// An e-mail request names the e-mail early; further in, "email" is more likely quoted content.
constexpr qsizetype emailMentionWindow = 80;

// Words that make a lighter model a risk: high stakes, deep analysis, code. Matched as substrings
// of the lowercased request so that inflections and Hebrew prefixes are covered.
const QStringList& guardWords() {
    static const QStringList words{
        QStringLiteral("security"),
        QStringLiteral("medical"),
        QStringLiteral("legal"),
        QStringLiteral("financial"),
        QStringLiteral("production incident"),
        QStringLiteral("patient"),
        QStringLiteral("diagnos"),
        QStringLiteral("vulnerab"),
        QStringLiteral("architecture"),
        QStringLiteral("migration"),
        QStringLiteral("deep analysis"),
        QStringLiteral("code"),
        QStringLiteral("debug"),
        QStringLiteral("bug"),
        QStringLiteral("implement"),
        QStringLiteral("function"),
        QString::fromUtf8("אבטחה"),
        QString::fromUtf8("רפוא"),
        QString::fromUtf8("משפט"),
        QString::fromUtf8("פיננס"),
        QString::fromUtf8("ארכיטקט"),
        QString::fromUtf8("מיגרציה"),
        QString::fromUtf8("ניתוח מעמיק"),
        QString::fromUtf8("קוד"),
        QString::fromUtf8("באג"),
        QString::fromUtf8("תממש"),
    };
    return words;
}

// Openings of a request that transforms given text rather than asking for new thinking.
const QStringList& simplePrefixes() {
    static const QStringList prefixes{
        QStringLiteral("summarize"),   QStringLiteral("summarise"),    QStringLiteral("translate"),
        QStringLiteral("rewrite"),     QStringLiteral("rephrase"),     QStringLiteral("paraphrase"),
        QStringLiteral("proofread"),   QStringLiteral("shorten"),      QStringLiteral("simplify"),
        QStringLiteral("format"),      QStringLiteral("convert"),      QString::fromUtf8("סכם"),
        QString::fromUtf8("תסכם"),     QString::fromUtf8("תרגם"),      QString::fromUtf8("תתרגם"),
        QString::fromUtf8("נסח מחדש"), QString::fromUtf8("כתוב מחדש"), QString::fromUtf8("קצר"),
    };
    return prefixes;
}

const QStringList& emailVerbs() {
    static const QStringList verbs{QStringLiteral("draft"), QStringLiteral("write"), QString::fromUtf8("נסח"),
                                   QString::fromUtf8("כתוב")};
    return verbs;
}

const QStringList& emailWords() {
    static const QStringList words{QStringLiteral("email"), QStringLiteral("e-mail"),
                                   QString::fromUtf8("מייל")};
    return words;
}

const QStringList& politeOpenings() {
    static const QStringList openings{QStringLiteral("please, "), QStringLiteral("please "),
                                      QString::fromUtf8("בבקשה, "), QString::fromUtf8("בבקשה ")};
    return openings;
}

// Whether text begins with the word (or words) and the word ends there: "summarize" opens
// "summarize this" but "קצר" does not open "קצרה".
bool opensWith(QStringView text, QStringView word) {
    if (!text.startsWith(word))
        return false;
    if (text.size() == word.size())
        return true;
    const QChar next = text.at(word.size());
    return !(next.isLetterOrNumber() || next.isMark());
}

bool isSimpleRequest(QStringView request) {
    for (const QString& prefix : simplePrefixes()) {
        if (opensWith(request, prefix))
            return true;
    }
    for (const QString& verb : emailVerbs()) {
        if (!request.startsWith(verb) || request.size() <= verb.size() || request.at(verb.size()) != u' ')
            continue;
        const QString opening = text::characterPrefix(request, emailMentionWindow);
        for (const QString& word : emailWords()) {
            if (opening.contains(word))
                return true;
        }
    }
    return false;
}

struct Rank {
    qsizetype model;
    qsizetype effort;
};

std::optional<Rank> rank(const ObservedSetting& setting) {
    const qsizetype model = models().indexOf(setting.model);
    const qsizetype effort = efforts().indexOf(setting.effort);
    if (model < 0 || effort < 0)
        return std::nullopt;
    return Rank{model, effort};
}

} // namespace

const QStringList& models() {
    static const QStringList ids{QStringLiteral("gpt-6-luna"),    QStringLiteral("gpt-5.6-luna"),
                                 QStringLiteral("gpt-6-sol"),     QStringLiteral("gpt-6.1-sol"),
                                 QStringLiteral("gpt-5.6-terra"), QStringLiteral("gpt-5.6-sol"),
                                 QStringLiteral("gpt-6-astra")};
    return ids;
}

const QStringList& chatCandidateModels() {
    static const QStringList ids{QStringLiteral("gpt-5.6-luna"), QStringLiteral("gpt-5.6-terra"),
                                 QStringLiteral("gpt-5.6-sol"), QStringLiteral("gpt-6-astra")};
    return ids;
}

const QStringList& efforts() {
    static const QStringList names{QStringLiteral("none"), QStringLiteral("low"),   QStringLiteral("medium"),
                                   QStringLiteral("high"), QStringLiteral("xhigh"), QStringLiteral("max"),
                                   QStringLiteral("ultra")};
    return names;
}

bool supportsRecommendationTarget(QStringView modelID, const std::optional<QString>& surfaceMode) {
    const QStringList& allowed = surfaceMode == u"work" ? models() : chatCandidateModels();
    return allowed.contains(modelID);
}

QStringList reportedModels(const std::optional<QString>& surfaceMode, const QSet<QString>& observed) {
    QStringList reported;
    for (const QString& id : models()) {
        if (observed.contains(id) && supportsRecommendationTarget(id, surfaceMode))
            reported.append(id);
    }
    return reported;
}

std::optional<ObservedSetting> target(QStringView text, const ObservedSetting& current,
                                      const std::vector<ObservedSetting>& available) {
    const QString normalized = text::collapseWhiteSpace(text);
    if (normalized.isEmpty() || text::characterCount(normalized) > maximumRoutedCharacters)
        return std::nullopt;
    const QString lowered = text::lowercased(normalized);
    for (const QString& word : guardWords()) {
        if (lowered.contains(word))
            return std::nullopt;
    }
    QStringView request = lowered;
    for (const QString& opening : politeOpenings()) {
        if (request.startsWith(opening)) {
            request = request.mid(opening.size());
            break;
        }
    }
    if (!isSimpleRequest(request))
        return std::nullopt;

    const std::optional<Rank> currentRank = rank(current);
    if (!currentRank)
        return std::nullopt;
    // "Below" means never heavier in either ladder: a lighter model is not offered at a higher
    // effort than the one the user chose.
    std::optional<ObservedSetting> best;
    Rank bestRank{};
    for (const ObservedSetting& setting : available) {
        const std::optional<Rank> candidate = rank(setting);
        if (!candidate || candidate->model > currentRank->model || candidate->effort > currentRank->effort)
            continue;
        if (candidate->model == currentRank->model && candidate->effort == currentRank->effort)
            continue;
        const bool lighter = !best || candidate->model < bestRank.model ||
                             (candidate->model == bestRank.model && candidate->effort < bestRank.effort);
        if (lighter) {
            best = setting;
            bestRank = *candidate;
        }
    }
    return best;
}

} // namespace OpenAIRouting
} // namespace quillmere
