// Feeds arbitrary bytes to the monthly report check as if the service had answered a fixed
// four-window request, and to the request reader and window merge as if they were a request. The
// only acceptable outcomes are a report, MonthlyUsage::Invalid or a DecodingError.

#include "desktop/classification/ContractDecoding.h"
#include "desktop/usage/MonthlyUsage.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;

namespace {

const Request& request() {
    static const Request instance = [] {
        Request r;
        r.month = QStringLiteral("2026-10");
        r.timeZone = QStringLiteral("Europe/Kyiv");
        r.asOf = QStringLiteral("2026-10-20T00:00:00.000Z");
        const Baseline baseline{
            QStringLiteral("baseline-0001"), QStringLiteral("gpt-6.1-sol"), Effort::high, {}};
        for (int w = 0; w < 4; ++w) {
            Window window;
            window.id = QStringLiteral("window-000%1").arg(w + 1);
            window.scopeId = QStringLiteral("scope-aaa%1").arg(w % 2);
            window.bucketId = QStringLiteral("bucket-0001");
            window.startsAt = QStringLiteral("2026-10-0%1T00:00:00.000Z").arg(w + 1);
            window.resetsAt = QStringLiteral("2026-10-0%1T05:00:00.000Z").arg(w + 1);
            window.baseline = baseline;
            window.coverageComplete = w != 3;
            for (int s = 0; s < 3; ++s)
                window.samples.push_back(
                    Sample{QStringLiteral("sample-%1-%2").arg(w).arg(s),
                           QStringLiteral("2026-10-0%1T0%2:00:00.000Z").arg(w + 1).arg(s + 1),
                           40.0 + 30 * s - (w == 2 ? 50 * (s == 2) : 0),
                           Estimate{baseline.id, 90.0 + 5 * s, 110.0 + 5 * s, Estimate::Basis::paired,
                                    QStringLiteral("evidence-%1-%2").arg(w).arg(s), true}});
            r.windows.push_back(window);
        }
        return r;
    }();
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        validatedReport(body, request());
    } catch (const Invalid&) {
    } catch (const DecodingError&) {
    }
    try {
        const Request fuzzed = decodeRequest(body);
        mergedWindows(fuzzed.windows);
        encode(fuzzed);
    } catch (const Invalid&) {
    } catch (const DecodingError&) {
    }
    return 0;
}
