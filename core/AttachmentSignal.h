#pragma once

// Whether an element of the host window shows a file actually attached to the conversation, as
// opposed to a control for adding one or a text that merely talks about files.

#include <QStringList>
#include <QStringView>

namespace quillmere::AttachmentSignal {

// True only for a button, image, link or group outside the sources panel with a label that is or
// begins with an attachment phrase ("remove attachment", "attached file:", …).
bool isConcrete(QStringView role, const QStringList& labels, bool inSourcesPanel);

} // namespace quillmere::AttachmentSignal
