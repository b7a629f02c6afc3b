#pragma once

// The Edit menu the connector installs so that Cut, Copy, Paste and Select All reach the focused
// text field: one menu bar per process, whose "Edit" menu (object name "quillmere.edit") sends each
// command to whatever editor has the keyboard focus, never to a fixed target. The bar is the
// process's main menu as a model: it is never drawn (a strip above the card's rounded panel is no
// part of it); the windows it is attached to carry its commands and their keys.

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
// Gives `window` the main menu's commands ("Quit Quillmere" and the Edit menu's), so their keys
// work while it is on screen; draws nothing. Attaching a window again changes nothing.
void attachMenu(QWidget* window);

// The Edit menu of the main menu bar, if installed; and its command of the given name ("cut",
// "copy", "paste", "selectAll").
QMenu* editMenu();
QAction* editCommand(const QString& name);
// The number of top-level items of the main menu bar whose menu is the Edit menu.
int editMenuCount();

} // namespace quillmere::ConnectorEditing
