#pragma once

// JSON reading and writing.
//
// Reading goes through QJsonDocument (its nesting limit bounds hostile depth) and the typed
// readers below, which keep "absent", "null" and "present with the wrong type" apart, because
// answers from other programs must fail on a wrong type but accept a missing optional.
//
// Writing goes through json::Value and json::write, which reproduce the byte layout of the
// original platform's serializer, since byte counts, golden files and peers depend on it: "/" is
// written "\/", control characters as two-character or \u00XX escapes, non-ASCII as raw UTF-8,
// integers without a fraction, doubles in the shortest form that reads back the same, and an
// optional pretty form with two-space indentation and `"key" : value`.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace quillmere::json {

// ---------------------------------------------------------------------------------------------
// Typed readers

enum class Presence { absent, null, wrongType, present };

template <typename T> struct Field {
    Presence presence = Presence::absent;
    T value{};

    bool isPresent() const { return presence == Presence::present; }
    // Missing and null both mean "no value"; only a wrong type is an error.
    bool isAbsentOrNull() const { return presence == Presence::absent || presence == Presence::null; }
    bool isWrongType() const { return presence == Presence::wrongType; }
    std::optional<T> optional() const { return isPresent() ? std::optional<T>(value) : std::nullopt; }
};

Field<QString> string(const QJsonObject& object, const QString& key);
Field<bool> boolean(const QJsonObject& object, const QString& key);
// Any JSON number.
Field<double> number(const QJsonObject& object, const QString& key);
// A JSON number with no fractional part that fits a signed 64-bit integer exactly.
Field<qint64> integer(const QJsonObject& object, const QString& key);
Field<QJsonObject> object(const QJsonObject& object, const QString& key);
Field<QJsonArray> array(const QJsonObject& object, const QString& key);

// Parses a document whose top level must be an object; nullopt for anything else.
std::optional<QJsonObject> parseObject(const QByteArray& bytes);
// Parses a document whose top level must be an array; nullopt for anything else.
std::optional<QJsonArray> parseArray(const QByteArray& bytes);

// ---------------------------------------------------------------------------------------------
// Writer

class Value;
using Array = std::vector<Value>;
using Member = std::pair<QString, Value>;
using Object = std::vector<Member>; // insertion order is kept

class Value {
public:
    Value() = default; // null
    Value(std::nullptr_t) {}
    Value(bool b) : data_(b) {}
    Value(int i) : data_(qint64(i)) {}
    Value(qint64 i) : data_(i) {}
    Value(double d) : data_(d) {}
    Value(const char* s) : data_(QString::fromUtf8(s)) {}
    Value(QString s) : data_(std::move(s)) {}
    Value(Array a) : data_(std::make_shared<Array>(std::move(a))) {}
    Value(Object o) : data_(std::make_shared<Object>(std::move(o))) {}

    // Converts a parsed value; object keys come in QJsonObject's order.
    static Value from(const QJsonValue& value);

    bool isNull() const { return std::holds_alternative<std::monostate>(data_); }
    const auto& data() const { return data_; }

private:
    std::variant<std::monostate, bool, qint64, double, QString, std::shared_ptr<Array>,
                 std::shared_ptr<Object>>
        data_;
};

struct WriteOptions {
    bool pretty = false;
    // Sorts the keys of every object by Unicode scalar value; otherwise insertion order.
    bool sortedKeys = false;
    // Writes half of a surrogate pair whose other half is missing (a text cut inside a character)
    // as a "\udXXX" escape, which QJsonDocument reads back as that very unit, instead of the "?"
    // that stands for it otherwise. For files this program reads back itself: other readers may
    // refuse such an escape, so what goes to them stays well-formed UTF-8.
    bool escapeLoneSurrogates = false;
};

QByteArray write(const Value& value, WriteOptions options = {});
// The escaped form of one string, quotes included, as write() produces it.
QByteArray quoted(QStringView text);
// How many bytes the quoted text takes as write() gives it with escapeLoneSurrogates, worked out
// without writing anything; without that option, at the most.
std::size_t quotedSize(QStringView text);
// How a double is written: without a fraction when integral, else the shortest round-trip form.
QByteArray formatNumber(double value);

} // namespace quillmere::json
