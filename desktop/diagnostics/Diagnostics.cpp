#include "desktop/diagnostics/Diagnostics.h"

#include "core/ConversationText.h"
#include "core/IsoTime.h"
#include "core/Text.h"
#include "platform/files/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

namespace quillmere::Diagnostics {

namespace {

// The process's default file mode (what its umask leaves of 0666), but never writable by anyone
// else: the folder is shared, and the files are content-free, meant to be read by whoever
// inspects the machine.
int diagnosticFileMode() {
    static const int mode = [] {
        int umask = 022;
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("Umask:")) {
                    bool ok = false;
                    const int value = line.mid(6).trimmed().toInt(&ok, 8);
                    if (ok)
                        umask = value;
                }
            }
        }
        return 0666 & ~umask & ~022;
    }();
    return mode;
}

QString filePath(const QString& folder, const QString& name) {
    return QDir(folder).filePath(name);
}

// The platform serialiser refuses NaN and infinities; such a document is not written at all.
bool isSerialisable(const json::Value& value) {
    const auto& data = value.data();
    if (const auto* number = std::get_if<double>(&data))
        return std::isfinite(*number);
    if (const auto* array = std::get_if<std::shared_ptr<json::Array>>(&data)) {
        for (const auto& element : **array)
            if (!isSerialisable(element))
                return false;
    }
    if (const auto* object = std::get_if<std::shared_ptr<json::Object>>(&data)) {
        for (const auto& member : **object)
            if (!isSerialisable(member.second))
                return false;
    }
    return true;
}

qint64 integerSize(double length) {
    if (!std::isfinite(length))
        return 0;
    const double truncated = std::trunc(length);
    // 2^63 is exact as a double; anything at or beyond it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (truncated >= limit)
        return std::numeric_limits<qint64>::max();
    if (truncated < -limit)
        return std::numeric_limits<qint64>::min();
    return qint64(truncated);
}

json::Value sizeValue(const QSizeF& size) {
    return json::Array{integerSize(size.width()), integerSize(size.height())};
}

bool isHexDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

// 32 hexadecimal digits in the groups 8-4-4-4-12, either case, nothing around them.
bool isUuid(QStringView value) {
    if (value.size() != 36)
        return false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? value[i] != u'-' : !isHexDigit(value[i]))
            return false;
    }
    return true;
}

// Han ideographs that carry a numeric value although their category is a letter.
bool isHanNumeral(char32_t scalar) {
    static constexpr char32_t numerals[] = {
        U'零', U'一', U'二', U'三', U'四', U'五', U'六', U'七', U'八', U'九', U'十', U'百',
        U'千', U'万', U'萬', U'亿', U'億', U'兆', U'壹', U'贰', U'貳', U'叁', U'參', U'肆',
        U'伍', U'陆', U'陸', U'柒', U'捌', U'玖', U'拾', U'佰', U'仟', U'廿', U'卅',
    };
    for (char32_t numeral : numerals)
        if (numeral == scalar)
            return true;
    return false;
}

// A character is a number when its first scalar has a numeric value: digits of any script,
// letter-like numerals (Roman numerals), fractions and the Han numerals.
bool isNumberCharacter(QStringView character) {
    if (character.isEmpty())
        return false;
    char32_t scalar = character[0].unicode();
    if (character.size() > 1 && QChar::isHighSurrogate(scalar) && character[1].isLowSurrogate())
        scalar = QChar::surrogateToUcs4(character[0], character[1]);
    return QChar::isNumber(scalar) || isHanNumeral(scalar);
}

bool allCharactersAreNumbers(const QString& value) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, value);
    qsizetype start = 0;
    while (start < value.size()) {
        qsizetype end = finder.toNextBoundary();
        if (end <= start)
            end = value.size();
        if (!isNumberCharacter(QStringView(value).mid(start, end - start)))
            return false;
        start = end;
    }
    return true;
}

