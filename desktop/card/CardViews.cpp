#include "desktop/card/CardViews.h"

#include "desktop/card/CardPalette.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QTextLayout>
#include <QVariant>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace quillmere {

namespace {

QFont::Weight qtWeight(CardFontWeight weight) {
    switch (weight) {
    case CardFontWeight::regular:
        return QFont::Normal;
    case CardFontWeight::medium:
        return QFont::Medium;
    case CardFontWeight::semibold:
        return QFont::DemiBold;
    }
    return QFont::Normal;
}

// The card's own record of each view. Kept beside the widgets rather than as dynamic properties:
// the request log touches thousands of views per pass and property look-ups by name add up.
struct ViewState {
    bool hidden = false;
    std::optional<QString> accessibilityLabel;
    std::optional<QString> accessibilityValue;
    std::optional<QString> toolTip; // the plain text it shows, before Qt gets it escaped
    cardlayout::Rect frame;
};

std::unordered_map<const QWidget*, ViewState>& viewStates() {
    // Never destroyed: views may outlive static destruction at exit.
    static auto* states = new std::unordered_map<const QWidget*, ViewState>();
    return *states;
}

ViewState& stateOf(QWidget* view) {
    auto [found, inserted] = viewStates().try_emplace(view);
    if (inserted)
        QObject::connect(view, &QObject::destroyed, [view] { viewStates().erase(view); });
    return found->second;
}

const ViewState* findState(const QWidget* view) {
    const auto found = viewStates().find(view);
    return found == viewStates().end() ? nullptr : &found->second;
}

// Code units of a stretch without a break opportunity beyond which a line is cut by character at
// once. Word wrapping looks for the end of the word before it cuts a word longer than the line, so
// a line cut from a long word costs the rest of the word and the word costs the square of its
// length. A stretch this long is longer than any line of the card holds: a line that starts with
// more of it left is cut wherever it is full, which is where word wrapping would cut it too.
constexpr int unbrokenRunLimit = 256;

bool isBidiControl(char16_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Counts the runs a text is laid out in. A stretch of one writing direction and one script is shaped
// and placed as one piece; each change of direction or script starts another, and a piece costs many
// times a character. Text whose direction or script changes at every letter would cost seconds at a
// length that takes milliseconds in one script, so what a label lays out is bounded in runs too.
class ScriptRuns {
public:
    explicit ScriptRuns(qsizetype limit) : limit_(limit) {}

    // Counts the character; false when it would start a run beyond the limit.
    bool admit(char32_t c) {
        int level = level_;
        switch (QChar::direction(c)) {
        case QChar::DirL:
            level = 0;
            rightToLeft_ = false;
            break;
        case QChar::DirR:
        case QChar::DirAL:
            level = 1;
            rightToLeft_ = true;
            break;
        case QChar::DirEN:
        case QChar::DirAN:
            // A number inside right-to-left text is a piece of its own.
            level = rightToLeft_ ? 2 : 0;
            break;
        default:
            break; // neutral characters join the run around them
        }
        const QChar::Script script = QChar::script(c);
        const bool ownScript = script > QChar::Script_Common;
        if (runs_ == 0 || level != level_ || (ownScript && script != script_)) {
            if (runs_ >= limit_)
                return false;
            ++runs_;
        }
        level_ = level;
        if (ownScript)
            script_ = script;
        return true;
    }

private:
    qsizetype limit_;
    qsizetype runs_ = 0;
    int level_ = 0;
    bool rightToLeft_ = false;
    QChar::Script script_ = QChar::Script_Common;
};

// Appends the shown form of `raw` to `out` until `out` holds `limit` code units or `runs` refuses a
// character; returns whether some of `raw` was left out. Reads at most a bounded stretch of `raw`,
// so a huge text costs no more than a short one.
bool appendDisplayText(QString& out, const QString& raw, bool keepsLineBreaks, qsizetype limit,
                       ScriptRuns& runs) {
    const qsizetype n = raw.size();
    const qsizetype readLimit = std::max<qsizetype>(4 * limit, limit + 64);
    const QChar lineBreak = keepsLineBreaks ? QChar(u'\n') : QChar(u' ');
    for (qsizetype i = 0; i < n; ++i) {
        if (out.size() > limit || i >= readLimit)
            return true;
        const char16_t c = raw.at(i).unicode();
        if (c == u'\r') {
            if (i + 1 < n && raw.at(i + 1) == u'\n')
                continue;
            out += lineBreak;
        } else if (c == u'\n' || c == 0x2028 || c == 0x2029) {
            out += lineBreak;
        } else if (c == u'\t') {
            out += keepsLineBreaks ? QChar(u'\t') : QChar(u' ');
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || isBidiControl(c)) {
            continue;
        } else {
            const bool pair =
                QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(raw.at(i + 1).unicode());
            if (!runs.admit(pair ? QChar::surrogateToUcs4(c, raw.at(i + 1).unicode()) : char32_t(c)))
                return true;
            out += QChar(c);
            if (pair)
                out += raw.at(++i);
        }
    }
    return out.size() > limit;
}

// Cuts `text` back to at most `limit` code units on a character boundary.
void cutAtCharacter(QString& text, qsizetype limit) {
    if (text.size() <= limit)
        return;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(limit);
    if (!finder.isAtBoundary())
        finder.toPreviousBoundary();
    text.truncate(std::max<qsizetype>(0, finder.position()));
}

// The shown form of `raw` (see `appendDisplayText`), at most `limit` code units, cut on a character
// boundary and ended with "…" when something was left out.
QString shownText(const QString& raw, bool keepsLineBreaks, qsizetype limit) {
    QString out;
    ScriptRuns runs(cardTextRunLimit(limit));
    if (appendDisplayText(out, raw, keepsLineBreaks, limit, runs)) {
        cutAtCharacter(out, limit);
        out += QChar(0x2026);
    }
    return out;
}

// The stretches of `text` without a break opportunity that are longer than `unbrokenRunLimit`, as
// [start, end) positions in order.
std::vector<std::pair<int, int>> longUnbrokenStretches(const QString& text) {
    std::vector<std::pair<int, int>> stretches;
    if (text.size() <= unbrokenRunLimit)
        return stretches;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, text);
    int from = 0;
    for (qsizetype at = finder.toNextBoundary(); at >= 0; at = finder.toNextBoundary()) {
        if (at - from > unbrokenRunLimit)
            stretches.emplace_back(from, int(at));
        from = int(at);
    }
    if (text.size() - from > unbrokenRunLimit)
        stretches.emplace_back(from, int(text.size()));
    return stretches;
}

// What `layoutText` reports besides the height.
struct LaidOut {
    // Lines cut by character at once (see `unbrokenRunLimit`).
    int charactersCut = 0;
    // Every line was laid out (none was left for below `through`).
    bool complete = true;
};

// Lays `text` (the runs' texts joined, when there are runs) out at `width` (no insets), wrapping at
// word boundaries or, for a word longer than the line, anywhere, down to the line that reaches
// `through` or to the end. Returns the total height of the lines laid out.
double layoutText(QTextLayout& layout, const QString& text, const std::vector<TextRun>& runs, double width,
                  bool wraps, bool centered, LaidOut* laid = nullptr,
                  double through = std::numeric_limits<double>::infinity()) {
    // A line break in the text is a forced line break: QTextLayout takes only the separator. The
    // laid-out text has the positions of the text.
    QString laidOut = text;
    laidOut.replace(QLatin1Char('\n'), QChar(QChar::LineSeparator));
    QList<QTextLayout::FormatRange> formats;
    if (!runs.empty()) {
        layout.setFont(runs.front().font);
        int start = 0;
        for (const TextRun& run : runs) {
            QTextLayout::FormatRange range;
            range.start = start;
            range.length = int(run.text.size());
            range.format.setFont(run.font);
            range.format.setForeground(run.color);
            formats.append(range);
            start += range.length;
        }
    }
    layout.setText(laidOut);
    if (!formats.isEmpty())
        layout.setFormats(formats);
    const QTextOption::WrapMode wrapMode =
        wraps ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap;
    QTextOption option;
    option.setWrapMode(wrapMode);
    option.setAlignment(centered ? Qt::AlignHCenter : Qt::AlignLeft);
    layout.setTextOption(option);
    const std::vector<std::pair<int, int>> stretches =
        wraps ? longUnbrokenStretches(laidOut) : std::vector<std::pair<int, int>>();
    size_t stretch = 0;
    int lineStart = 0;
    bool byCharacter = false;
    double y = 0;
    layout.beginLayout();
    for (;;) {
        if (y > through) {
            if (laid)
                laid->complete = false;
            break;
        }
        // A line that starts with more of a long unbroken stretch left than any line holds is cut
        // by character without looking for the stretch's end; every other line wraps at words.
        while (stretch < stretches.size() && stretches[stretch].second <= lineStart)
            ++stretch;
        const bool cutByCharacter = stretch < stretches.size() && stretches[stretch].first <= lineStart &&
                                    stretches[stretch].second - lineStart > unbrokenRunLimit;
        if (cutByCharacter != byCharacter) {
            byCharacter = cutByCharacter;
            option.setWrapMode(byCharacter ? QTextOption::WrapAnywhere : wrapMode);
            layout.setTextOption(option);
        }
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLeadingIncluded(true);
        line.setLineWidth(std::max(1.0, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
        if (byCharacter && laid)
            ++laid->charactersCut;
        lineStart = line.textStart() + line.textLength();
    }
    layout.endLayout();
    if (byCharacter) {
        option.setWrapMode(wrapMode);
        layout.setTextOption(option);
    }
    return y;
}

// What assistive technology gets from a label: the static-text role, the text shown as its value,
// and as its name the spoken label a presenter gave for that text, or else the text itself.
class CardTextAccessible : public QAccessibleWidget {
public:
    explicit CardTextAccessible(CardText* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        const auto* label = static_cast<const CardText*>(widget());
        switch (kind) {
        case QAccessible::Name:
            return label->spokenText();
        case QAccessible::Value:
            return label->text();
        default:
            return QAccessibleWidget::text(kind);
        }
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        // Part of an element that speaks for it (a chip): never met on its own.
        if (!static_cast<const CardText*>(widget())->isAccessibilityElement())
            state.invisible = true;
        return state;
    }
};

// A chip is one element of static text: it speaks the label a presenter gave it (the glyphs of its
// text, "↗" or "↓", are not read out) and holds no elements of its own.
class RecommendationChipAccessible : public QAccessibleWidget {
public:
    explicit RecommendationChipAccessible(RecommendationChip* chip)
        : QAccessibleWidget(chip, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        const auto* chip = static_cast<const RecommendationChip*>(widget());
        switch (kind) {
        case QAccessible::Name: {
            const std::optional<QString> spoken = cardview::accessibilityLabel(chip);
            return spoken && !spoken->isEmpty() ? shownText(*spoken, true, cardSpokenLimit(0))
                                                : chip->label()->text();
        }
        case QAccessible::Value:
            return QString();
        default:
            return QAccessibleWidget::text(kind);
        }
    }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
};

QAccessibleInterface* cardTextAccessibleFactory(const QString&, QObject* object) {
    if (auto* label = dynamic_cast<CardText*>(object))
        return new CardTextAccessible(label);
    if (auto* chip = dynamic_cast<RecommendationChip*>(object))
        return new RecommendationChipAccessible(chip);
    return nullptr;
}

} // namespace

QString cardBoundedText(const QString& text, bool keepsLineBreaks, qsizetype limit) {
    return shownText(text, keepsLineBreaks, limit);
}

QString cardDisplayText(const QString& text, bool keepsLineBreaks) {
    QString out;
    out.reserve(text.size());
    const qsizetype unbounded = std::numeric_limits<qsizetype>::max() / 8;
    ScriptRuns runs(unbounded);
    appendDisplayText(out, text, keepsLineBreaks, unbounded, runs);
    return out;
}

QFont cardFont(double size, CardFontWeight weight) {
    QFont font;
    font.setFamilies({QStringLiteral("Inter"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(std::max(1, int(std::lround(size))));
    if (size != std::round(size))
        font.setPointSizeF(size * 0.75); // 11.5-point chip labels: pixels given through points at 96 dpi
    font.setWeight(qtWeight(weight));
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QFont cardMonospacedFont(double size) {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(std::max(1, int(std::lround(size))));
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

// ---- cardview ------------------------------------------------------------------------------

namespace cardview {

void setHidden(QWidget* view, bool hidden) {
    stateOf(view).hidden = hidden;
    if (view->isHidden() != hidden)
        view->setVisible(!hidden);
}

bool isHidden(const QWidget* view) {
    const ViewState* state = findState(view);
    return state && state->hidden;
}

void setAccessibilityLabel(QWidget* view, const std::optional<QString>& label) {
    ViewState& state = stateOf(view);
    if (state.accessibilityLabel == label)
        return;
    state.accessibilityLabel = label;
    view->setAccessibleName(label.value_or(QString()));
}

std::optional<QString> accessibilityLabel(const QWidget* view) {
    const ViewState* state = findState(view);
    return state ? state->accessibilityLabel : std::nullopt;
}

void setAccessibilityValue(QWidget* view, const std::optional<QString>& value) {
    ViewState& state = stateOf(view);
    if (state.accessibilityValue == value)
        return;
    state.accessibilityValue = value;
    view->setAccessibleDescription(value.value_or(QString()));
}

std::optional<QString> accessibilityValue(const QWidget* view) {
    const ViewState* state = findState(view);
    return state ? state->accessibilityValue : std::nullopt;
}

void setToolTip(QWidget* view, const std::optional<QString>& toolTip) {
    // Qt reads a tool tip that looks like markup as rich text, where a heading grows and an image
    // tag loads a local file. Tool tips carry text from services and hosts, so one that could be
    // read as markup is handed over escaped: it always shows its characters as they are.
    const QString plain = toolTip ? shownText(*toolTip, true, cardTextDefaultLimit) : QString();
    ViewState& state = stateOf(view);
    state.toolTip = plain.isEmpty() ? std::nullopt : std::optional(plain);
    const QString shown =
        Qt::mightBeRichText(plain) ? Qt::convertFromPlainText(plain, Qt::WhiteSpaceNormal) : plain;
    if (view->toolTip() == shown)
        return;
    view->setToolTip(shown);
    // A view without a description of its own is described by its tool tip, and screen readers
    // keep what they were told: a new tip is told them (Qt tells only a new description).
    if (view->accessibleDescription().isEmpty() && QAccessible::isActive()) {
        QAccessibleEvent described(view, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&described);
    }
}

std::optional<QString> toolTip(const QWidget* view) {
    const ViewState* state = findState(view);
    return state ? state->toolTip : std::nullopt;
}

void setFrame(QWidget* view, const cardlayout::Rect& frame, bool parentFlipped) {
    stateOf(view).frame = frame;
    QRect target;
    if (parentFlipped || !view->parentWidget())
        target = cardlayout::toFlippedWidgetRect(frame);
    else
        target = cardlayout::toWidgetRect(frame, view->parentWidget()->height());
    if (view->geometry() != target)
        view->setGeometry(target);
}

cardlayout::Rect frame(const QWidget* view) {
    const ViewState* state = findState(view);
    return state ? state->frame : cardlayout::Rect{};
}

} // namespace cardview

// ---- CardText --------------------------------------------------------------------------------

struct CardText::Layout {
    QTextLayout layout;
    double width = -1;
    // Of the lines laid out; the text's height when `laid.complete`.
    double height = 0;
    LaidOut laid;
};

CardText::CardText(const QString& text, QWidget* parent)
    : QWidget(parent), sourceText_(text), font_(cardFont(13)), color_(CardPalette::primary) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(cardTextAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    setAttribute(Qt::WA_TranslucentBackground);
    cardview::setHidden(this, false);
    rebuild();
}

CardText::~CardText() = default;

void CardText::invalidate() {
    cachedWidth_ = -1;
    cachedTextWidth_ = -1;
    layout_.reset();
    update();
}

qsizetype CardText::displayLimit() const {
    if (displayLimit_ > 0)
        return displayLimit_;
    if (maximumLines_ >= 1)
        return cardTextLineBudget * maximumLines_;
    return wraps_ ? cardTextDefaultLimit : cardTextLineBudget;
}

void CardText::rebuild() {
    const qsizetype limit = displayLimit();
    QString shown;
    std::vector<TextRun> runs;
    std::vector<qsizetype> starts;
    bool cut = false;
    ScriptRuns scriptRuns(cardTextRunLimit(limit));
    if (sourceRuns_.empty()) {
        cut = appendDisplayText(shown, sourceText_, wraps_, limit, scriptRuns);
    } else {
        for (const TextRun& run : sourceRuns_) {
            starts.push_back(shown.size());
            cut = appendDisplayText(shown, run.text, wraps_, limit, scriptRuns);
            runs.push_back({QString(), run.font, run.color});
            if (cut)
                break;
        }
    }
    if (cut)
        cutAtCharacter(shown, limit);
    // Each kept run holds its part of the shown text; the ellipsis of a cut text takes the style of
    // the run it ends.
    for (size_t i = 0; i < runs.size(); ++i) {
        const qsizetype end = i + 1 < runs.size() ? starts[i + 1] : shown.size();
        runs[i].text = shown.mid(starts[i], std::max<qsizetype>(0, std::min(end, shown.size()) - starts[i]));
    }
    while (runs.size() > 1 && runs.back().text.isEmpty())
        runs.pop_back();
    if (cut) {
        shown += QChar(0x2026);
        if (!runs.empty())
            runs.back().text += QChar(0x2026);
    }
    const bool changed = shown != text_;
    if (changed)
        anchor_ = cursor_ = 0;
    text_ = shown;
    runs_ = std::move(runs);
    invalidate();
    if (!changed)
        return;
    // A spoken label belonged to the text it was given for: a new text is spoken as itself until
    // a presenter gives it its own label again.
    cardview::setAccessibilityLabel(this, std::nullopt);
    if (accessibilityElement_ && QAccessible::isActive()) {
        // Static text has no value interface: its name is what a screen reader reads again.
        QAccessibleEvent nameChanged(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&nameChanged);
    }
}

QString CardText::spokenText() const {
    // A spoken label carries the service's words too: as plain as the text, and bounded only where
    // no valid answer reaches, whatever the lines the label shows.
    const std::optional<QString> spoken = cardview::accessibilityLabel(this);
    return spoken && !spoken->isEmpty() ? shownText(*spoken, true, cardSpokenLimit(displayLimit())) : text_;
}

void CardText::setText(const QString& text) {
    if (sourceRuns_.empty() && text == sourceText_)
        return;
    sourceRuns_.clear();
    sourceText_ = text;
    rebuild();
}

void CardText::setRuns(const std::vector<TextRun>& runs) {
    sourceRuns_ = runs;
    sourceText_.clear();
    for (const TextRun& run : runs)
        sourceText_ += run.text;
    // Runs that are all empty are plain empty text.
    if (sourceText_.isEmpty())
        sourceRuns_.clear();
    rebuild();
}

void CardText::setTextFont(const QFont& font) {
    font_ = font;
    invalidate();
}

void CardText::setTextColor(const QColor& color) {
    color_ = color;
    layout_.reset();
    update();
}

void CardText::setMaximumLines(int lines) {
    maximumLines_ = lines;
    rebuild();
}

void CardText::setWraps(bool wraps) {
    wraps_ = wraps;
    rebuild();
}

void CardText::setTruncatesTail(bool truncates) {
    truncatesTail_ = truncates;
    update();
}

void CardText::setCentered(bool centered) {
    centered_ = centered;
    layout_.reset();
    update();
}

void CardText::setDisplayLimit(qsizetype limit) {
    displayLimit_ = std::max<qsizetype>(0, limit);
    rebuild();
}

std::vector<TextRun> CardText::effectiveRuns() const {
    if (!runs_.empty())
        return runs_;
    return {TextRun{text_, font_, color_}};
}

const CardText::Layout& CardText::layoutAt(double width, double through) const {
    if (layout_ && layout_->width == width && (layout_->laid.complete || layout_->height > through))
        return *layout_;
    // Drawing needs only the lines in view. Laying out twice as far as asked keeps scrolling down
    // a long text linear; measuring, selecting and stepping lay out every line.
    const double reach = std::isinf(through) ? through : std::max(2 * through, through + 2000);
    layout_ = std::make_unique<Layout>();
    layout_->width = width;
    layout_->height =
        layoutText(layout_->layout, text_, effectiveRuns(), width, wraps_, centered_, &layout_->laid, reach);
    return *layout_;
}

double CardText::boundingHeight(double width) const {
    if (text_.isEmpty())
        return 0;
    if (width == cachedWidth_)
        return cachedHeight_;
    // Measuring keeps its layout: a label drawn at the width it was measured at lays out once.
    const double h = layoutAt(width).height;
    cachedWidth_ = width;
    cachedHeight_ = h;
    return h;
}

double CardText::measuredHeight(double width) const {
    const double h = std::ceil(boundingHeight(width)) + 4;
    if (maximumLines_ >= 1) {
        const QFontMetricsF metrics(font_);
        const double cap =
            std::ceil((metrics.ascent() + metrics.descent() + metrics.leading()) * maximumLines_) + 4;
        return std::min(h, cap);
    }
    return h;
}

double CardText::textWidth() const {
    if (cachedTextWidth_ >= 0)
        return cachedTextWidth_;
    if (text_.isEmpty())
        return cachedTextWidth_ = 0;
    QTextLayout layout;
    layoutText(layout, text_, effectiveRuns(), 1e6, false, false);
    double width = 0;
    for (int i = 0; i < layout.lineCount(); ++i)
        width = std::max(width, layout.lineAt(i).naturalTextWidth());
    return cachedTextWidth_ = width;
}

int CardText::lineCount(double width) const {
    if (text_.isEmpty())
        return 0;
    return layoutAt(width).layout.lineCount();
}

int CardText::linesCutByCharacter(double width) const {
    if (text_.isEmpty())
        return 0;
    return layoutAt(width).laid.charactersCut;
}

void CardText::paintEvent(QPaintEvent* event) {
    if (text_.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const double available = std::max(1.0, width() - 4.0);
    if (truncatesTail_ && maximumLines_ == 1) {
        // One line cut at the tail with an ellipsis.
        const QFontMetricsF metrics(font_);
        const QString shown = metrics.elidedText(text_, Qt::ElideRight, available);
        QTextLayout layout;
        layoutText(layout, shown, {TextRun{shown, font_, color_}}, available, false, centered_);
        layout.draw(&painter, QPointF(2, 2));
        return;
    }
    const QRect exposed = event->rect();
    const QTextLayout& layout = layoutAt(available, exposed.bottom() + 1).layout;
    const int lines = maximumLines_ >= 1 ? std::min(maximumLines_, layout.lineCount()) : layout.lineCount();
    painter.setClipRect(exposed);
    const int from = std::min(anchor_, cursor_);
    const int to = std::max(anchor_, cursor_);
    QColor highlight = CardPalette::accent;
    highlight.setAlphaF(0.35);
    for (int i = 0; i < lines; ++i) {
        const QTextLine line = layout.lineAt(i);
        if (line.y() + 2 > exposed.bottom() + 1)
            break;
        if (line.y() + 2 + line.height() < exposed.top())
            continue;
        const int start = std::max(from, line.textStart());
        const int end = std::min(to, line.textStart() + line.textLength());
        if (start < end) {
            const double x1 = line.cursorToX(start);
            const double x2 = line.cursorToX(end);
            painter.fillRect(QRectF(2 + std::min(x1, x2), 2 + line.y(), std::abs(x2 - x1), line.height()),
                             highlight);
        }
        line.draw(&painter, QPointF(2, 2));
    }
}

void CardText::setSelectable(bool selectable) {
    selectable_ = selectable;
    setFocusPolicy(selectable ? Qt::ClickFocus : Qt::NoFocus);
    setCursor(selectable ? Qt::IBeamCursor : Qt::ArrowCursor);
    if (!selectable)
        anchor_ = cursor_ = 0;
    update();
}

QString CardText::selectedText() const {
    const int from = std::min(anchor_, cursor_);
    const int to = std::max(anchor_, cursor_);
    return text_.mid(from, to - from);
}

void CardText::selectAll() {
    if (!selectable_)
        return;
    anchor_ = 0;
    cursor_ = int(text_.size());
    update();
}

void CardText::copySelection() const {
    const QString selected = selectedText();
    if (!selected.isEmpty())
        QGuiApplication::clipboard()->setText(selected);
}

int CardText::positionAt(const QPointF& point) const {
    if (text_.isEmpty())
        return 0;
    const Layout& laid = layoutAt(std::max(1.0, width() - 4.0));
    const int count =
        maximumLines_ >= 1 ? std::min(maximumLines_, laid.layout.lineCount()) : laid.layout.lineCount();
    if (count == 0)
        return 0;
    // Above the text is its start and below its last shown line the end of that line's text, as a
    // drag past either edge selects to it.
    const double y = point.y() - 2;
    if (y < 0)
        return 0;
    const QTextLine last = laid.layout.lineAt(count - 1);
    if (y >= last.y() + last.height())
        return std::clamp(last.textStart() + last.textLength(), 0, int(text_.size()));
    int index = count - 1;
    for (int i = 0; i < count; ++i) {
        const QTextLine line = laid.layout.lineAt(i);
        if (y < line.y() + line.height()) {
            index = i;
            break;
        }
    }
    const int position = laid.layout.lineAt(index).xToCursor(point.x() - 2);
    return std::clamp(position, 0, int(text_.size()));
}

int CardText::stepped(int position, int key) const {
    const QTextLayout& layout = layoutAt(std::max(1.0, width() - 4.0)).layout;
    int to = position;
    switch (key) {
    case Qt::Key_Right:
        to = layout.nextCursorPosition(to);
        break;
    case Qt::Key_Left:
        to = layout.previousCursorPosition(to);
        break;
    case Qt::Key_Down:
    case Qt::Key_Up: {
        const QTextLine line = layout.lineForTextPosition(to);
        if (!line.isValid())
            break;
        const int next = line.lineNumber() + (key == Qt::Key_Down ? 1 : -1);
        if (next < 0)
            return 0;
        if (next >= layout.lineCount())
            return int(text_.size());
        to = layout.lineAt(next).xToCursor(line.cursorToX(to));
        break;
    }
    default:
        break;
    }
    return std::clamp(to, 0, int(text_.size()));
}

void CardText::mousePressEvent(QMouseEvent* event) {
    if (!selectable_ || event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    cursor_ = positionAt(event->position());
    if (!(event->modifiers() & Qt::ShiftModifier))
        anchor_ = cursor_;
    selecting_ = true;
    update();
}

void CardText::mouseMoveEvent(QMouseEvent* event) {
    if (!selecting_) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    cursor_ = positionAt(event->position());
    update();
}

void CardText::mouseReleaseEvent(QMouseEvent* event) {
    if (!selecting_) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    selecting_ = false;
    cursor_ = positionAt(event->position());
    update();
}

void CardText::keyPressEvent(QKeyEvent* event) {
    if (!selectable_) {
        QWidget::keyPressEvent(event);
        return;
    }
    const struct {
        QKeySequence::StandardKey sequence;
        int key;
    } extensions[] = {{QKeySequence::SelectNextChar, Qt::Key_Right},
                      {QKeySequence::SelectPreviousChar, Qt::Key_Left},
                      {QKeySequence::SelectNextLine, Qt::Key_Down},
                      {QKeySequence::SelectPreviousLine, Qt::Key_Up}};
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Copy)) {
        copySelection();
    } else if (event->matches(QKeySequence::SelectStartOfDocument)) {
        cursor_ = 0;
    } else if (event->matches(QKeySequence::SelectEndOfDocument)) {
        cursor_ = int(text_.size());
    } else {
        bool handled = false;
        for (const auto& extension : extensions) {
            if (event->matches(extension.sequence)) {
                cursor_ = stepped(cursor_, extension.key);
                handled = true;
                break;
            }
        }
        if (!handled) {
            QWidget::keyPressEvent(event);
            return;
        }
    }
    update();
}

// ---- CardButton -------------------------------------------------------------------------------

CardButton::CardButton(const QString& title, QWidget* parent)
    : QAbstractButton(parent), title_(title), font_(cardFont(13)), tint_(CardPalette::primary) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    cardview::setHidden(this, false);
}

void CardButton::setTitle(const QString& title) {
    title_ = title;
    runs_.clear();
    setText(title);
    update();
}

void CardButton::setTitleRuns(const std::vector<TextRun>& runs) {
    runs_ = runs;
    title_.clear();
    for (const TextRun& run : runs)
        title_ += run.text;
    setText(title_);
    update();
}

QString CardButton::displayedTitle() const {
    return title_;
}

void CardButton::setTitleFont(const QFont& font) {
    font_ = font;
    update();
}

void CardButton::setTint(const QColor& tint) {
    tint_ = tint;
    update();
}

void CardButton::setLayerBackground(const std::optional<QColor>& background, double cornerRadius) {
    background_ = background;
    radius_ = cornerRadius;
    update();
}

void CardButton::setLeftAligned(bool left) {
    leftAligned_ = left;
    update();
}

void CardButton::setCloseGlyph(bool glyph) {
    closeGlyph_ = glyph;
    update();
}

QSize CardButton::sizeHint() const {
    const QFontMetricsF metrics(font_);
    return QSize(int(std::ceil(metrics.horizontalAdvance(title_))) + 16, 28);
}

void CardButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (!isEnabled())
        painter.setOpacity(0.5);
    const QRectF bounds = QRectF(rect());
    if (background_ && background_->alpha() > 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(*background_);
        painter.drawRoundedRect(bounds, radius_, radius_);
    }
    if (closeGlyph_) {
        // The close mark: two strokes in a 32-point square centred in the hit target.
        const QPointF centre = bounds.center();
        const double arm = 5;
        QPen pen(tint_, 1.8);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        painter.drawLine(centre + QPointF(-arm, -arm), centre + QPointF(arm, arm));
        painter.drawLine(centre + QPointF(-arm, arm), centre + QPointF(arm, -arm));
    }
    if (!title_.isEmpty()) {
        const std::vector<TextRun> runs =
            runs_.empty() ? std::vector<TextRun>{{title_, font_, tint_}} : runs_;
        const double inset = leftAligned_ ? 4 : 6;
        const double available = std::max(1.0, bounds.width() - 2 * inset);
        QString shown = title_;
        std::vector<TextRun> drawRuns = runs;
        QTextLayout probe;
        layoutText(probe, title_, runs, 1e6, false, false);
        const double natural = probe.lineCount() > 0 ? probe.lineAt(0).naturalTextWidth() : 0;
        if (natural > available) {
            // Truncated at the tail, in the first run's style.
            const QFontMetricsF metrics(runs.front().font);
            shown = metrics.elidedText(title_, Qt::ElideRight, available);
            drawRuns = {TextRun{shown, runs.front().font, runs.front().color}};
        }
        QTextLayout layout;
        layoutText(layout, shown, drawRuns, available, false, !leftAligned_);
        double textHeight = 0;
        for (int i = 0; i < layout.lineCount(); ++i)
            textHeight += layout.lineAt(i).height();
        layout.draw(&painter, QPointF(inset, (bounds.height() - textHeight) / 2));
    }
    if (hasFocus()) {
        QPen ring(CardPalette::accent, 2);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), std::max(4.0, radius_),
                                std::max(4.0, radius_));
    }
}

// ---- RecommendationChip --------------------------------------------------------------------------

RecommendationChip::RecommendationChip(const QColor& background, const QColor& border, const QColor& text,
                                       QWidget* parent)
    : QWidget(parent), label_(new CardText(QString(), this)), background_(background), border_(border) {
    label_->setAccessibilityElement(false);
    label_->setTextFont(cardFont(11.5, CardFontWeight::semibold));
    label_->setTextColor(text);
    label_->setCentered(true);
    label_->setWraps(true);
    setAttribute(Qt::WA_TranslucentBackground);
    cardview::setHidden(this, true);
}

double RecommendationChip::chipWidth() const {
    return std::ceil(label_->textWidth()) + 28;
}

void RecommendationChip::layoutLabel() {
    const double w = width();
    const double m = std::max(1.0, w - 20);
    const double h1 = label_->boundingHeight(m);
    const double hl = std::ceil(h1) + 2;
    const double y = std::floor((height() - hl) * 0.5);
    // The chip is not flipped: y counts from its bottom edge.
    cardview::setFrame(label_, {8, y, std::max(1.0, w - 16), hl}, false);
}

void RecommendationChip::resizeEvent(QResizeEvent*) {
    layoutLabel();
}

void RecommendationChip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(border_, 1));
    painter.setBrush(background_);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
}

// ---- CardScrollView ---------------------------------------------------------------------------------

CardScrollView::CardScrollView(QWidget* parent, bool boxed, bool scrollerAlwaysShown)
    : QScrollArea(parent), boxed_(boxed) {
    setWidgetResizable(false);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Auto-hiding scrollers take no width from the content: they are left off and the body scrolls
    // with the wheel. The request log keeps a scroller that is always there.
    setVerticalScrollBarPolicy(scrollerAlwaysShown ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    viewport()->setAutoFillBackground(false);
    // Not a stop of the keyboard loop: the card's own views are, and the wheel scrolls.
    setFocusPolicy(Qt::NoFocus);
    if (boxed)
        setViewportMargins(1, 1, 1, 1); // inside the 1-point border
    cardview::setHidden(this, false);
}

bool CardScrollView::event(QEvent* event) {
    if (event->type() != QEvent::Paint)
        return QScrollArea::event(event);
    if (boxed_) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(CardPalette::border, 1));
        painter.setBrush(CardPalette::detailBackground);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
    }
    return true;
}

