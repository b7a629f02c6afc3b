#include "desktop/shell/SavedPanelOrigin.h"

#include "desktop/diagnostics/WriteFailures.h"

#include <QLocale>
#include <QRegularExpression>
#include <cmath>

namespace quillmere::SavedPanelOrigin {

namespace {

// Screens are a few thousand points across; anything beyond this is damage, not a place.
constexpr double farthest = 1'000'000.0;

std::optional<double> coordinate(const QString& text) {
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value) || std::abs(value) > farthest)
        return std::nullopt;
    return value;
}

} // namespace

QString key(const QString& bundleID) {
    return QStringLiteral("QuillmerePanelOrigin.") + bundleID;
}

QString format(QPointF origin) {
    const auto number = [](double value) {
        return QLocale::c().toString(value == 0 ? 0.0 : value, 'f', QLocale::FloatingPointShortest);
    };
    return QLatin1Char('{') + number(origin.x()) + QStringLiteral(", ") + number(origin.y()) +
           QLatin1Char('}');
}

std::optional<QPointF> parse(const QString& text) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(
        R"(\{[ \t]*([-+]?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)[ \t]*,[ \t]*([-+]?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)[ \t]*\})")));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto x = coordinate(match.captured(1));
    const auto y = coordinate(match.captured(2));
    if (!x || !y)
        return std::nullopt;
    return QPointF(*x, *y);
}

std::optional<QPointF> load(const Defaults& defaults, const QString& bundleID) {
    const auto text = defaults.string(key(bundleID));
    return text ? parse(*text) : std::nullopt;
}

void store(Defaults& defaults, const QString& bundleID, QPointF origin) {
    defaults.set(key(bundleID), format(origin));
    // Settings that may not be used are kept for this run, as was said when they were refused.
    if (defaults.refusal())
        return;
    // Written now rather than at some later sync, so that a failure is known and said. Nothing
    // writes it again by itself: the next move of the card does.
    if (defaults.sync())
        WriteFailures::shared().succeeded(QStringLiteral("saved panel origin"), bundleID);
    else
        WriteFailures::shared().failed(QStringLiteral("saved panel origin"),
                                       QStringLiteral("the settings file could not be written"), bundleID);
}

void forget(Defaults& defaults, const QString& bundleID) {
    defaults.remove(key(bundleID));
}

} // namespace quillmere::SavedPanelOrigin
