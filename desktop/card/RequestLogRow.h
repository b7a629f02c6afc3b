#pragma once

// One row of the card's request-log section: a header button that opens and closes it and the
// readable details, built only while the row is open. The three measured fields cache the
// details' height so that a layout pass measures only rows whose width or text changed.

#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"

#include <QUuid>
#include <optional>

namespace quillmere {

struct RailViewController::RequestLogRow {
    QUuid id;
    FlippedLogRowView* background = nullptr;
    CardButton* header = nullptr;
    CardText* details = nullptr;
    double measuredWidth = 0;
    QString measuredText;
    double measuredHeight = 0;
    // What the header and details were last built from: a row whose entry and open state are
    // unchanged is left as it is (building a header formats times and is not free).
    std::optional<RequestLogStore::Entry> shownEntry;
    bool shownOpen = false;
};

} // namespace quillmere
