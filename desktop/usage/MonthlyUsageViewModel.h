#pragma once

// The texts of the monthly report window, built from the request alone (while the report loads or
// when it is unavailable) or from the request and its verified report. A pure function of its
// inputs and the user's locale.

#include "desktop/usage/MonthlyUsage.h"

#include <QLocale>
#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

struct MonthlyUsageViewModel {
    struct Row {
        QString title;
        QString actual;
        QString estimated;
        QString detail; // several lines

        bool operator==(const Row&) const = default;
    };

    QString actualSummary;
    QString estimatedSummary;
    QString note;
    std::vector<Row> rows;

    MonthlyUsageViewModel(const MonthlyUsage::Request& request,
                          const std::optional<MonthlyUsage::Report>& report,
                          const QLocale& locale = QLocale());

    // "—%" for none; otherwise the number with at most one fraction digit and "%".
    static QString percent(std::optional<double> value, const QLocale& locale = QLocale());
};

} // namespace quillmere
