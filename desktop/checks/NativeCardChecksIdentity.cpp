#include "core/AttachmentSignal.h"
#include "core/HostConstants.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/observation/ClaudeWindowTracker.h"

namespace quillmere::NativeCardChecks {

void attachmentAndIdentityChecks(const checks::Reporter& check) {
    const auto concrete = [](const char* role, const QString& label, bool inSourcesPanel) {
        return AttachmentSignal::isConcrete(QString::fromLatin1(role), {label}, inSourcesPanel);
    };
    for (const QString& label : {QStringLiteral("An attachment can be uploaded later"),
                                 QStringLiteral("Quillmere can’t assess the attached file"),
                                 QStringLiteral("You said: fix attachment handling"),
                                 QStringLiteral("Assistant responded: uploaded file: test.png")})
        check(!concrete("AXStaticText", label, false),
              QStringLiteral("ordinary message mentioning files never invents an attachment"));
    for (const QString& label :
         {QStringLiteral("Add attachments"), QStringLiteral("Upload file"), QStringLiteral("Attach file"),
          QStringLiteral("Choose attachment"), QStringLiteral("Add")})
        check(!concrete("AXButton", label, false),
              QStringLiteral("empty composer action does not imply a file: ") + label);
    const QString removal = QStringLiteral("Remove attachment report.pdf");
    check(concrete("AXButton", removal, false),
          QStringLiteral("actual attachment removal control remains guarded"));
    check(concrete("AXImage", QStringLiteral("Attached file: report.pdf"), false),
          QStringLiteral("explicit attached-file image remains guarded"));
    check(!concrete("AXButton", removal, true),
          QStringLiteral("source-library item does not block active request"));

    const QString host = QLatin1String(HostConstants::claudeWebHost);
    const QString session = QStringLiteral("https://") + host + QStringLiteral("/epitaxy/synthetic-A");
    check(ClaudeWindowTracker::isConversationURL(session),
          QStringLiteral("Claude Code session URL is a valid identity"));
    check(ClaudeWindowTracker::stringFromAccessibilityValue(ax::Value(ax::Url{session})) == session,
          QStringLiteral("URL-valued accessibility attributes preserve a durable conversation identity"));
    // The fixture's query comes before its fragment; the fragment alone must go too.
    check(ClaudeWindowTracker::canonicalConversationURL(
              host + QStringLiteral("/epitaxy/synthetic-A?artifact=preview#pane")) == session &&
              ClaudeWindowTracker::canonicalConversationURL(
                  host + QStringLiteral("/epitaxy/synthetic-A#pane")) == session,
          QStringLiteral("artifact selection and URL fragments do not split one conversation's memory"));
    check(!ClaudeWindowTracker::isConversationURL(QStringLiteral("https://") + host +
                                                  QStringLiteral("/epitaxy/")) &&
              !ClaudeWindowTracker::isConversationURL(QStringLiteral("https://example.com/epitaxy/test")),
          QStringLiteral("empty and foreign session URLs rejected"));
}

} // namespace quillmere::NativeCardChecks
