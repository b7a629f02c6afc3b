#pragma once

// The bounded walks that turn a host's accessibility tree into flat lists of elements, and the
// element tests built on them: the model picker, menus, the sources side panel, and the text
// that says what a control currently shows.
//
// Every walk has a cap, because host trees can be huge and the walks run on the main thread. A
// walk that reaches its cap returns exactly `limit` elements; nothing else says it was cut, so
// callers that care compare the length with the cap. Elements count as the same when they
// compare equal (never by handle object); de-duplicating walks bucket them by hash.

#include "desktop/observation/AccessibilityReading.h"
#include "platform/accessibility/Element.h"
#include "platform/workspace/Workspace.h"

#include <QList>
#include <QString>

namespace quillmere {

class ElementWalks {
public:
    // The caps the callers use.
    static constexpr int choiceLabelLimit = 24;
    static constexpr int controlContentsLimit = 100;
    static constexpr int modelMenuLimit = 251;
    static constexpr int openMenuLimit = 300;
    static constexpr int confirmationLimit = 5000;
    static constexpr int interactiveLimit = 6000;
    static constexpr int optionSurfaceLimit = 8000;

    // Depth-first pre-order over "AXChildren", no de-duplication.
    static QList<ax::Element> flattenedElements(const ax::Element& root, int limit);
    // Depth-first pre-order over every child-like attribute, each element listed once, at its
    // first visit.
    static QList<ax::Element> flattenedInteractiveElements(const ax::Element& root, int limit);
    // What is open in front of the host: the application's elements, then those around the
    // focused element when it lies outside them, each listed once.
    static QList<ax::Element> optionSurfaceElements(const RunningApplication& application, int limit);

    // A picker-like control whose label names a model.
    static bool isModelPicker(const ax::Element& element);
    // Whether the element or one of its first 11 ancestors is a menu.
    static bool isInAXMenu(const ax::Element& element);
    // Whether the element or one of its first 7 ancestors is the conversation's sources panel.
    static bool isInSourcesPanel(const ax::Element& element);
    // The control's own label when it names a model or an effort; otherwise the labels of the
    // texts inside it, joined with one blank.
    static QString controlChoiceLabel(const ax::Element& element);
};

} // namespace quillmere
