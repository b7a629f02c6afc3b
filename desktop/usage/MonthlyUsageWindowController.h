#pragma once

// The window of the monthly usage report. The user picks a month; the window builds the month's
// request from the local ledger, shows at once what the local history alone says, asks the
// classification service for the report and, when a verified report arrives for the latest
// refresh, shows the comparison. It also keeps, per provider, the comparison default setting the
// ledger freezes into new usage windows.
//
// The shell creates one controller on first use of the status-menu item "Monthly usage report…"
// and, on every choice of that item, calls present(): a refresh, then the window shown, raised and
// activated. Closing the window only hides it.

#include "desktop/usage/MonthlyUsage.h"
#include "desktop/usage/MonthlyUsageLedger.h"
#include "desktop/usage/MonthlyUsageReportService.h"
#include "platform/tasks/Task.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace quillmere {

struct MonthlyUsageViewModel;

class MonthlyUsageWindowController : public QObject {
    Q_OBJECT
public:
    // The ledger in the application's data folder and the system's time zone ("UTC" when the
    // system names none the zone database knows).
    MonthlyUsageWindowController();
    // `service` names the endpoint and transport of the report (tests point it at a loopback
    // server); by default the configured classification host.
    MonthlyUsageWindowController(std::shared_ptr<MonthlyUsageLedger> ledger, QString timeZone,
                                 std::optional<MonthlyUsageReportService> service = std::nullopt);
    ~MonthlyUsageWindowController() override;

    // The status-menu item's action: refresh, then show, raise and activate the window.
    void present();

    void refreshReport();
    void loadDefault();
    void saveDefault();
    void toggleDefault();

    // Shows the request and report as test data.
    void renderForTesting(const MonthlyUsage::Request& request,
                          const std::optional<MonthlyUsage::Report>& report);
    // The texts now shown in the report area, depth first in layout order, one per line.
    QString renderedTextForTesting() const;

    QWidget* window() const { return window_; }
    QString statusText() const;
    QLineEdit* monthField() const { return month_; }
    QComboBox* providerPopUp() const { return provider_; }
    QLineEdit* modelField() const { return model_; }
    QComboBox* effortPopUp() const { return effort_; }
    QComboBox* speedPopUp() const { return speed_; }
    QWidget* defaultGroup() const { return defaultGroup_; }
    QPushButton* toggleButton() const { return toggle_; }
    const QString& zone() const { return zone_; }
    MonthlyUsageLedger& ledger() const { return *ledger_; }

    static QString systemTimeZone();

private:
    void build();
    void render(const MonthlyUsageViewModel& model);
    void clearBody();
    void setStatus(const QString& text);
    MonthlyUsage::Provider selectedProvider() const;

    std::shared_ptr<MonthlyUsageLedger> ledger_;
    QString zone_;
    std::optional<MonthlyUsageReportService> service_;
    QPointer<QWidget> window_;
    QLineEdit* month_ = nullptr;
    QLabel* status_ = nullptr;
    QWidget* body_ = nullptr;
    QVBoxLayout* bodyLayout_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QComboBox* provider_ = nullptr;
    QLineEdit* model_ = nullptr;
    QComboBox* effort_ = nullptr;
    QComboBox* speed_ = nullptr;
    QWidget* defaultGroup_ = nullptr;
    QPushButton* toggle_ = nullptr;
    std::optional<CancelToken> requestTask_;
    Generation generation_;
};

} // namespace quillmere