QString identifierKind(const QString& value) {
    if (isUuid(value))
        return QStringLiteral("uuid");
    const QString lower = text::lowercased(value);
    if (lower.startsWith(u"_r_"))
        return QStringLiteral("react");
    if (lower.contains(u"message"))
        return QStringLiteral("message");
    if (lower.contains(u"turn"))
        return QStringLiteral("turn");
    if (allCharactersAreNumbers(value))
        return QStringLiteral("numeric");
    return QStringLiteral("other");
}

const json::Value* member(const json::Object& object, QStringView key) {
    // The last of several equal keys wins, as a dictionary built from them would keep it.
    const json::Value* found = nullptr;
    for (const auto& [name, value] : object)
        if (name == key)
            found = &value;
    return found;
}

json::Object reducedSelectionDetail(const json::Object& detail) {
    static const QStringList flags = {
        QStringLiteral("currentMarked"),      QStringLiteral("selectedMarked"),
        QStringLiteral("hasLabel"),           QStringLiteral("hasURL"),
        QStringLiteral("hasIdentifier"),      QStringLiteral("canonical"),
        QStringLiteral("activeSidebarStyle"),
    };
    json::Object reduced;
    if (const auto* index = member(detail, u"index"); index && std::holds_alternative<qint64>(index->data()))
        reduced.emplace_back(QStringLiteral("index"), *index);
    for (const QString& flag : flags)
        if (const auto* value = member(detail, flag); value && std::holds_alternative<bool>(value->data()))
            reduced.emplace_back(flag, *value);
    return reduced;
}

// The accessibility role names evidence may carry; any other role a host reports is written as
// "other", so that no text a host chose reaches the file.
const QSet<QString>& knownRoles() {
    static const QSet<QString> roles = [] {
        QSet<QString> names;
        for (const char* role : {"AXApplication",
                                 "AXBrowser",
                                 "AXButton",
                                 "AXCell",
                                 "AXCheckBox",
                                 "AXColumn",
                                 "AXComboBox",
                                 "AXDisclosureTriangle",
                                 "AXDocument",
                                 "AXGenericElement",
                                 "AXGrid",
                                 "AXGroup",
                                 "AXHeading",
                                 "AXImage",
                                 "AXIncrementor",
                                 "AXLandmarkNavigation",
                                 "AXLayoutArea",
                                 "AXLayoutItem",
                                 "AXLink",
                                 "AXList",
                                 "AXMenu",
                                 "AXMenuBar",
                                 "AXMenuBarItem",
                                 "AXMenuButton",
                                 "AXMenuItem",
                                 "AXOutline",
                                 "AXPopover",
                                 "AXPopUpButton",
                                 "AXProgressIndicator",
                                 "AXRadioButton",
                                 "AXRadioGroup",
                                 "AXRow",
                                 "AXScrollArea",
                                 "AXScrollBar",
                                 "AXSearchField",
                                 "AXSheet",
                                 "AXSlider",
                                 "AXSplitGroup",
                                 "AXSplitter",
                                 "AXStaticText",
                                 "AXSystemWide",
                                 "AXTab",
                                 "AXTabGroup",
                                 "AXTable",
                                 "AXTextArea",
                                 "AXTextField",
                                 "AXToolbar",
                                 "AXUnknown",
                                 "AXValueIndicator",
                                 "AXWebArea",
                                 "AXWindow"})
            names.insert(QString::fromLatin1(role));
        return names;
    }();
    return roles;
}

