#include "platform/simulated/Journal.h"

namespace quillmere::sim {

namespace {

QString pointText(QPointF p) {
    return QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
}

QString withNode(QString line, const QString& node) {
    if (!node.isEmpty())
        line += u' ' + node;
    return line;
}

QString withResult(QString line, ax::Error result) {
    if (result != ax::Error::success)
        line += QStringLiteral(" -> ") + ax::errorName(result);
    return line;
}

} // namespace

QString JournalEntry::text() const {
    switch (kind) {
    case Kind::action:
        return withResult(withNode(QStringLiteral("action ") + name, node), result);
    case Kind::setAttribute:
        return withResult(withNode(QStringLiteral("set ") + name + u'=' + detail, node), result);
    case Kind::key:
        return QStringLiteral("key %1 %2 %3").arg(pid).arg(name, detail);
    case Kind::mouse:
        return withNode(QStringLiteral("mouse ") + name + u' ' + pointText(point), node);
    case Kind::activation:
        return withResult(QStringLiteral("activate %1").arg(pid), result);
    case Kind::trustPrompt:
        return QStringLiteral("trust prompt");
    }
    return {};
}

QStringList Journal::lines() const {
    QStringList out;
    for (const JournalEntry& entry : entries_)
        out << entry.text();
    return out;
}

QStringList Journal::lines(JournalEntry::Kind kind) const {
    QStringList out;
    for (const JournalEntry& entry : entries_)
        if (entry.kind == kind)
            out << entry.text();
    return out;
}

} // namespace quillmere::sim
