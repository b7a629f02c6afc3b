#pragma once

// The simulated desktop's record of everything done to it, for tests to assert on.

#include "platform/accessibility/Error.h"

#include <QList>
#include <QPointF>
#include <QString>
#include <QStringList>

namespace quillmere::sim {

struct JournalEntry {
    enum class Kind { action, setAttribute, key, mouse, activation, trustPrompt };

    Kind kind = Kind::action;
    // Seconds on the desktop's scheduler clock.
    double time = 0;
    qint32 pid = 0;
    // The fixture id of the node concerned ("" when none or the node had no id).
    QString node;
    // The action or attribute name, the key code, or the mouse event type.
    QString name;
    // The value set, "down"/"up" for keys.
    QString detail;
    QPointF point;
    ax::Error result = ax::Error::success;

    // One line, for example "action AXPress picker", "set AXFocused=true picker -> success",
    // "key 501 53 down", "mouse down 160,52 picker", "activate 501".
    QString text() const;
};

class Journal {
public:
    void append(JournalEntry entry) { entries_.append(std::move(entry)); }
    const QList<JournalEntry>& entries() const { return entries_; }
    QStringList lines() const;
    // Lines of one kind only.
    QStringList lines(JournalEntry::Kind kind) const;
    void clear() { entries_.clear(); }

private:
    QList<JournalEntry> entries_;
};

} // namespace quillmere::sim
