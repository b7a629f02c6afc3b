#pragma once

// Whether a host widget's card, its launcher, or a scan of the host is allowed at this moment,
// from who is in front. Pure rules: identifiers are compared as exact strings.
//
// `owner` is the widget's host bundle identifier, `frontmost` the frontmost application's
// lowercased bundle identifier (none when nothing is in front), `quillmere` this application's
// own lowercased bundle identifier, `key` whether the panel in question is the key window and
// `dismissed` whether the user closed the card.

#include <QString>
#include <optional>

namespace quillmere::WidgetVisibility {

// The card may show while its host is in front, and stays while the user works in the card
// itself (this application in front with the card key).
bool allows(const QString& owner, const std::optional<QString>& frontmost,
            const std::optional<QString>& quillmere, bool key, bool dismissed);

// The host is read only while the host itself is in front.
bool shouldScanHost(const QString& owner, const std::optional<QString>& frontmost,
                    const std::optional<QString>& quillmere, bool key);

// The launcher follows the card's rule, but only while the card is dismissed.
bool showsLauncher(const QString& owner, const std::optional<QString>& frontmost,
                   const std::optional<QString>& quillmere, bool key, bool dismissed);

} // namespace quillmere::WidgetVisibility