// The attribute names evidence may list; the others are counted, never named.
const QSet<QString>& knownAttributeNames() {
    static const QSet<QString> attributes = [] {
        QSet<QString> names;
        for (const char* name : {"AXARIAAtomic",
                                 "AXARIACurrent",
                                 "AXARIALive",
                                 "AXARIAPosInSet",
                                 "AXARIARelevant",
                                 "AXARIASetSize",
                                 "AXAccessKey",
                                 "AXBlockQuoteLevel",
                                 "AXChildren",
                                 "AXChildrenInNavigationOrder",
                                 "AXClassList",
                                 "AXContents",
                                 "AXDOMClassList",
                                 "AXDOMIdentifier",
                                 "AXDescription",
                                 "AXDocument",
                                 "AXEdited",
                                 "AXElementBusy",
                                 "AXEnabled",
                                 "AXFocusableAncestor",
                                 "AXFocused",
                                 "AXFrame",
                                 "AXHelp",
                                 "AXHighestEditableAncestor",
                                 "AXIdentifier",
                                 "AXInvalid",
                                 "AXLanguage",
                                 "AXLinkedUIElements",
                                 "AXNumberOfCharacters",
                                 "AXParent",
                                 "AXPlaceholderValue",
                                 "AXPosition",
                                 "AXRequired",
                                 "AXRole",
                                 "AXRoleDescription",
                                 "AXSelected",
                                 "AXSelectedChildren",
                                 "AXSelectedText",
                                 "AXSelectedTextRange",
                                 "AXSize",
                                 "AXSubrole",
                                 "AXTitle",
                                 "AXTitleUIElement",
                                 "AXTopLevelUIElement",
                                 "AXURL",
                                 "AXValue",
                                 "AXVisibleCharacterRange",
                                 "AXVisibleChildren",
                                 "AXWindow",
                                 "ChromeAXNodeId"})
            names.insert(QString::fromLatin1(name));
        return names;
    }();
    return attributes;
}

// Every other text a record may hold: message roles and identifier kinds the code itself writes.
const QSet<QString>& knownWords() {
    static const QSet<QString> words{QStringLiteral("user"),    QStringLiteral("assistant"),
                                     QStringLiteral("uuid"),    QStringLiteral("react"),
                                     QStringLiteral("message"), QStringLiteral("turn"),
                                     QStringLiteral("numeric"), QStringLiteral("other")};
    return words;
}

// A position or set size as a host gave it: kept as a decimal number when it is one, else empty.
QString numberOrEmpty(const QString& text) {
    bool ok = false;
    const qint64 number = text.trimmed().toLongLong(&ok);
    return ok ? QString::number(number) : QString();
}

json::Value reducedEvidence(const json::Value& value, QStringView key);

// An evidence object with each member reduced; listed attribute names the code does not know
// are left out and counted.
json::Object reducedEvidenceObject(const json::Object& object) {
    json::Object reduced;
    reduced.reserve(object.size());
    for (const auto& [name, member] : object) {
        const auto* list = std::get_if<std::shared_ptr<json::Array>>(&member.data());
        if (name == u"attributeNames" && list && *list) {
            json::Array known;
            qint64 unlisted = 0;
            for (const json::Value& item : **list) {
                const QString* text = std::get_if<QString>(&item.data());
                if (text && knownAttributeNames().contains(*text))
                    known.push_back(item);
                else
                    ++unlisted;
            }
            reduced.emplace_back(name, std::move(known));
            if (unlisted > 0)
                reduced.emplace_back(QStringLiteral("unlistedAttributeNames"), unlisted);
            continue;
        }
        reduced.emplace_back(name, reducedEvidence(member, name));
    }
    return reduced;
}

// Evidence keeps numbers, flags and structure as they are; a text survives only when it is a
// name or word the code knows (or, for a position or set size, a number), so that nothing a host
// put in an attribute can reach the file.
json::Value reducedEvidence(const json::Value& value, QStringView key) {
    if (const auto* text = std::get_if<QString>(&value.data())) {
        if (key == u"ariaPosition" || key == u"ariaSize")
            return numberOrEmpty(*text);
        if (text->isEmpty() || knownWords().contains(*text) || knownRoles().contains(*text))
            return *text;
        return QStringLiteral("other");
    }
    if (const auto* object = std::get_if<std::shared_ptr<json::Object>>(&value.data()); object && *object)
        return reducedEvidenceObject(**object);
    if (const auto* array = std::get_if<std::shared_ptr<json::Array>>(&value.data()); array && *array) {
        json::Array reduced;
        reduced.reserve((*array)->size());
        for (const json::Value& item : **array)
            reduced.push_back(reducedEvidence(item, key));
        return reduced;
    }
    return value;
}

