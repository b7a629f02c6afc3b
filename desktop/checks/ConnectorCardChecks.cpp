#include "desktop/checks/ConnectorCardChecks.h"

#include "core/Json.h"
#include "desktop/card/RailViewController.h"
#include "desktop/connector/ConnectorEditing.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "desktop/shell/CardPanel.h"
#include "platform/files/AtomicFile.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QKeySequence>
#include <QLineEdit>
#include <QPixmap>
#include <cstdio>
#include <stdexcept>

namespace quillmere::ConnectorCardChecks {

namespace {

// A view's accessibility label and tool tip, then those of every view inside it, joined by "|".
QString accessibilityText(const QWidget* view) {
    QStringList parts;
    if (!view->accessibleName().isEmpty())
        parts << view->accessibleName();
    if (!view->toolTip().isEmpty())
        parts << view->toolTip();
    for (const QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QString inner = accessibilityText(child);
        if (!inner.isEmpty())
            parts << inner;
    }
    return parts.join(u'|');
}

// The card laid out at width 340 and its preferred height for that width, as a PNG.
void capture(RailViewController& card, const QString& path) {
    QWidget* view = card.view();
    view->resize(340, int(std::ceil(card.preferredHeight(340))));
    card.layoutIfNeeded();
    QApplication::processEvents();
    if (!view->grab().save(path, "PNG"))
        throw std::runtime_error(("cannot write " + path).toStdString());
}

// The flow preview's panel as the connector-only application opens it, window and all: what a person
// sees on the desktop, with the panel's transparent corners.
void capturePreviewPanel(const QString& path) {
    ConnectorWindowController preview(false, ConnectorSecureStore::shared());
    preview.prepareFlowPreview();
    preview.open();
    preview.ownCard()->layoutIfNeeded();
    QApplication::processEvents();
    const bool saved = preview.panel()->grab().save(path, "PNG");
    preview.panel()->hide();
    if (!saved)
        throw std::runtime_error(("cannot write " + path).toStdString());
}

bool holdsNoGuidance(const RailViewController& card) {
    return !card.connectorGuidance();
}

} // namespace

int run(const QString& output, const checks::Reporter& check) {
    if (!QDir().mkpath(output))
        throw std::runtime_error("cannot create the output directory");
    const QDir folder(output);
    const ConnectorGuidance advice = ConnectorWindowController::exampleGuidance();
    const QString& rationale = advice.rationale;

    ConnectorWindowController controller(false, ConnectorSecureStore::shared());
    RailViewController& first = *controller.presentationCard();

    check(first.minimizedForTesting() && first.connectorMode(),
          QStringLiteral("Connection uses the existing compact Rail by default"));
    check(!first.conversationVerified() && !first.conversationID(),
          QStringLiteral("No invented current-chat identity"));

    controller.showSyntheticCheck(advice, QStringLiteral("0000000000000000"));
    check(first.miniRecommendationForTesting().contains(QStringLiteral("GPT-6.1 Sol · High")),
          QStringLiteral("Full supplied model version and effort preserved"));
    check(first.miniRecommendationForTesting().startsWith(QStringLiteral("Recommended · ")),
          QStringLiteral("Advice is Recommended, not fit or switch"));
    check(first.miniReasonForTesting().contains(rationale),
          QStringLiteral("Rationale is complete in compact card"));
    check(first.miniSavingsForTesting().isEmpty() && first.visibleRecommendationChipsForTesting().empty(),
          QStringLiteral("No fabricated savings or fit badges"));
    check(!first.recommendation() && !first.useButton()->isEnabled(),
          QStringLiteral("Connector cannot authorize model application"));

    bool used = false;
    bool asked = false;
    first.onUse = [&used](const Recommendation&) { used = true; };
    first.onAsk = [&asked](const QString&) { asked = true; };
    first.useRecommendation();
    check(!used, QStringLiteral("No host Switch callback"));
    capture(first, folder.filePath(QStringLiteral("compact.png")));

    first.expandButton()->click();
    check(!first.minimizedForTesting() && !first.expandedForTesting() &&
              first.expandButton()->title() == QStringLiteral("Close info"),
          QStringLiteral("More info opens ordinary details, not diagnostics"));
    check(first.messageForTesting().contains(QStringLiteral("active conversation has not been verified")),
          QStringLiteral("Source and scope visible in details"));
    capture(first, folder.filePath(QStringLiteral("more-info.png")));

    for (int i = 0; i < 20; ++i)
        first.expandButton()->click();
    check(!first.minimizedForTesting(),
          QStringLiteral("Repeated More info and Close info remain reversible"));
    first.expandButton()->click();
    check(first.minimizedForTesting() && first.expandButton()->title() == QStringLiteral("More info"),
          QStringLiteral("Close info returns to original compact card"));

    first.askEntryButton()->click();
    check(!asked && !first.expandedForTesting(),
          QStringLiteral("Model entry never calls the unrelated local classifier"));

    first.collapse();
    const QString title = first.miniRecommendationForTesting();
    first.showConnectorState(QStringLiteral("Reconnecting. Your last recommendation is kept."), false);
    check(first.miniRecommendationForTesting() == title,
          QStringLiteral("Transient connection state preserves the last advice"));

    first.setConversation(QStringLiteral("different-chat"), QStringLiteral("Unrelated conversation"), true);
    first.showLoading();
    Recommendation unrelated;
    unrelated.provider = AIProvider::openAI;
    unrelated.model = QStringLiteral("gpt-6-astra");
    unrelated.reason = QStringLiteral("Unrelated local result");
    first.show(unrelated);
    check(first.miniRecommendationForTesting() == title && !first.conversationVerified(),
          QStringLiteral("Host scans and late local results cannot relabel connector advice"));

    RailViewController second;
    second.setConversation(QStringLiteral("private-old-chat"), QStringLiteral("private-old-chat-title"),
                           true);
    controller.bind(&second);
    check(!accessibilityText(second.view()).contains(QStringLiteral("private-old-chat-title")),
          QStringLiteral("Connector handoff clears previous chat accessibility labels and tooltips"));
    check(holdsNoGuidance(first) && !first.miniRecommendationForTesting().contains(QStringLiteral("GPT-6.1")),
          QStringLiteral("Rebinding clears the previous receiver before moving the connection"));
    check(controller.presentationCard() == &second && second.connectorGuidance() &&
              second.connectorGuidance()->id == advice.id,
          QStringLiteral("Link hands guidance to the same existing widget instance"));
    check(!controller.panel()->isVisible(), QStringLiteral("Binding does not open a second window"));

    second.showConnectorState(QStringLiteral("Disconnected"), true);
    const QString secondText = accessibilityText(second.view());
    check(!secondText.contains(rationale) && !secondText.contains(QStringLiteral("GPT-6.1 Sol")),
          QStringLiteral("Unlink clears old model and rationale accessibility labels"));
    check(holdsNoGuidance(second) &&
              !second.miniRecommendationForTesting().contains(QStringLiteral("GPT-6.1")),
          QStringLiteral("Unlink clears account-specific advice"));

    RailViewController third;
    CardPanel panel(QSizeF(340, 550), CardPanel::Style{});
    panel.setContentView(third.view());
    controller.bind(&third);
    bool expandedTold = true;
    third.onExpand = [&expandedTold](bool expanded) { expandedTold = expanded; };
    third.openAskQuillmere();
    check(controller.presentationCard() == &third && !third.minimizedForTesting() &&
              !third.expandedForTesting() && !expandedTold,
          QStringLiteral("Connection binds the same existing card instance"));
    check(holdsNoGuidance(second), QStringLiteral("Old rail cannot retain account advice after handoff"));

    const QAction* paste = ConnectorEditing::editCommand(QStringLiteral("paste"));
    check(paste && paste->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_V) &&
              paste->shortcutContext() == Qt::ApplicationShortcut,
          QStringLiteral("Inline setup installs standard Command V responder commands"));

