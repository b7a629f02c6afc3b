// Which host's card or launcher may show and when a host is read, the launcher itself, and when a
// visible panel is brought to the front.

#include "desktop/checks/NativeCardChecks.h"

#include "core/Text.h"
#include "desktop/card/CardViews.h"
#include "desktop/shell/LauncherViewController.h"
#include "desktop/shell/PanelPresentationMetrics.h"
#include "desktop/shell/WidgetVisibility.h"
#include "platform/config/BundleInfo.h"

#include <QCoreApplication>
#include <QThread>
#include <memory>

namespace quillmere::NativeCardChecks {

namespace {

const QString claudeHost = QStringLiteral("com.anthropic.claudefordesktop");
const QString codexHost = QStringLiteral("com.openai.codex");

// This application's own identifier, as the widgets compare it: lowercased.
std::optional<QString> ownIdentifier() {
    return text::lowercased(
        BundleInfo::main().bundleIdentifier().value_or(QStringLiteral("com.quillmere.zudizur")));
}

} // namespace

void panelVisibilityChecks(const checks::Reporter& check) {
    using namespace WidgetVisibility;
    const auto self = ownIdentifier();
    for (const QString& candidate :
         {claudeHost, codexHost, QStringLiteral("com.apple.finder"), QStringLiteral("com.google.Chrome")})
        for (const QString& owner : {claudeHost, codexHost})
            check(allows(owner, candidate, self, true, false) == (candidate == owner),
                  owner + QStringLiteral(" panel only shows in its own host, even with stale key state: ") +
                      candidate);
    check(allows(claudeHost, self, self, true, false),
          QStringLiteral("keyboard interaction with the owning Quillmere panel remains available"));
    check(!shouldScanHost(claudeHost, self, self, true),
          QStringLiteral("host scanning pauses while the user interacts with Quillmere"));
    check(shouldScanHost(claudeHost, claudeHost, self, false),
          QStringLiteral("host scanning resumes when focus returns to the owning app"));
    check(!allows(codexHost, self, self, false, false),
          QStringLiteral("other host panel stays hidden during widget interaction"));
    check(!allows(claudeHost, claudeHost, self, false, true),
          QStringLiteral("closing a host widget keeps it dismissed"));
    check(!allows(claudeHost, std::nullopt, self, true, false),
          QStringLiteral("unknown foreground never shows a widget"));
}

void launcherChecks(const checks::Reporter& check) {
    using namespace WidgetVisibility;
    const auto self = ownIdentifier();
    check(showsLauncher(claudeHost, claudeHost, self, false, true),
          QStringLiteral("closed widget shows its launcher in the owning app"));
    check(showsLauncher(claudeHost, self, self, true, true),
          QStringLiteral("launcher remains available while it owns keyboard focus"));
    check(!showsLauncher(claudeHost, codexHost, self, false, true),
          QStringLiteral("closed widget launcher stays out of other apps"));
    check(!showsLauncher(claudeHost, claudeHost, self, false, false),
          QStringLiteral("launcher hides while the full widget is open"));

    LauncherViewController launcher;
    QWidget* view = launcher.view();
    view->resize(48, 48);
    auto opened = std::make_shared<bool>(false);
    launcher.onOpen = [opened] {
        Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
        *opened = true;
    };
    CardButton* button = launcher.openButton();
    button->click();
    check(*opened && button->accessibleName() == QLatin1String("Open Quillmere") && button->width() >= 38 &&
              button->height() >= 38,
          QStringLiteral("closed widget launcher is accessible and has a comfortable hit target"));
}

void panelOrderingCheck(const checks::Reporter& check) {
    PanelPresentationMetrics metrics;
    const bool first = metrics.shouldOrderFront(false);
    const bool second = metrics.shouldOrderFront(true);
    check(first && !second && metrics.windowShowCount == 1,
          QStringLiteral("visible panel is not ordered front repeatedly"));
}

} // namespace quillmere::NativeCardChecks
