#pragma once

// The small view classes the card is built from. Text is always plain text: nothing a recommendation
// or a request log carries is ever read as markup. One text engine (QTextLayout) measures and draws,
// so a measured height is the height drawn.

#include "desktop/card/CardGeometry.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QScrollArea>
#include <QString>
#include <QWidget>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

enum class CardFontWeight { regular, medium, semibold };

// The card's type face at a size in points (= pixels here), with a fallback for symbols.
QFont cardFont(double size, CardFontWeight weight = CardFontWeight::regular);
// The monospaced face of the request-log details.
QFont cardMonospacedFont(double size);

// What the card decides about a view, kept apart from Qt's own visibility (which also depends on
// whether the window is shown): hidden flag, spoken texts and its frame in the card's geometry.
namespace cardview {
void setHidden(QWidget* view, bool hidden);
bool isHidden(const QWidget* view);
void setAccessibilityLabel(QWidget* view, const std::optional<QString>& label);
std::optional<QString> accessibilityLabel(const QWidget* view);
void setAccessibilityValue(QWidget* view, const std::optional<QString>& value);
std::optional<QString> accessibilityValue(const QWidget* view);
// An empty tool tip is none. A tool tip always shows its text as plain text, whatever it holds;
// `toolTip` returns the text as shown (plain, bounded).
void setToolTip(QWidget* view, const std::optional<QString>& toolTip);
std::optional<QString> toolTip(const QWidget* view);
// The frame in the parent's card geometry (bottom-up in the root, top-down in documents).
void setFrame(QWidget* view, const cardlayout::Rect& frame, bool parentFlipped);
cardlayout::Rect frame(const QWidget* view);
} // namespace cardview

// One styled stretch of a text.
struct TextRun {
    QString text;
    QFont font;
    QColor color;
};

// What a label shows of a text that came from a service or a host: control characters removed
// (line breaks and tabs kept where the label wraps, else turned into spaces), carriage returns made
// line breaks, and the bidirectional embeddings, overrides and isolates dropped so that no text can
// reorder what the card writes around it. Line and paragraph separators follow line breaks.
QString cardDisplayText(const QString& text, bool keepsLineBreaks);

// How much of a text a label lays out, which keeps the cost of a text bounded whatever its length.
// A label shows at most its limit in code units of its text and ends a longer one with "…": a label
// capped at n lines takes n × `cardTextLineBudget` (more than a line of the card can hold), a label
// without a cap `cardTextDefaultLimit`, and the scrolling views set their own. A limit only ever
// cuts what no valid answer holds: a text of a valid answer has at most 2,000 characters (a reason;
// a rationale at most 1,000), and a character takes at most 16 code units (the longest emoji
// sequences take 15, a family 11), so a label without a cap holds one whole with the words the card
// puts around it.
inline constexpr qsizetype cardTextLineBudget = 512;
inline constexpr qsizetype cardTextDefaultLimit = 2'100 * 16;
inline constexpr qsizetype detailBoxLimit = cardTextDefaultLimit;
// Each section of a request's report (what was sent, what the server answered, the error) is bounded
// on its own, above the longest readable request: 500,000 characters of messages with the heading
// of each of at most 3,300 messages and the settings around them.
inline constexpr qsizetype requestLogSectionLimit = 600'000;
// A request's whole report: its three sections, the lines about the call and the headings.
inline constexpr qsizetype requestLogDetailsLimit = 3 * requestLogSectionLimit + 5 * cardTextDefaultLimit;
// What a spoken label says at most: the whole of what a label with the limit `displayLimit` shows,
// and never less than the longest text a valid answer carries, with the words around it, whatever
// the lines the label shows.
constexpr qsizetype cardSpokenLimit(qsizetype displayLimit) {
    return (displayLimit > cardTextDefaultLimit ? displayLimit : cardTextDefaultLimit) + 64;
}
// Runs of one writing direction and one script laid out at most for a limit. Each run is shaped and
// placed as one piece, costing about what 16 code units of one script do, so a text whose direction
// or script changes every few letters would cost many times a text of one script. A text whose runs
// are 16 code units long on average (a change every few words) is cut only by the limit itself;
// one that changes more often is cut where its runs reach this, which keeps the cost of the most
// fragmented text near that of a text of one script at the limit.
constexpr qsizetype cardTextRunLimit(qsizetype limit) {
    return limit / 16 > 4'096 ? limit / 16 : 4'096;
}

