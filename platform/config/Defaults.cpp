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

// Why the file at `path` may not be handed to QSettings, which opens and reads it itself, or be
// replaced by what this run sets. It is opened here to find out, without blocking, as it was
// judged: a FIFO, a file this user cannot read and a file the rule refuses are never handed on.
std::optional<QString> refusalOf(const QString& path) {
    const RegularFile::Problem problem = RegularFile::openOwned(path).problem();
    if (problem == RegularFile::Problem::none || problem == RegularFile::Problem::missing)
        return std::nullopt; // a missing file is written on the first sync
    return RegularFile::describe(problem);
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
        takeUp(QSettings(file_, QSettings::IniFormat));
}

Defaults::~Defaults() {
    if (!changes_.isEmpty())
        sync();
}

void Defaults::takeUp(const QSettings& settings) {
    values_.clear();
    for (const QString& name : settings.allKeys()) {
        const QVariant value = settings.value(name);
        if (value.typeId() == QMetaType::QString)
            values_.insert(name, value.toString());
    }
    // What this run set and could not write yet stays in effect.
    for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
        if (change.value())
            values_.insert(change.key(), *change.value());
        else
            values_.remove(change.key());
    }
}

std::optional<QString> Defaults::stored(const QString& group, const QString& key) const {
    const auto found = values_.constFind(typed(group, key));
    return found == values_.constEnd() ? std::nullopt : std::optional<QString>(*found);
}

void Defaults::store(const QString& group, const QString& key, const std::optional<QString>& text) {
    const QString name = typed(group, key);
    if (!text && !values_.contains(name) && !changes_.contains(name))
        return;
    if (text)
        values_.insert(name, *text);
    else
        values_.remove(name);
    // A refused suite keeps its values for this run only: nothing is ever written for it.
    if (!refusal_)
        changes_.insert(name, text);
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
    for (const QString& group : {stringGroup, booleanGroup, numberGroup})
        store(group, key, std::nullopt);
}

bool Defaults::sync() {
    // Judged again before QSettings opens the file: it may have been swapped since the start.
    syncFailure_ = refusal_ ? refusal_ : refusalOf(file_);
    if (syncFailure_)
        return false;
    QSettings settings(file_, QSettings::IniFormat);
    for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
        if (change.value())
            settings.setValue(change.key(), *change.value());
        else
            settings.remove(change.key());
    }
    // Written here or not at all: after sync() QSettings has nothing left to write when it goes.
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        syncFailure_ = QStringLiteral("write failed");
        return false;
    }
    changes_.clear();
    takeUp(settings);
    return true;
}

} // namespace quillmere