QString knownRoleOrOther(const QString& role) {
    return role.isEmpty() || knownRoles().contains(role) ? role : QStringLiteral("other");
}

} // namespace

QStringList supportedHostBundleIdentifiers() {
    return {QStringLiteral("com.anthropic.claudefordesktop"), QStringLiteral("com.anthropic.claude"),
            QStringLiteral("com.openai.chat"), QStringLiteral("com.openai.chatgpt"),
            QStringLiteral("com.openai.codex")};
}

bool isSafeFileNamePart(QStringView part) {
    if (part.isEmpty())
        return false;
    for (QChar c : part) {
        const char16_t u = c.unicode();
        const bool safe = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                          u == '.' || u == '_' || u == '-';
        if (!safe)
            return false;
    }
    return true;
}

std::optional<QString> debugFilePath(const QString& folder, QStringView host) {
    if (!isSafeFileNamePart(host))
        return std::nullopt;
    return filePath(folder, QStringLiteral("quillmere-debug-") + host.toString() + QStringLiteral(".json"));
}

std::optional<QString> windowEvidenceFilePath(const QString& folder, QStringView bundleID) {
    if (!isSafeFileNamePart(bundleID))
        return std::nullopt;
    return filePath(folder, QStringLiteral("quillmere-window-evidence-") + bundleID.toString() +
                                QStringLiteral(".json"));
}

namespace {

// The first write of a file in this run removes the temporaries an earlier run left beside it
// when it died between writing and renaming; later writes leave none behind.
void removeStaleTemporariesOnce(const QString& path) {
    // Never destroyed: the evidence thread may still write while the process exits.
    static auto* mutex = new std::mutex;
    static auto* cleaned = new QSet<QString>;
    {
        const std::lock_guard lock(*mutex);
        if (cleaned->contains(path))
            return;
        cleaned->insert(path);
    }
    AtomicFile::removeStaleTemporaries(path);
}

bool writeBytes(const QString& path, const QByteArray& bytes, bool skipWhenUnchanged) {
    removeStaleTemporariesOnce(path);
    // Content-free, in the temporary folder and rewritten as reads go: a crash may lose the
    // latest replacement, which the next read writes again, so nothing is synced.
    constexpr auto sync = AtomicFile::Sync::none;
    return skipWhenUnchanged ? AtomicFile::writeIfChanged(path, bytes, diagnosticFileMode(), nullptr, sync)
                             : AtomicFile::write(path, bytes, diagnosticFileMode(), nullptr, sync);
}

} // namespace

bool writeFile(const QString& path, const json::Value& value, bool pretty, bool skipWhenUnchanged) {
    if (!isSerialisable(value))
        return false;
    return writeBytes(path, json::write(value, {.pretty = pretty, .sortedKeys = true}), skipWhenUnchanged);
}

namespace {

// The thread that writes the accessibility evidence. The window tracker leaves evidence on every
// read of a host window, on the thread that also draws the application; creating and renaming a
// file there would cost that thread more than the rest of the read. The bytes are made at once
// (so each file says what was true when it was asked for) and written in the order asked.
class EvidenceWriter {
public:
    static EvidenceWriter& shared() {
        static EvidenceWriter writer;
        return writer;
    }

    void post(QString path, QByteArray bytes, bool skipWhenUnchanged) {
        std::unique_lock lock(mutex_);
        // A writer that falls far behind (a stalled disk) holds back the reader rather than
        // holding ever more files in memory.
        done_.wait(lock, [&] { return queue_.size() < maximumQueued; });
        queue_.push_back({std::move(path), std::move(bytes), skipWhenUnchanged});
        ++posted_;
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        work_.notify_one();
    }

