// The card's layout arithmetic against frames worked out by hand. Text heights are stand-ins with
// known values, so every number below can be followed on paper.

#include "desktop/card/CardGeometry.h"

#include <gtest/gtest.h>

namespace quillmere::cardlayout {
namespace {

Measure fixed(double h) {
    return [h](double) { return h; };
}

// One line of 18 points at 200 points or more, two lines (36) below.
Measure wrapsBelow200() {
    return [](double width) { return width >= 200 ? 18.0 : 36.0; };
}

void expectNear(const Rect& actual, const Rect& expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-9);
    EXPECT_NEAR(actual.y, expected.y, 1e-9);
    EXPECT_NEAR(actual.w, expected.w, 1e-9);
    EXPECT_NEAR(actual.h, expected.h, 1e-9);
}

TEST(CardGeometry, SideInsetSwitchesAt280) {
    EXPECT_EQ(sideInset(279), 12);
    EXPECT_EQ(sideInset(280), 16);
    EXPECT_EQ(innerWidth(279), 255);
    EXPECT_EQ(innerWidth(280), 248);
    EXPECT_EQ(innerWidth(10), 1);
}

TEST(CardGeometry, ConvertsBottomUpFramesToQtOnceRoundingEdges) {
    EXPECT_EQ(toWidgetRect({16, 90, 242, 22}, 124), QRect(16, 12, 242, 22));
    // 313.76 up from the bottom of 720 with height 18: top edge 388.24, bottom edge 406.24.
    EXPECT_EQ(toWidgetRect({16, 313.76, 528, 18}, 720), QRect(16, 388, 528, 18));
    EXPECT_EQ(toFlippedWidgetRect({0.4, 10.6, 100.2, 20}), QRect(0, 11, 101, 20)); // edges 0 and 101
}

TEST(CardGeometry, CloseButtonIsA44PointTargetInTheTopRightCorner) {
    const Chrome c = chrome(310, 260);
    EXPECT_EQ(c.close, (Rect{266, 216, 44, 44}));
    EXPECT_EQ(c.close.maxY(), 260);
    EXPECT_EQ(c.close.maxX(), 310);
    EXPECT_EQ(c.expand, (Rect{182, 224, 80, 32}));
}

TEST(CardGeometry, CompactEmptyCardAt310) {
    CompactInput in{310, 124, false, false, fixed(18), fixed(22), fixed(18)};
    const CompactFrames f = compactLayout(in);
    EXPECT_EQ(f.close, (Rect{266, 80, 44, 44}));
    EXPECT_EQ(f.askEntry, (Rect{240, 10, 54, 32}));
    EXPECT_EQ(f.expand, (Rect{16, 10, 96, 32}));
    EXPECT_EQ(f.title, (Rect{16, 90, 242, 22}));
    EXPECT_FALSE(f.savings.has_value());
    EXPECT_EQ(f.summary, (Rect{16, 60, 278, 22}));
    EXPECT_EQ(compactPreferredHeight(in), 124);
}

TEST(CardGeometry, CompactWithRecommendationAt280) {
    // inner 248: the title is measured at 208, the other lines at 244.
    CompactInput in{280,
                    300,
                    false,
                    true,
                    [](double w) { return w == 208 ? 40.0 : -1.0; },
                    [](double w) { return w == 244 ? 22.0 : -1.0; },
                    [](double w) { return w == 244 ? 58.0 : -1.0; }};
    const CompactFrames f = compactLayout(in);
    EXPECT_EQ(f.title, (Rect{16, 248, 212, 40}));
    ASSERT_TRUE(f.savings.has_value());
    EXPECT_EQ(*f.savings, (Rect{16, 220, 248, 22}));
    EXPECT_EQ(f.summary, (Rect{16, 154, 248, 58}));
    EXPECT_EQ(compactPreferredHeight(in), 40 + 12 + 28 + 8 + 58 + 10 + 42);
}

TEST(CardGeometry, CompactIsTallerAt220ThanAt310AndNarrowInsetIs12) {
    CompactInput narrow{220, 200, false, false, wrapsBelow200(), fixed(0), wrapsBelow200()};
    const CompactFrames f = compactLayout(narrow);
    EXPECT_EQ(f.askEntry, (Rect{154, 10, 54, 32}));
    EXPECT_EQ(f.expand, (Rect{12, 10, 96, 32}));
    EXPECT_EQ(f.title, (Rect{12, 200 - 12 - 36, 160, 36}));
    EXPECT_EQ(f.summary, (Rect{12, 152 - 8 - 36, 196, 36}));
    CompactInput wide{310, 200, false, false, wrapsBelow200(), fixed(0), wrapsBelow200()};
    EXPECT_GT(compactPreferredHeight(narrow), compactPreferredHeight(wide));
    EXPECT_EQ(compactPreferredHeight(narrow), 36 + 12 + 8 + 36 + 10 + 42);
}

TEST(CardGeometry, CompactConnectorEntryIsWider) {
    CompactInput in{310, 124, true, false, fixed(18), fixed(0), fixed(18)};
    EXPECT_EQ(compactLayout(in).askEntry, (Rect{210, 10, 84, 32}));
}

TEST(CardGeometry, NormalCardAt310WithWrappedProviderAndSwitchButton) {
    BodyInput in{310, 400, false, true, true, false, 70.3, 45.2, false};
    const BodyFrames f = bodyLayout(in);
    EXPECT_EQ(f.logo, (Rect{16, 361, 75, 22}));
    EXPECT_EQ(f.provider, (Rect{16, 339, 50, 19}));
    EXPECT_EQ(f.askEntry, (Placement{{124, 364, 54, 32}, false}));
    EXPECT_EQ(f.useButton, (Rect{16, 12, 278, 44}));
    EXPECT_EQ(f.scroll, (Placement{{16, 72, 278, 254}, false}));
    EXPECT_TRUE(f.requestLogScroll.hidden);
    EXPECT_TRUE(f.askPreset.hidden);
}

TEST(CardGeometry, NormalCardAt220PutsTheAskEntryBelowTheHeader) {
    BodyInput in{220, 300, false, true, false, false, 70, 40, false};
    const BodyFrames f = bodyLayout(in);
    EXPECT_EQ(f.close, (Rect{176, 256, 44, 44}));
    EXPECT_EQ(f.expand, (Rect{92, 264, 80, 32}));
    EXPECT_EQ(f.askEntry, (Placement{{154, 230, 54, 32}, false}));
    EXPECT_EQ(f.logo, (Rect{12, 261, 74, 22}));
    EXPECT_EQ(f.scroll, (Placement{{12, 12, 196, 300 - 74 - 12}, false}));
}

TEST(CardGeometry, ExpandedCardAt560StacksTheAskPanelOverTheLog) {
    BodyInput in{560, 720, true, false, false, false, 70, 50, true};
    const BodyFrames f = bodyLayout(in);
    EXPECT_TRUE(f.askEntry.hidden);
    EXPECT_EQ(f.provider, (Rect{16 + 74 + 6, 682, 54, 19}));
    const double logHeight = 656 * 0.46;
    expectNear(f.requestLogScroll.frame, {16, 12, 528, logHeight});
    const double heading = 12 + logHeight + 6;
    expectNear(f.requestLogHeading.frame, {16, heading, 528, 18});
    EXPECT_FALSE(f.askResult.hidden);
    expectNear(f.askResult.frame, {16, heading + 28, 528, 38});
    expectNear(f.askField.frame, {16, heading + 71, 416, 34});
    expectNear(f.askButton.frame, {440, heading + 71, 104, 34});
    expectNear(f.askPreset.frame, {16, heading + 111, 528, 30});
    expectNear(f.askHeading.frame, {16, heading + 147, 528, 18});
    EXPECT_FALSE(f.scroll.hidden);
    expectNear(f.scroll.frame, {16, heading + 173, 528, 668 - (heading + 173)});
}

TEST(CardGeometry, ExpandedLogKeeps180WhereItFitsAndGivesWayOnShortPanels) {
    // Without the switch button the free height is H − 64 from 12 up; the ask panel above the log
    // takes 179 points and must end below the header's free edge (H − 52).
    struct Case {
        double H;
        double log;
    };
    for (const Case& c : {Case{720, 656 * 0.46}, Case{430, 180}, Case{423, 180}, Case{400, 336 - 179},
                          Case{300, 236 - 179}}) {
        BodyInput in{640, c.H, true, false, false, false, 70, 50, false};
        const BodyFrames f = bodyLayout(in);
        EXPECT_NEAR(f.requestLogScroll.frame.h, c.log, 1e-9) << c.H;
        EXPECT_LE(f.askHeading.frame.maxY() + 8, c.H - 52 + 1e-9) << c.H;
        EXPECT_LT(f.askHeading.frame.maxY(), f.logo.minY()) << c.H;
        EXPECT_TRUE(f.askResult.hidden);
    }
    // Where even the ask panel does not fit, the log is hidden rather than given a negative height.
    BodyInput tiny{640, 200, true, false, false, false, 70, 50, false};
    EXPECT_TRUE(bodyLayout(tiny).requestLogScroll.hidden);
}

TEST(CardGeometry, ExpandedBodyOnAShortPanelIsHiddenNotNegative) {
    // With the switch button: free height 326 from 72; the ask heading ends at 423, above 398.
    BodyInput in{640, 450, true, false, true, false, 70, 50, false};
    const BodyFrames f = bodyLayout(in);
    EXPECT_TRUE(f.scroll.hidden);
    EXPECT_EQ(f.scroll.frame.h, 0);
}

TEST(CardGeometry, ProviderWrapsOnNarrowCardsOnly) {
    EXPECT_TRUE(providerWraps(310, 71, 46));  // 278 − 190 = 88 < 75 + 6 + 50
    EXPECT_FALSE(providerWraps(560, 71, 46)); // 338
    EXPECT_FALSE(providerWraps(640, 71, 46));
}

DocumentInput documentAt(double width) {
    DocumentInput in;
    in.width = width;
    in.conversationLabelHasText = true;
    in.chips = {{false, 120, fixed(14)}, {true, 150, fixed(14)}, {true, 140, fixed(14)}};
    in.statusHasText = true;
    in.statusHeight = fixed(18);
    in.fields = {{true, 13, fixed(27)}, {false, 12, fixed(15)}, {false, 4, fixed(15)}, {false, 4, fixed(15)},
                 {false, 5, fixed(15)}, {false, 10, fixed(15)}, {true, 9, fixed(40)}};
    in.detailsButtonVisible = true;
    in.detailsExpanded = true;
    in.diagnosticsVisible = true;
    in.detailHeight = fixed(200);
    in.feedback = {true, 10, fixed(22)};
    return in;
}

TEST(CardGeometry, DocumentAt278WrapsChipsAndPutsButtonsSideBySide) {
    const DocumentFrames f = documentLayout(documentAt(278));
    EXPECT_EQ(f.conversationLabel, (Placement{{0, 0, 278, 19}, false}));
    EXPECT_TRUE(f.chips[0].hidden);
    EXPECT_EQ(f.chips[1], (Placement{{0, 27, 150, 26}, false}));
    EXPECT_EQ(f.chips[2], (Placement{{0, 59, 140, 26}, false})); // second row 6 below the first
    EXPECT_TRUE(f.status.hidden);                                // never together with a chip
    EXPECT_EQ(f.fields[0], (Placement{{0, 98, 278, 27}, false}));
    EXPECT_TRUE(f.fields[1].hidden);
    EXPECT_EQ(f.fields[6], (Placement{{0, 134, 278, 40}, false}));
    EXPECT_EQ(f.detailsButton, (Placement{{0, 178, 170, 28}, false}));
    EXPECT_EQ(f.diagnosticsButton, (Placement{{178, 178, 100, 28}, false}));
    EXPECT_EQ(f.detailScroll, (Placement{{0, 211, 278, 132}, false})); // capped at 132: it scrolls
    EXPECT_EQ(f.detail, (Rect{12, 10, 254, 200}));
    EXPECT_EQ(f.detailDocumentHeight, 220);
    EXPECT_EQ(f.feedback, (Placement{{0, 353, 278, 22}, false}));
    EXPECT_TRUE(f.connectionEntry.hidden);
    EXPECT_EQ(f.height, 375);
}

TEST(CardGeometry, DocumentBelow240GivesViewLogsItsOwnRow) {
    DocumentInput in = documentAt(196);
    in.detailsExpanded = false;
    const DocumentFrames f = documentLayout(in);
    // Chips: 150 then 140 does not fit beside it; the 26-high rows end at 85.
    EXPECT_EQ(f.detailsButton.frame, (Rect{0, 178, 180, 28}));
    EXPECT_TRUE(f.detailScroll.hidden);
    EXPECT_EQ(f.feedback.frame, (Rect{0, 216, 196, 22}));
    EXPECT_EQ(f.diagnosticsButton, (Placement{{0, 244, 120, 28}, false}));
    EXPECT_EQ(f.height, 272);
}

TEST(CardGeometry, DocumentStatusLineWithoutChipsAndAChipWiderThanTheDocument) {
    DocumentInput in;
    in.width = 100;
    in.chips = {{true, 400, fixed(40)}, {false, 0, {}}, {false, 0, {}}};
    in.statusHasText = true;
    in.statusHeight = fixed(10);
    in.feedback = {false, 10, fixed(0)};
    DocumentFrames f = documentLayout(in);
    EXPECT_EQ(f.chips[0], (Placement{{0, 0, 100, 52}, false})); // cut to the width; 40 + 2 + 10 high
    EXPECT_TRUE(f.status.hidden);
    in.chips[0].visible = false;
    f = documentLayout(in);
    EXPECT_EQ(f.status, (Placement{{0, 0, 100, 18}, false})); // at least 18
    EXPECT_EQ(f.height, 18);
}

TEST(CardGeometry, DocumentConnectorSetupAndConnectionEntry) {
    DocumentInput in;
    in.width = 300;
    in.feedback = {true, 10, fixed(20)};
    in.connectionEntryVisible = true;
    DocumentFrames f = documentLayout(in);
    EXPECT_EQ(f.connectionEntry, (Placement{{0, 26, 160, 28}, false}));
    EXPECT_EQ(f.height, 54);
    in.connectorSetupShown = true;
    f = documentLayout(in);
    EXPECT_TRUE(f.connectionEntry.hidden);
    EXPECT_EQ(f.connectorSetup, (Placement{{0, 34, 300, 190}, false}));
    EXPECT_EQ(f.height, 224);
}

TEST(CardGeometry, RequestLogRowsAndEmptyState) {
    double keyWidth = 0;
    std::vector<LogRowInput> rows{{true,
                                   [&](double key) {
                                       keyWidth = key;
                                       return 100.0;
                                   }},
                                  {false, fixed(999)}};
    LogFrames f = requestLogLayout(500, 300, fixed(60), rows);
    EXPECT_EQ(keyWidth, 456);
    EXPECT_TRUE(f.empty.hidden);
    ASSERT_EQ(f.rows.size(), 2u);
    EXPECT_EQ(f.rows[0].background, (Rect{10, 10, 480, 162}));
    EXPECT_EQ(f.rows[0].header, (Rect{10, 6, 460, 32}));
    EXPECT_EQ(f.rows[0].details, (Placement{{20, 42, 440, 100}, false}));
    EXPECT_EQ(f.rows[1].background, (Rect{10, 182, 480, 44}));
    EXPECT_TRUE(f.rows[1].details.hidden);
    EXPECT_EQ(f.documentHeight, 300); // at least the visible height

    f = requestLogLayout(500, 50, fixed(60), {});
    EXPECT_EQ(f.empty, (Placement{{12, 10, 476, 60}, false}));
    EXPECT_EQ(f.documentHeight, 80);
}

TEST(CardGeometry, NormalPreferredHeight) {
    EXPECT_EQ(normalPreferredHeight(200, true, true), 200 + 74 + 60 + 12);
    EXPECT_EQ(normalPreferredHeight(200, false, false), 200 + 52 + 12);
}

} // namespace
} // namespace quillmere::cardlayout
