#pragma once

// An attribute value as a host reports it: untyped until a reader decides what it wants.
//
// The kinds are those hosts actually return: text, a URL (kept as the exact text the host gave,
// since conversation identities are built from it byte for byte), attributed text, Booleans and
// numbers (which the platform bridges into each other, see asBoolean and numberText), geometry
// values, elements and lists of any of these. `null` is a successful read with no value.

#include "platform/accessibility/Element.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <variant>
#include <vector>

namespace quillmere::ax {

struct Url {
    // The text the host gave, unchanged.
    QString text;
    // Whether the URL has an absolute form; a relative one without a base has none.
    bool hasAbsoluteString = true;
    friend bool operator==(const Url&, const Url&) = default;
};

struct AttributedText {
    QString plain;
    friend bool operator==(const AttributedText&, const AttributedText&) = default;
};

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    Point origin;
    Size size;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Range {
    qint64 location = 0;
    qint64 length = 0;
    friend bool operator==(const Range&, const Range&) = default;
};

class Value {
public:
    enum class Kind {
        null,
        string,
        url,
        attributedText,
        boolean,
        integer,
        real,
        point,
        size,
        rect,
        range,
        element,
        list
    };
    using List = std::vector<Value>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(QString s) : data_(std::move(s)) {}
    Value(const char* s) : data_(QString::fromUtf8(s)) {}
    Value(Url u) : data_(std::move(u)) {}
    Value(AttributedText t) : data_(std::move(t)) {}
    Value(bool b) : data_(b) {}
    Value(int i) : data_(qint64(i)) {}
    Value(qint64 i) : data_(i) {}
    Value(double d) : data_(d) {}
    Value(Point p) : data_(p) {}
    Value(Size s) : data_(s) {}
    Value(Rect r) : data_(r) {}
    Value(Range r) : data_(r) {}
    Value(Element e) : data_(std::move(e)) {}
    Value(List l) : data_(std::move(l)) {}
    static Value strings(const QStringList& texts);
    static Value elements(const QList<Element>& elements);

    // Makes this the null value.
    void clear() { data_.emplace<std::monostate>(); }

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool isNull() const { return kind() == Kind::null; }

    // Exact-kind accessors: none unless the value is of that kind.
    const QString* string() const { return std::get_if<QString>(&data_); }
    const Url* url() const { return std::get_if<Url>(&data_); }
    const AttributedText* attributedText() const { return std::get_if<AttributedText>(&data_); }
    const Element* element() const { return std::get_if<Element>(&data_); }
    const List* list() const { return std::get_if<List>(&data_); }
    std::optional<Point> point() const;
    std::optional<Size> size() const;
    std::optional<Rect> rect() const;
    std::optional<Range> range() const;

    // Whether the value is a number (Booleans are numbers on this platform too).
    bool isNumber() const;
    // The platform's Boolean bridging: a Boolean, or a number that is exactly 0 or 1.
    std::optional<bool> asBoolean() const;
    // The platform's number-to-text form: Booleans as "1"/"0", integers in decimal, other
    // numbers in their shortest exact form. None for non-numbers.
    std::optional<QString> numberText() const;
    // The platform's integer bridging of a number (a real is truncated toward zero); none for
    // non-numbers and reals out of range.
    std::optional<qint64> integerValue() const;

    // A readable form for journals and test failures.
    QString describe() const;

    friend bool operator==(const Value&, const Value&) = default;

private:
    std::variant<std::monostate, QString, Url, AttributedText, bool, qint64, double, Point, Size, Rect, Range,
                 Element, List>
        data_;
};

} // namespace quillmere::ax