    void wait() {
        std::unique_lock lock(mutex_);
        const quint64 target = posted_;
        done_.wait(lock, [&] { return written_ >= target; });
    }

    ~EvidenceWriter() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_.notify_one();
        if (thread_.joinable())
            thread_.join(); // after writing everything still queued
    }

private:
    struct Job {
        QString path;
        QByteArray bytes;
        bool skipWhenUnchanged = false;
    };
    static constexpr std::size_t maximumQueued = 64;

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return; // stopping, with nothing left to write
            Job job = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            writeBytes(job.path, job.bytes, job.skipWhenUnchanged); // failures are of no concern
            lock.lock();
            ++written_;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<Job> queue_;
    quint64 posted_ = 0, written_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

// Accessibility evidence: made now, written by the evidence thread.
void writeEvidence(const QString& path, const json::Value& value, bool skipWhenUnchanged) {
    if (!isSerialisable(value))
        return;
    EvidenceWriter::shared().post(path, json::write(value, {.pretty = false, .sortedKeys = true}),
                                  skipWhenUnchanged);
}

} // namespace

void waitForEvidence() {
    EvidenceWriter::shared().wait();
}

void record(const QString& folder, const QString& state, qint64 messageCount,
            const std::optional<QString>& model, const std::optional<QString>& detail, const Clock& clock) {
    json::Object status{
        {QStringLiteral("state"), state},
        {QStringLiteral("messageCount"), messageCount},
        {QStringLiteral("messageCountScope"), QStringLiteral("analysis_payload")},
        {QStringLiteral("conversationTotalMessages"), nullptr},
        {QStringLiteral("updatedAt"), isotime::format(clock.now())},
    };
    if (model)
        status.emplace_back(QStringLiteral("model"), *model);
    if (detail)
        status.emplace_back(QStringLiteral("detail"), *detail);
    writeFile(filePath(folder, desktopStatusFileName), status, true, false);
}

void cadence(const QString& folder, const QString& reason, qint64 turn, qint64 requests) {
    const json::Object status{
        {QStringLiteral("reason"), reason},         {QStringLiteral("observedUserTurn"), turn},
        {QStringLiteral("requests"), requests},     {QStringLiteral("mode"), QStringLiteral("collect_only")},
        {QStringLiteral("learningEnabled"), false},
    };
    writeFile(filePath(folder, cadenceStatusFileName), status, false, true);
}

void widgets(const QString& folder, const QMap<QString, bool>& visibility) {
    json::Object status;
    for (auto it = visibility.begin(); it != visibility.end(); ++it)
        status.emplace_back(it.key(), it.value());
    writeFile(filePath(folder, widgetsStatusFileName), status, false, true);
}

void clearPreviousSessionIdentityDiagnostics(const QString& folder) {
    waitForEvidence(); // evidence still on its way would bring a removed file back
    QStringList paths;
    for (const QString& host : supportedHostBundleIdentifiers())
        if (auto path = debugFilePath(folder, host))
            paths << *path;
    paths << filePath(folder, identityStatusFileName) << filePath(folder, messageIdentitiesFileName);
    for (const QString& path : paths)
        QFile::remove(path); // a missing file, or any other failure, is of no concern
}

void windowEvidence(const QString& folder, const QString& bundleID, const std::optional<QSizeF>& focusedSize,
                    const QList<QSizeF>& windowSizes, const Clock& clock) {
    const auto path = windowEvidenceFilePath(folder, bundleID);
    if (!path)
        return;
    json::Array sizes;
    for (const QSizeF& size : windowSizes)
        sizes.push_back(sizeValue(size));
    const json::Object evidence{
        {QStringLiteral("bundleID"), bundleID},
        {QStringLiteral("focusedSize"), focusedSize ? sizeValue(*focusedSize) : json::Value(json::Array{})},
        {QStringLiteral("windowSizes"), std::move(sizes)},
        {QStringLiteral("updatedAt"), isotime::format(clock.now())},
    };
    writeEvidence(*path, evidence, false);
}

