#pragma once

// The text of a user-defaults file in the INI form QSettings reads and writes, so that files
// written by earlier versions (through QSettings) read the same and files written here read the
// same there. Only plain string values are understood; every other value (a list, a typed "@…"
// value) is kept as it was written and read as none. Like QSettings, writing sorts sections and
// keys and drops lines that are neither a section nor a key.
//
// A key is "section/name"; a key without a section lives in [General].

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QMap>
#include <QString>

namespace quillmere {

class IniDocument {
public:
    static IniDocument parse(QByteArrayView bytes);
    QByteArray text() const;

    // Every key whose value reads as one string.
    QHash<QString, QString> strings() const;
    void set(const QString& key, const QString& value);
    void remove(const QString& key);

private:
    QMap<QString, QByteArray> values_; // key: the value as written in the file
};

} // namespace quillmere
