// A card panel made key counts as the key window until the window system answers; that pending
// request ends when the panel is ordered out, and when the window system gives the focus to another
// window, so a panel shown again without being made key, or left behind, never counts as key.

#include "desktop/shell/CardPanel.h"

#include <QApplication>
#include <QWindow>
#include <functional>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(CardPanel, APendingKeyRequestEndsWhenOrderedOutOrWhenAnotherWindowTakesTheFocus) {
    QWidget other;
    other.show();
    const std::vector<std::pair<const char*, std::function<void(CardPanel&)>>> endings = {
        {"ordered out, then shown without being made key",
         [](CardPanel& panel) {
             panel.orderOut();
             panel.orderFrontRegardless();
         }},
        // What the window system says when it focuses another window before answering the panel.
        {"the focus given to another window",
         [&other](CardPanel&) { Q_EMIT qGuiApp->focusWindowChanged(other.windowHandle()); }},
    };
    for (const auto& [what, end] : endings) {
        SCOPED_TRACE(what);
        CardPanel panel(QSizeF(310, 124), {});
        panel.makeKeyAndOrderFront();
        // The window system has not answered yet: the panel is key as it was made.
        ASSERT_FALSE(panel.isActiveWindow());
        ASSERT_TRUE(panel.isKeyWindow());
        end(panel);
        EXPECT_FALSE(panel.isKeyWindow());
    }
}
