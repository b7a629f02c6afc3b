#pragma once

// One row of the card's request-log section: a header button that opens and closes it and the
// readable details, built only while the row is open. The three measured fields cache the
// details' height so that a layout pass measures only rows whose width or text changed.

#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"

#include <QUuid>

namespace quillmere {

struct RailViewController::RequestLogRow {
    QUuid id;
    FlippedLogRowView* background = nullptr;
    CardButton* header = nullptr;
    CardText* details = nullptr;
    double measuredWidth = 0;
    QString measuredText;
    double measuredHeight = 0;
};

} // namespace quillmere
