#include "platform/accessibility/Value.h"

#include <QLocale>
#include <cmath>

namespace quillmere::ax {

Value Value::strings(const QStringList& texts) {
    List list;
    list.reserve(texts.size());
    for (const QString& text : texts)
        list.emplace_back(text);
    return Value(std::move(list));
}

Value Value::elements(const QList<Element>& elements) {
    List list;
    list.reserve(elements.size());
    for (const Element& element : elements)
        list.emplace_back(element);
    return Value(std::move(list));
}

std::optional<Point> Value::point() const {
    if (const auto* p = std::get_if<Point>(&data_))
        return *p;
    return std::nullopt;
}

std::optional<Size> Value::size() const {
    if (const auto* s = std::get_if<Size>(&data_))
        return *s;
    return std::nullopt;
}

std::optional<Rect> Value::rect() const {
    if (const auto* r = std::get_if<Rect>(&data_))
        return *r;
    return std::nullopt;
}

std::optional<Range> Value::range() const {
    if (const auto* r = std::get_if<Range>(&data_))
        return *r;
    return std::nullopt;
}

bool Value::isNumber() const {
    return kind() == Kind::boolean || kind() == Kind::integer || kind() == Kind::real;
}

std::optional<bool> Value::asBoolean() const {
    if (const auto* b = std::get_if<bool>(&data_))
        return *b;
    if (const auto* i = std::get_if<qint64>(&data_)) {
        if (*i == 0 || *i == 1)
            return *i == 1;
        return std::nullopt;
    }
    if (const auto* d = std::get_if<double>(&data_)) {
        if (*d == 0.0 || *d == 1.0)
            return *d == 1.0;
    }
    return std::nullopt;
}

std::optional<QString> Value::numberText() const {
    if (const auto* b = std::get_if<bool>(&data_))
        return *b ? QStringLiteral("1") : QStringLiteral("0");
    if (const auto* i = std::get_if<qint64>(&data_))
        return QString::number(*i);
    if (const auto* d = std::get_if<double>(&data_)) {
        if (std::isnan(*d))
            return QStringLiteral("nan");
        if (std::isinf(*d))
            return *d > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
        // Whole reals print without a fraction, as the platform's number text does.
        if (std::trunc(*d) == *d && std::fabs(*d) < 1e15)
            return QString::number(qint64(*d));
        return QString::number(*d, 'g', QLocale::FloatingPointShortest);
    }
    return std::nullopt;
}

std::optional<qint64> Value::integerValue() const {
    if (const auto* b = std::get_if<bool>(&data_))
        return *b ? 1 : 0;
    if (const auto* i = std::get_if<qint64>(&data_))
        return *i;
    if (const auto* d = std::get_if<double>(&data_)) {
        if (!std::isfinite(*d) || std::fabs(*d) >= 9.2e18)
            return std::nullopt;
        return qint64(std::trunc(*d));
    }
    return std::nullopt;
}

QString Value::describe() const {
    switch (kind()) {
    case Kind::null:
        return QStringLiteral("null");
    case Kind::string:
        return u'"' + *string() + u'"';
    case Kind::url:
        return QStringLiteral("url(") + url()->text + u')';
    case Kind::attributedText:
        return QStringLiteral("attributed(\"") + attributedText()->plain + QStringLiteral("\")");
    case Kind::boolean:
        return std::get<bool>(data_) ? QStringLiteral("true") : QStringLiteral("false");
    case Kind::integer:
    case Kind::real:
        return *numberText();
    case Kind::point:
        return QStringLiteral("point(%1, %2)").arg(point()->x).arg(point()->y);
    case Kind::size:
        return QStringLiteral("size(%1, %2)").arg(size()->width).arg(size()->height);
    case Kind::rect: {
        const Rect r = *rect();
        return QStringLiteral("rect(%1, %2, %3, %4)")
            .arg(r.origin.x)
            .arg(r.origin.y)
            .arg(r.size.width)
            .arg(r.size.height);
    }
    case Kind::range:
        return QStringLiteral("range(%1, %2)").arg(range()->location).arg(range()->length);
    case Kind::element:
        return QStringLiteral("element#%1").arg(element()->node());
    case Kind::list: {
        QStringList parts;
        for (const Value& item : *list())
            parts << item.describe();
        return u'[' + parts.join(QStringLiteral(", ")) + u']';
    }
    }
    return {};
}

} // namespace quillmere::ax
