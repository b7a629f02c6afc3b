#pragma once

// One line of a Claude Code transcript, read in two depths.
//
// The outline is what the branch walk needs of every line: whether it is an event, its id, its
// parent and its type. A transcript is mostly tool results and bookkeeping that never reach the
// branch, so the outline comes from a light reading that checks the line is well-formed JSON and
// picks out those few top-level fields without building a document. A line the light reading
// cannot vouch for (anything unusual, damaged or rare) goes through QJsonDocument, so every line
// is accepted or refused exactly as the parser would.
//
// The content (the text a person reads, and when it was written) is read only for the events of
// the branch, by the same two depths.
//
// Every function here takes a byte buffer and nothing else, so a fuzzer can drive them.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace quillmere::ClaudeLocalConversationArchive {

enum class LineVerdict : quint8 {
    // An event: an object with a non-empty "uuid".
    event,
    // A well-formed line that is no event (a summary, a snapshot, other bookkeeping).
    notEvent,
    // Not a JSON object, or an event whose "parentUuid" is neither a string nor null.
    bad,
    // Refused by the parser because a string was not valid UTF-8.
    invalidUtf8,
};

// What an event's "type" and "origin" make of it. Tool results are stored as user events too; only
// a user event of human origin is something a person typed.
enum class EventType : quint8 { other, user, human, assistant };

struct LineOutline {
    LineVerdict verdict = LineVerdict::bad;
    // Events only: the id, and the parent's id (empty for a root), as UTF-8.
    QByteArray uuid;
    QByteArray parentUuid;
    EventType type = EventType::other;
    // The light reading could not vouch for the line and the parser read it; its content is read
    // by the parser too.
    bool parsed = false;

    // Whether two outlines describe the same line (how it was read does not count).
    bool sameAs(const LineOutline& other) const {
        return verdict == other.verdict && uuid == other.uuid && parentUuid == other.parentUuid &&
               type == other.type;
    }
};

// The light reading, falling back to the parser where it cannot be sure.
LineOutline outlineLine(QByteArrayView line);
// The parser alone: the reference the light reading must agree with.
LineOutline outlineLineByParser(QByteArrayView line);

enum class RowKind : quint8 { other, human, assistant };

struct RowContent {
    // The line's outline, so that a line read again can be checked against the index.
    LineOutline outline;
    // A request typed by a person, a reply, or neither (also when its text is empty).
    RowKind kind = RowKind::other;
    QString text;
    // The event's "timestamp" in milliseconds since 1970 when it has a text; 0 when unreadable.
    qint64 createdAtMs = 0;

    bool operator==(const RowContent& other) const {
        return outline.sameAs(other.outline) && kind == other.kind && text == other.text &&
               createdAtMs == other.createdAtMs;
    }
};

// The light reading, falling back to the parser where it cannot be sure (or when `parsed` says
// the outline already needed the parser).
RowContent readRowContent(QByteArrayView line, bool parsed = false);
// The parser alone.
RowContent readRowContentByParser(QByteArrayView line);

// "2026-09-29T08:00:10.000Z" and other ISO 8601 forms, in milliseconds since 1970; none when
// unreadable.
std::optional<qint64> timestampMs(const QString& text);

} // namespace quillmere::ClaudeLocalConversationArchive
