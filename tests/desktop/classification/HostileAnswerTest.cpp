// Answers come from a remote service: whatever arrives must end in a typed error or a verified
// result, never a crash or a wrong recommendation.

#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/ContractDecoding.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "support/AnswerSnapshots.h"

#include <gtest/gtest.h>

using namespace quillmere;
namespace Contract = OpenAIRecommendationContract;

namespace {

using quillmere::testing::claudeSnapshot;
using quillmere::testing::workSnapshot;

QByteArray suggest(const QByteArray& extra) {
    return R"({"schemaVersion":3,"provider":"openai","decision":"suggest","setting":{"model":"gpt-5.6-luna","effort":"low"},"reason":"ok","requiresVerification":false)" +
           extra + "}";
}

} // namespace

TEST(HostileAnswers, OpenAIWrongTypesAtEveryLevel) {
    const auto s = workSnapshot();
    for (
        const QByteArray& body :
        {suggest(R"(,"setting":{"model":7,"effort":"low"})"), suggest(R"(,"setting":"gpt-5.6-luna")"),
         suggest(R"(,"category":{"id":"a","label":[]})"), suggest(R"(,"subcategory":[])"),
         suggest(
             R"(,"contextUsage":{"messageCount":1,"userMessageCount":1,"assistantMessageCount":0,"historyComplete":"yes","scope":"s"})"),
         suggest(R"(,"potentialPct":"NaN")"), suggest(R"(,"taskCategory":{})"),
         QByteArray(
             R"({"schemaVersion":1e20,"provider":"openai","decision":"keep","reason":"r","requiresVerification":false})"),
         QByteArray(
             R"({"schemaVersion":3.5,"provider":"openai","decision":"keep","reason":"r","requiresVerification":false})"),
         QByteArray(R"({"schemaVersion":3,"provider":"openai","decision":"keep","reason":"r"})"),
         QByteArray("{\"schemaVersion\":NaN}"), QByteArray("\xEF\xBB\xBF{}"), QByteArray("{}garbage")})
        EXPECT_THROW(Contract::decode(body, s), DecodingError) << body.constData();
}

TEST(HostileAnswers, OpenAIExtremesAreSafe) {
    const auto s = workSnapshot();
    // Unknown keys are ignored; a huge but finite percentage is simply not reproduced.
    const auto outcome = Contract::decode(
        suggest(
            R"(,"unknown":{"deep":[1,2,{"x":null}]},"potentialPct":1e308,"savingsBasis":"chatgpt-work-standard-10k-input-2k-output-v1","savingsComparedTo":"gpt-6-astra")"),
        s);
    ASSERT_TRUE(outcome.recommendation);
    EXPECT_FALSE(outcome.recommendation->potentialPercent);
    // With a key given twice one of the values is used, consistently; the answer still verifies.
    const QByteArray twice =
        R"({"schemaVersion":3,"provider":"openai","decision":"suggest","decision":"keep","setting":{"model":"gpt-5.6-luna","effort":"low"},"reason":"ok","requiresVerification":false})";
    std::optional<QString> first;
    for (int i = 0; i < 2; ++i) {
        try {
            const auto result = Contract::decode(twice, s);
            const QString seen = result.recommendation ? result.recommendation->model : result.reason;
            if (first) {
                EXPECT_EQ(*first, seen);
            }
            first = seen;
        } catch (const Contract::Invalid& invalid) {
            EXPECT_EQ(invalid.errorCase(), Contract::Invalid::Case::setting);
        }
    }
    // Deep nesting is refused by the parser, with a guard walk that cannot overflow.
    const QByteArray deep = "{\"a\":" + QByteArray(200000, '[') + QByteArray(200000, ']') + "}";
    EXPECT_THROW(Contract::decode(deep, s), DecodingError);
    // A NUL inside a string is text like any other.
    QByteArray nul = suggest("");
    nul.replace("\"ok\"", "\"o\\u0000k\"");
    EXPECT_EQ(Contract::decode(nul, s).recommendation->reason, QString::fromUtf16(u"o\0k", 3));
}

TEST(HostileAnswers, ClaudeExtremesAreSafe) {
    const auto s = claudeSnapshot();
    ManualClock clock(1000);
    const auto r = ClassificationService::decodeClaude(
        R"({"recommendedModel":"opus","recommendedEffort":"high","potentialUsd":-1e308,"potentialPct":1e308,"savingsBasis":"claude-list-uncached-estimated-output-v1","reason":"\u202Eevil\u202C","unknown":[[[]]]})",
        s, clock);
    EXPECT_EQ(r.potentialUSD, -1e308);
    EXPECT_FALSE(r.savingsLabel());
    EXPECT_THROW(
        ClassificationService::decodeClaude(R"({"recommendedModel":"opus","planLabel":false})", s, clock),
        DecodingError);
    // Invalid UTF-8 is not JSON.
    EXPECT_THROW(ClassificationService::decodeClaude("{\"recommendedModel\":\"op\xFFus\"}", s, clock),
                 DecodingError);
    // A model name in another script is only a name: nothing resolves it.
    EXPECT_THROW(ClassificationService::decodeClaude(
                     R"({"recommendedModel":"ОРUS","recommendedEffort":"high"})", s, clock),
                 ClassificationService::ServiceError);
}
