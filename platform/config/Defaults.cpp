#include "platform/config/Defaults.h"

#include "platform/config/BundleInfo.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"
#include "platform/files/RegularFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
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

// The suite's file as it is now, judged by the rule and read within the bound: a missing file
// reads as empty (it is written on the first change); a FIFO, a file this user cannot read, one
// that is too large and one the rule refuses are never read, nor replaced.
struct Read {
    std::optional<IniDocument> document;
    std::optional<QString> problem;
};

Read read(const QString& path) {
    const RegularFile::Contents contents = RegularFile::readOwned(path, Defaults::maximumFileBytes);
    switch (contents.problem) {
    case RegularFile::Problem::none:
        return {IniDocument::parse(*contents.bytes), std::nullopt};
    case RegularFile::Problem::missing:
        return {IniDocument(), std::nullopt};
    default:
        return {std::nullopt, RegularFile::describe(contents.problem)};
    }
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

Defaults::Defaults(const QString& suite, const QString& folder) : file_(fileFor(suite, folder)) {
    Read file = read(file_);
    refusal_ = file.problem;
    if (file.document)
        takeUp(*file.document);
}

Defaults::~Defaults() {
    if (!changes_.isEmpty())
        sync();
}

void Defaults::takeUp(const IniDocument& document) {
    values_ = document.strings();
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
    if (refusal_)
        return;
    changes_.insert(name, text);
    scheduleWrite();
}

void Defaults::scheduleWrite() {
    if (writeScheduled_)
        return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        sync(); // no event loop to wait for
        return;
    }
    writeScheduled_ = true;
    // Posted rather than written here: the changes of one turn (a pause and its new period) go
    // to the file together.
    QMetaObject::invokeMethod(
        application,
        [this, alive = std::weak_ptr<char>(alive_)] {
            if (alive.expired() || !writeScheduled_)
                return;
            sync();
            if (writeReport_)
                writeReport_(syncFailure_);
        },
        Qt::QueuedConnection);
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
    // Under one type only: storing again under another type replaces the old value.
    for (const QString& other : {stringGroup, booleanGroup, numberGroup})
        if (other != group)
            store(other, key, std::nullopt);
    store(group, key, text);
}

void Defaults::remove(const QString& key) {
    for (const QString& group : {stringGroup, booleanGroup, numberGroup})
        store(group, key, std::nullopt);
}

bool Defaults::sync() {
    writeScheduled_ = false;
    if (refusal_) {
        syncFailure_ = refusal_;
        return false;
    }
    // Judged and read again before every write: the file may have been swapped since the start,
    // and another process may have written other keys meanwhile, which are kept.
    const std::optional<QString> real = OwnedPath::ownedFile(file_);
    Read file = real ? read(*real) : Read{std::nullopt, OwnedPath::refusalReason()};
    syncFailure_ = file.problem;
    if (!file.document)
        return false;
    if (!changes_.isEmpty()) {
        for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
            if (change.value())
                file.document->set(change.key(), *change.value());
            else
                file.document->remove(change.key());
        }
        QString error;
        if (!AtomicFile::makeFolder(QFileInfo(*real).path(), 0700, &error) ||
            !AtomicFile::writeIfChanged(*real, file.document->text(), 0600, &error)) {
            syncFailure_ = error.isEmpty() ? QStringLiteral("write failed") : error;
            return false;
        }
        changes_.clear();
    }
    takeUp(*file.document);
    return true;
}

} // namespace quillmere
