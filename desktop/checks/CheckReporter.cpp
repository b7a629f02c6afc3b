#include "desktop/checks/CheckReporter.h"

#include <cstdio>

namespace quillmere::checks {

Reporter PassCounter::reporter() {
    return [this](bool condition, const QString& sentence) {
        if (condition) {
            ++passed_;
            std::fprintf(stdout, "PASS: %s\n", sentence.toUtf8().constData());
            std::fflush(stdout);
            return;
        }
        std::fprintf(stderr, "FAIL: %s\n", sentence.toUtf8().constData());
        std::fflush(stderr);
        throw CheckFailed(sentence);
    };
}

Reporter CheckLog::reporter() {
    return [this](bool condition, const QString& sentence) { results_.emplace_back(condition, sentence); };
}

QStringList CheckLog::failures() const {
    QStringList out;
    for (const auto& [ok, sentence] : results_)
        if (!ok)
            out << sentence;
    return out;
}

QStringList CheckLog::sentences() const {
    QStringList out;
    for (const auto& result : results_)
        out << result.second;
    return out;
}

} // namespace quillmere::checks
