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
        QString x = text::canonical(text::lowercased(ConversationText::normalize(label)));
        for (const char* phrase : phrases)
            if (x.startsWith(QLatin1StringView(phrase)))
                return true;
    }
    return false;
}

} // namespace quillmere::AttachmentSignal
