#include "core/AttachmentSignal.h"

#include "core/ConversationText.h"
#include "core/Text.h"

namespace quillmere::AttachmentSignal {

bool isConcrete(QStringView role, const QStringList& labels, bool inSourcesPanel) {
    // The sources panel lists the project's library, which is no part of the request.
    if (inSourcesPanel)
        return false;
    bool concreteRole = false;
    for (const char* r : {"AXButton", "AXImage", "AXLink", "AXGroup"})
        concreteRole = concreteRole || role == QLatin1StringView(r);
    if (!concreteRole)
        return false;
    // Only phrases that name a file already present count; "Add", "Upload file", "Attach file"
    // and the like are offers, not attachments.
    static const char* const phrases[] = {"remove attachment", "remove file",    "remove image",
                                          "attached file:",    "uploaded file:", "attachment:"};
    for (const QString& label : labels) {
        // Every phrase begins with "a", "r" or "u". A label that begins with any other printable
        // ASCII character cannot begin with one once normalised, lowercased and composed, so the
        // costly forms are made only for labels that might.
        if (!label.isEmpty()) {
            const char16_t first = label.front().unicode();
            if (first > 0x20 && first < 0x7f && first != u'a' && first != u'A' && first != u'r' &&
                first != u'R' && first != u'u' && first != u'U')
                continue;
        }
        QString x = text::canonical(text::lowercased(ConversationText::normalize(label)));
        for (const char* phrase : phrases)
            if (x.startsWith(QLatin1StringView(phrase)))
                return true;
    }
    return false;
}

} // namespace quillmere::AttachmentSignal
