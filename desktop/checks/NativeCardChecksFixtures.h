#pragma once

// What the card check groups share: the run's temporary folder, file reading that ends the run on
// failure, and the synthetic conversations.

#include "core/ClaudeModelAvailability.h"
#include "desktop/checks/CheckReporter.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/records/ConversationSnapshot.h"
#include "platform/time/Clock.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quillmere::NativeCardChecks {

// An error that ends the run: a file that cannot be created or read, a JSON round trip that fails.
struct RunError : std::runtime_error {
    explicit RunError(const QString& description) : std::runtime_error(description.toStdString()) {}
};

// "wire-test-" and a fresh upper-case UUID inside the output folder, created with its parents
// (the output folder included) and removed, with everything in it, when the value goes away.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const QString& outputDirectory);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const QString& path() const { return path_; }
    QString filePath(const QString& name) const;

private:
    QString path_;
};

// The whole file; throws RunError when it cannot be read.
QByteArray readFile(const QString& path);

// For each n in [first, last]: a user message "User request n" and an assistant message
// "Assistant response n".
std::vector<ClaudeWindowTrackerConversationMessage> messagePairs(int first, int last);

// The synthetic Claude conversation: one user request, the given current setting read reliably,
// and the availability evidence of one partial reading of the model menu with these rows (process
// 42, scope "synthetic-claude") at the clock's uptime.
ClaudeWindowTrackerConversationSnapshot
observedClaude(const QString& model, const QString& modelID, const QString& effort, bool extended,
               const std::vector<ClaudeModelAvailability::MenuRow>& rows,
               const Clock& clock = Clock::system());

// The synthetic conversation on Haiku 5.5 at `effort`, its menu showing Haiku 5.5 Medium and
// Sonnet 5.5 Low.
ClaudeWindowTrackerConversationSnapshot haiku55Snapshot(const QString& effort,
                                                        const Clock& clock = Clock::system());

// A cadence input with the given conversation, setting and latest user text; every other field at
// its default (turn 1, eligible, no attachment or options, history current).
RecommendationCadence::Input cadenceInput(const QString& context, const QString& setting,
                                          const QString& text);

// A new task replacing "Draft an outreach email for enterprise leads".
struct TaskChange {
    QString newText;
    QString label;
};
extern const std::array<TaskChange, 2> taskChanges;
// A cadence that completed a request for the outreach email at 5 and saw the change's text at `at`.
RecommendationCadence afterTaskChange(const TaskChange& change, double at);

// An enabled model-menu row.
ClaudeModelAvailability::MenuRow menuItem(const QString& label);

// A schema-2 OpenAI answer body with the fixed reason and the optional savings and fit fields.
QByteArray contractData(const QString& provider, const QString& decision, const QString& model,
                        const QString& effort, bool provisional, std::optional<double> savings = std::nullopt,
                        const std::optional<QString>& basis = std::nullopt,
                        const std::optional<QString>& comparedTo = std::nullopt,
                        const std::optional<QString>& fit = std::nullopt);

// An answer body of the given schema for a "high" effort setting, with a savings claim against a
// retired model; built at schema 2 and rewritten, as an upgraded service would send it.
QByteArray lifecycleReply(int schema, const QString& decision, const QString& model, bool provisional);

// A body as an object and back, for the checks that add or change keys; throws RunError.
QJsonObject objectOf(const QByteArray& body);
QByteArray bytesOf(const QJsonObject& object);

// Claude answers the contract checks decode: a full fit for Haiku 5.5 Medium, an unversioned legacy
// fit, and five answers that name a Haiku 5.5 setting its contract does not allow.
extern const QByteArray fitHaiku55Body;
extern const QByteArray legacyFitBody;
extern const std::array<QByteArray, 5> conflictingHaiku55Bodies;

// Passes with the sentence when the operation throws anything; fails with it when it returns.
void expectClaudeContractError(const checks::Reporter& check, const QString& sentence,
                               const std::function<void()>& operation);
// Passes only for the two availability errors of the classification road; another error fails
// with the sentence, ": unexpected " and the error.
void expectHaikuContractError(const checks::Reporter& check, const QString& sentence,
                              const std::function<void()>& operation);

} // namespace quillmere::NativeCardChecks
