// Every state the presenters produce, rendered off-screen into PNG files a person can open
// (<build>/card-captures/), with the pixels the palette fixes checked.

#include "desktop/card/RailViewController.h"

#include "desktop/card/CardPalette.h"
#include "desktop/card/CardTestSupport.h"

#include <QDir>
#include <QFontInfo>
#include <QImage>
#include <QPixmap>
#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace cardtest;

QString captureDir() {
    const QString dir = QStringLiteral(QUILLMERE_BINARY_DIR) + QStringLiteral("/card-captures");
    QDir().mkpath(dir);
    return dir;
}

// Sizes the card as its panel would (width × preferred height), lays it out, grabs and saves it.
QImage capture(RailViewController& card, int width, const QString& name, int height = 0) {
    if (height == 0)
        height = int(std::ceil(card.preferredHeight(width)));
    sizeCard(card, width, height);
    const QImage image = card.view()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(image.save(captureDir() + QLatin1Char('/') + name + QStringLiteral(".png"), "PNG"))
        << name.toStdString();
    return image;
}

void expectCardPixels(const QImage& image, const QString& name) {
    const std::string label = name.toStdString();
    ASSERT_FALSE(image.isNull()) << label;
    // Outside the rounded corner nothing is drawn.
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << label;
    EXPECT_EQ(qAlpha(image.pixel(image.width() - 1, image.height() - 1)), 0) << label;
    // The card's own background inside the side inset, half-way down.
    EXPECT_EQ(QColor(image.pixel(6, image.height() / 2)), CardPalette::background) << label;
    // The border on the top edge.
    const QColor edge(image.pixel(image.width() / 2, 0));
    EXPECT_NEAR(edge.red(), CardPalette::border.red(), 12) << label;
}

// Captures one state and checks the palette's pixels in it.
QImage captureChecked(RailViewController& card, int width, const QString& name) {
    QImage image = capture(card, width, name);
    expectCardPixels(image, name);
    return image;
}

TEST(CardCapture, TheCardTypeFaceIsInstalled) {
    EXPECT_EQ(QFontInfo(cardFont(12)).family(), QStringLiteral("Inter"));
    EXPECT_EQ(QFontInfo(cardMonospacedFont(11)).family(), QStringLiteral("DejaVu Sans Mono"));
}

TEST(CardCapture, CompactStates) {
    {
        RailViewController card;
        captureChecked(card, 310, QStringLiteral("compact-collecting"));
    }
    {
        RailViewController card;
        card.setConversation(QStringLiteral("c1"), QStringLiteral("Rewrite the launch email"), true);
        card.show(sonnetWithFit());
        captureChecked(card, 310, QStringLiteral("compact-switch"));
        captureChecked(card, 220, QStringLiteral("compact-switch-narrow"));
    }
    {
        RailViewController card;
        card.show(alreadyEfficient());
        captureChecked(card, 310, QStringLiteral("compact-fit"));
    }
    {
        RailViewController card;
        card.show(sonnet());
        card.withholdUnverifiedClaudeRecommendation();
        captureChecked(card, 310, QStringLiteral("compact-withheld"));
    }
}

TEST(CardCapture, NormalStates) {
    {
        RailViewController card;
        card.onConnect = [] {};
        card.setConversation(QStringLiteral("c1"), QStringLiteral("Rewrite the launch email"), true);
        card.show(sonnet());
        card.toggleExpanded();
        const QImage image = captureChecked(card, 310, QStringLiteral("normal-switch"));
        // The switch button's own colour, left of its centred title.
        const cardlayout::Rect use = card.frameForTesting(card.useButton());
        const QPoint inside(int(use.x) + 6, image.height() - int(use.y + use.h / 2));
        EXPECT_EQ(QColor(image.pixel(inside)), CardPalette::button);
        card.toggleDetails();
        captureChecked(card, 310, QStringLiteral("normal-details-open"));
        card.setRecommendationStale(true);
        captureChecked(card, 310, QStringLiteral("normal-stale"));
        card.useRecommendation();
        card.show(sonnet());
        card.setRecommendationStale(false);
        card.useRecommendation();
        card.showApplyResult(false, sonnet());
        captureChecked(card, 280, QStringLiteral("normal-retry"));
    }
    {
        // Switched from the keyboard: the feedback line holds it, then the nearest control has it.
        RailViewController card;
        card.show(sonnet());
        card.toggleExpanded();
        sizeCard(card, 310, int(std::ceil(card.preferredHeight(310))));
        card.view()->show();
        QApplication::setActiveWindow(card.view());
        card.useButton()->setFocus();
        card.useButton()->click();
        captureChecked(card, 310, QStringLiteral("normal-switching-from-the-keyboard"));
        card.showApplyResult(true, sonnet());
        captureChecked(card, 310, QStringLiteral("normal-confirmed-from-the-keyboard"));
        card.view()->hide();
    }
    {
        RailViewController card;
        card.show(sonnetWithFit());
        card.toggleExpanded();
        captureChecked(card, 310, QStringLiteral("normal-fit-reason"));
        captureChecked(card, 220, QStringLiteral("normal-fit-reason-narrow"));
        captureChecked(card, 560, QStringLiteral("normal-fit-reason-wide"));
    }
    {
        RailViewController card;
        card.show(sonnet());
        card.showNoRecommendation(false, QStringLiteral("<script>literal text</script>"), std::nullopt);
        card.toggleExpanded();
        captureChecked(card, 310, QStringLiteral("normal-unconfirmed"));
    }
    {
        RailViewController card;
        card.setPlatform(AIProvider::openAI);
        card.show(openAI());
        card.toggleExpanded();
        captureChecked(card, 310, QStringLiteral("normal-openai"));
    }
    {
        RailViewController card;
        card.showNoRecommendation(true, std::nullopt, std::nullopt);
        card.toggleExpanded();
        captureChecked(card, 310, QStringLiteral("normal-collecting"));
    }
}

TEST(CardCapture, ExpandedWithRequestLogsAndAnAnswer) {
    RailViewController card;
    card.show(sonnetWithFit());
    card.openAskQuillmere();
    captureChecked(card, 640, QStringLiteral("expanded-empty-log"));
    std::vector<RequestLogStore::Entry> entries;
    for (int i = 1; i <= 4; ++i) {
        RequestLogStore::Entry entry =
            logEntry(i, i == 2 ? QStringLiteral("FAILED") : QStringLiteral("COMPLETED"));
        entry.responseBody = QStringLiteral("{\"model\":\"sonnet\",\"effort\":\"medium\"}");
        entries.push_back(entry);
    }
    entries.push_back(logEntry(5, QStringLiteral("SENDING")));
    card.setRequestLogs(entries);
    card.selectAskPresetForTesting(QStringLiteral("Debug a problem"));
    card.submitAskForTesting(card.askQuestionForTesting());
    card.showAskResult(sonnet());
    const QImage image = captureChecked(card, 640, QStringLiteral("expanded-request-logs"));
    EXPECT_EQ(image.width(), 640);
    EXPECT_EQ(image.height(), 720);
    // The ask button keeps its own colour.
    const cardlayout::Rect ask = card.frameForTesting(card.askButton());
    EXPECT_EQ(QColor(image.pixel(int(ask.x) + 5, image.height() - int(ask.y + ask.h / 2))),
              CardPalette::button);
    // A short expanded card hides its body rather than giving it a negative height.
    capture(card, 640, QStringLiteral("expanded-short"), 420);
    EXPECT_TRUE(card.hiddenForTesting(card.scroll()));
}

} // namespace
} // namespace quillmere
