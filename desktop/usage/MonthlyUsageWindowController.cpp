#include "desktop/usage/MonthlyUsageWindowController.h"

#include "desktop/usage/MonthlyUsageViewModel.h"

#include <QComboBox>
#include <QDateTime>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTimeZone>
#include <QUuid>
#include <QVBoxLayout>
#include <QWidget>

namespace quillmere {

using namespace MonthlyUsage;

namespace {

const QColor secondaryLabel(0x6e, 0x6e, 0x73);
const QColor windowBackground(0xec, 0xec, 0xec);
const QColor controlBackground(0xff, 0xff, 0xff);

QLabel* label(const QString& text, int points, QFont::Weight weight = QFont::Normal, bool secondary = false) {
    auto* result = new QLabel(text);
    result->setWordWrap(true);
    result->setTextFormat(Qt::PlainText);
    result->setAccessibleName(text);
    QFont font = result->font();
    font.setPointSize(points);
    font.setWeight(weight);
    result->setFont(font);
    if (secondary) {
        QPalette palette = result->palette();
        palette.setColor(QPalette::WindowText, secondaryLabel);
        result->setPalette(palette);
    }
    return result;
}

void collectTexts(const QLayout* layout, QStringList& out);

void collectTexts(const QWidget* widget, QStringList& out) {
    if (const auto* text = qobject_cast<const QLabel*>(widget)) {
        out.append(text->text());
        return;
    }
    if (const auto* field = qobject_cast<const QLineEdit*>(widget)) {
        out.append(field->text());
        return;
    }
    if (qobject_cast<const QPushButton*>(widget))
        return;
    if (widget->layout())
        collectTexts(widget->layout(), out);
}

void collectTexts(const QLayout* layout, QStringList& out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->widget())
            collectTexts(item->widget(), out);
        else if (item->layout())
            collectTexts(item->layout(), out);
    }
}

} // namespace

QString MonthlyUsageWindowController::systemTimeZone() {
    const QString id = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    return knownZone(id) ? id : QStringLiteral("UTC");
}

MonthlyUsageWindowController::MonthlyUsageWindowController()
    : MonthlyUsageWindowController(std::make_shared<MonthlyUsageLedger>(), systemTimeZone()) {}

MonthlyUsageWindowController::MonthlyUsageWindowController(std::shared_ptr<MonthlyUsageLedger> ledger,
                                                           QString timeZone,
                                                           std::optional<MonthlyUsageReportService> service)
    : ledger_(std::move(ledger)), zone_(std::move(timeZone)), service_(std::move(service)) {
    build();
    loadDefault();
}

MonthlyUsageWindowController::~MonthlyUsageWindowController() {
    if (requestTask_)
        requestTask_->cancel();
    delete window_.data();
}