    controller.pasteConnectionCode(QString(43, u'a'));
    QWidget* window = controller.codeField()->window();
    check(window && qobject_cast<QLineEdit*>(window->focusWidget()) == controller.codeField(),
          QStringLiteral("Inline code paste focuses the existing card field editor"));

    controller.bind(&first);
    check(controller.presentationCard() == &first && holdsNoGuidance(third),
          QStringLiteral(
              "Browser-only fallback reuses the same compact card and clears the previous receiver"));

    capturePreviewPanel(folder.filePath(QStringLiteral("preview-panel.png")));

    const QByteArray summary = json::write(json::Object{{QStringLiteral("checksPassed"), 26},
                                                        {QStringLiteral("synthetic"), true},
                                                        {QStringLiteral("keychainRead"), false},
                                                        {QStringLiteral("networkUsed"), false},
                                                        {QStringLiteral("hostScraped"), false}},
                                           {true, true});
    if (!AtomicFile::write(folder.filePath(QStringLiteral("checks.json")), summary, 0644))
        throw std::runtime_error("cannot write checks.json");
    return 26;
}

int runFromCommandLine(const QString& output) {
    checks::PassCounter counter;
    try {
        run(output, counter.reporter());
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", error.what());
        std::fprintf(stderr, "Connector card checks failed.\n");
        return 1;
    }
    std::printf("Connector compact card checks passed: %d\n", counter.passed());
    std::fflush(stdout);
    return 0;
}

} // namespace quillmere::ConnectorCardChecks
