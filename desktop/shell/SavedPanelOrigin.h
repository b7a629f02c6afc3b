#pragma once

// Where the user left a host's card, kept across runs in the user defaults as the text of a point,
// "{x, y}" (the panel's bottom-left origin in screen coordinates).

#include "platform/config/Defaults.h"

#include <QPointF>
#include <QString>
#include <optional>

namespace quillmere::SavedPanelOrigin {

// "QuillmerePanelOrigin." followed by the host's lowercased bundle identifier.
QString key(const QString& bundleID);

// "{100, 200.5}": each number in its shortest form that reads back exactly.
QString format(QPointF origin);

// The point of a "{x, y}" text: two finite numbers within a million points of the origin, with
// optional blanks around each. Anything else (a hand-edited "{nan, 3}", "{1e300, 0}", a missing
// brace, trailing text) is none, so a damaged value can never put the panel somewhere absurd.
std::optional<QPointF> parse(const QString& text);

std::optional<QPointF> load(const Defaults& defaults, const QString& bundleID);
void store(Defaults& defaults, const QString& bundleID, QPointF origin);
void forget(Defaults& defaults, const QString& bundleID);

} // namespace quillmere::SavedPanelOrigin