void MonthlyUsageWindowController::build() {
    auto* window = new QWidget(nullptr, Qt::Window);
    window_ = window;
    window->setWindowTitle(QStringLiteral("Quillmere · Monthly usage"));
    window->setGeometry(120, 100, 920, 740);
    window->setMinimumSize(740, 520);
    window->setAutoFillBackground(true);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, windowBackground);
    window->setPalette(palette);

    auto* main = new QVBoxLayout(window);
    main->setSpacing(16);
    main->setContentsMargins(24, 22, 24, 20);
    main->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    main->addWidget(label(QStringLiteral("Monthly usage"), 25, QFont::Bold));

    // The month row.
    auto* monthRow = new QHBoxLayout;
    monthRow->setSpacing(12);
    monthRow->addWidget(label(QStringLiteral("Month"), 13));
    month_ = new QLineEdit(MonthlyUsage::month(QDateTime::currentMSecsSinceEpoch(),
                                               knownZone(systemTimeZone()).value_or(QTimeZone::utc())));
    month_->setPlaceholderText(QStringLiteral("YYYY-MM"));
    month_->setAccessibleName(QStringLiteral("Report month, YYYY-MM"));
    month_->setFixedWidth(100);
    monthRow->addWidget(month_);
    auto* show = new QPushButton(QStringLiteral("Show month"));
    connect(show, &QPushButton::clicked, this, &MonthlyUsageWindowController::refreshReport);
    connect(month_, &QLineEdit::returnPressed, this, &MonthlyUsageWindowController::refreshReport);
    monthRow->addWidget(show);
    monthRow->addWidget(label(zone_, 12));
    monthRow->addStretch(1);
    main->addLayout(monthRow);

    // The comparison default: provider, model, effort, speed.
    provider_ = new QComboBox;
    provider_->addItems({QStringLiteral("OpenAI"), QStringLiteral("Claude")});
    connect(provider_, &QComboBox::activated, this, &MonthlyUsageWindowController::loadDefault);
    model_ = new QLineEdit;
    model_->setPlaceholderText(QStringLiteral("Default model ID"));
    model_->setAccessibleName(QStringLiteral("Your default model ID"));
    model_->setMinimumWidth(160);
    effort_ = new QComboBox;
    effort_->addItem(QStringLiteral("Effort unknown"));
    for (const Effort effort : allEfforts())
        effort_->addItem(rawValue(effort));
    effort_->setAccessibleName(QStringLiteral("Default reasoning effort"));
    speed_ = new QComboBox;
    speed_->addItem(QStringLiteral("Speed unknown"));
    for (const Speed speed : allSpeeds())
        speed_->addItem(rawValue(speed));
    speed_->setAccessibleName(QStringLiteral("Default speed"));
    auto* save = new QPushButton(QStringLiteral("Save default"));
    connect(save, &QPushButton::clicked, this, &MonthlyUsageWindowController::saveDefault);
    auto* controls = new QHBoxLayout;
    controls->setSpacing(8);
    controls->addWidget(provider_);
    controls->addWidget(model_);
    controls->addWidget(effort_);
    controls->addWidget(speed_);
    controls->addWidget(save);
    controls->addStretch(1);

    defaultGroup_ = new QWidget;
    auto* group = new QVBoxLayout(defaultGroup_);
    group->setContentsMargins(0, 0, 0, 0);
    group->setSpacing(6);
    group->addLayout(controls);
    group->addWidget(label(
        QStringLiteral("Your default is frozen for new windows only. This does not change your AI model."),
        12, QFont::Normal, true));
    defaultGroup_->setVisible(false);
    defaultGroup_->setAttribute(Qt::WA_WState_ExplicitShowHide);

    toggle_ = new QPushButton(QStringLiteral("Comparison default settings"));
    toggle_->setFlat(true);
    connect(toggle_, &QPushButton::clicked, this, &MonthlyUsageWindowController::toggleDefault);

    status_ = label(QString(), 12, QFont::Normal, true);
    status_->setAccessibleName(QString());

    // The report area.
    body_ = new QWidget;
    bodyLayout_ = new QVBoxLayout(body_);
    bodyLayout_->setSpacing(14);
    bodyLayout_->setContentsMargins(0, 0, 0, 0);
    bodyLayout_->setAlignment(Qt::AlignTop);
    scroll_ = new QScrollArea;
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    body_->setAutoFillBackground(false);
    scroll_->setWidget(body_);
    scroll_->setMinimumHeight(280);

    main->addWidget(toggle_, 0, Qt::AlignLeft);
    main->addWidget(defaultGroup_);
    main->addWidget(status_);
    main->addWidget(scroll_, 1);
}

void MonthlyUsageWindowController::present() {
    refreshReport();
    window_->show();
    window_->raise();
    window_->activateWindow();
}

QString MonthlyUsageWindowController::statusText() const {
    return status_->text();
}

void MonthlyUsageWindowController::setStatus(const QString& text) {
    status_->setText(text);
}

void MonthlyUsageWindowController::clearBody() {
    while (QLayoutItem* item = bodyLayout_->takeAt(0)) {
        if (QWidget* widget = item->widget())
            delete widget;
        delete item;
    }
}

void MonthlyUsageWindowController::render(const MonthlyUsageViewModel& model) {
    clearBody();
    auto* summary = new QWidget;
    auto* columns = new QHBoxLayout(summary);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(28);
    const auto column = [&](const QString& heading, const QString& text) {
        auto* widget = new QWidget;
        auto* layout = new QVBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        layout->setAlignment(Qt::AlignTop);
        layout->addWidget(label(heading, 16, QFont::DemiBold));
        layout->addWidget(label(text, 15));
        columns->addWidget(widget, 1);
    };
    column(QStringLiteral("With Quillmere · Observed"), model.actualSummary);
    column(QStringLiteral("Without Quillmere · Estimated at your default"), model.estimatedSummary);
    bodyLayout_->addWidget(summary);
    bodyLayout_->addWidget(label(model.note, 12, QFont::Normal, true));

    if (model.rows.empty()) {
        bodyLayout_->addWidget(
            label(QStringLiteral("No quota observations for this month yet"), 18, QFont::Medium));
        bodyLayout_->addWidget(
            label(QStringLiteral("Actual: —%     Estimated at default: —–—% · Not enough data"), 14));
        return;
    }
    for (const MonthlyUsageViewModel::Row& row : model.rows) {
        auto* card = new QFrame;
        card->setObjectName(QStringLiteral("monthlyUsageRow"));
        card->setStyleSheet(
            QStringLiteral("QFrame#monthlyUsageRow { background-color: %1; border-radius: 10px; }")
                .arg(controlBackground.name()));
        auto* layout = new QVBoxLayout(card);
        layout->setContentsMargins(16, 16, 16, 16);
        layout->setSpacing(8);
        layout->addWidget(label(row.title, 15, QFont::DemiBold));
        layout->addWidget(
            label(row.actual + QStringLiteral("     |     ") + row.estimated, 15, QFont::Medium));
        layout->addWidget(label(row.detail, 12));
        bodyLayout_->addWidget(card);
    }
}

