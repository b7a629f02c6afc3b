// Feeds arbitrary bytes to the Claude Code archive as a desktop session's metadata file, with a
// sound transcript beside it, and runs one lookup. Any outcome but a crash or a sanitizer report
// is acceptable.

#include "desktop/observation/ClaudeLocalConversationArchive.h"
#include "support/FuzzFiles.h"

#include <QDir>
#include <cstddef>
#include <cstdint>

using namespace quillmere;

namespace {

const QString session = QStringLiteral("local_5f0c6a1e-8d2b-4c3a-9e7f-1b2c3d4e5f60");
const QString cli = QStringLiteral("9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d");

struct Layout {
    QString metadataRoot;
    QString projectsRoot;
    QString metadataPath;
    Layout() {
        const QString root = fuzzing::scratchFolder();
        metadataRoot = root + QStringLiteral("/sessions");
        projectsRoot = root + QStringLiteral("/projects");
        QDir().mkpath(metadataRoot + QStringLiteral("/account/org"));
        QDir().mkpath(projectsRoot + QStringLiteral("/workspace"));
        metadataPath = metadataRoot + QStringLiteral("/account/org/") + session + QStringLiteral(".json");
        const QByteArray transcript =
            R"({"parentUuid":null,"sessionId":"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d","type":"user",)"
            R"("uuid":"c0ffee00-0000-4000-8000-000000000001","timestamp":"2026-11-02T09:14:03.512Z",)"
            R"("message":{"role":"user","content":"Add a dark mode toggle"},"origin":{"kind":"human"}})"
            "\n"
            R"({"parentUuid":"c0ffee00-0000-4000-8000-000000000001","sessionId":"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d",)"
            R"("type":"assistant","uuid":"c0ffee00-0000-4000-8000-000000000007","timestamp":"2026-11-02T09:14:09.000Z",)"
            R"("message":{"role":"assistant","content":[{"type":"text","text":"Done."}]}})"
            "\n";
        const QByteArray path =
            QFile::encodeName(projectsRoot + QStringLiteral("/workspace/") + cli + QStringLiteral(".jsonl"));
        fuzzing::writeInput(QFile::decodeName(path), reinterpret_cast<const uint8_t*>(transcript.constData()),
                            size_t(transcript.size()));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Layout layout;
    fuzzing::writeInput(layout.metadataPath, data, size);
    ClaudeLocalConversationArchive::Reader reader;
    const std::vector<ConversationText::Message> visible{
        {QStringLiteral("user"), QStringLiteral("Add a dark mode toggle")},
        {QStringLiteral("assistant"), QStringLiteral("Done.")}};
    reader.lookup(QStringLiteral("https://claude.ai/epitaxy/") + session, visible, {}, layout.metadataRoot,
                  layout.projectsRoot, QDateTime::fromSecsSinceEpoch(2000000000, Qt::UTC), true);
    reader.lastLookupSummary();
    return 0;
}
