// Feeds arbitrary bytes to the Claude Code transcript reader as a session's transcript (one JSON
// event per line), rebuilding the branch that ends at a fixed leaf. Any outcome but a crash or a
// sanitizer report is acceptable: a branch, or a failure it names.

#include "desktop/observation/ClaudeLocalConversationArchive.h"
#include "support/FuzzFiles.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = fuzzing::scratchFolder() + QStringLiteral("/transcript.jsonl");
    fuzzing::writeInput(path, data, size);
    ClaudeLocalConversationArchive::Limits limits;
    limits.maxLineBytes = 64 * 1024;
    const auto branch = ClaudeLocalConversationArchive::readBranch(
        path, QStringLiteral("c0ffee00-0000-4000-8000-000000000007"), limits);
    (void)branch;
    return 0;
}
