#include "desktop/usage/MonthlyUsageReportService.h"

#include "desktop/classification/ClassificationService.h"

namespace quillmere {

QUrl MonthlyUsageReportService::configuredEndpoint() {
    return endpointFor(ClassificationService::configuredEndpoint());
}

QUrl MonthlyUsageReportService::endpointFor(const QUrl& classifyURL) {
    QUrl url = classifyURL;
    url.setPath(QString::fromLatin1(path));
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QCoro::Task<MonthlyUsage::Report> MonthlyUsageReportService::fetch(MonthlyUsage::Request request,
                                                                   CancelToken token) const {
    using MonthlyUsage::Invalid;
    HttpRequest http;
    http.method = "POST";
    http.url = endpoint;
    http.headers = {{"Content-Type", "application/json"}};
    http.body = MonthlyUsage::encodeWithinLimits(request);
    http.timeoutSeconds = deadlineSeconds;
    http.maxResponseBytes = MonthlyUsage::maximumResponseBytes;
    http.ephemeral = true;

    HttpResponse answer;
    try {
        answer = co_await transport->send(std::move(http), token);
    } catch (const TransportError& error) {
        // An answer that grew past the limit is a refused answer, not a network failure.
        if (error.code() == TransportError::dataLengthExceedsMaximum)
            throw Invalid(Invalid::response);
        throw;
    }
    if (answer.status != 200 || answer.body.size() > MonthlyUsage::maximumResponseBytes)
        throw Invalid(Invalid::response);
    co_return MonthlyUsage::validatedReport(answer.body, request);
}

} // namespace quillmere
