#include "platform/config/Defaults.h"

#include "platform/config/BundleInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QtDebug>
#include <initializer_list>

namespace quillmere {

namespace {

// INI keeps only text, so each value lives in a group named for its type: a key read as the wrong
// type is simply absent there, and "true" stored as a string never reads as a Boolean.
const QString stringGroup = QStringLiteral("string");
const QString booleanGroup = QStringLiteral("bool");
const QString numberGroup = QStringLiteral("number");

QString typed(const QString& group, const QString& key) {
    return group + u'/' + key;
}

QString fileFor(const QString& suite, const QString& folder) {
    QString base =
        folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) : folder;
    // The suite names a file inside the folder, never a path out of it.
    QString name = suite;
    name.replace(u'/', u'_');
    if (name.isEmpty() || name == u"." || name == u"..")
        name = QStringLiteral("_") + name;
    return QDir(base).filePath(name + QStringLiteral(".ini"));
}

QString standardSuite() {
    if (auto identifier = BundleInfo::main().bundleIdentifier(); identifier && !identifier->isEmpty())
        return *identifier;
    return QCoreApplication::applicationName();
}

} // namespace

Defaults& Defaults::standard() {
    static Defaults defaults(standardSuite());
    return defaults;
}

Defaults::Defaults(const QString& suite, const QString& folder)
    : settings_(std::make_unique<QSettings>(fileFor(suite, folder), QSettings::IniFormat)) {}

Defaults::~Defaults() = default;

std::optional<QString> Defaults::string(const QString& key) const {
    const QVariant value = settings_->value(typed(stringGroup, key));
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<bool> Defaults::boolean(const QString& key) const {
    const QVariant value = settings_->value(typed(booleanGroup, key));
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString();
    if (text == u"true")
        return true;
    if (text == u"false")
        return false;
    return std::nullopt;
}

std::optional<double> Defaults::number(const QString& key) const {
    const QVariant value = settings_->value(typed(numberGroup, key));
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    bool ok = false;
    const double number = QLocale::c().toDouble(value.toString(), &ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void Defaults::set(const QString& key, const QVariant& value) {
    if (!value.isValid()) {
        remove(key);
        return;
    }
    QString group;
    QString text;
    switch (value.typeId()) {
    case QMetaType::Bool:
        group = booleanGroup;
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        break;
    case QMetaType::QString:
        group = stringGroup;
        text = value.toString();
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Float:
    case QMetaType::Double:
        group = numberGroup;
        text = QLocale::c().toString(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        break;
    default:
        qWarning().noquote() << "Defaults: not storing" << key << "of unsupported type" << value.typeName();
        return;
    }
    remove(key);
    settings_->setValue(typed(group, key), text);
}

void Defaults::remove(const QString& key) {
    for (const QString& group : {stringGroup, booleanGroup, numberGroup})
        settings_->remove(typed(group, key));
}

bool Defaults::sync() {
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

} // namespace quillmere
