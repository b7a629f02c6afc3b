#pragma once

// Reads the simulated desktop's fixture format (docs/simulated-desktop.md) into a
// SimulatedDesktop. Every error names the field it found at its path from the top of the file.

#include "platform/accessibility/Value.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace quillmere::sim {

class SimulatedDesktop;

class DesktopFixture {
public:
    // Loads a whole fixture into an empty desktop. Throws FixtureError.
    static void load(SimulatedDesktop& desktop, const QJsonObject& root);
    // Builds a copy of a template's tree as the last child of node `parent`, giving the new
    // nodes process `pid`; returns the copy's root. Throws FixtureError.
    static quint64 instantiate(SimulatedDesktop& desktop, const QJsonObject& tree, quint64 parent, qint32 pid,
                               const QString& path);
    // Converts a fixture value; element references name the newest live node with that id.
    // Throws FixtureError naming `path`.
    static ax::Value convert(const SimulatedDesktop& desktop, const QJsonValue& value, const QString& path);
};

} // namespace quillmere::sim
