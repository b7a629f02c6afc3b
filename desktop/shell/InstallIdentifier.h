#pragma once

// The installation's identifier sent with every classification request: 16 uppercase hexadecimal
// characters, made once from a random UUID and kept in the user defaults.

#include "platform/config/Defaults.h"

#include <QString>

namespace quillmere::InstallIdentifier {

inline constexpr auto defaultsKey = "QuillmereDesktopInstallID";

// The stored identifier, used unchanged; without one, a new one is made and stored.
QString readOrCreate(Defaults& defaults);

} // namespace quillmere::InstallIdentifier
