#pragma once

// The card's geometry as its layout rules state it: frames in points (doubles) in the parent's
// coordinate space, where the card's root view grows upward from its bottom-left corner and the
// scroll documents and request-log rows grow downward from their top-left corner. Everything here
// is pure arithmetic over measured text heights, so it can be checked against frames worked out
// by hand. Qt's top-left space is reached in exactly one place, `toWidgetRect`.

#include <QRect>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere::cardlayout {

struct Rect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    double minX() const { return x; }
    double maxX() const { return x + w; }
    double minY() const { return y; }
    double maxY() const { return y + h; }
    bool intersects(const Rect& other) const {
        return w > 0 && h > 0 && other.w > 0 && other.h > 0 && x < other.maxX() && other.x < maxX() &&
               y < other.maxY() && other.y < maxY();
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// A frame placed by the layout, or hidden. A height that comes out negative (the expanded body on a
// short panel) is 0 and the view is hidden.
struct Placement {
    Rect frame;
    bool hidden = false;
    friend bool operator==(const Placement&, const Placement&) = default;
};

// Height of a text at a width (the card's one measuring rule, supplied by the text engine).
using Measure = std::function<double(double width)>;

// Side inset: 12 below a width of 280, else 16.
double sideInset(double width);
// max(1, width − 2p).
double innerWidth(double width);

// A frame of a bottom-up parent converted to Qt's top-down space inside a parent `parentHeight`
// tall. Edges are rounded, not sizes, so neighbouring frames stay flush.
QRect toWidgetRect(const Rect& frame, double parentHeight);
// A frame of a top-down (flipped) parent: the same numbers, rounded by edges.
QRect toFlippedWidgetRect(const Rect& frame);

// The buttons every mode places first. The close button is a 44-point square hit target flush
// with the card's top-right corner (its glyph stays 32 points, centred); the expand button keeps
// its place 84 points left of the close button's left edge.
struct Chrome {
    Rect close;
    Rect expand;
};
Chrome chrome(double W, double H);

// ---- compact mode -------------------------------------------------------------------------
struct CompactInput {
    double W = 0;
    double H = 0;
    bool connectorMode = false;
    bool hasRecommendation = false;
    Measure title;   // miniTitle
    Measure savings; // miniSavings
    Measure summary; // miniSummary
};
struct CompactFrames {
    Rect close;
    Rect expand;
    Rect askEntry;
    Rect title;
    std::optional<Rect> savings; // present only with a recommendation
    Rect summary;
};
CompactFrames compactLayout(const CompactInput& in);
double compactPreferredHeight(const CompactInput& in); // W is the width; H is ignored

// ---- normal and expanded modes -------------------------------------------------------------
struct BodyInput {
    double W = 0;
    double H = 0;
    bool expanded = false;
    bool providerWraps = false;
    bool useButtonVisible = false;
    bool connectorMode = false;
    double logoTextWidth = 0;
    double providerTextWidth = 0; // of the text the provider label will show
    bool askResultHasText = false;
};
struct BodyFrames {
    Rect close;
    Rect expand;
    Placement askEntry;
    Rect logo;
    Rect provider;
    Rect useButton;
    Placement scroll;
    // Expanded mode only.
    Placement requestLogScroll;
    Placement requestLogHeading;
    Placement askResult;
    Placement askField;
    Placement askButton;
    Placement askPreset;
    Placement askHeading;
};
BodyFrames bodyLayout(const BodyInput& in);

// providerWraps(width:): the provider name goes on its own line below the logo.
bool providerWraps(double W, double logoTextWidth, double providerDotNameWidth);

// ---- the scroll document (top-down) ----------------------------------------------------------
struct ChipInput {
    bool visible = false;
    double width = 0; // chipWidth(_:), before the cut to the document's width
    Measure labelHeight;
};
struct PlacedField {
    bool hasText = false;
    double gap = 0;
    Measure height;
};
struct DocumentInput {
    double width = 0;
    bool conversationLabelHasText = false;
    std::vector<ChipInput> chips; // fit, switch, savings
    bool statusHasText = false;
    Measure statusHeight;
    // model, conversationUseHeading, conversationCategory, conversationUse, contextUsage,
    // modelFitHeading, reason (gaps already chosen by the caller).
    std::vector<PlacedField> fields;
    bool detailsButtonVisible = false;
    bool detailsExpanded = false;
    bool diagnosticsVisible = false;
    Measure detailHeight; // of `detail` at a width
    PlacedField feedback;
    bool connectorSetupShown = false; // connector mode with a setup view
    bool connectionEntryVisible = false;
};
struct DocumentFrames {
    Placement conversationLabel;
    std::vector<Placement> chips;
    Placement status;
    std::vector<Placement> fields;
    Placement detailsButton;
    Placement diagnosticsButton;
    Placement detailScroll;
    Rect detail; // inside the detail box's document
    double detailDocumentHeight = 0;
    Placement feedback;
    Placement connectorSetup;
    Placement connectionEntry;
    double height = 0;
};
DocumentFrames documentLayout(const DocumentInput& in);

// ---- request-log rows (top-down) ---------------------------------------------------------------
struct LogRowInput {
    bool open = false;
    Measure detailsHeight; // called with max(1, w − 44) as the cache key width; measures at key − 4
};
struct LogRowFrames {
    Rect background;
    Rect header;
    Placement details;
};
struct LogFrames {
    Placement empty;
    std::vector<LogRowFrames> rows;
    double documentHeight = 0;
};
LogFrames requestLogLayout(double width, double visibleHeight, Measure emptyHeight,
                           const std::vector<LogRowInput>& rows);

// Normal mode's wanted height from the document height at w − 32.
double normalPreferredHeight(double documentHeight, bool providerWraps, bool useButtonVisible);
inline constexpr double expandedPreferredHeight = 720;

} // namespace quillmere::cardlayout
