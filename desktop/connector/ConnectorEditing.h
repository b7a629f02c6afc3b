#pragma once

// The Edit menu the connector installs so that Cut, Copy, Paste and Select All reach the focused
// text field: one menu bar per process, whose "Edit" menu (object name "quillmere.edit") sends each
// command to whatever editor has the keyboard focus, never to a fixed target.

#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace quillmere::ConnectorEditing {

inline const QString editMenuIdentifier = QStringLiteral("quillmere.edit");

// The process's main menu bar; none until installMenu() first runs.
QMenuBar* mainMenu();
// Creates the main menu when there is none ("Quillmere" with "Quit Quillmere"), then adds the
// Edit menu unless one is installed already.
void installMenu();
// Shows the main menu bar at the top of `window` (it moves from the window that held it before).
void attachMenu(QWidget* window);

// The Edit menu of the main menu bar, if installed; and its command of the given name ("cut",
// "copy", "paste", "selectAll").
QMenu* editMenu();
QAction* editCommand(const QString& name);
// The number of top-level items of the main menu bar whose menu is the Edit menu.
int editMenuCount();

} // namespace quillmere::ConnectorEditing
