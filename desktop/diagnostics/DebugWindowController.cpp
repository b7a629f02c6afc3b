#include "desktop/diagnostics/DebugWindowController.h"

#include "desktop/diagnostics/DebugMonitor.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

namespace quillmere {

DebugWindowController::DebugWindowController(DebugMonitor& monitor, Scheduler& scheduler, const Clock& clock)
    : monitor_(monitor), scheduler_(scheduler), clock_(clock) {
    window_ = std::make_unique<QWidget>(nullptr,
                                        Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    window_->setWindowTitle(QStringLiteral("Quillmere Debug"));
    // Showing the panel must never take the foreground from the host being watched.
    window_->setAttribute(Qt::WA_ShowWithoutActivating);
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    window_->setAutoFillBackground(true);
    window_->setBackgroundRole(QPalette::Window);
    window_->setMinimumSize(660, 400);
    window_->setGeometry(60, 100, 660, 680);

    copyButton_ = new QPushButton(QStringLiteral("Copy debug report"), window_.get());
    connect(copyButton_, &QPushButton::clicked, this, &DebugWindowController::copyReport);

    auto* label =
        new QLabel(QStringLiteral("Live updates \u00B7 Content-free local diagnostics"), window_.get());
    QPalette secondary = label->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    label->setPalette(secondary);

    textView_ = new QPlainTextEdit(window_.get());
    textView_->setReadOnly(true);
    textView_->setTextInteractionFlags(Qt::NoTextInteraction);
    textView_->setFocusPolicy(Qt::NoFocus);
    textView_->setContextMenuPolicy(Qt::NoContextMenu);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(12);
    textView_->setFont(font);
    textView_->document()->setDocumentMargin(12);
    textView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    textView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    textView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    textView_->setFrameShape(QFrame::StyledPanel);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(4, 0, 0, 0); // the label sits 16 from the edge, 4 beyond the margin
    header->setSpacing(12);
    header->addWidget(label, 1, Qt::AlignVCenter);
    header->addWidget(copyButton_, 0, Qt::AlignVCenter);

    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(textView_, 1);
}

DebugWindowController::~DebugWindowController() {
    if (timer_)
        scheduler_.cancel(*timer_);
}

void DebugWindowController::open() {
    refresh();
    window_->show();
    window_->raise();
    if (!timer_)
        scheduleTick();
}

void DebugWindowController::refresh() {
    const QString report = monitor_.report(clock_.now());
    if (report == shownText_)
        return;
    shownText_ = report;
    textView_->setPlainText(report);
}

void DebugWindowController::copyReport() {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->clear();
        clipboard->setText(monitor_.report(clock_.now()));
    }
}

QString DebugWindowController::textForTesting() const {
    return textView_->toPlainText();
}

void DebugWindowController::scheduleTick() {
    timer_ = scheduler_.schedule(refreshInterval, [this] { tick(); });
}

void DebugWindowController::tick() {
    timer_.reset();
    // A closed panel stops refreshing; the next open() starts again.
    if (!window_->isVisible())
        return;
    refresh();
    scheduleTick();
}

} // namespace quillmere
