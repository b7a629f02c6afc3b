#include "desktop/diagnostics/Diagnostics.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <future>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {
namespace {

class DiagnosticsFiles : public ::testing::Test {
protected:
    void TearDown() override { Diagnostics::waitForEvidence(); } // before the folder goes

    // The evidence writers hand their files to a thread of their own: whatever looks at the
    // folder waits for them first.
    QString folder() const {
        Diagnostics::waitForEvidence();
        return dir.path();
    }
    QString path(const QString& name) const {
        Diagnostics::waitForEvidence();
        return dir.filePath(name);
    }

    QByteArray read(const QString& name) const {
        QFile file(path(name));
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray("<missing>");
        return file.readAll();
    }

    // The inode changes whenever the file is replaced, however quickly; the modification time
    // may not.
    ino_t inode(const QString& name) const {
        struct stat info {};
        if (::lstat(QFile::encodeName(path(name)).constData(), &info) != 0)
            return 0;
        return info.st_ino;
    }

    void put(const QString& name, const QByteArray& bytes) const {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QTemporaryDir dir;
    ManualClock clock{1000.0, QDateTime(QDate(2026, 3, 1), QTime(12, 0, 5, 750), Qt::UTC)};
};

// ---------------------------------------------------------------------------------------------
// Status files

TEST_F(DiagnosticsFiles, DesktopStatusIsPrettyWithSortedKeys) {
    Diagnostics::record(folder(), QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    EXPECT_EQ(read(Diagnostics::desktopStatusFileName),
              QByteArray("{\n"
                         "  \"conversationTotalMessages\" : null,\n"
                         "  \"messageCount\" : 0,\n"
                         "  \"messageCountScope\" : \"analysis_payload\",\n"
                         "  \"state\" : \"launched\",\n"
                         "  \"updatedAt\" : \"2026-03-01T12:00:05Z\"\n"
                         "}"));
}

TEST_F(DiagnosticsFiles, DesktopStatusWithModelAndDetailEscapesSlashes) {
    Diagnostics::record(folder(), QStringLiteral("analysis_failed"), 12, QStringLiteral("gpt-5.6-luna"),
                        QStringLiteral("badStatus(500) / retry"), clock);
    EXPECT_EQ(read(Diagnostics::desktopStatusFileName),
              QByteArray("{\n"
                         "  \"conversationTotalMessages\" : null,\n"
                         "  \"detail\" : \"badStatus(500) \\/ retry\",\n"
                         "  \"messageCount\" : 12,\n"
                         "  \"messageCountScope\" : \"analysis_payload\",\n"
                         "  \"model\" : \"gpt-5.6-luna\",\n"
                         "  \"state\" : \"analysis_failed\",\n"
                         "  \"updatedAt\" : \"2026-03-01T12:00:05Z\"\n"
                         "}"));
}

TEST_F(DiagnosticsFiles, DesktopStatusIsRewrittenEvenWhenUnchanged) {
    Diagnostics::record(folder(), QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    const ino_t first = inode(Diagnostics::desktopStatusFileName);
    Diagnostics::record(folder(), QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    EXPECT_NE(inode(Diagnostics::desktopStatusFileName), first);
    clock.advance(61);
    Diagnostics::record(folder(), QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    EXPECT_TRUE(read(Diagnostics::desktopStatusFileName).contains("\"2026-03-01T12:01:06Z\""));
}

TEST_F(DiagnosticsFiles, FilesAreNeverWritableByOthers) {
    const mode_t previous = ::umask(0);
    Diagnostics::cadence(folder(), QStringLiteral("waiting"), 0, 0);
    ::umask(previous);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path(Diagnostics::cadenceStatusFileName)).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0600, 0600u);
    EXPECT_EQ(info.st_mode & 0022, 0u);
}

TEST_F(DiagnosticsFiles, CadenceStatusIsCompactAndWrittenOnlyWhenChanged) {
    Diagnostics::cadence(folder(), QStringLiteral("quiet_period"), 3, 1);
    EXPECT_EQ(read(Diagnostics::cadenceStatusFileName),
              QByteArray(R"({"learningEnabled":false,"mode":"collect_only","observedUserTurn":3,)"
                         R"("reason":"quiet_period","requests":1})"));
    const ino_t first = inode(Diagnostics::cadenceStatusFileName);
    Diagnostics::cadence(folder(), QStringLiteral("quiet_period"), 3, 1);
    EXPECT_EQ(inode(Diagnostics::cadenceStatusFileName), first);
    Diagnostics::cadence(folder(), QStringLiteral("quiet_period"), 3, 2);
    EXPECT_NE(inode(Diagnostics::cadenceStatusFileName), first);
    EXPECT_TRUE(read(Diagnostics::cadenceStatusFileName).endsWith(R"("requests":2})"));
}

TEST_F(DiagnosticsFiles, CadenceStatusReplacesAFileWithOtherBytes) {
    put(Diagnostics::cadenceStatusFileName, "garbage");
    Diagnostics::cadence(folder(), QStringLiteral("waiting"), 0, 0);
    EXPECT_TRUE(read(Diagnostics::cadenceStatusFileName).startsWith("{\"learningEnabled\":false"));
}

TEST_F(DiagnosticsFiles, WidgetsStatusSortsKeysByScalarValue) {
    QMap<QString, bool> visibility{{QStringLiteral("com.openai.chat"), false},
                                   {QStringLiteral("com.anthropic.claude"), true}};
    Diagnostics::widgets(folder(), visibility);
    EXPECT_EQ(read(Diagnostics::widgetsStatusFileName),
              QByteArray(R"({"com.anthropic.claude":true,"com.openai.chat":false})"));
    const ino_t first = inode(Diagnostics::widgetsStatusFileName);
    Diagnostics::widgets(folder(), visibility);
    EXPECT_EQ(inode(Diagnostics::widgetsStatusFileName), first);

    // Upper case before lower case, and a character beyond the basic plane after U+FF61 (UTF-16
    // order would put it first).
    Diagnostics::widgets(folder(), {{QStringLiteral("b"), true},
                                    {QStringLiteral("B"), false},
                                    {QString::fromUtf8("\xF0\x9F\x98\x80"), true},
                                    {QString(QChar(0xFF61)), false}});
    EXPECT_EQ(read(Diagnostics::widgetsStatusFileName),
              QByteArray("{\"B\":false,\"b\":true,\"\xEF\xBD\xA1\":false,\"\xF0\x9F\x98\x80\":true}"));
}

TEST_F(DiagnosticsFiles, EmptyWidgetsTableIsAnEmptyObject) {
    Diagnostics::widgets(folder(), {});
    EXPECT_EQ(read(Diagnostics::widgetsStatusFileName), QByteArray("{}"));
}

TEST_F(DiagnosticsFiles, ClearingRemovesOnlyThePreviousSessionsIdentityFiles) {
    const QStringList removed = {
        "quillmere-debug-com.anthropic.claudefordesktop.json",
        "quillmere-debug-com.anthropic.claude.json",
        "quillmere-debug-com.openai.chat.json",
        "quillmere-debug-com.openai.chatgpt.json",
        "quillmere-debug-com.openai.codex.json",
        "quillmere-identity-status.json",
        "quillmere-message-identities.json",
    };
    const QStringList kept = {
        "quillmere-desktop-status.json",  "quillmere-message-structure.json",
        "quillmere-debug-chat-test.json", "quillmere-window-evidence-com.openai.chat.json",
        "quillmere-cadence-status.json",  "unrelated.json",
    };
    for (const QString& name : removed + kept)
        put(name, "{}");
    Diagnostics::clearPreviousSessionIdentityDiagnostics(folder());
    for (const QString& name : removed)
        EXPECT_FALSE(QFile::exists(path(name))) << name.toStdString();
    for (const QString& name : kept)
        EXPECT_TRUE(QFile::exists(path(name))) << name.toStdString();
}

TEST_F(DiagnosticsFiles, ClearingAnEmptyOrMissingFolderDoesNothing) {
    Diagnostics::clearPreviousSessionIdentityDiagnostics(folder());
    Diagnostics::clearPreviousSessionIdentityDiagnostics(path("missing"));
    EXPECT_TRUE(QDir(folder()).isEmpty());
}

TEST_F(DiagnosticsFiles, ClearingRemovesAPlantedLinkNotItsTarget) {
    put("victim", "keep");
    ASSERT_EQ(::symlink(QFile::encodeName(path("victim")).constData(),
                        QFile::encodeName(path("quillmere-identity-status.json")).constData()),
              0);
    Diagnostics::clearPreviousSessionIdentityDiagnostics(folder());
    EXPECT_FALSE(QFileInfo(path("quillmere-identity-status.json")).isSymLink());
    EXPECT_EQ(read("victim"), QByteArray("keep"));
}

// ---------------------------------------------------------------------------------------------
// Failures and hostile folders

TEST_F(DiagnosticsFiles, UnwritableFolderWritesNothingSilently) {
    put("plain-file", "x");
    const QString unusable = path("plain-file/sub"); // a folder below a file cannot exist
    Diagnostics::record(unusable, QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    Diagnostics::cadence(unusable, QStringLiteral("waiting"), 0, 0);
    Diagnostics::widgets(unusable, {{QStringLiteral("a"), true}});
    Diagnostics::windowEvidence(unusable, QStringLiteral("com.openai.chat"), QSizeF(1, 1), {}, clock);
    Diagnostics::identityEvidence(0, false, false, false, false, QStringLiteral("title"), {}, {},
                                  unusable + "/quillmere-identity-status.json");
    Diagnostics::messageIdentityEvidence(unusable, {});
    Diagnostics::messageStructure(unusable, {}, {});
    QStringList entries = QDir(folder()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    EXPECT_EQ(entries, QStringList{"plain-file"});
}

TEST_F(DiagnosticsFiles, LinkPlantedAtTheFinalNameIsReplacedNotFollowed) {
    put("victim", "precious");
    for (const char* name : {Diagnostics::desktopStatusFileName, Diagnostics::cadenceStatusFileName})
        ASSERT_EQ(::symlink(QFile::encodeName(path("victim")).constData(),
                            QFile::encodeName(path(name)).constData()),
                  0);
    Diagnostics::record(folder(), QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    Diagnostics::cadence(folder(), QStringLiteral("waiting"), 0, 0);
    EXPECT_EQ(read("victim"), QByteArray("precious"));
    EXPECT_FALSE(QFileInfo(path(Diagnostics::desktopStatusFileName)).isSymLink());
    EXPECT_FALSE(QFileInfo(path(Diagnostics::cadenceStatusFileName)).isSymLink());
    EXPECT_TRUE(read(Diagnostics::cadenceStatusFileName).contains("\"waiting\""));
}

TEST_F(DiagnosticsFiles, FifoPlantedAtACompareBeforeWriteNameDoesNotHang) {
    const QByteArray fifo = QFile::encodeName(path(Diagnostics::widgetsStatusFileName));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    auto call = std::async(std::launch::async, [this] { Diagnostics::widgets(folder(), {}); });
    if (call.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Release the blocked reader so the process can end, then fail.
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
        call.wait();
        FAIL() << "comparing with a FIFO blocked the writer";
    }
    EXPECT_EQ(read(Diagnostics::widgetsStatusFileName), QByteArray("{}"));
}

// ---------------------------------------------------------------------------------------------
// Window evidence

TEST_F(DiagnosticsFiles, WindowEvidenceTruncatesSizesTowardZero) {
    Diagnostics::windowEvidence(folder(), QStringLiteral("com.openai.chat"), QSizeF(1200.9, 800.2),
                                {QSizeF(1200.9, 800.2), QSizeF(640.5, -0.7)}, clock);
    EXPECT_EQ(read("quillmere-window-evidence-com.openai.chat.json"),
              QByteArray(R"({"bundleID":"com.openai.chat","focusedSize":[1200,800],)"
                         R"("updatedAt":"2026-03-01T12:00:05Z","windowSizes":[[1200,800],[640,0]]})"));
}

TEST_F(DiagnosticsFiles, WindowEvidenceWithoutFocusedWindowOrWindows) {
    Diagnostics::windowEvidence(folder(), QStringLiteral("com.anthropic.claudefordesktop"), std::nullopt, {},
                                clock);
    EXPECT_EQ(read("quillmere-window-evidence-com.anthropic.claudefordesktop.json"),
              QByteArray(R"({"bundleID":"com.anthropic.claudefordesktop","focusedSize":[],)"
                         R"("updatedAt":"2026-03-01T12:00:05Z","windowSizes":[]})"));
}

TEST_F(DiagnosticsFiles, WindowEvidenceWritesNonFiniteAsZeroAndClampsHugeSizes) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Diagnostics::windowEvidence(folder(), QStringLiteral("com.openai.codex"), QSizeF(nan, inf),
                                {QSizeF(-inf, 1e300), QSizeF(-1e300, 9223372036854775807.0)}, clock);
    EXPECT_EQ(read("quillmere-window-evidence-com.openai.codex.json"),
              QByteArray(R"({"bundleID":"com.openai.codex","focusedSize":[0,0],)"
                         R"("updatedAt":"2026-03-01T12:00:05Z","windowSizes":)"
                         R"([[0,9223372036854775807],[-9223372036854775808,9223372036854775807]]})"));
}

TEST_F(DiagnosticsFiles, WindowEvidenceIsRewrittenOnEveryCall) {
    Diagnostics::windowEvidence(folder(), QStringLiteral("com.openai.chat"), std::nullopt, {}, clock);
    const ino_t first = inode("quillmere-window-evidence-com.openai.chat.json");
    Diagnostics::windowEvidence(folder(), QStringLiteral("com.openai.chat"), std::nullopt, {}, clock);
    EXPECT_NE(inode("quillmere-window-evidence-com.openai.chat.json"), first);
}

TEST_F(DiagnosticsFiles, EvidenceIsWrittenInTheOrderAskedAndClearingWaitsForIt) {
    // The evidence goes to disk on a thread of its own: many quick calls end with the last one's
    // file, and a clear right after a write does not see that write land after it.
    const QString base = dir.path(); // not folder(): that waits for the evidence
    for (int second = 0; second < 40; ++second) {
        const ManualClock later(1000.0, clock.now().addSecs(second));
        Diagnostics::windowEvidence(base, QStringLiteral("com.openai.chat"), QSizeF(second, 1), {}, later);
    }
    EXPECT_TRUE(read("quillmere-window-evidence-com.openai.chat.json").contains(R"("focusedSize":[39,1])"));

    for (int round = 0; round < 20; ++round) {
        Diagnostics::identityEvidence(round, true, true, true, true, QStringLiteral("title"), {}, {},
                                      dir.filePath(Diagnostics::identityStatusFileName));
        Diagnostics::messageIdentityEvidence(base, {{{"ordinal", qint64(round)}}});
        Diagnostics::clearPreviousSessionIdentityDiagnostics(base);
        EXPECT_FALSE(QFile::exists(path(Diagnostics::identityStatusFileName))) << round;
        EXPECT_FALSE(QFile::exists(path(Diagnostics::messageIdentitiesFileName))) << round;
    }
}

TEST_F(DiagnosticsFiles, UnsafeBundleIdentifierWritesNoFile) {
    QDir(folder()).mkdir("inner");
    const QString inner = path("inner");
    for (const QString& bundle :
         {QStringLiteral("../escape"), QStringLiteral("a/b"), QStringLiteral("com.x y"), QString(),
          QStringLiteral("com.ex\u00E4mple"), QStringLiteral("a\nb"), QStringLiteral("a\\b")})
        Diagnostics::windowEvidence(inner, bundle, QSizeF(1, 1), {}, clock);
    QDirIterator it(folder(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    EXPECT_FALSE(it.hasNext()) << it.next().toStdString();
}

TEST(DiagnosticsFileNames, OnlyLettersDigitsDotUnderscoreAndDashAreSafe) {
    EXPECT_TRUE(Diagnostics::isSafeFileNamePart(u"com.openai.chat"));
    EXPECT_TRUE(Diagnostics::isSafeFileNamePart(u"chat-test_2"));
    EXPECT_TRUE(Diagnostics::isSafeFileNamePart(u".."));
    EXPECT_FALSE(Diagnostics::isSafeFileNamePart(u""));
    EXPECT_FALSE(Diagnostics::isSafeFileNamePart(u"a/b"));
    EXPECT_FALSE(Diagnostics::isSafeFileNamePart(QStringView(u"a\0b", 3)));
    EXPECT_FALSE(Diagnostics::isSafeFileNamePart(u"\uFF0E")); // fullwidth full stop
    EXPECT_EQ(Diagnostics::debugFilePath("/f", u"com.openai.chat"),
              std::optional<QString>("/f/quillmere-debug-com.openai.chat.json"));
    EXPECT_EQ(Diagnostics::debugFilePath("/f", u"x/../y"), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Identity evidence

TEST_F(DiagnosticsFiles, IdentityEvidenceKeepsOnlyListedCountsAndFlags) {
    const QMap<QString, qint64> probe{{"webAreas", 3},
                                      {"readableWebURLs", 2},
                                      {"readableWebDocuments", 0},
                                      {"windowDocumentReadable", 1},
                                      {"canonicalCandidates", 1},
                                      {"documentText", 99}};
    const std::vector<json::Object> details{
        {{"index", qint64(4)},
         {"currentMarked", true},
         {"selectedMarked", false},
         {"hasLabel", true},
         {"hasURL", true},
         {"hasIdentifier", false},
         {"canonical", true},
         {"activeSidebarStyle", false},
         {"title", "Quarterly plan"}},
        {{"index", 2.0}, {"hasLabel", "yes"}, {"hasURL", 1}, {"canonical", nullptr}, {"extra", true}},
    };
    const QString file = path(Diagnostics::identityStatusFileName);
    Diagnostics::identityEvidence(2, true, true, false, true, QStringLiteral("document"), probe, details,
                                  file);
    EXPECT_EQ(
        read(Diagnostics::identityStatusFileName),
        QByteArray(R"({"anchorPresent":false,"distinctTitle":true,"documentProbe":{"canonicalCandidates":1,)"
                   R"("readableWebDocuments":0,"readableWebURLs":2,"webAreas":3,"windowDocumentReadable":1},)"
                   R"("historyCurrent":true,"identitySource":"document","selectedItems":2,)"
                   R"("selectionDetails":[{"activeSidebarStyle":false,"canonical":true,"currentMarked":true,)"
                   R"("hasIdentifier":false,"hasLabel":true,"hasURL":true,"index":4,"selectedMarked":false},)"
                   R"({}],"stableKey":true})"));
    const ino_t first = inode(Diagnostics::identityStatusFileName);
    Diagnostics::identityEvidence(2, true, true, false, true, QStringLiteral("document"), probe, details,
                                  file);
    EXPECT_EQ(inode(Diagnostics::identityStatusFileName), first);
}

TEST_F(DiagnosticsFiles, IdentitySourceOutsideTheFiveNamesIsUnknown) {
    const QString file = path(Diagnostics::identityStatusFileName);
    const auto source = [&](const QString& given) {
        Diagnostics::identityEvidence(0, false, false, false, false, given, {}, {}, file);
        const QByteArray bytes = read(Diagnostics::identityStatusFileName);
        const qsizetype start = bytes.indexOf("\"identitySource\":\"") + 18;
        return QString::fromUtf8(bytes.mid(start, bytes.indexOf('"', start) - start));
    };
    for (const char* name : {"document", "navigation", "title", "fallback", "unknown"})
        EXPECT_EQ(source(name), name);
    EXPECT_EQ(source("url"), "unknown");
    EXPECT_EQ(source("Document"), "unknown");
    EXPECT_EQ(source(""), "unknown");
    EXPECT_EQ(read(Diagnostics::identityStatusFileName),
              QByteArray(R"({"anchorPresent":false,"distinctTitle":false,"documentProbe":{},)"
                         R"("historyCurrent":false,"identitySource":"unknown","selectedItems":0,)"
                         R"("selectionDetails":[],"stableKey":false})"));
}

// ---------------------------------------------------------------------------------------------
// Identifier probes and message identities

QString kindOf(const QString& value) {
    const json::Object probe = Diagnostics::identifierProbe(value);
    for (const auto& [key, v] : probe)
        if (key == "kind")
            return std::get<QString>(v.data());
    return "<none>";
}

TEST(DiagnosticsIdentifierProbe, KindsInRuleOrder) {
    EXPECT_EQ(kindOf("0F4C1E2A-5B6D-4E7F-8A9B-C0D1E2F3A4B5"), "uuid");
    EXPECT_EQ(kindOf("0f4c1e2a-5b6d-4e7f-8a9b-c0d1e2f3a4b5"), "uuid");
    EXPECT_EQ(kindOf("{0f4c1e2a-5b6d-4e7f-8a9b-c0d1e2f3a4b5}"), "other");
    EXPECT_EQ(kindOf("0f4c1e2a5b6d4e7f8a9bc0d1e2f3a4b5"), "other");
    EXPECT_EQ(kindOf("0f4c1e2a-5b6d-4e7f-8a9b-c0d1e2f3a4bg"), "other");
    EXPECT_EQ(kindOf("_R_abc"), "react");
    EXPECT_EQ(kindOf("conversation-turn-7"), "turn");
    EXPECT_EQ(kindOf("message-42-turn-3"), "message");
    EXPECT_EQ(kindOf("MESSAGE"), "message");
    EXPECT_EQ(kindOf("12345"), "numeric");
    EXPECT_EQ(kindOf("\u0661\u0662\u0663"), "numeric"); // Arabic-Indic digits
    EXPECT_EQ(kindOf("\u4E94\u4E94"), "numeric");       // Han numerals
    EXPECT_EQ(kindOf("\u2166"), "numeric");             // Roman numeral seven
    EXPECT_EQ(kindOf("12 345"), "other");
    EXPECT_EQ(kindOf("-5"), "other");
    EXPECT_EQ(kindOf("abc"), "other");
}

TEST(DiagnosticsIdentifierProbe, AbsentOrEmptyIsOnlyNotPresent) {
    const json::Object notPresent{{"present", false}};
    EXPECT_EQ(json::write(Diagnostics::identifierProbe(std::nullopt)), json::write(notPresent));
    EXPECT_EQ(json::write(Diagnostics::identifierProbe(QString())), json::write(notPresent));
    EXPECT_EQ(json::write(Diagnostics::identifierProbe(QString(""))), json::write(notPresent));
}

TEST(DiagnosticsIdentifierProbe, LengthCountsCharacters) {
    const auto length = [](const QString& value) {
        for (const auto& [key, v] : Diagnostics::identifierProbe(value))
            if (key == "length")
                return std::get<qint64>(v.data());
        return qint64(-1);
    };
    EXPECT_EQ(length("0F4C1E2A-5B6D-4E7F-8A9B-C0D1E2F3A4B5"), 36);
    EXPECT_EQ(length("e\u0301\U0001F44D\U0001F3FD"), 2); // a combining accent and a toned emoji
    EXPECT_EQ(json::write(Diagnostics::identifierProbe(QStringLiteral("_r_1"))),
              QByteArray(R"({"present":true,"kind":"react","length":4})"));
}

TEST_F(DiagnosticsFiles, MessageIdentitiesAreWrittenUnchangedWithSortedKeys) {
    const std::vector<json::Object> records{
        {{"ordinal", 0}, {"role", "user"}, {"dom", Diagnostics::identifierProbe(QStringLiteral("turn-1"))}},
        {{"ordinal", 1}, {"role", "assistant"}, {"dom", Diagnostics::identifierProbe(std::nullopt)}},
    };
    Diagnostics::messageIdentityEvidence(folder(), records);
    EXPECT_EQ(read(Diagnostics::messageIdentitiesFileName),
              QByteArray(R"([{"dom":{"kind":"turn","length":6,"present":true},"ordinal":0,"role":"user"},)"
                         R"({"dom":{"present":false},"ordinal":1,"role":"assistant"}])"));
    const ino_t first = inode(Diagnostics::messageIdentitiesFileName);
    Diagnostics::messageIdentityEvidence(folder(), records);
    EXPECT_EQ(inode(Diagnostics::messageIdentitiesFileName), first);
    Diagnostics::messageIdentityEvidence(folder(), {});
    EXPECT_EQ(read(Diagnostics::messageIdentitiesFileName), QByteArray("[]"));
}

TEST_F(DiagnosticsFiles, UnserialisableRecordsLeaveThePreviousFile) {
    Diagnostics::messageIdentityEvidence(folder(), {{{"ordinal", 0}}});
    Diagnostics::messageIdentityEvidence(
        folder(), {{{"ordinal", 1}, {"ratio", json::Array{std::numeric_limits<double>::quiet_NaN()}}}});
    EXPECT_EQ(read(Diagnostics::messageIdentitiesFileName), QByteArray(R"([{"ordinal":0}])"));
}

// ---------------------------------------------------------------------------------------------
// Message structure

std::vector<SentMessageTree::Node> messageTree(const QString& text) {
    using Node = SentMessageTree::Node;
    return {
        Node("AXWebArea", {}, std::nullopt, {}, false, false, {1, 4}),
        Node("AXGroup", {text}, std::nullopt, {"Message 1 of 2"}, true, false, {2, 3}),
        Node("AXHeading", {"You said:"}),
        Node("AXButton", {"Share", "Copy message"}),
        Node("AXGroup", {}, std::nullopt, {}, false, false, {5, 6, 7}, true),
        Node("AXHeading", {text}),
        Node("AXButton", {"Copy"}, std::nullopt, {}, false, false, {}, true),
        Node("AXStaticText", {"Copy"}),
    };
}

TEST_F(DiagnosticsFiles, MessageStructureDescribesEachNodeWithoutText) {
    Diagnostics::messageStructure(folder(), messageTree("Plan / ship"), {1, 9});
    EXPECT_EQ(read(Diagnostics::messageStructureFileName),
              QByteArray(R"([{"children":[1,4],"copy":false,"excluded":false,"index":0,"messageRoot":false,)"
                         R"("role":"AXWebArea","speaker":"none","userBubble":false},)"
                         R"({"children":[2,3],"copy":false,"excluded":false,"index":1,"messageRoot":true,)"
                         R"("role":"AXGroup","speaker":"none","userBubble":true},)"
                         R"({"children":[],"copy":false,"excluded":false,"index":2,"messageRoot":false,)"
                         R"("role":"AXHeading","speaker":"user","userBubble":false},)"
                         R"({"children":[],"copy":true,"excluded":false,"index":3,"messageRoot":false,)"
                         R"("role":"AXButton","speaker":"none","userBubble":false},)"
                         R"({"children":[5,6,7],"copy":false,"excluded":true,"index":4,"messageRoot":false,)"
                         R"("role":"AXGroup","speaker":"none","userBubble":false},)"
                         R"({"children":[],"copy":false,"excluded":false,"index":5,"messageRoot":false,)"
                         R"("role":"AXHeading","speaker":"none","userBubble":false},)"
                         R"({"children":[],"copy":true,"excluded":true,"index":6,"messageRoot":false,)"
                         R"("role":"AXButton","speaker":"none","userBubble":false},)"
                         R"({"children":[],"copy":false,"excluded":false,"index":7,"messageRoot":false,)"
                         R"("role":"AXStaticText","speaker":"none","userBubble":false}])"));
    const ino_t first = inode(Diagnostics::messageStructureFileName);
    Diagnostics::messageStructure(folder(), messageTree("Another text"), {1, 9});
    EXPECT_EQ(inode(Diagnostics::messageStructureFileName), first); // same shape, same bytes
    Diagnostics::messageStructure(folder(), {}, {});
    EXPECT_EQ(read(Diagnostics::messageStructureFileName), QByteArray("[]"));
}

TEST_F(DiagnosticsFiles, MessageStructureKeepsMalformedChildIndicesAsNumbers) {
    std::vector<SentMessageTree::Node> nodes{
        SentMessageTree::Node("AXGroup", {}, std::nullopt, {}, false, false, {0, -3, 2147483647})};
    Diagnostics::messageStructure(folder(), nodes, {-1});
    EXPECT_EQ(read(Diagnostics::messageStructureFileName),
              QByteArray(R"([{"children":[0,-3,2147483647],"copy":false,"excluded":false,"index":0,)"
                         R"("messageRoot":false,"role":"AXGroup","speaker":"none","userBubble":false}])"));
}

// ---------------------------------------------------------------------------------------------
// Privacy: text handed to the writers never reaches a file.

TEST_F(DiagnosticsFiles, TextGivenToTheEvidenceWritersNeverReachesAFile) {
    const QString marker = QStringLiteral("PRIVATE-c41e9b");
    const QString text = QStringLiteral("Draft the memo / ") + marker;
    Diagnostics::identityEvidence(
        1, true, false, true, false, text, {{marker, 7}, {"webAreas", 1}},
        {{{"title", text}, {"hasLabel", text}, {marker, true}, {"index", text}, {"canonical", true}}},
        path(Diagnostics::identityStatusFileName));
    Diagnostics::messageIdentityEvidence(folder(), {{{"dom", Diagnostics::identifierProbe(text)},
                                                     {"ax", Diagnostics::identifierProbe(marker)}}});
    Diagnostics::messageStructure(folder(), messageTree(text), {1});
    Diagnostics::cadence(folder(), QStringLiteral("waiting"), 1, 0);
    Diagnostics::record(folder(), QStringLiteral("launched"), 0, std::nullopt, std::nullopt, clock);
    Diagnostics::windowEvidence(folder(), marker + "/x", QSizeF(1, 1), {}, clock);

    int files = 0;
    QDirIterator it(folder(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        ++files;
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        EXPECT_FALSE(bytes.contains(marker.toUtf8())) << file.toStdString() << ": " << bytes.toStdString();
        EXPECT_FALSE(file.contains(marker)) << file.toStdString();
    }
    EXPECT_EQ(files, 5);
}

TEST_F(DiagnosticsFiles, MessageIdentitiesCarryNoTextAHostChose) {
    const json::Object level{
        {"depth", 0},
        {"role", "Jane's secret plan"},
        {"dom", Diagnostics::identifierProbe(QStringLiteral("turn-1"))},
        {"ariaPosition", " 3 "},
        {"ariaSize", "my password"},
        {"attributeNames", json::Array{"AXRole", "AXTitle", "MyPrivateNote", 7}},
    };
    Diagnostics::messageIdentityEvidence(
        folder(),
        {{{"ordinal", 0}, {"role", "confidential"}, {"ancestors", json::Array{level}}},
         {{"ordinal", 1}, {"role", "user"}, {"ancestors", json::Array{json::Object{{"role", "AXGroup"}}}}}});
    const QByteArray written = read(Diagnostics::messageIdentitiesFileName);
    EXPECT_EQ(written,
              QByteArray(
                  R"([{"ancestors":[{"ariaPosition":"3","ariaSize":"","attributeNames":["AXRole","AXTitle"],)"
                  R"("depth":0,"dom":{"kind":"turn","length":6,"present":true},"role":"other",)"
                  R"("unlistedAttributeNames":2}],"ordinal":0,"role":"other"},)"
                  R"({"ancestors":[{"role":"AXGroup"}],"ordinal":1,"role":"user"}])"));

    Diagnostics::messageStructure(folder(), {SentMessageTree::Node("Secret role text", {"label"})}, {});
    EXPECT_FALSE(read(Diagnostics::messageStructureFileName).contains("Secret"));
    EXPECT_TRUE(read(Diagnostics::messageStructureFileName).contains(R"("role":"other")"));
}

TEST_F(DiagnosticsFiles, TheFirstWriteRemovesTemporariesACrashLeftBehind) {
    const QString stale = path(QStringLiteral(".") + Diagnostics::cadenceStatusFileName + ".2k4g.tmp");
    QFile planted(stale);
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.close();
    const struct timespec times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(stale).constData(), times, 0), 0);
    Diagnostics::cadence(folder(), QStringLiteral("waiting"), 0, 0);
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_TRUE(read(Diagnostics::cadenceStatusFileName).contains("\"waiting\""));
}

} // namespace
} // namespace quillmere
