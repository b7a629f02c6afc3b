// What the card shows where: the compact lines, the frames of every mode, the scroll document,
// the request-log rows and the keyboard loop. The arithmetic itself is in CardGeometry; this file
// measures texts, feeds them in and applies the frames.

#include "core/Text.h"
#include "desktop/card/CardCopy.h"
#include "desktop/card/CardPalette.h"
#include "desktop/card/CardStrings.h"
#include "desktop/card/RailViewController.h"
#include "desktop/card/RequestLogRow.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <algorithm>

namespace quillmere {

namespace ct = cardtext;
using cardlayout::Placement;
using cardlayout::Rect;

namespace {

cardlayout::Measure measureOf(const CardText* field) {
    return [field](double width) { return field->measuredHeight(width); };
}

void place(QWidget* view, const Placement& placement, bool parentFlipped) {
    cardview::setHidden(view, placement.hidden);
    if (!placement.hidden)
        cardview::setFrame(view, placement.frame, parentFlipped);
}

void placeRoot(QWidget* view, const Rect& frame) {
    cardview::setFrame(view, frame, false);
}

} // namespace

// ---- refresh ------------------------------------------------------------------------------------

void RailViewController::refresh() {
    assertMainThread();
    const QString L = conversationLabel_->text();
    const QString app = appName(platform_);
    if (connectorMode_) {
        QString title = connectorPreview_ ? ct::connectorPreviewPrefix : QString();
        QString summary;
        if (connectorGuidance_) {
            title +=
                ct::connectorRecommendedPrefix +
                cardcopy::joinedNonEmpty(connectorGuidance_->model_family, connectorGuidance_->reasoning);
            summary = ct::compactReasonPrefix + connectorGuidance_->rationale;
        } else {
            title += ct::connectorCompactTitle;
            summary = connectorStatus_;
        }
        miniTitle_->setText(title);
        cardview::setAccessibilityLabel(miniTitle_, title);
        miniSummary_->setText(summary);
        cardview::setAccessibilityLabel(miniSummary_, summary);
        miniSavings_->setText(QString());
        useButton_->setEnabled(false);
    } else if (!recommendation_) {
        const QString title = ct::quillmereDot + (L.isEmpty() ? app : L);
        miniTitle_->setText(title);
        cardview::setAccessibilityLabel(miniTitle_, ct::quillmereComma + app + ct::commaSpace +
                                                        (L.isEmpty() ? ct::noConversationSelected : L));
        miniSummary_->setText(ct::collectingTitle);
        cardview::setAccessibilityLabel(miniSummary_, ct::collectingTitle);
        miniSummary_->setTextColor(CardPalette::secondary);
        miniSavings_->setText(QString());
    } else {
        const Recommendation& r = *recommendation_;
        const QString title = cardcopy::compactTitle(r, recommendationAvailabilityUnverified_);
        miniTitle_->setText(title);
        cardview::setAccessibilityLabel(miniTitle_, title);
        miniSummary_->setText(cardcopy::compactReason(r));
        cardview::setAccessibilityLabel(miniSummary_,
                                        ct::whyThisModelPrefix + r.modelFitReason.value_or(r.reason));
        miniSummary_->setTextColor(CardPalette::secondary);
        const cardcopy::SpokenText savings =
            cardcopy::compactSavings(r, recommendationAvailabilityUnverified_, recommendationStale_);
        miniSavings_->setText(savings.text);
        cardview::setAccessibilityLabel(miniSavings_, savings.accessibility);
        cardview::setToolTip(miniSavings_, savings.accessibility);
    }
    cardview::setToolTip(miniTitle_, miniTitle_->text());
    cardview::setToolTip(miniSummary_, miniSummary_->text());

    const bool hideUse = minimized_ || !recommendation_ || recommendation_->provider == AIProvider::openAI ||
                         recommendation_->alreadyEfficient;
    cardview::setHidden(useButton_, hideUse);

    setNeedsLayout();
    if (onContentChanged)
        onContentChanged();
}

void RailViewController::setNeedsLayout() {
    needsLayout_ = true;
    if (layoutScheduled_)
        return;
    layoutScheduled_ = true;
    std::weak_ptr<bool> alive = alive_;
    QTimer::singleShot(0, this, [this, alive] {
        if (alive.expired())
            return;
        layoutScheduled_ = false;
        layoutIfNeeded();
    });
}

void RailViewController::layoutIfNeeded() {
    assertMainThread();
    // A root resized while not on screen gets no resize event: its size is checked here instead.
    if (root_->size() != laidOutSize_)
        needsLayout_ = true;
    if (!needsLayout_ || layingOut_)
        return;
    layingOut_ = true;
    needsLayout_ = false;
    laidOutSize_ = root_->size();
    viewDidLayout();
    layingOut_ = false;
}

void RailViewController::updateExpandButton() {
    expandButton_->setTitle(minimized_ ? ct::moreInfo : ct::closeInfo);
    expandButton_->setTint(CardPalette::muted);
    expandButton_->setLayerBackground(Qt::transparent);
    const QString spoken = minimized_ ? ct::moreInfo : ct::closeInfoAccessibility;
    cardview::setAccessibilityLabel(expandButton_, spoken);
    cardview::setToolTip(expandButton_, spoken);
}

bool RailViewController::providerWraps(double width) const {
    const QFontMetricsF metrics(cardFont(12));
    const double q = metrics.horizontalAdvance(ct::providerDotPrefix + appName(platform_));
    return cardlayout::providerWraps(width, logo_->textWidth(), q);
}

// ---- sizing ---------------------------------------------------------------------------------------

double RailViewController::preferredHeight(double width) {
    assertMainThread();
    if (minimized_) {
        cardlayout::CompactInput in;
        in.W = width;
        in.hasRecommendation = recommendation_.has_value();
        in.title = measureOf(miniTitle_);
        in.savings = measureOf(miniSavings_);
        in.summary = measureOf(miniSummary_);
        return cardlayout::compactPreferredHeight(in);
    }
    if (expanded_)
        return cardlayout::expandedPreferredHeight;
    const double documentHeight = layoutDocument(width - 32);
    // The measuring pass moved the document's views: a layout pass at the card's own size puts them
    // back now (or, inside a pass, the one it schedules does).
    needsLayout_ = true;
    setNeedsLayout();
    layoutIfNeeded();
    return cardlayout::normalPreferredHeight(documentHeight, providerWraps(width),
                                             !cardview::isHidden(useButton_));
}

// ---- layout pass ----------------------------------------------------------------------------------

void RailViewController::viewDidLayout() {
    const double W = root_->width();
    const double H = root_->height();
    if (minimized_)
        layoutCompact(W, H);
    else
        layoutBody(W, H);
    threadKeyLoop();
}

void RailViewController::layoutCompact(double W, double H) {
    cardlayout::CompactInput in;
    in.W = W;
    in.H = H;
    in.connectorMode = connectorMode_;
    in.hasRecommendation = recommendation_.has_value();
    in.title = measureOf(miniTitle_);
    in.savings = measureOf(miniSavings_);
    in.summary = measureOf(miniSummary_);
    const cardlayout::CompactFrames f = cardlayout::compactLayout(in);

    placeRoot(closeButton_, f.close);
    placeRoot(expandButton_, f.expand);
    cardview::setHidden(askEntryButton_, false);
    placeRoot(askEntryButton_, f.askEntry);
    cardview::setHidden(miniTitle_, false);
    placeRoot(miniTitle_, f.title);
    cardview::setHidden(miniSavings_, !f.savings);
    if (f.savings)
        placeRoot(miniSavings_, *f.savings);
    cardview::setHidden(miniSummary_, false);
    placeRoot(miniSummary_, f.summary);
    for (QWidget* view : std::initializer_list<QWidget*>{logo_, providerLabel_, scroll_, requestLogHeading_,
                                                         requestLogScroll_, askHeading_, askPreset_,
                                                         askField_, askButton_, askResult_})
        cardview::setHidden(view, true);
    for (QWidget* view : std::initializer_list<QWidget*>{closeButton_, expandButton_, askEntryButton_})
        view->raise();
}

void RailViewController::layoutBody(double W, double H) {
    const bool wraps = providerWraps(W);
    const QString providerText = wraps ? appName(platform_) : ct::providerDotPrefix + appName(platform_);
    providerLabel_->setText(providerText);
    // The line is spoken as the application it names, whichever form it takes.
    cardview::setAccessibilityLabel(providerLabel_, ct::applicationPrefix + appName(platform_));

    cardlayout::BodyInput in;
    in.W = W;
    in.H = H;
    in.expanded = expanded_;
    in.providerWraps = wraps;
    in.useButtonVisible = !cardview::isHidden(useButton_);
    in.connectorMode = connectorMode_;
    in.logoTextWidth = logo_->textWidth();
    in.providerTextWidth = providerLabel_->textWidth();
    in.askResultHasText = !askResult_->text().isEmpty();
    const cardlayout::BodyFrames f = cardlayout::bodyLayout(in);

    placeRoot(closeButton_, f.close);
    placeRoot(expandButton_, f.expand);
    place(askEntryButton_, f.askEntry, false);
    for (QWidget* view : std::initializer_list<QWidget*>{miniTitle_, miniSavings_, miniSummary_})
        cardview::setHidden(view, true);
    cardview::setHidden(logo_, false);
    placeRoot(logo_, f.logo);
    cardview::setHidden(providerLabel_, false);
    placeRoot(providerLabel_, f.provider);
    placeRoot(useButton_, f.useButton);
    place(requestLogScroll_, f.requestLogScroll, false);
    place(requestLogHeading_, f.requestLogHeading, false);
    place(askResult_, f.askResult, false);
    place(askField_, f.askField, false);
    place(askButton_, f.askButton, false);
    place(askPreset_, f.askPreset, false);
    place(askHeading_, f.askHeading, false);
    place(scroll_, f.scroll, false);
    if (expanded_)
        layoutRequestLogs(requestLogContentWidth(f.requestLogScroll.frame.w));
    layoutDocument(f.scroll.frame.w);
    for (QWidget* view : std::initializer_list<QWidget*>{closeButton_, expandButton_, askEntryButton_})
        view->raise();
}

double RailViewController::layoutDocument(double width) {
    cardlayout::DocumentInput in;
    in.width = width;
    in.conversationLabelHasText = !conversationLabel_->text().isEmpty();
    for (RecommendationChip* chip : {fitChip_, switchChip_, savingsChip_}) {
        const CardText* label = chip->label();
        in.chips.push_back({!cardview::isHidden(chip), chip->chipWidth(),
                            [label](double m) { return label->boundingHeight(m); }});
    }
    in.statusHasText = !status_->text().isEmpty();
    in.statusHeight = measureOf(status_);
    const double reasonGap = conversationUseHeading_->text().isEmpty() ? 9 : 4;
    const std::pair<CardText*, double> fields[] = {
        {model_, 13},       {conversationUseHeading_, 12}, {conversationCategory_, 4}, {conversationUse_, 4},
        {contextUsage_, 5}, {modelFitHeading_, 10},        {reason_, reasonGap}};
    for (const auto& [field, gap] : fields)
        in.fields.push_back({!field->text().isEmpty(), gap, measureOf(field)});
    in.detailsButtonVisible = !detailText_.isEmpty();
    in.detailsExpanded = detailsExpanded_;
    in.diagnosticsVisible = !expanded_ && !connectorMode_;
    detail_->setText(detailText_);
    in.detailHeight = measureOf(detail_);
    in.feedback = {!feedback_->text().isEmpty(), 10, measureOf(feedback_)};
    in.connectorSetupShown = connectorMode_ && connectorSetupView_;
    in.connectionEntryVisible = static_cast<bool>(onConnect);
    const cardlayout::DocumentFrames f = cardlayout::documentLayout(in);

    place(conversationLabel_, f.conversationLabel, true);
    RecommendationChip* chips[] = {fitChip_, switchChip_, savingsChip_};
    for (size_t i = 0; i < 3; ++i) {
        if (!f.chips[i].hidden) {
            cardview::setFrame(chips[i], f.chips[i].frame, true);
            chips[i]->layoutLabel();
        }
    }
    // The status line keeps its 12-point semibold face from construction: its text is always plain.
    place(status_, f.status, true);
    for (size_t i = 0; i < std::size(fields); ++i)
        place(fields[i].first, f.fields[i], true);
    place(detailsButton_, f.detailsButton, true);
    place(diagnosticsButton_, f.diagnosticsButton, true);
    place(detailScroll_, f.detailScroll, true);
    if (!f.detailScroll.hidden) {
        cardview::setFrame(detail_, f.detail, true);
        detailDocument_->resize(int(std::lround(f.detailScroll.frame.w)),
                                int(std::lround(f.detailDocumentHeight)));
        detailDocument_->setProperty("quillmereDocumentHeight", f.detailDocumentHeight);
    }
    place(feedback_, f.feedback, true);
    place(connectionEntry_, f.connectionEntry, true);
    if (connectorSetupView_)
        place(connectorSetupView_, f.connectorSetup, true);
    document_->resize(int(std::lround(std::max(1.0, width))), int(std::lround(f.height)));
    document_->setProperty("quillmereDocumentHeight", f.height);
    document_->setProperty("quillmereDocumentWidth", std::max(1.0, width));
    return f.height;
}

void RailViewController::layoutRequestLogs(double width) {
    const double w = std::max(1.0, width);
    std::vector<cardlayout::LogRowInput> rows;
    rows.reserve(requestLogRows_.size());
    for (const std::unique_ptr<RequestLogRow>& row : requestLogRows_) {
        RequestLogRow* r = row.get();
        rows.push_back({!cardview::isHidden(r->details), [r](double key) {
                            const QString text = r->details->text();
                            if (r->measuredWidth == key && r->measuredText == text)
                                return r->measuredHeight;
                            r->measuredWidth = key;
                            r->measuredText = text;
                            r->measuredHeight = r->details->measuredHeight(std::max(1.0, key - 4));
                            return r->measuredHeight;
                        }});
    }
    const double visible = std::max(0.0, cardview::frame(requestLogScroll_).h - 2);
    const cardlayout::LogFrames f =
        cardlayout::requestLogLayout(w, visible, measureOf(requestLogEmpty_), rows);
    place(requestLogEmpty_, f.empty, true);
    for (size_t i = 0; i < requestLogRows_.size(); ++i) {
        RequestLogRow& row = *requestLogRows_[i];
        cardview::setFrame(row.background, f.rows[i].background, true);
        cardview::setFrame(row.header, f.rows[i].header, true);
        if (!f.rows[i].details.hidden)
            cardview::setFrame(row.details, f.rows[i].details.frame, true);
    }
    requestLogDocument_->resize(int(std::lround(w)), int(std::lround(f.documentHeight)));
}

// ---- keyboard loop -----------------------------------------------------------------------------------

void RailViewController::threadKeyLoop() {
    const auto visible = [](QWidget* view) { return !cardview::isHidden(view); };
    nextKeyViews_.erase(root_);
    setNextKeyView(root_, expandButton_);
    if (minimized_) {
        setNextKeyView(expandButton_, closeButton_);
        setNextKeyView(closeButton_, askEntryButton_);
        setNextKeyView(askEntryButton_, expandButton_);
    } else {
        setNextKeyView(expandButton_, closeButton_);
        if (connectorMode_) {
            QWidget* next = connectorSetupView_ ? nextKeyView(connectorSetupView_) : nullptr;
            setNextKeyView(closeButton_, next ? next : expandButton_);
        } else {
            setNextKeyView(closeButton_, expanded_ ? static_cast<QWidget*>(askPreset_) : askEntryButton_);
        }
        setNextKeyView(askEntryButton_, visible(detailsButton_) ? detailsButton_ : diagnosticsButton_);
        setNextKeyView(askPreset_, askField_);
        setNextKeyView(askField_, askButton_);
        const auto firstVisible = [&](std::initializer_list<QWidget*> views) -> QWidget* {
            for (QWidget* view : views)
                if (visible(view))
                    return view;
            return expandButton_;
        };
        setNextKeyView(askButton_, firstVisible({detailsButton_, useButton_}));
        setNextKeyView(detailsButton_, firstVisible({diagnosticsButton_, useButton_}));
        setNextKeyView(diagnosticsButton_, firstVisible({useButton_}));
        setNextKeyView(useButton_, expandButton_);
    }
    // The window's own focus chain agrees, so a window made key starts on a stop of the loop.
    const std::vector<QWidget*> stops = keyStops();
    for (size_t i = 1; i < stops.size(); ++i)
        QWidget::setTabOrder(stops[i - 1], stops[i]);
}

std::vector<QWidget*> RailViewController::keyLoop() const {
    std::vector<QWidget*> loop;
    for (QWidget* view = expandButton_; view && std::find(loop.begin(), loop.end(), view) == loop.end();
         view = nextKeyView(view))
        loop.push_back(view);
    return loop;
}

std::vector<QWidget*> RailViewController::keyStops() {
    layoutIfNeeded();
    std::vector<QWidget*> stops;
    for (QWidget* view : keyLoop())
        if (root_->isAncestorOf(view) && view->isVisibleTo(root_) && view->isEnabled())
            stops.push_back(view);
    return stops;
}

bool RailViewController::moveKeyFocus(bool forward) {
    const std::vector<QWidget*> stops = keyStops();
    if (stops.empty())
        return false;
    const auto isStop = [&stops](QWidget* view) {
        return std::find(stops.begin(), stops.end(), view) != stops.end();
    };
    QWidget* focused = QApplication::focusWidget();
    QWidget* target = nullptr;
    // A progress line holding the keyboard for a greyed control sits where that control sits in the
    // loop: Tab and Shift+Tab reach that control's neighbours, not the loop's ends.
    const std::vector<QWidget*> loop = keyLoop();
    if (const auto at = std::find(loop.begin(), loop.end(), KeyboardHold::standingFor(focused));
        at != loop.end()) {
        const long n = long(loop.size());
        const long from = long(at - loop.begin());
        for (long step = 1; step < n && !target; ++step) {
            QWidget* view = loop[size_t(((forward ? from + step : from - step) % n + n) % n)];
            if (isStop(view))
                target = view;
        }
    }
    if (!target) {
        const auto at = std::find(stops.begin(), stops.end(), focused);
        if (at == stops.end())
            target = forward ? stops.front() : stops.back(); // entering the loop
        else if (forward)
            target = std::next(at) == stops.end() ? stops.front() : *std::next(at);
        else
            target = at == stops.begin() ? stops.back() : *std::prev(at);
    }
    target->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    // A stop inside the body (the details link, the connector's controls) scrolls into sight.
    for (QWidget* parent = target->parentWidget(); parent && parent != root_; parent = parent->parentWidget())
        if (auto* area = qobject_cast<QScrollArea*>(parent))
            area->ensureWidgetVisible(target, 0, 0);
    return true;
}

} // namespace quillmere
