// Read-only inspection of what the card shows, for the built-in check suites. Every member that
// reads a frame or a visibility lays the card out first, so it sees what a person would.

#include "desktop/card/RailViewController.h"
#include "desktop/card/RequestLogRow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QScrollArea>
#include <QStandardItemModel>

namespace quillmere {

namespace {

bool shown(const QWidget* view) {
    return !cardview::isHidden(view);
}

} // namespace

QString RailViewController::miniRecommendationForTesting() {
    return miniTitle_->text();
}
QString RailViewController::miniReasonForTesting() {
    return miniSummary_->text();
}
QString RailViewController::miniSavingsForTesting() {
    return miniSavings_->text();
}

int RailViewController::miniLineCountForTesting() {
    layoutIfNeeded();
    int count = 0;
    for (const CardText* line : {miniTitle_, miniSummary_})
        if (shown(line) && !line->text().isEmpty())
            ++count;
    return count;
}

bool RailViewController::miniLinesFitForTesting() {
    layoutIfNeeded();
    if (!minimized_)
        return false;
    const double W = root_->width();
    const cardlayout::Rect title = cardview::frame(miniTitle_);
    const cardlayout::Rect savings = cardview::frame(miniSavings_);
    const cardlayout::Rect summary = cardview::frame(miniSummary_);
    const cardlayout::Rect close = cardview::frame(closeButton_);
    const cardlayout::Rect expand = cardview::frame(expandButton_);
    const bool savingsShown = shown(miniSavings_);
    if (title.minX() < 0 || title.maxX() > close.minX())
        return false;
    const auto withinCard = [W](const cardlayout::Rect& line) {
        return line.minX() >= 0 && line.maxX() <= W;
    };
    // A hidden savings line keeps the frame of an earlier state: only a shown one is checked.
    if (!withinCard(summary) || (savingsShown && !withinCard(savings)))
        return false;
    // y grows upward: "below" means a smaller top edge.
    const double above = savingsShown ? savings.minY() : title.minY();
    if (summary.maxY() > above)
        return false;
    if (savingsShown && savings.maxY() > title.minY())
        return false;
    return expand.maxY() <= summary.minY();
}

QString RailViewController::providerTextForTesting() {
    return providerLabel_->text();
}

std::optional<QString> RailViewController::providerAccessibilityForTesting() {
    return cardview::accessibilityLabel(providerLabel_);
}

bool RailViewController::headerFitsForTesting() {
    layoutIfNeeded();
    const cardlayout::Rect provider = cardview::frame(providerLabel_);
    if (provider.intersects(cardview::frame(expandButton_)) ||
        provider.intersects(cardview::frame(closeButton_)))
        return false;
    if (shown(askEntryButton_) && provider.intersects(cardview::frame(askEntryButton_)))
        return false;
    if (provider.minX() < 0 || provider.maxX() > root_->width())
        return false;
    return provider.minY() >= cardview::frame(scroll_).maxY();
}

QString RailViewController::conversationLabelForTesting() {
    return conversationLabel_->text();
}

std::optional<QString> RailViewController::conversationTooltipForTesting() {
    return cardview::toolTip(conversationLabel_);
}

QString RailViewController::messageForTesting() {
    QStringList parts;
    for (const CardText* field : {status_, model_, conversationUseHeading_, conversationCategory_,
                                  conversationUse_, contextUsage_, modelFitHeading_, reason_})
        parts << field->text();
    return parts.join(QLatin1Char('|'));
}

QString RailViewController::latestAnalysisNoteForTesting() {
    return feedback_->text();
}

std::vector<QString> RailViewController::visibleRecommendationChipsForTesting() {
    std::vector<QString> texts;
    for (const RecommendationChip* chip : {fitChip_, switchChip_, savingsChip_})
        if (shown(chip))
            texts.push_back(chip->label()->text());
    return texts;
}

bool RailViewController::recommendationChipsFitForTesting() {
    layoutIfNeeded();
    const double width = document_->property("quillmereDocumentWidth").isValid()
                             ? document_->property("quillmereDocumentWidth").toDouble()
                             : document_->width();
    for (const RecommendationChip* chip : {fitChip_, switchChip_, savingsChip_}) {
        if (!shown(chip))
            continue;
        const cardlayout::Rect frame = cardview::frame(chip);
        if (frame.minX() < 0 || frame.maxX() > width)
            return false;
    }
    return true;
}

std::vector<QString> RailViewController::costReferenceAccessibilityForTesting() {
    std::vector<QString> labels;
    for (const QWidget* view : std::initializer_list<const QWidget*>{savingsChip_, miniSavings_})
        if (const std::optional<QString> label = cardview::accessibilityLabel(view))
            labels.push_back(*label);
    return labels;
}

bool RailViewController::detailsScrollableForTesting() {
    layoutIfNeeded();
    if (!shown(detailScroll_))
        return false;
    const double documentHeight = detailDocument_->property("quillmereDocumentHeight").toDouble();
    return documentHeight > cardview::frame(detailScroll_).h;
}

bool RailViewController::keyboardOrderForTesting() {
    layoutIfNeeded();
    const auto chain = [this](size_t steps) {
        std::vector<QWidget*> views{expandButton_};
        for (size_t i = 0; i < steps; ++i)
            views.push_back(nextKeyView(views.back()));
        return views;
    };
    if (minimized_)
        return chain(3) == std::vector<QWidget*>{expandButton_, closeButton_, askEntryButton_, expandButton_};
    if (expanded_)
        return chain(4) ==
               std::vector<QWidget*>{expandButton_, closeButton_, askPreset_, askField_, askButton_};
    const std::vector<QWidget*> walked = chain(3);
    QWidget* afterEntry = shown(detailsButton_) ? detailsButton_ : diagnosticsButton_;
    if (walked != std::vector<QWidget*>{expandButton_, closeButton_, askEntryButton_, afterEntry})
        return false;
    return nextKeyView(diagnosticsButton_) == (shown(useButton_) ? useButton_ : expandButton_);
}

bool RailViewController::requestLogVisibleForTesting() {
    layoutIfNeeded();
    return shown(requestLogScroll_);
}

QString RailViewController::requestLogForTesting() {
    QStringList entries;
    for (const RequestLogStore::Entry& entry : requestLogEntries_)
        entries << RequestLogStore::header(entry) + QLatin1Char('\n') + RequestLogStore::details(entry);
    return entries.join(QLatin1Char('\n'));
}

int RailViewController::requestLogRowCountForTesting() {
    return int(requestLogRows_.size());
}

int RailViewController::expandedRequestLogCountForTesting() {
    return int(expandedRequestLogIDs_.size());
}

int RailViewController::materializedRequestLogDetailCountForTesting() {
    int count = 0;
    for (const std::unique_ptr<RequestLogRow>& row : requestLogRows_)
        if (!row->details->text().isEmpty())
            ++count;
    return count;
}

void RailViewController::toggleRequestLogForTesting(int number) {
    for (const RequestLogStore::Entry& entry : requestLogEntries_) {
        if (entry.number != number)
            continue;
        for (const std::unique_ptr<RequestLogRow>& row : requestLogRows_)
            if (row->id == entry.id) {
                row->header->click();
                return;
            }
        return;
    }
}

bool RailViewController::askEntryVisibleForTesting() {
    layoutIfNeeded();
    return shown(askEntryButton_);
}

std::vector<QString> RailViewController::askPresetTitlesForTesting() {
    std::vector<QString> titles;
    for (int i = 0; i < askPreset_->count(); ++i)
        titles.push_back(askPreset_->itemText(i));
    return titles;
}

void RailViewController::selectAskPresetForTesting(const QString& title) {
    const auto* model = qobject_cast<const QStandardItemModel*>(askPreset_->model());
    for (int i = 0; i < askPreset_->count(); ++i) {
        if (askPreset_->itemText(i) != title)
            continue;
        // A disabled item (a category) cannot be chosen.
        if (model && model->item(i) && !(model->item(i)->flags() & Qt::ItemIsEnabled))
            return;
        askPreset_->setCurrentIndex(i);
        selectAskPreset();
        return;
    }
}

QString RailViewController::askQuestionForTesting() {
    return askField_->text();
}

void RailViewController::submitAskForTesting(const QString& text) {
    askField_->setText(text);
    submitAsk();
}

bool RailViewController::askButtonEnabledForTesting() {
    return askButton_->isEnabled();
}

QString RailViewController::askResultForTesting() {
    return askResult_->text();
}

cardlayout::Rect RailViewController::frameForTesting(const QWidget* view) {
    layoutIfNeeded();
    return cardview::frame(view);
}

bool RailViewController::hiddenForTesting(const QWidget* view) {
    layoutIfNeeded();
    return cardview::isHidden(view);
}

std::vector<CardButton*> RailViewController::requestLogHeadersForTesting() const {
    std::vector<CardButton*> headers;
    for (const std::unique_ptr<RequestLogRow>& row : requestLogRows_)
        headers.push_back(row->header);
    return headers;
}

} // namespace quillmere
