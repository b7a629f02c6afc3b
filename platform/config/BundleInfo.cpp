#include "platform/config/BundleInfo.h"

#include "platform/files/RegularFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QXmlStreamReader>

namespace quillmere {

namespace {

// A property list of a few keys is tiny; anything larger is not ours.
constexpr qint64 largestPropertyList = 1024 * 1024;

using Values = std::map<QString, QVariant>;

// Reads the value element the reader stands on into `values[key]`. False when malformed.
bool readValue(QXmlStreamReader& xml, const QString& key, Values& values) {
    const QStringView name = xml.name();
    if (name == u"string") {
        values[key] = xml.readElementText();
    } else if (name == u"true" || name == u"false") {
        values[key] = name == u"true";
        xml.skipCurrentElement();
    } else if (name == u"integer") {
        bool ok = false;
        const qlonglong number = xml.readElementText().trimmed().toLongLong(&ok);
        if (!ok)
            return false;
        values[key] = number;
    } else if (name == u"real") {
        bool ok = false;
        const double number = xml.readElementText().trimmed().toDouble(&ok);
        if (!ok)
            return false;
        values[key] = number;
    } else if (name == u"dict" || name == u"array" || name == u"data" || name == u"date") {
        // Valid but not looked up by this application: the key is present and holds nothing it can
        // use, which a caller asking contains() must still be told.
        values[key] = QVariant();
        xml.skipCurrentElement();
    } else {
        return false;
    }
    return !xml.hasError();
}

std::optional<Values> parse(const QByteArray& bytes) {
    QXmlStreamReader xml(bytes);
    if (!xml.readNextStartElement() || xml.name() != u"plist")
        return std::nullopt;
    if (!xml.readNextStartElement() || xml.name() != u"dict")
        return std::nullopt;
    Values values;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"key")
            return std::nullopt;
        const QString key = xml.readElementText(); // a <key> holding elements is an error
        if (xml.hasError() || !xml.readNextStartElement())
            return std::nullopt; // a key without a value
        if (!readValue(xml, key, values))
            return std::nullopt;
    }
    if (xml.hasError())
        return std::nullopt;
    // Only the one dictionary may sit in the property list, and the document must end cleanly.
    if (xml.readNextStartElement())
        return std::nullopt;
    while (!xml.atEnd())
        xml.readNext();
    if (xml.error() != QXmlStreamReader::NoError)
        return std::nullopt;
    return values;
}

} // namespace

BundleInfo BundleInfo::load(const QString& path) {
    BundleInfo bundle;
    // Only a regular file, opened without waiting: a FIFO or device at the path would block or
    // never end, even one put there after a check of the path.
    const RegularFile::Contents contents = RegularFile::read(path, largestPropertyList);
    if (!contents.bytes)
        return bundle;
    if (auto values = parse(*contents.bytes))
        bundle.values_ = std::move(*values);
    return bundle;
}

const BundleInfo& BundleInfo::main() {
    if (!QCoreApplication::instance()) {
        // Without an application object there is no executable folder to look in yet.
        static const BundleInfo empty;
        return empty;
    }
    static const BundleInfo bundle =
        load(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Info.plist")));
    return bundle;
}

std::optional<QString> BundleInfo::string(const QString& key) const {
    const auto found = values_.find(key);
    if (found == values_.end() || found->second.typeId() != QMetaType::QString)
        return std::nullopt;
    return found->second.toString();
}

bool BundleInfo::contains(const QString& key) const {
    return values_.find(key) != values_.end();
}

bool BundleInfo::isTrue(const QString& key) const {
    return boolean(key).value_or(false);
}

std::optional<bool> BundleInfo::boolean(const QString& key) const {
    const auto found = values_.find(key);
    if (found == values_.end() || found->second.typeId() != QMetaType::Bool)
        return std::nullopt;
    return found->second.toBool();
}

} // namespace quillmere
