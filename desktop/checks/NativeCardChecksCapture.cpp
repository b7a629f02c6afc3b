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
