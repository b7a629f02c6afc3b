// The contract-error cases the card checks hand to their expectations: each fixture is refused
// for the reason it was written for, and the expectations tell the errors apart.

#include "desktop/checks/CheckReporter.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/ContractDecoding.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::NativeCardChecks;
using Service = ClassificationService;
using Error = Service::ServiceError;

namespace {

std::optional<Error> errorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

const QByteArray unversionedFit =
    R"({"fitModel":"haiku","fitExtended":false,"alreadyEfficient":true,"reason":"Focused work."})";
const QByteArray fullHaikuFit =
    R"({"fitModel":"haiku","fitModelId":"claude-haiku-5-5","fitEffort":"medium","alreadyEfficient":true,"reason":"Focused work.","potentialPct":80,"potentialUsd":0.5,"savingsBasis":"claude-list-uncached-estimated-output-v1","savingsComparedTo":"fable"})";
const QByteArray conflicting[] = {
    R"({"recommendedModel":"sonnet","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"medium"})",
    R"({"recommendedModel":"opus","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"medium"})",
    R"({"recommendedModel":"haiku","recommendedModelId":"claude-haiku-5-6","recommendedEffort":"medium"})",
    R"({"recommendedModel":"haiku","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"none"})",
    R"({"recommendedModel":"haiku","recommendedModelId":"claude-haiku-5-5","recommendedEffort":"medium","recommendedExtended":true})",
};

} // namespace

TEST(ContractErrorCases, FixturesHaveTheirStatedSizes) {
    EXPECT_EQ(unversionedFit.size(), 89);
    EXPECT_EQ(fullHaikuFit.size(), 245);
    const int sizes[] = {98, 96, 97, 95, 124};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(conflicting[i].size(), sizes[i]) << i;
}

TEST(ContractErrorCases, EachIsRefusedForItsReason) {
    ManualClock clock(500);
    const auto high = haiku55Snapshot("high", clock);
    EXPECT_NO_THROW(Service::decodeClaude(fullHaikuFit, high, clock));
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(unversionedFit, high, clock); }),
              Error::availableSettingsUnavailable());
    EXPECT_EQ(errorOf([&] { Service::claudeRequestBody(high, "test-install", false, clock); }),
              Error::unsupportedCurrentSetting());
    EXPECT_NO_THROW(Service::claudeRequestBody(high, "test-install", true, clock));
    const auto sonnet =
        observedClaude("sonnet", "claude-sonnet-5", "medium", false, {menuItem("Sonnet 5 Low")}, clock);
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(fullHaikuFit, sonnet, clock); }),
              Error::availableSettingsUnavailable());
    auto unverified = high;
    unverified.currentSettingKnown = false;
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(fullHaikuFit, unverified, clock); }),
              Error::availableSettingsUnavailable());
    for (const QByteArray& body : conflicting)
        EXPECT_EQ(errorOf([&] { Service::decodeClaude(body, high, clock); }),
                  Error::availableSettingsUnavailable())
            << body.constData();
    // Once the evidence is past its sixty seconds the outcome is the same error.
    clock.advance(60);
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(fullHaikuFit, high, clock); }),
              Error::availableSettingsUnavailable());
}

TEST(ContractErrorCases, ExpectationsTellErrorsApart) {
    checks::CheckLog log;
    const auto reporter = log.reporter();
    expectClaudeContractError(reporter, "any error", [] { throw DecodingError("bad"); });
    expectHaikuContractError(reporter, "decoding", [] { throw DecodingError("dataCorrupted(x)"); });
    expectHaikuContractError(reporter, "too large", [] { throw Error::contextTooLarge(); });
    expectHaikuContractError(reporter, "returns", [] {});
    expectHaikuContractError(reporter, "accepted", [] { throw Error::unsupportedCurrentSetting(); });
    EXPECT_EQ(log.sentences(), QStringList({"any error", "decoding: unexpected dataCorrupted(x)",
                                            "too large: unexpected contextTooLarge", "returns", "accepted"}));
    EXPECT_EQ(log.failures(), QStringList({"decoding: unexpected dataCorrupted(x)",
                                           "too large: unexpected contextTooLarge", "returns"}));
}
