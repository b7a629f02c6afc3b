#pragma once

// Sends one monthly usage request to the classification service's monthly-report endpoint and
// returns the report only when it verifies against that request. Nothing is cached, retried or
// remembered between calls: no cookies, no stored answers, one deadline for the whole exchange.

#include "desktop/usage/MonthlyUsage.h"
#include "platform/network/HttpTransport.h"
#include "platform/tasks/Task.h"

#include <QCoroTask>
#include <QUrl>

namespace quillmere {

struct MonthlyUsageReportService {
    static constexpr const char* path = "/v1/usage/monthly-report";
    static constexpr double timeoutSeconds = 30;

    // The monthly-report URL on the host of the configured classify URL (see the README).
    static QUrl configuredEndpoint();
    // `classifyURL` with its path replaced by the monthly-report path, query and fragment dropped.
    static QUrl endpointFor(const QUrl& classifyURL);

    QUrl endpoint;
    HttpTransport* transport = &HttpTransport::shared();
    double deadlineSeconds = timeoutSeconds;

    // Throws MonthlyUsage::Invalid (requestLimit before anything is sent; response for any status
    // but 200 or an answer over 2,097,152 bytes, refused while it arrives), TransportError,
    // TaskCancelled, or what the report check throws.
    QCoro::Task<MonthlyUsage::Report> fetch(MonthlyUsage::Request request, CancelToken token = {}) const;
};

} // namespace quillmere
