// Feeds arbitrary bytes to the Codex archive's item decoder as the JSON body of one history row
// (repaired to valid UTF-8 first, as the reader does). The first byte chooses the row's item type.
// Nothing may crash, and the quick scanner, where it answers, must agree with the general parser.

#include "desktop/observation/CodexLocalConversationArchive.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    static const QString types[] = {QStringLiteral("userMessage"), QStringLiteral("agentMessage"),
                                    QStringLiteral("reasoning")};
    const QString& type = types[data[0] % 3];
    QByteArray body(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if (!body.isValidUtf8())
        body = QString::fromUtf8(body).toUtf8();
    namespace archive = CodexLocalConversationArchive;
    const archive::ItemDecoding decoded = archive::decodeItem(type, body);
    const archive::ItemDecoding general = archive::decodeItemWithDocument(type, body);
    if (!(decoded == general))
        std::abort();
    if (const auto scanned = archive::scanItem(type, body); scanned && !(*scanned == general))
        std::abort();
    return 0;
}
