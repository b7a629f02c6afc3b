#pragma once

// What a simulated host does in answer to an action, a key or a click.

#include "platform/accessibility/Error.h"

#include <QJsonValue>
#include <QList>
#include <QString>

namespace quillmere::sim {

struct Behaviour {
    enum class Kind {
        attach,             // instantiate `templateName` as the last child of `under`
        detach,             // remove `target` and its subtree; its elements go stale
        focus,              // make `target` its application's focused element
        set,                // set `attribute` of `target` to `value`
        closeMenus,         // detach every open menu of the application
        fail,               // the action fails with `error` and has no effect
        nothing,            // the action succeeds and nothing happens
        changeConversation, // the window `target` shows another conversation (`title`, `document`)
    };

    Kind kind = Kind::nothing;
    // Seconds on the scheduler's clock before the effect; 0 is at once.
    double after = 0;
    QString templateName;
    QString under;
    // A node id, or "$self" (the node acted on), "$window" (its window), "$app" (its application).
    QString target;
    QString attribute;
    // Converted when the behaviour runs, so it may name elements made since the desktop loaded.
    QJsonValue value;
    ax::Error error = ax::Error::failure;
    QJsonValue title;
    QJsonValue document;
};

using Behaviours = QList<Behaviour>;

} // namespace quillmere::sim