void MonthlyUsageWindowController::refreshReport() {
    const quint64 number = generation_.advance();
    if (requestTask_)
        requestTask_->cancel();

    Request request;
    try {
        request = ledger_->request(month_->text(), zone_, QDateTime::currentDateTimeUtc());
    } catch (const Invalid& error) {
        clearBody();
        bodyLayout_->addWidget(label(error.description(), 15));
        setStatus(QStringLiteral("No history was replaced or silently omitted."));
        return;
    }
    render(MonthlyUsageViewModel(request, std::nullopt));
    setStatus(ledger_->lastError().value_or(
        QStringLiteral("Local history only · No verified provider quota adapter connected · Learning off")));
    if (request.windows.empty())
        return;
    setStatus(QStringLiteral("Updating report from saved quota observations…"));

    const CancelToken token;
    requestTask_ = token;
    const MonthlyUsageReportService service =
        service_.value_or(MonthlyUsageReportService{MonthlyUsageReportService::configuredEndpoint()});
    QPointer<MonthlyUsageWindowController> self(this);
    spawn(QStringLiteral("monthly usage report"),
          [self, service, request, number, token]() -> QCoro::Task<void> {
              std::optional<Report> report;
              try {
                  report = co_await service.fetch(request, token);
              } catch (...) {
                  // Every failure ends the same way; the error itself is not shown.
              }
              if (token.isCancelled() || !self || !self->generation_.isCurrent(number))
                  co_return;
              if (report) {
                  self->render(MonthlyUsageViewModel(request, report));
                  self->setStatus(QStringLiteral("Local history · Stateless comparison · Learning off"));
              } else {
                  self->setStatus(QStringLiteral("Report unavailable. Saved actual percentages remain "
                                                 "visible; estimated comparison is unknown."));
              }
          });
}

Provider MonthlyUsageWindowController::selectedProvider() const {
    return provider_->currentIndex() == 0 ? Provider::openai : Provider::anthropic;
}

void MonthlyUsageWindowController::loadDefault() {
    const auto baseline = ledger_->defaultSetting(selectedProvider());
    model_->setText(baseline ? baseline->model : QString());
    effort_->setCurrentIndex(baseline && baseline->effort ? 1 + int(*baseline->effort) : 0);
    speed_->setCurrentIndex(baseline && baseline->speed ? 1 + int(*baseline->speed) : 0);
}

void MonthlyUsageWindowController::saveDefault() {
    Baseline baseline;
    baseline.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    baseline.model = model_->text().trimmed();
    baseline.effort = effortFromRaw(effort_->currentText());
    baseline.speed = speedFromRaw(speed_->currentText());
    try {
        ledger_->setDefaultSetting(baseline, selectedProvider());
        setStatus(QStringLiteral(
            "Default saved for future windows. Existing windows retain their original default."));
    } catch (const Invalid& error) {
        setStatus(error.description());
    }
}

void MonthlyUsageWindowController::toggleDefault() {
    const bool nowHidden = !defaultGroup_->isHidden();
    defaultGroup_->setHidden(nowHidden);
    toggle_->setText(nowHidden ? QStringLiteral("Comparison default settings")
                               : QStringLiteral("Hide default settings"));
}

void MonthlyUsageWindowController::renderForTesting(const Request& request,
                                                    const std::optional<Report>& report) {
    month_->setText(request.month);
    window_->setWindowTitle(QStringLiteral("TEST DATA · Quillmere monthly usage"));
    setStatus(QStringLiteral("TEST DATA · Synthetic contract fixture, not account usage"));
    render(MonthlyUsageViewModel(request, report));
}

QString MonthlyUsageWindowController::renderedTextForTesting() const {
    QStringList texts;
    collectTexts(bodyLayout_, texts);
    return texts.join(u'\n');
}

} // namespace quillmere
