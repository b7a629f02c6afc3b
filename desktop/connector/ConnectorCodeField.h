#pragma once

// The one-use connection code is a secret for as long as it is typed: its field shows dots, and
// nothing it holds may leave the process through assistive technology either. Qt's line edit in a
// password mode reads its text as hidden and has the role of a password field, but the text events
// it posts for each insertion and removal carry the characters themselves, and its bridge to the
// accessibility bus passes them on. A field kept secret here still posts its events, with each
// character replaced by the field's mask character: a screen reader can tell that a character was
// typed or removed, and where, but never which.

class QLineEdit;

namespace quillmere::ConnectorCodeField {

// Marks `field` secret and, on first use, starts masking the text events of secret fields, for the
// whole process. The field's name, role and hidden text reach assistive technology as before.
void keepSecret(QLineEdit* field);
bool isSecret(const QLineEdit* field);

} // namespace quillmere::ConnectorCodeField
