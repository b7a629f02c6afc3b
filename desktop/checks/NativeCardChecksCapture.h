#pragma once

// What the card suite uses to look at the card as a person would: PNG captures of a view after the
// event loop has had a moment to lay it out and paint it, and the contrast rule of the card's
// colours.

#include <QColor>
#include <QString>
#include <vector>

class QWidget;

namespace quillmere::NativeCardChecks {

// The relative luminance of an sRGB colour, as the contrast rule of WCAG 2 defines it.
double luminance(const QColor& colour);
// (the lighter luminance + 0.05) / (the darker + 0.05); at least 1.
double contrastRatio(const QColor& foreground, const QColor& background);
// "native palette contrast " and the ratio with two decimals (whatever the locale) and ":1".
QString contrastSentence(double ratio);

// One PNG the run writes into its output folder: "<name>.png", `width` points wide and as high as
// the card needs there, at most `maxHeight`. An `opened` capture is about a state that shows only
// once the card is opened (the switch button's title, the note of the latest analysis): a card its
// group left compact is opened for the capture and made compact again after it.
struct Capture {
    QString name;
    int width = 310;
    int maxHeight = 1600;
    bool opened = false;
};
// Every capture of a run, in the order the run writes them.
const std::vector<Capture>& captures();
// The entry named `name`; throws RunError for a name the list does not hold.
const Capture& captureNamed(const QString& name);

// Turns the event loop for `seconds`, so pending layout, queued steps, timers and painting run.
void turnEventLoop(double seconds);
// Renders `view` and writes it as a PNG file at `path`, replacing a file of that name; throws
// RunError when the file cannot be written.
void writeCapture(QWidget* view, const QString& path);

} // namespace quillmere::NativeCardChecks
