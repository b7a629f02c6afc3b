// The card suite's expand sizing probe sizes its panel as the application widget does: the widths
// it uses are checked here against the widget's own handler on a running shell.

#include "desktop/checks/NativeCardChecksCards.h"
#include "desktop/card/RailViewController.h"
#include "tests/desktop/shell/ShellHarness.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

TEST(NativeCardChecksCards, ExpandSizingWidthsAreTheApplicationWidgetsOwn) {
    const QString claude = QStringLiteral("com.anthropic.claudefordesktop");
    ShellHarness shell(demoWithFront(claude));
    shell.launch();
    ApplicationWidget& widget = shell.widget(claude);
    RailViewController& card = widget.railController();
    card.openAskQuillmere(); // the widget's handler runs with true
    ASSERT_TRUE(card.expandedForTesting());
    EXPECT_EQ(widget.expandedSize().width(), NativeCardChecks::expandSizingWidth(true));
    card.collapse(); // and with false
    EXPECT_EQ(widget.expandedSize().width(), NativeCardChecks::expandSizingWidth(false));
}
