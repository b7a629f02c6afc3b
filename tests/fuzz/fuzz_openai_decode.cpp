// Feeds arbitrary bytes to the OpenAI answer contract on the work surface, where the most targets
// and savings are accepted. The only acceptable outcomes are an outcome, an Invalid or a
// DecodingError.

#include "desktop/classification/ContractDecoding.h"
#include "desktop/classification/OpenAIRecommendationContract.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

namespace {

const ClaudeWindowTrackerConversationSnapshot& snapshot() {
    static const ClaudeWindowTrackerConversationSnapshot instance = [] {
        ClaudeWindowTrackerConversationSnapshot s;
        s.provider = AIProvider::openAI;
        s.messages = {{"user", "Summarize these meeting notes."}};
        s.currentModel = "gpt-6-astra";
        s.currentEffort = "high";
        s.currentSettingKnown = true;
        s.availableSettings = {{"gpt-5.6-luna", "low"}, {"gpt-6.1-sol", "high"}, {"gpt-6-astra", "high"}};
        s.availableModels = {"gpt-6-sol", "gpt-6-luna", "gpt-5.6-terra"};
        s.surfaceMode = "work";
        s.historyCurrent = true;
        return s;
    }();
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const auto outcome = OpenAIRecommendationContract::decode(body, snapshot());
        if (outcome.recommendation) {
            (void)outcome.recommendation->settingLabel();
            (void)outcome.recommendation->savingsLabel();
            (void)outcome.recommendation->standardRateReference();
            (void)outcome.recommendation->canApply();
        }
    } catch (const OpenAIRecommendationContract::Invalid&) {
    } catch (const DecodingError&) {
    }
    return 0;
}
