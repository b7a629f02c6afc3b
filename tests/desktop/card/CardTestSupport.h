#pragma once

// Recommendations and request-log entries the card tests present.

#include "desktop/card/RailViewController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QScrollArea>
#include <QUuid>
#include <QWidget>

#include <algorithm>
#include <ostream>
#include <vector>

// Readable strings in failure messages (the same definition the other test helpers use).
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace quillmere::cardtest {

// Sonnet 5 at medium effort, 63% cheaper than Opus 5 · High: a switch the card can offer.
inline Recommendation sonnet() {
    Recommendation r;
    r.provider = AIProvider::claude;
    r.model = QStringLiteral("sonnet");
    r.modelID = QStringLiteral("claude-sonnet-5");
    r.effort = QStringLiteral("medium");
    r.reason = QStringLiteral("Routine drafting with a clear brief. → The conversation asks for edits to an "
                              "existing text, which a mid-size model handles well.");
    r.savingsBasis = QStringLiteral("claude-list-uncached-estimated-output-v1");
    r.potentialPercent = 63;
    r.savingsBaselineSetting = QStringLiteral("Opus 5 · High");
    return r;
}

// The same with a fit reason, a category and the context the service was given.
inline Recommendation sonnetWithFit() {
    Recommendation r = sonnet();
    r.modelFitReason = QStringLiteral("Clear instructions and a short context suit Sonnet.");
    r.conversationCategory = ConversationTaxonomy{QStringLiteral("writing"), QStringLiteral("Writing")};
    r.conversationSubcategory = ConversationTaxonomy{QStringLiteral("editing"), QStringLiteral(" Editing ")};
    r.contextUsage = RecommendationContextUsage{40, 20, 20, true, 120};
    return r;
}

inline Recommendation alreadyEfficient() {
    Recommendation r = sonnet();
    r.alreadyEfficient = true;
    r.savingsBaselineSetting.reset();
    r.savingsComparedTo = QStringLiteral("fable");
    return r;
}

inline Recommendation openAI() {
    Recommendation r;
    r.provider = AIProvider::openAI;
    r.model = QStringLiteral("gpt-6-luna");
    r.effort = QStringLiteral("low");
    r.reason = QStringLiteral("A quick lookup.");
    r.savingsBasis = QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1");
    r.savingsComparedTo = QStringLiteral("gpt-6-sol");
    r.potentialPercent = 40;
    return r;
}

// Guidance as the connector hands it to a card.
inline ConnectorGuidance connectorGuidance(const QString& family, const QString& reasoning,
                                           const QString& rationale) {
    ConnectorGuidance guidance;
    guidance.model_family = family;
    guidance.reasoning = reasoning;
    guidance.rationale = rationale;
    return guidance;
}

inline RequestLogStore::Entry logEntry(int number, const QString& status) {
    RequestLogStore::Entry entry;
    entry.id = QUuid::createUuid();
    entry.number = number;
    entry.startedAt = QDateTime::fromSecsSinceEpoch(1'800'000'000 + number, Qt::UTC);
    entry.conversation = QStringLiteral("conversation-%1").arg(number);
    entry.provider = QStringLiteral("claude");
    entry.endpoint = QStringLiteral("https://classify.example/v1/classify");
    entry.requestBody = QStringLiteral("USER\nPlease tidy this paragraph <b>now</b>.");
    entry.status = status;
    return entry;
}

// A card at a size, laid out.
inline void sizeCard(RailViewController& card, int width, int height) {
    card.view()->resize(width, height);
    card.layoutIfNeeded();
}

// What the keyboard reaches: from `start`, with the window active, each focus that Tab (or
// Shift+Tab, as the X server delivers it) moves to, `presses` times, pressed on the focused widget
// as typing does. A stop without a focus records nullptr.
inline std::vector<QWidget*> walkFocus(QWidget* start, bool forward, size_t presses) {
    QWidget* window = start->window();
    window->show();
    QApplication::setActiveWindow(window);
    start->setFocus(Qt::OtherFocusReason);
    std::vector<QWidget*> walked{QApplication::focusWidget()};
    for (size_t i = 0; i < presses; ++i) {
        QWidget* focused = QApplication::focusWidget();
        if (!focused) {
            walked.push_back(nullptr);
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, forward ? Qt::Key_Tab : Qt::Key_Backtab,
                        forward ? Qt::NoModifier : Qt::ShiftModifier);
        QApplication::sendEvent(focused, &press);
        walked.push_back(QApplication::focusWidget());
    }
    return walked;
}

// The loop `stops` walked once around and back to its first stop, forwards or backwards.
inline std::vector<QWidget*> aroundTheLoop(const std::vector<QWidget*>& stops, bool forward) {
    std::vector<QWidget*> out{stops.front()};
    for (size_t i = 1; i <= stops.size(); ++i)
        out.push_back(stops[forward ? i % stops.size() : (stops.size() - i) % stops.size()]);
    return out;
}

// Names of views for readable failures: the accessible name, else a button's text, else the object
// name or the class.
inline std::vector<QString> namesOf(const std::vector<QWidget*>& views) {
    std::vector<QString> names;
    for (const QWidget* view : views) {
        const auto* button = qobject_cast<const QAbstractButton*>(view);
        if (!view)
            names.push_back(QStringLiteral("(no focus)"));
        else if (!view->accessibleName().isEmpty())
            names.push_back(view->accessibleName());
        else if (button && !button->text().isEmpty())
            names.push_back(button->text());
        else if (!view->objectName().isEmpty())
            names.push_back(view->objectName());
        else
            names.push_back(QString::fromLatin1(view->metaObject()->className()));
    }
    return names;
}

// The views of `window` that the keyboard could give the focus to but that are not in `stops`.
inline std::vector<QWidget*> focusableOutside(QWidget* window, const std::vector<QWidget*>& stops) {
    std::vector<QWidget*> outside;
    for (QWidget* view : window->findChildren<QWidget*>())
        if ((view->focusPolicy() & Qt::TabFocus) && view->isVisible() && view->isEnabled() &&
            std::find(stops.begin(), stops.end(), view) == stops.end())
            outside.push_back(view);
    return outside;
}

} // namespace quillmere::cardtest