// ---- FlippedLogRowView ------------------------------------------------------------------------------

void FlippedLogRowView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(CardPalette::border, 1));
    painter.setBrush(CardPalette::background);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

// ---- DraggableRailView ----------------------------------------------------------------------------

DraggableRailView::DraggableRailView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    resize(310, 260);
}

void DraggableRailView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(CardPalette::border, 1));
    painter.setBrush(CardPalette::background);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 16, 16);
}

void DraggableRailView::resizeEvent(QResizeEvent*) {
    if (onResized)
        onResized();
}

void DraggableRailView::showEvent(QShowEvent*) {
    if (onShown)
        onShown();
}

bool DraggableRailView::focusNextPrevChild(bool next) {
    if (onMoveKeyFocus && onMoveKeyFocus(next))
        return true;
    return QWidget::focusNextPrevChild(next);
}

void DraggableRailView::mousePressEvent(QMouseEvent* event) {
    // Only a press on the background itself moves the window; children handle their own presses.
    if (event->button() != Qt::LeftButton || childAt(event->position().toPoint()) != nullptr) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragOrigin_ = event->globalPosition().toPoint();
    windowOrigin_ = window()->pos();
}

void DraggableRailView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOrigin_)
        return;
    if (window() != this)
        window()->move(windowOrigin_ + (event->globalPosition().toPoint() - *dragOrigin_));
}

void DraggableRailView::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragOrigin_) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    dragOrigin_.reset();
    if (onDragFinished)
        onDragFinished();
}

} // namespace quillmere
