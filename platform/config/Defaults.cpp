#include "platform/config/Defaults.h"

#include "platform/config/BundleInfo.h"
#include "platform/files/RegularFile.h"

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

// Why the file at `path` may not be handed to QSettings, which opens and reads it itself.
std::optional<QString> refusalOf(const QString& path) {
    const RegularFile::Problem problem = RegularFile::examineOwned(path);
    if (problem == RegularFile::Problem::notOwned || problem == RegularFile::Problem::notRegular)
        return RegularFile::describe(problem);
    // Missing (written on the first sync) or unreadable (QSettings reports that itself).
    return std::nullopt;
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
    : file_(fileFor(suite, folder)), refusal_(refusalOf(file_)) {
    if (!refusal_)
        settings_ = std::make_unique<QSettings>(file_, QSettings::IniFormat);
}

Defaults::~Defaults() = default;

std::optional<QString> Defaults::stored(const QString& group, const QString& key) const {
    const QString name = typed(group, key);
    if (!settings_) {
        const auto found = unsaved_.constFind(name);
        return found == unsaved_.constEnd() ? std::nullopt : std::optional<QString>(*found);
    }
    const QVariant value = settings_->value(name);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

void Defaults::store(const QString& group, const QString& key, const QString& text) {
    if (settings_)
        settings_->setValue(typed(group, key), text);
    else
        unsaved_.insert(typed(group, key), text);
}

std::optional<QString> Defaults::string(const QString& key) const {
    return stored(stringGroup, key);
}

std::optional<bool> Defaults::boolean(const QString& key) const {
    const std::optional<QString> text = stored(booleanGroup, key);
    if (text == u"true")
        return true;
    if (text == u"false")
        return false;
    return std::nullopt;
}

std::optional<double> Defaults::number(const QString& key) const {
    const std::optional<QString> text = stored(numberGroup, key);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const double number = QLocale::c().toDouble(*text, &ok);
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
    store(group, key, text);
}

void Defaults::remove(const QString& key) {
    for (const QString& group : {stringGroup, booleanGroup, numberGroup}) {
        if (settings_)
            settings_->remove(typed(group, key));
        else
            unsaved_.remove(typed(group, key));
    }
}

bool Defaults::sync() {
    // Judged again: QSettings reopens a file that changed since it read it.
    if (!settings_ || refusalOf(file_))
        return false;
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

} // namespace quillmere
