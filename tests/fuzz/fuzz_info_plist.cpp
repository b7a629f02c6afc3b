// Feeds arbitrary bytes to the bundle's property-list reader as "Info.plist". A malformed file
// gives an empty bundle; nothing may crash.

#include "platform/config/BundleInfo.h"
#include "support/FuzzFiles.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = fuzzing::scratchFolder() + QStringLiteral("/Info.plist");
    fuzzing::writeInput(path, data, size);
    const BundleInfo bundle = BundleInfo::load(path);
    bundle.bundleIdentifier();
    bundle.isTrue(QStringLiteral("LSUIElement"));
    bundle.boolean(QStringLiteral("QuillmereConnectorEnabled"));
    bundle.contains(QStringLiteral("CFBundleVersion"));
    return 0;
}
