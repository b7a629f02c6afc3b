// Feeds arbitrary bytes to the window tracker's conversation memory as the file it restores at
// start. A file it cannot understand is set aside; nothing may crash or throw.

#include "desktop/observation/ConversationMemoryStore.h"
#include "support/FuzzFiles.h"

#include <QDir>
#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString folder = fuzzing::scratchFolder();
    ConversationMemoryFile file(folder, QStringLiteral("com.openai.chat"));
    fuzzing::writeInput(file.path(), data, size);
    {
        ConversationMemoryStore store(std::move(file));
        store.remembered(QStringLiteral("https://chatgpt.com/c/1"));
    }
    fuzzing::emptyFolder(folder);
    return 0;
}
