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

} // namespace

TEST(ContractErrorCases, FixturesHaveTheirStatedSizes) {
    EXPECT_EQ(legacyFitBody.size(), 89);
    EXPECT_EQ(fitHaiku55Body.size(), 245);
    const int sizes[] = {98, 96, 97, 95, 124};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(conflictingHaiku55Bodies[i].size(), sizes[i]) << i;
}

TEST(ContractErrorCases, EachIsRefusedForItsReason) {
    ManualClock clock(500);
    const auto high = haiku55Snapshot("high", clock);
    EXPECT_NO_THROW(Service::decodeClaude(fitHaiku55Body, high, clock));
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(legacyFitBody, high, clock); }),
              Error::availableSettingsUnavailable());
    EXPECT_EQ(errorOf([&] { Service::claudeRequestBody(high, "test-install", false, clock); }),
              Error::unsupportedCurrentSetting());
    EXPECT_NO_THROW(Service::claudeRequestBody(high, "test-install", true, clock));
    const auto sonnet =
        observedClaude("sonnet", "claude-sonnet-5", "medium", false, {menuItem("Sonnet 5 Low")}, clock);
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(fitHaiku55Body, sonnet, clock); }),
              Error::availableSettingsUnavailable());
    auto unverified = high;
    unverified.currentSettingKnown = false;
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(fitHaiku55Body, unverified, clock); }),
              Error::availableSettingsUnavailable());
    for (const QByteArray& body : conflictingHaiku55Bodies)
        EXPECT_EQ(errorOf([&] { Service::decodeClaude(body, high, clock); }),
                  Error::availableSettingsUnavailable())
            << body.constData();
    // Once the evidence is past its sixty seconds the outcome is the same error.
    clock.advance(60);
    EXPECT_EQ(errorOf([&] { Service::decodeClaude(fitHaiku55Body, high, clock); }),
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