// `cardDisplayText` of `text`, at most `limit` code units and `cardTextRunLimit(limit)` runs, cut
// on a character boundary and ended with "…" when something was left out: a section of a text
// bounded on its own.
QString cardBoundedText(const QString& text, bool keepsLineBreaks, qsizetype limit);

// A static text field: plain or styled text, word wrapping that also breaks a word longer than the
// line, an optional line cap and tail truncation. It lays out only the bounded part of its text it
// can show, in time linear in that part, and keeps the layout until the text or the width changes.
class CardText : public QWidget {
public:
    explicit CardText(const QString& text = {}, QWidget* parent = nullptr);
    ~CardText() override;

    // The text as shown (made plain and bounded; see `cardDisplayText`).
    QString text() const { return text_; }
    // What a screen reader reads as the label's name: its spoken label made plain and bounded, or
    // else its text as shown.
    QString spokenText() const;
    // The text as it was given (the runs' texts joined when styled), before it was made plain and
    // bounded: what a caller compares a new text with.
    const QString& sourceText() const { return sourceText_; }
    void setText(const QString& text);
    // Styled text; the runs' texts joined are the text.
    void setRuns(const std::vector<TextRun>& runs);
    const std::vector<TextRun>& runs() const { return runs_; }

    // Default style of plain text.
    void setTextFont(const QFont& font);
    QFont textFont() const { return font_; }
    void setTextColor(const QColor& color);
    QColor textColor() const { return color_; }

    // 0 is unlimited.
    void setMaximumLines(int lines);
    int maximumLines() const { return maximumLines_; }
    void setWraps(bool wraps);
    void setTruncatesTail(bool truncates);
    void setCentered(bool centered);
    // Code units shown at most; 0 derives the limit from the line cap (see `cardTextLineBudget`).
    void setDisplayLimit(qsizetype limit);
    qsizetype displayLimit() const;

    // Bounding height of the text laid out at `width` (no insets), fonts' leading included.
    double boundingHeight(double width) const;
    // The card's measuring rule: ceil(bounding height) + 4, capped by the line count when set.
    double measuredHeight(double width) const;
    // Width of the text on one line.
    double textWidth() const;
    // Lines the text takes at the given width (for tests and captures).
    int lineCount(double width) const;
    // Of those, the lines cut by character at once because a word longer than any line goes on
    // past them (for tests).
    int linesCutByCharacter(double width) const;

    // A selectable label lets a person select its text with the mouse, or with the keyboard once a
    // click has given it focus, and copy it. It never joins the keyboard loop.
    void setSelectable(bool selectable);
    bool selectable() const { return selectable_; }
    // The selected part of the text as shown; empty when nothing is selected.
    QString selectedText() const;
    void selectAll();
    // Puts the selected text on the clipboard; nothing selected, nothing copied.
    void copySelection() const;

