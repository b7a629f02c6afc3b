#include "core/ModelControlLabel.h"

#include "core/OpenAIRouting.h"
#include "core/Text.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace quillmere::ModelControlLabel {

namespace {

// Words of a label: runs of [a-z0-9.] in the normalised text with "-" read as a blank, so that
// "GPT-5.6 Luna", "gpt-5.6-luna" and "Model: GPT 5.6 luna." all give "gpt 5.6 luna". A sentence's
// full stop after a version ("GPT-5.5.") is not part of the version.
QStringList words(QStringView label) {
    const QString text = normalize(label);
    QStringList result;
    QString current;
    auto flush = [&] {
        while (current.endsWith(u'.'))
            current.chop(1);
        if (!current.isEmpty())
            result.append(current);
        current.clear();
    };
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'.')
            current.append(c);
        else
            flush();
    }
    flush();
    return result;
}

// OpenAI ids a picker can show: the ladder, and the older names some accounts still see. Each is
// recognised by its own words and reported as itself.
const QStringList& knownOpenAIModels() {
    static const QStringList ids = [] {
        QStringList all = OpenAIRouting::models();
        all << QStringLiteral("gpt-5.6") << QStringLiteral("gpt-5.5") << QStringLiteral("gpt-5.4-mini")
            << QStringLiteral("gpt-5.3-codex-spark");
        return all;
    }();
    return ids;
}

// Where the phrase occurs in words as a whole word sequence; -1 when it does not.
qsizetype find(const QStringList& haystack, const QStringList& phrase) {
    if (phrase.isEmpty() || phrase.size() > haystack.size())
        return -1;
    for (qsizetype start = 0; start + phrase.size() <= haystack.size(); ++start) {
        if (std::equal(phrase.begin(), phrase.end(), haystack.begin() + start))
            return start;
    }
    return -1;
}

std::optional<QString> openAIModel(const QStringList& labelWords) {
    std::optional<QString> best;
    qsizetype bestLength = 0;
    qsizetype bestStart = 0;
    for (const QString& id : knownOpenAIModels()) {
        const QStringList phrase = words(id);
        const qsizetype start = find(labelWords, phrase);
        if (start < 0)
            continue;
        // The longest name wins ("GPT-5.6 Luna" is not the older "GPT-5.6"); between names of
        // the same length the one the label mentions first.
        if (!best || phrase.size() > bestLength || (phrase.size() == bestLength && start < bestStart)) {
            best = id;
            bestLength = phrase.size();
            bestStart = start;
        }
    }
    return best;
}

const QStringList& claudeFamilies() {
    static const QStringList families{QStringLiteral("haiku"), QStringLiteral("sonnet"),
                                      QStringLiteral("opus"), QStringLiteral("fable")};
    return families;
}

} // namespace

QString normalize(QStringView label) {
    return text::collapseWhiteSpace(text::lowercased(label));
}

std::optional<QString> model(QStringView label) {
    const QStringList labelWords = words(label);
    if (auto id = openAIModel(labelWords))
        return id;
    for (const QString& word : labelWords) {
        if (claudeFamilies().contains(word))
            return word;
    }
    return std::nullopt;
}

std::optional<QString> modelIdentifier(QStringView label) {
    // After normalising, white space is a single ASCII blank, so the pattern needs no Unicode
    // classes. A family glued to other letters ("sonnets") is not a family word.
    static const QRegularExpression pattern(
        QStringLiteral("(?<![a-z0-9])(haiku|sonnet|opus|fable)[ \\-]+([0-9]+)(?:[.\\-]([0-9]+))?(?![0-9])"));
    const QRegularExpressionMatch match = pattern.match(normalize(label));
    if (!match.hasMatch())
        return std::nullopt;
    QString id = QStringLiteral("claude-") + match.captured(1) + u'-' + match.captured(2);
    if (match.hasCaptured(3))
        id += u'-' + match.captured(3);
    return id;
}

std::optional<QString> effort(QStringView label) {
    const QStringList labelWords = words(label);
    for (qsizetype i = 0; i < labelWords.size(); ++i) {
        const QString& word = labelWords[i];
        // "Extra High", a bare "Extra" (the effort dialog's word) and "X-High" are all xhigh.
        if (word == u"xhigh" || word == u"extra")
            return QStringLiteral("xhigh");
        if (word == u"x" && i + 1 < labelWords.size() && labelWords[i + 1] == u"high")
            return QStringLiteral("xhigh");
        if (word == u"none" || word == u"low" || word == u"medium" || word == u"high" || word == u"ultra")
            return word;
        if (word == u"max" || word == u"maximum")
            return QStringLiteral("max");
    }
    return std::nullopt;
}

bool matchesChoice(QStringView label, QStringView target) {
    const std::optional<QString> targetModel = model(target);
    if (targetModel && targetModel->startsWith(u"gpt-"))
        return model(label) == targetModel;

    const QString normalizedLabel = normalize(label);
    const QString normalizedTarget = normalize(target);
    // An empty target would otherwise select the first unlabeled row.
    if (normalizedTarget.isEmpty())
        return false;
    QStringList candidates;
    if (normalizedTarget == u"xhigh")
        candidates << QStringLiteral("extra") << QStringLiteral("extra high") << QStringLiteral("xhigh");
    else
        candidates << normalizedTarget;
    for (const QString& candidate : candidates) {
        if (normalizedLabel == candidate || normalizedLabel.startsWith(candidate + u' '))
            return true;
    }
    return false;
}

} // namespace quillmere::ModelControlLabel
