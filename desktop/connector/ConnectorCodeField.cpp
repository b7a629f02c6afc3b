#include "desktop/connector/ConnectorCodeField.h"

#include <QAccessible>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <memory>

namespace quillmere::ConnectorCodeField {

namespace {

constexpr const char* secretProperty = "quillmereSecretText";

QAccessible::UpdateHandler& passedOnTo() {
    static QAccessible::UpdateHandler handler = nullptr;
    return handler;
}

const QLineEdit* secretFieldOf(const QAccessibleEvent& event) {
    const auto* field = qobject_cast<const QLineEdit*>(event.object());
    return field && isSecret(field) ? field : nullptr;
}

// As many mask characters as the text has code units: the count and place of a change stay told,
// as the dots on screen show them.
QString masked(const QLineEdit& field, const QString& text) {
    QStyleOptionFrame option;
    option.initFrom(&field);
    const QChar mask(field.style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, &option, &field));
    return QString(text.size(), mask.isNull() ? QChar(u'*') : mask);
}

// The event as it may leave the process: a text event of a secret field with its characters
// masked; none when the event carries no text of one.
std::unique_ptr<QAccessibleEvent> maskedEvent(QAccessibleEvent& event) {
    const QLineEdit* field = secretFieldOf(event);
    if (!field)
        return nullptr;
    QObject* object = event.object();
    switch (event.type()) {
    case QAccessible::TextInserted: {
        auto& inserted = static_cast<QAccessibleTextInsertEvent&>(event);
        return std::make_unique<QAccessibleTextInsertEvent>(object, inserted.changePosition(),
                                                            masked(*field, inserted.textInserted()));
    }
    case QAccessible::TextRemoved: {
        auto& removed = static_cast<QAccessibleTextRemoveEvent&>(event);
        return std::make_unique<QAccessibleTextRemoveEvent>(object, removed.changePosition(),
                                                            masked(*field, removed.textRemoved()));
    }
    case QAccessible::TextUpdated: {
        auto& updated = static_cast<QAccessibleTextUpdateEvent&>(event);
        return std::make_unique<QAccessibleTextUpdateEvent>(object, updated.changePosition(),
                                                            masked(*field, updated.textRemoved()),
                                                            masked(*field, updated.textInserted()));
    }
    case QAccessible::ValueChanged: {
        auto& changed = static_cast<QAccessibleValueChangeEvent&>(event);
        return std::make_unique<QAccessibleValueChangeEvent>(object,
                                                             masked(*field, changed.value().toString()));
    }
    default:
        return nullptr;
    }
}

void passOn(QAccessibleEvent* event);

// Every accessibility event of the process passes here on its way to the bridge.
void filter(QAccessibleEvent* event) {
    const std::unique_ptr<QAccessibleEvent> replacement = maskedEvent(*event);
    passOn(replacement ? replacement.get() : event);
}

void passOn(QAccessibleEvent* event) {
    if (QAccessible::UpdateHandler next = passedOnTo()) {
        next(event);
        return;
    }
    // Qt offers no public way to hand an event to the platform's bridge from a handler; without a
    // handler it goes there itself. So the handlers step aside for this one event, and whichever
    // was installed comes back: one installed after the filter, which hands its events on to it,
    // stays installed.
    const QAccessible::UpdateHandler installed = QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(installed);
}

} // namespace

void keepSecret(QLineEdit* field) {
    if (!field)
        return;
    static const bool installed = [] {
        passedOnTo() = QAccessible::installUpdateHandler(&filter);
        return true;
    }();
    (void)installed;
    field->setProperty(secretProperty, true);
}

bool isSecret(const QLineEdit* field) {
    return field && field->property(secretProperty).toBool();
}

} // namespace quillmere::ConnectorCodeField
