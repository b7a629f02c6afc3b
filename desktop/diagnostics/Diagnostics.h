#pragma once

// Small, content-free JSON files describing the application's state for whoever inspects the
// machine: the shell's status files and the evidence the window tracker leaves of what the
// accessibility tree looked like. They hold codes, counts, flags, sizes and kinds, never
// conversation text or titles.
//
// Every writer takes the folder it writes into (the application passes
// Paths::diagnosticsRoot()), sorts keys, replaces its file atomically and ignores every failure:
// diagnostics must never disturb the application.

#include "core/Json.h"
#include "core/SentMessageTree.h"
#include "platform/time/Clock.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QSizeF>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

namespace quillmere::Diagnostics {

inline constexpr auto desktopStatusFileName = "quillmere-desktop-status.json";
inline constexpr auto cadenceStatusFileName = "quillmere-cadence-status.json";
inline constexpr auto widgetsStatusFileName = "quillmere-widgets-status.json";
inline constexpr auto identityStatusFileName = "quillmere-identity-status.json";
inline constexpr auto messageIdentitiesFileName = "quillmere-message-identities.json";
inline constexpr auto messageStructureFileName = "quillmere-message-structure.json";

// The hosts whose per-host debug files a new session clears, in the order they are removed.
QStringList supportedHostBundleIdentifiers();

// Whether a host or bundle string may become part of a file name in the shared diagnostics
// folder: non-empty, ASCII letters, digits, ".", "_" and "-" only. Anything else (a "/", a
// space, a non-ASCII letter) could name a file outside the intended pattern, so such a file is
// simply not written.
bool isSafeFileNamePart(QStringView part);

// "quillmere-debug-<host>.json" in `folder`, or none when the host is not a safe name part.
std::optional<QString> debugFilePath(const QString& folder, QStringView host);
// "quillmere-window-evidence-<bundle id>.json" in `folder`, or none for an unsafe bundle id.
std::optional<QString> windowEvidenceFilePath(const QString& folder, QStringView bundleID);

// Writes `value` to `path` the way every diagnostic file is written: sorted keys, compact or
// pretty, atomically (nothing synced: the files live in the temporary folder). With `skipWhenUnchanged`, a
// file that already holds exactly these bytes is left alone. A value that cannot be serialised (a non-finite
// number) writes nothing. Returns whether the file now holds the bytes; callers that follow the "ignore every
// error" rule drop it.
bool writeFile(const QString& path, const json::Value& value, bool pretty, bool skipWhenUnchanged);

// ---------------------------------------------------------------------------------------------
// Status files of the application shell

// The desktop status, pretty-printed and always rewritten (it carries the time of writing).
void record(const QString& folder, const QString& state, qint64 messageCount,
            const std::optional<QString>& model, const std::optional<QString>& detail,
            const Clock& clock = Clock::system());

// The cadence status after a request decision; identical content leaves the file untouched.
void cadence(const QString& folder, const QString& reason, qint64 turn, qint64 requests);

// Which widgets show their card, keyed by widget key; identical content leaves the file untouched.
void widgets(const QString& folder, const QMap<QString, bool>& visibility);

// Removes the previous run's per-host debug files and identity diagnostics from `folder`, each
// removal on its own, ignoring every error.
void clearPreviousSessionIdentityDiagnostics(const QString& folder);

// ---------------------------------------------------------------------------------------------
// Accessibility evidence
//
// The window tracker leaves this evidence on every read, on the application's own thread: each
// writer makes its bytes at once and hands them to a thread of its own, which writes the files
// in the order asked. waitForEvidence() returns once everything asked for so far is written (or
// has failed); whoever reads an evidence file right after asking for it waits first.
void waitForEvidence();

// The sizes of a host's windows, rewritten on every call. Sizes are written as integers
// truncated toward zero; a non-finite size is written as 0 and one beyond the 64-bit range is
// clamped to it.
void windowEvidence(const QString& folder, const QString& bundleID, const std::optional<QSizeF>& focusedSize,
                    const QList<QSizeF>& windowSizes, const Clock& clock = Clock::system());

// How the open conversation's identity was decided, written to `path` (the tracker passes
// "quillmere-identity-status.json" in the diagnostics folder). Only the listed probe counts and
// the listed selection-detail flags survive, so no text can reach the file.
void identityEvidence(qint64 selectedItems, bool stableKey, bool distinctTitle, bool anchorPresent,
                      bool historyCurrent, const QString& identitySource,
                      const QMap<QString, qint64>& documentProbe,
                      const std::vector<json::Object>& selectionDetails, const QString& path);

// A content-free description of an identifier value: whether there is one, its kind ("uuid",
// "react", "message", "turn", "numeric", "other") and its length in characters.
json::Object identifierProbe(const std::optional<QString>& value);

// The tracker's per-message identity records. Numbers, flags and structure are written as they
// are; texts only when the code knows them (message roles, identifier kinds, accessibility role
// names, else "other"), positions and set sizes only when they are numbers (else ""), and listed
// attribute names only when known, the others counted under "unlistedAttributeNames".
void messageIdentityEvidence(const QString& folder, const std::vector<json::Object>& records);

// The shape of a rendered message tree: per node its role (a role the code does not know is
// "other"), children and flags, the speaker a heading names and whether a button is a sent
// message's copy action; never a label's text.
void messageStructure(const QString& folder, const std::vector<SentMessageTree::Node>& nodes,
                      const QSet<int>& messageRoots);

} // namespace quillmere::Diagnostics