    // Whether assistive technology meets the label as an element of its own (the default). A label
    // that is part of a larger element (a chip) is not one: its element speaks for it.
    void setAccessibilityElement(bool element) { accessibilityElement_ = element; }
    bool isAccessibilityElement() const { return accessibilityElement_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Layout;
    std::vector<TextRun> effectiveRuns() const;
    void rebuild();
    void invalidate();
    // The layout of the shown text at `width`, kept until the text, its style or the width change.
    // With `through`, only the lines down to that height are needed (drawing); otherwise all.
    const Layout& layoutAt(double width, double through = std::numeric_limits<double>::infinity()) const;
    // The text position under a point of the widget.
    int positionAt(const QPointF& point) const;
    // The text position one step from `position` on the laid-out text (a character or a line).
    int stepped(int position, int key) const;

    std::vector<TextRun> sourceRuns_; // as given; empty for plain text
    QString sourceText_;
    QString text_;
    std::vector<TextRun> runs_;
    QFont font_;
    QColor color_;
    int maximumLines_ = 0;
    bool wraps_ = true;
    bool truncatesTail_ = false;
    bool centered_ = false;
    qsizetype displayLimit_ = 0;
    bool selectable_ = false;
    bool accessibilityElement_ = true;
    bool selecting_ = false;
    int anchor_ = 0; // selection: from the anchor to the cursor, in text positions
    int cursor_ = 0;
    mutable std::unique_ptr<Layout> layout_;
    mutable double cachedWidth_ = -1;
    mutable double cachedHeight_ = 0;
    mutable double cachedTextWidth_ = -1;
};

// A button that takes keyboard focus. Its title is plain or styled text; it may carry a layer
// background, a close glyph, and an identifier (the request-log rows keep their entry's id there).
class CardButton : public QAbstractButton {
public:
    explicit CardButton(const QString& title = {}, QWidget* parent = nullptr);

    void setTitle(const QString& title);
    QString title() const { return title_; }
    void setTitleRuns(const std::vector<TextRun>& runs);
    // The title as drawn (the runs' texts joined when styled).
    QString displayedTitle() const;
    void setTitleFont(const QFont& font);
    void setTint(const QColor& tint);
    QColor tint() const { return tint_; }
    void setLayerBackground(const std::optional<QColor>& background, double cornerRadius = 0);
    void setLeftAligned(bool left);
    void setCloseGlyph(bool glyph);
    bool hasImage() const { return closeGlyph_; }
    QString identifier;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString title_;
    std::vector<TextRun> runs_;
    QFont font_;
    QColor tint_;
    std::optional<QColor> background_;
    double radius_ = 0;
    bool leftAligned_ = false;
    bool closeGlyph_ = false;
};

// A rounded chip holding one centred, wrapping label. The chip, not its label, is what assistive
// technology meets: static text speaking the chip's accessibility label, with no elements inside.
class RecommendationChip : public QWidget {
public:
    RecommendationChip(const QColor& background, const QColor& border, const QColor& text,
                       QWidget* parent = nullptr);
    CardText* label() const { return label_; }
    // Width for the label's current text: its one-line width rounded up, plus 28.
    double chipWidth() const;
    // Lays the label out for the chip's current size.
    void layoutLabel();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CardText* label_;
    QColor background_;
    QColor border_;
};

// Top-down documents of the scroll views.
class FlippedCardDocument : public QWidget {
public:
    using QWidget::QWidget;
};

// A scroll view whose document the card sizes itself. A boxed one draws a rounded, bordered
// background (the detail and request-log boxes); the plain one draws nothing of its own.
class CardScrollView : public QScrollArea {
public:
    CardScrollView(QWidget* parent, bool boxed, bool scrollerAlwaysShown);
    bool boxed() const { return boxed_; }

protected:
    bool event(QEvent* event) override;

private:
    bool boxed_;
};

// Background of one request-log row.
class FlippedLogRowView : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The card's root: dark, rounded, bordered. A press on the background itself drags the window it
// sits in; `onDragFinished` runs once the drag is over. `onResized` lets the card lay itself out.
// Tab and Shift+Tab from anywhere inside it go to `onMoveKeyFocus` (true: forwards), which moves
// the focus along the card's own keyboard loop and answers whether it did.
class DraggableRailView : public QWidget {
public:
    explicit DraggableRailView(QWidget* parent = nullptr);
    std::function<void()> onDragFinished;
    std::function<void()> onResized;
    std::function<void()> onShown;
    std::function<bool(bool)> onMoveKeyFocus;

protected:
    bool focusNextPrevChild(bool next) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::optional<QPoint> dragOrigin_;
    QPoint windowOrigin_;
};

} // namespace quillmere
