#include "desktop/checks/NativeCardChecksCapture.h"
#include "desktop/checks/NativeCardChecksFixtures.h"

#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace quillmere::NativeCardChecks {

namespace {

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

} // namespace

double luminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

double contrastRatio(const QColor& foreground, const QColor& background) {
    const double a = luminance(foreground);
    const double b = luminance(background);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QString contrastSentence(double ratio) {
    // QString::number ignores the locale: the ratio never takes a decimal comma.
    return QStringLiteral("native palette contrast ") + QString::number(ratio, 'f', 2) + QStringLiteral(":1");
}

const std::vector<Capture>& captures() {
    // The debug window is captured at its own size.
    static const std::vector<Capture> list = {
        {QStringLiteral("debug-window"), 660, 680},
        {QStringLiteral("two-line-default")},
        {QStringLiteral("compact-full-explanation-narrow"), 220},
        {QStringLiteral("compact-full-explanation")},
        {QStringLiteral("provider-claude-310")},
        {QStringLiteral("provider-claude-220"), 220},
        {QStringLiteral("provider-claude-long"), 220},
        {QStringLiteral("provider-claude-missing")},
        {QStringLiteral("provider-openai-310")},
        {QStringLiteral("provider-openai-220"), 220},
        {QStringLiteral("provider-openai-long"), 220},
        {QStringLiteral("provider-openai-missing")},
        {QStringLiteral("partial-history")},
        {QStringLiteral("conversation-title-long"), 220},
        {QStringLiteral("conversation-title")},
        {QStringLiteral("collapsed")},
        {QStringLiteral("recommendation-chips-narrow"), 220},
        {QStringLiteral("two-line-fit")},
        {QStringLiteral("model-fit-chip")},
        {QStringLiteral("two-line-fit-with-savings")},
        {QStringLiteral("claude-model-fit-with-fable-savings")},
        {QStringLiteral("model-fit-with-astra-savings")},
        {QStringLiteral("standard-reference-compact-stale")},
        {QStringLiteral("category-and-model-fit")},
        {QStringLiteral("expanded")},
        {QStringLiteral("compact-sonnet-baseline-67")},
        {QStringLiteral("chatgpt-model-options"), 310, 1600, true},
        {QStringLiteral("chatgpt-no-change"), 310, 1600, true},
        {QStringLiteral("chatgpt-abstention-detail"), 310, 1600, true},
        {QStringLiteral("chatgpt-normal"), 310, 1600, true},
        {QStringLiteral("waiting-stable"), 310, 1600, true},
        {QStringLiteral("model-not-detected"), 310, 1600, true},
        {QStringLiteral("retained-after-abstention"), 310, 1600, true},
        {QStringLiteral("previous-suggestion")},
        {QStringLiteral("loading"), 310, 1600, true},
        {QStringLiteral("error"), 310, 1600, true},
        {QStringLiteral("long")},
        {QStringLiteral("narrow"), 280, 400},
        {QStringLiteral("request-logs-expanded"), 640, 720},
        // As the close action left the card: compact, showing Sonnet.
        {QStringLiteral("normal"), 310, 1600},
    };
    return list;
}

const Capture& captureNamed(const QString& name) {
    for (const Capture& capture : captures())
        if (capture.name == name)
            return capture;
    throw RunError(QStringLiteral("no capture is named ") + name);
}

void turnEventLoop(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(std::lround(seconds * 1000)), &loop, &QEventLoop::quit);
    loop.exec();
}

void writeCapture(QWidget* view, const QString& path) {
    // A device pixel ratio of one: a point of the card is a pixel of the capture.
    QImage image = view->grab().toImage();
    image.setDevicePixelRatio(1);
    if (QFile::exists(path))
        QFile::remove(path);
    if (image.isNull() || !image.save(path, "PNG"))
        throw RunError(QStringLiteral("could not write the capture ") + path);
}

} // namespace quillmere::NativeCardChecks