void identityEvidence(qint64 selectedItems, bool stableKey, bool distinctTitle, bool anchorPresent,
                      bool historyCurrent, const QString& identitySource,
                      const QMap<QString, qint64>& documentProbe,
                      const std::vector<json::Object>& selectionDetails, const QString& path) {
    static const QStringList sources = {QStringLiteral("document"), QStringLiteral("navigation"),
                                        QStringLiteral("title"), QStringLiteral("fallback"),
                                        QStringLiteral("unknown")};
    static const QStringList probeKeys = {
        QStringLiteral("webAreas"), QStringLiteral("readableWebURLs"), QStringLiteral("readableWebDocuments"),
        QStringLiteral("windowDocumentReadable"), QStringLiteral("canonicalCandidates")};
    json::Object probe;
    for (const QString& key : probeKeys)
        if (auto it = documentProbe.constFind(key); it != documentProbe.constEnd())
            probe.emplace_back(key, it.value());
    json::Array details;
    for (const json::Object& detail : selectionDetails)
        details.push_back(reducedSelectionDetail(detail));
    const json::Object evidence{
        {QStringLiteral("selectedItems"), selectedItems},
        {QStringLiteral("stableKey"), stableKey},
        {QStringLiteral("distinctTitle"), distinctTitle},
        {QStringLiteral("anchorPresent"), anchorPresent},
        {QStringLiteral("historyCurrent"), historyCurrent},
        {QStringLiteral("identitySource"),
         sources.contains(identitySource) ? identitySource : QStringLiteral("unknown")},
        {QStringLiteral("documentProbe"), std::move(probe)},
        {QStringLiteral("selectionDetails"), std::move(details)},
    };
    writeEvidence(path, evidence, true);
}

json::Object identifierProbe(const std::optional<QString>& value) {
    if (!value || value->isEmpty())
        return {{QStringLiteral("present"), false}};
    return {
        {QStringLiteral("present"), true},
        {QStringLiteral("kind"), identifierKind(*value)},
        {QStringLiteral("length"), qint64(text::characterCount(*value))},
    };
}

void messageIdentityEvidence(const QString& folder, const std::vector<json::Object>& records) {
    json::Array array;
    array.reserve(records.size());
    for (const json::Object& record : records)
        array.emplace_back(reducedEvidenceObject(record));
    writeEvidence(filePath(folder, messageIdentitiesFileName), array, true);
}

void messageStructure(const QString& folder, const std::vector<SentMessageTree::Node>& nodes,
                      const QSet<int>& messageRoots) {
    json::Array structure;
    structure.reserve(nodes.size());
    for (qsizetype index = 0; index < qsizetype(nodes.size()); ++index) {
        const SentMessageTree::Node& node = nodes[index];
        QString speaker = QStringLiteral("none");
        if (node.role == u"AXHeading")
            speaker = ConversationText::headingRole(node.labels).value_or(speaker);
        bool copy = false;
        if (node.role == u"AXButton")
            copy = std::any_of(node.labels.begin(), node.labels.end(), [](const QString& label) {
                return ConversationText::isSentUserCopyAction(label);
            });
        json::Array children;
        for (int child : node.children)
            children.emplace_back(child);
        structure.push_back(json::Object{
            {QStringLiteral("index"), qint64(index)},
            {QStringLiteral("role"), knownRoleOrOther(node.role)},
            {QStringLiteral("children"), std::move(children)},
            {QStringLiteral("userBubble"), node.userBubble},
            {QStringLiteral("speaker"), speaker},
            {QStringLiteral("copy"), copy},
            {QStringLiteral("excluded"), node.excluded},
            {QStringLiteral("messageRoot"), messageRoots.contains(int(index))},
        });
    }
    writeEvidence(filePath(folder, messageStructureFileName), structure, true);
}

} // namespace quillmere::Diagnostics
