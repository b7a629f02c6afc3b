// The request-log section: one row per classification request of this run, newest first. Rows are
// rebuilt only when the list of requests changes; a status change updates headers and open
// details. A closed row holds no details text, so a long run costs one header line per request.

#include "desktop/card/CardCopy.h"
#include "desktop/card/CardPalette.h"
#include "desktop/card/CardStrings.h"
#include "desktop/card/RailViewController.h"
#include "desktop/card/RequestLogRow.h"

#include <QHash>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QStyle>
#include <unordered_map>

namespace quillmere {

namespace ct = cardtext;

namespace {

// The readable report of a request with each of its parts bounded on its own: a long request never
// takes the room of the server's answer, and a hostile answer is cut only where no valid one
// reaches. The lines about the call are single lines of the card's width or so.
QString boundedDetails(const RequestLogStore::Entry& entry) {
    RequestLogStore::Entry bounded = entry;
    for (QString* line : {&bounded.conversation, &bounded.provider, &bounded.endpoint, &bounded.status})
        *line = cardBoundedText(*line, false, cardTextDefaultLimit);
    bounded.requestBody = cardBoundedText(entry.requestBody, true, requestLogSectionLimit);
    if (entry.responseBody)
        bounded.responseBody = cardBoundedText(*entry.responseBody, true, requestLogSectionLimit);
    if (entry.error)
        bounded.error = cardBoundedText(*entry.error, true, requestLogSectionLimit);
    return RequestLogStore::details(bounded);
}

} // namespace

void RailViewController::setRequestLogs(const std::vector<RequestLogStore::Entry>& entries) {
    assertMainThread();
    QSet<QUuid> oldIDs;
    oldIDs.reserve(qsizetype(requestLogEntries_.size()));
    for (const RequestLogStore::Entry& entry : requestLogEntries_)
        oldIDs.insert(entry.id);
    bool sameOrder = entries.size() == requestLogEntries_.size();
    bool newEntry = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (sameOrder && entries[i].id != requestLogEntries_[i].id)
            sameOrder = false;
        if (!oldIDs.contains(entries[i].id))
            newEntry = true;
    }
    if (!entries.empty() && !oldIDs.contains(entries.back().id))
        expandedRequestLogIDs_ = {entries.back().id};
    requestLogEntries_ = entries;
    if (sameOrder)
        updateRequestLogHeaders();
    else
        rebuildRequestLogRows();
    if (newEntry)
        requestLogScroll_->verticalScrollBar()->setValue(0);
    refresh();
}

void RailViewController::rebuildRequestLogRows() {
    // A row whose request is still listed keeps its views; only new requests get new ones, so a
    // new request costs one row's views plus a pass over the list rather than a view per request.
    struct IdHash {
        size_t operator()(const QUuid& id) const { return qHash(id); }
    };
    std::unordered_map<QUuid, std::unique_ptr<RequestLogRow>, IdHash> previous;
    previous.reserve(requestLogRows_.size());
    for (std::unique_ptr<RequestLogRow>& row : requestLogRows_)
        previous.emplace(row->id, std::move(row));
    requestLogRows_.clear();
    cardview::setHidden(requestLogEmpty_, !requestLogEntries_.empty());
    requestLogRows_.reserve(requestLogEntries_.size());
    for (auto entry = requestLogEntries_.rbegin(); entry != requestLogEntries_.rend(); ++entry) {
        const auto kept = previous.find(entry->id);
        if (kept != previous.end() && kept->second) {
            requestLogRows_.push_back(std::move(kept->second));
            previous.erase(kept);
            continue;
        }
        auto row = std::make_unique<RequestLogRow>();
        row->id = entry->id;
        row->background = new FlippedLogRowView(requestLogDocument_);
        row->header = new CardButton(QString(), row->background);
        row->header->identifier = entry->id.toString(QUuid::WithoutBraces);
        row->header->setLeftAligned(true);
        // Opened with a click; the keyboard loop does not pass through the log's rows.
        row->header->setFocusPolicy(Qt::ClickFocus);
        CardButton* header = row->header;
        connect(header, &QAbstractButton::clicked, this, [this, header] { toggleRequestLogEntry(header); });
        row->details = new CardText(QString(), row->background);
        row->details->setTextFont(cardMonospacedFont(11));
        row->details->setTextColor(CardPalette::secondary);
        // A report scrolls, so it shows far more than a label: its parts are bounded each on its
        // own (see `boundedDetails`), and the row shows them all.
        row->details->setDisplayLimit(requestLogDetailsLimit);
        // A person copies a request or an answer out of the log.
        row->details->setSelectable(true);
        row->background->show();
        requestLogRows_.push_back(std::move(row));
    }
    for (const auto& [id, row] : previous)
        if (row)
            delete row->background;
    updateRequestLogHeaders();
}

void RailViewController::updateRequestLogHeaders() {
    // Rows are newest first; entries oldest first.
    const size_t count = requestLogEntries_.size();
    for (size_t i = 0; i < requestLogRows_.size(); ++i) {
        RequestLogRow& row = *requestLogRows_[i];
        const RequestLogStore::Entry* entry = nullptr;
        if (i < count && requestLogEntries_[count - 1 - i].id == row.id) {
            entry = &requestLogEntries_[count - 1 - i];
        } else {
            for (const RequestLogStore::Entry& candidate : requestLogEntries_)
                if (candidate.id == row.id)
                    entry = &candidate;
        }
        if (!entry)
            continue;
        const bool open = expandedRequestLogIDs_.contains(row.id);
        if (row.shownEntry && row.shownOpen == open && *row.shownEntry == *entry)
            continue;
        row.shownEntry = *entry;
        row.shownOpen = open;
        const QString header = RequestLogStore::header(*entry);
        const QFont font = cardFont(12, CardFontWeight::semibold);
        row.header->setTitleRuns({{open ? ct::rowOpen : ct::rowClosed, font, CardPalette::primary},
                                  {ct::rowDot, font, cardcopy::requestLogDotColor(entry->status)},
                                  {header, font, CardPalette::primary}});
        cardview::setAccessibilityLabel(row.header, header);
        cardview::setAccessibilityValue(row.header, open ? ct::expandedValue : ct::collapsedValue);
        const QString details = open ? boundedDetails(*entry) : QString();
        if (details != row.details->sourceText()) {
            row.details->setText(details);
            row.measuredWidth = 0;
            row.measuredText.clear();
            row.measuredHeight = 0;
        }
        cardview::setHidden(row.details, !open);
    }
}

void RailViewController::toggleRequestLogEntry(CardButton* header) {
    assertMainThread();
    const QUuid id = QUuid::fromString(header->identifier);
    if (header->identifier.isEmpty() || id.isNull())
        return;
    if (expandedRequestLogIDs_.contains(id))
        expandedRequestLogIDs_.erase(id);
    else
        expandedRequestLogIDs_.insert(id);
    updateRequestLogHeaders();
    layoutRequestLogs(requestLogContentWidth(cardview::frame(requestLogScroll_).w));
}

} // namespace quillmere

namespace quillmere {

double RailViewController::requestLogContentWidth(double frameWidth) const {
    // Inside the box's 1-point border, less the scroller the log always shows.
    const double scroller = requestLogScroll_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr,
                                                                    requestLogScroll_->verticalScrollBar());
    return std::max(1.0, frameWidth - 2 - scroller);
}

} // namespace quillmere
