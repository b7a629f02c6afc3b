#include "desktop/connector/ConnectorEditing.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextEdit>

namespace quillmere::ConnectorEditing {

namespace {

QPointer<QMenuBar>& menuBar() {
    static QPointer<QMenuBar> bar;
    return bar;
}

// Sends one editing command to the focused editor, whichever it is.
void sendToFocusedEditor(const QString& command) {
    QWidget* focus = QApplication::focusWidget();
    const auto apply = [&command](auto* editor) {
        if (command == u"cut")
            editor->cut();
        else if (command == u"copy")
            editor->copy();
        else if (command == u"paste")
            editor->paste();
        else
            editor->selectAll();
    };
    if (auto* line = qobject_cast<QLineEdit*>(focus))
        apply(line);
    else if (auto* text = qobject_cast<QTextEdit*>(focus))
        apply(text);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(focus))
        apply(plain);
}

QAction* command(QMenu* menu, const QString& title, const QString& name, QKeySequence::StandardKey key) {
    QAction* action = menu->addAction(title);
    action->setObjectName(name);
    action->setShortcut(QKeySequence(key));
    // Active wherever the application has focus; a focused line edit takes its own standard keys
    // first, so the menu never steals them from an editor.
    action->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(action, &QAction::triggered, action, [name] { sendToFocusedEditor(name); });
    return action;
}

} // namespace

QMenuBar* mainMenu() {
    return menuBar();
}

void installMenu() {
    QPointer<QMenuBar>& bar = menuBar();
    if (!bar) {
        bar = new QMenuBar();
        bar->setObjectName(QStringLiteral("Quillmere"));
        // The bar belongs to the process: it goes with the application object.
        QObject::connect(qApp, &QObject::destroyed, bar.data(), [] { delete menuBar().data(); });
    }
    if (editMenuCount() > 0)
        return;
    if (bar->actions().isEmpty()) {
        QMenu* application = bar->addMenu(QStringLiteral("Quillmere"));
        application->setObjectName(QStringLiteral("Quillmere"));
        QAction* quit = application->addAction(QStringLiteral("Quit Quillmere"));
        quit->setObjectName(QStringLiteral("quit"));
        quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
        quit->setShortcutContext(Qt::ApplicationShortcut);
        QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    }
    QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
    edit->setObjectName(editMenuIdentifier);
    command(edit, QStringLiteral("Cut"), QStringLiteral("cut"), QKeySequence::Cut);
    command(edit, QStringLiteral("Copy"), QStringLiteral("copy"), QKeySequence::Copy);
    command(edit, QStringLiteral("Paste"), QStringLiteral("paste"), QKeySequence::Paste);
    command(edit, QStringLiteral("Select All"), QStringLiteral("selectAll"), QKeySequence::SelectAll);
}

void attachMenu(QWidget* window) {
    QMenuBar* bar = menuBar();
    if (!bar || !window)
        return;
    // Every command of every menu, added to the window without drawing a strip: a command's keys
    // work while one window that holds it is on screen, as a main menu's do on a desktop that
    // shows it at the top of the screen rather than in the panel.
    for (QAction* item : bar->actions()) {
        if (!item->menu())
            continue;
        for (QAction* command : item->menu()->actions())
            if (!command->isSeparator() && !window->actions().contains(command))
                window->addAction(command);
    }
}

QMenu* editMenu() {
    QMenuBar* bar = menuBar();
    if (!bar)
        return nullptr;
    for (QAction* item : bar->actions())
        if (item->menu() && item->menu()->objectName() == editMenuIdentifier)
            return item->menu();
    return nullptr;
}

QAction* editCommand(const QString& name) {
    QMenu* menu = editMenu();
    if (!menu)
        return nullptr;
    for (QAction* action : menu->actions())
        if (action->objectName() == name)
            return action;
    return nullptr;
}

int editMenuCount() {
    QMenuBar* bar = menuBar();
    if (!bar)
        return 0;
    int count = 0;
    for (QAction* item : bar->actions())
        count += item->menu() && item->menu()->objectName() == editMenuIdentifier;
    return count;
}

} // namespace quillmere::ConnectorEditing
