#include "desktop/card/CardGeometry.h"

#include <algorithm>
#include <cmath>

namespace quillmere::cardlayout {

double sideInset(double width) {
    return width < 280 ? 12 : 16;
}

double innerWidth(double width) {
    return std::max(1.0, width - 2 * sideInset(width));
}

QRect toWidgetRect(const Rect& frame, double parentHeight) {
    const double top = parentHeight - frame.maxY();
    const int left = int(std::lround(frame.x));
    const int right = int(std::lround(frame.maxX()));
    const int t = int(std::lround(top));
    const int b = int(std::lround(top + frame.h));
    return QRect(left, t, std::max(0, right - left), std::max(0, b - t));
}

QRect toFlippedWidgetRect(const Rect& frame) {
    const int left = int(std::lround(frame.x));
    const int right = int(std::lround(frame.maxX()));
    const int t = int(std::lround(frame.y));
    const int b = int(std::lround(frame.maxY()));
    return QRect(left, t, std::max(0, right - left), std::max(0, b - t));
}

Chrome chrome(double W, double H) {
    Chrome c;
    c.close = {W - 44, H - 44, 44, 44};
    c.expand = {c.close.minX() - 84, H - 36, 80, 32};
    return c;
}

CompactFrames compactLayout(const CompactInput& in) {
    const double p = sideInset(in.W);
    const double inner = innerWidth(in.W);
    CompactFrames f;
    const Chrome c = chrome(in.W, in.H);
    f.close = c.close;
    const double e = in.connectorMode ? 84 : 54;
    f.askEntry = {in.W - p - e, 10, e, 32};
    f.expand = {p, 10, 96, 32};
    const double t = std::max(22.0, in.title(std::max(1.0, inner - 36 - 4)));
    f.title = {p, in.H - 12 - t, std::max(1.0, inner - 36), t};
    double y = f.title.y;
    if (in.hasRecommendation) {
        const double s = std::max(22.0, in.savings(std::max(1.0, inner - 4)));
        f.savings = Rect{p, y - 6 - s, inner, s};
        y = f.savings->y;
    }
    const double m = std::max(22.0, in.summary(std::max(1.0, inner - 4)));
    f.summary = {p, y - 8 - m, inner, m};
    return f;
}

double compactPreferredHeight(const CompactInput& in) {
    const double inner = innerWidth(in.W);
    const double title = std::max(22.0, in.title(std::max(1.0, inner - 40)));
    const double savings =
        in.hasRecommendation ? std::max(22.0, in.savings(std::max(1.0, inner - 4))) + 6 : 0;
    const double summary = std::max(22.0, in.summary(std::max(1.0, inner - 4)));
    return std::max(124.0, title + 12 + savings + 8 + summary + 10 + 42);
}

bool providerWraps(double W, double logoTextWidth, double providerDotNameWidth) {
    return (W - 2 * sideInset(W)) - 190 < (logoTextWidth + 4) + 6 + (providerDotNameWidth + 4);
}

namespace {

// A frame whose computed height may be negative: such a view takes no room and is hidden.
Placement clamped(Rect r) {
    if (r.h <= 0) {
        r.h = 0;
        return {r, true};
    }
    return {r, false};
}

} // namespace

// What the expanded mode stacks above the request log: heading, answer, field, pop-up, ask
// heading and the gaps between them and the body.
constexpr double askPanelHeight = 6 + 18 + 10 + 38 + 5 + 34 + 6 + 30 + 6 + 18 + 8;

BodyFrames bodyLayout(const BodyInput& in) {
    const double W = in.W;
    const double H = in.H;
    const double p = sideInset(W);
    const double inner = innerWidth(W);
    BodyFrames f;
    const Chrome c = chrome(W, H);
    f.close = c.close;
    f.expand = c.expand;
    const bool entryHidden = in.expanded || in.connectorMode;
    if (W >= 280)
        f.askEntry = {{f.expand.minX() - 58, f.expand.y, 54, 32}, entryHidden};
    else
        f.askEntry = {{W - p - 54, H - 70, 54, 32}, entryHidden};

    f.logo = {p, H - 39, std::ceil(in.logoTextWidth) + 4, 22};
    if (!in.providerWraps)
        f.provider = {f.logo.maxX() + 6, f.logo.y + 1, std::ceil(in.providerTextWidth) + 4, 19};
    else
        f.provider = {p, f.logo.y - 22, std::ceil(in.providerTextWidth) + 4, 19};

    const double u = in.useButtonVisible ? 60 : 0;
    f.useButton = {p, 12, inner, 44};
    const double free = std::max(1.0, H - (in.providerWraps ? 74 : 52) - u - 12);
    const double b = u + 12;

    if (in.expanded) {
        // The log takes 46% of the free height and at least 180 points, where that leaves room for
        // the ask panel stacked above it. On a short panel the log, which scrolls, gives up the
        // shortfall instead: a fixed 180 would push the ask panel over the card's own header.
        const double wanted = std::max(free * 0.46, 180.0);
        const Placement logPlacement = clamped({p, b, inner, std::min(wanted, free - askPanelHeight)});
        const Rect log = logPlacement.frame;
        f.requestLogScroll = logPlacement;
        const Rect heading{p, log.maxY() + 6, inner, 18};
        f.requestLogHeading = {heading, false};
        const Rect result{p, heading.maxY() + 10, inner, 38};
        f.askResult = {result, !in.askResultHasText};
        const Rect field{p, result.maxY() + 5, std::max(1.0, W - 2 * p - 104 - 8), 34};
        f.askField = {field, false};
        f.askButton = {{field.maxX() + 8, field.y, 104, 34}, false};
        const Rect preset{p, field.maxY() + 6, inner, 30};
        f.askPreset = {preset, false};
        const Rect askHead{p, preset.maxY() + 6, inner, 18};
        f.askHeading = {askHead, false};
        const double bottom = askHead.maxY() + 8;
        f.scroll = clamped({p, bottom, inner, b + free - bottom});
    } else {
        f.scroll = {{p, b, inner, free}, false};
        f.requestLogScroll.hidden = true;
        f.requestLogHeading.hidden = true;
        f.askResult.hidden = true;
        f.askField.hidden = true;
        f.askButton.hidden = true;
        f.askPreset.hidden = true;
        f.askHeading.hidden = true;
    }
    return f;
}

DocumentFrames documentLayout(const DocumentInput& in) {
    const double w = std::max(1.0, in.width);
    double y = 0;
    DocumentFrames f;

    if (in.conversationLabelHasText) {
        f.conversationLabel = {{0, 0, w, 19}, false};
        y = 27;
    } else {
        f.conversationLabel.hidden = true;
    }

    bool anyChip = false;
    double x = 0;
    double rowTop = y;
    double rowHeight = 26;
    for (const ChipInput& chip : in.chips) {
        if (!chip.visible) {
            f.chips.push_back({{}, true});
            continue;
        }
        anyChip = true;
        const double cw = std::min(chip.width, w);
        if (x > 0 && x + cw > w) {
            rowTop = rowTop + rowHeight + 6;
            x = 0;
            rowHeight = 26;
        }
        const double label = chip.labelHeight ? chip.labelHeight(std::max(1.0, cw - 20)) : 0;
        const double ch = std::max(26.0, std::ceil(label) + 2 + 10);
        f.chips.push_back({{x, rowTop, cw, ch}, false});
        rowHeight = std::max(rowHeight, ch);
        x += cw + 6;
    }
    if (anyChip)
        y = rowTop + rowHeight;

    if (anyChip || !in.statusHasText) {
        f.status.hidden = true;
    } else {
        const double h = std::max(18.0, in.statusHeight(std::max(1.0, w - 4)));
        f.status = {{0, y, w, h}, false};
        y += h;
    }

    auto place = [&](const PlacedField& field) -> Placement {
        if (!field.hasText)
            return {{}, true};
        if (y > 0)
            y += field.gap;
        const double h = field.height(std::max(1.0, w - 4));
        const Placement placed{{0, y, w, h}, false};
        y += h;
        return placed;
    };
    for (const PlacedField& field : in.fields)
        f.fields.push_back(place(field));

    const bool detailsVisible = in.detailsButtonVisible;
    const bool boxVisible = detailsVisible && in.detailsExpanded;
    const bool sideBySide = in.diagnosticsVisible && detailsVisible && w >= 240;
    f.detailsButton.hidden = !detailsVisible;
    f.diagnosticsButton.hidden = !in.diagnosticsVisible;
    f.detailScroll.hidden = !boxVisible;
    if (detailsVisible) {
        const double top = y + 4;
        f.detailsButton.frame = {0, top, std::max(1.0, std::min(180.0, sideBySide ? w - 108 : w)), 28};
        if (sideBySide)
            f.diagnosticsButton.frame = {std::max(0.0, w - 100), top, std::min(100.0, w), 28};
        y = top + 28;
    }
    if (boxVisible) {
        const double top = y + 5;
        const double i = std::max(1.0, w - 24);
        const double d = in.detailHeight(std::max(1.0, i - 4));
        const double box = std::min(d + 20, 132.0);
        f.detailScroll.frame = {0, top, w, box};
        f.detail = {12, 10, i, d};
        f.detailDocumentHeight = d + 20;
        y = top + box;
    }

    f.feedback = place(in.feedback);

    if (in.connectorSetupShown) {
        f.connectorSetup = {{0, y + 14, w, 190}, false};
        y += 204;
        f.connectionEntry.hidden = true;
    } else {
        f.connectorSetup.hidden = true;
        if (in.connectionEntryVisible) {
            f.connectionEntry = {{0, y + 6, std::min(160.0, w), 28}, false};
            y += 34;
        } else {
            f.connectionEntry.hidden = true;
        }
    }

    if (in.diagnosticsVisible && !sideBySide) {
        f.diagnosticsButton.frame = {0, y + 6, std::min(120.0, w), 28};
        y += 34;
    }
    f.height = y;
    return f;
}

LogFrames requestLogLayout(double width, double visibleHeight, Measure emptyHeight,
                           const std::vector<LogRowInput>& rows) {
    const double w = std::max(1.0, width);
    LogFrames f;
    double y = 10;
    if (rows.empty()) {
        const double h = emptyHeight(std::max(1.0, w - 28));
        f.empty = {{12, 10, std::max(1.0, w - 24), h}, false};
        y = h + 20;
    } else {
        f.empty.hidden = true;
    }
    for (const LogRowInput& row : rows) {
        LogRowFrames r;
        double rowHeight = 44;
        if (row.open) {
            const double d = row.detailsHeight(std::max(1.0, w - 44));
            rowHeight = d + 18 + 44;
            r.details = {{20, 42, std::max(1.0, w - 60), d}, false};
        } else {
            r.details.hidden = true;
        }
        r.background = {10, y, std::max(1.0, w - 20), rowHeight};
        r.header = {10, 6, std::max(1.0, w - 40), 32};
        f.rows.push_back(r);
        y += rowHeight + 10;
    }
    f.documentHeight = std::max(y, visibleHeight);
    return f;
}

double normalPreferredHeight(double documentHeight, bool wraps, bool useButtonVisible) {
    return documentHeight + (wraps ? 74 : 52) + (useButtonVisible ? 60 : 0) + 12;
}

} // namespace quillmere::cardlayout
