#include "desktop/classification/RequestLogStore.h"

#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "platform/network/HttpTransport.h"
#include "platform/tasks/TaskCancelled.h"

#include <QLocale>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QUrl endpoint("https://service.invalid/classify");

class RequestLogStoreTest : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    QDateTime now = QDateTime(QDate(2026, 3, 1), QTime(9, 30, 5, 0), Qt::UTC);
    RequestLogStore store{[this] { return now; }};
};

} // namespace

TEST_F(RequestLogStoreTest, NumbersCallsAndIgnoresUnknownIds) {
    int reports = 0;
    int lists = 0;
    store.onChange = [&](const QString&) { ++reports; };
    store.onEntriesChange = [&](const std::vector<RequestLogStore::Entry>&) { ++lists; };
    const QUuid first = store.begin("A", "Claude", endpoint, "{}");
    store.begin("B", "ChatGPT", endpoint, "{}");
    EXPECT_EQ(store.entries()[0].number, 1);
    EXPECT_EQ(store.entries()[1].number, 2);
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(lists, 2);

    const auto before = store.entries();
    store.received(QUuid::createUuid(), 200, "{}");
    store.completed(QUuid::createUuid(), "COMPLETED · RECOMMENDATION");
    store.failed(QUuid::createUuid(), TaskCancelled());
    EXPECT_EQ(store.entries(), before);
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(lists, 2);
    store.received(first, 200, "{}");
    EXPECT_EQ(reports, 3);
}

TEST_F(RequestLogStoreTest, HeadersLabelEachStatus) {
    const QUuid sending = store.begin("A", "Claude", endpoint, "{}");
    EXPECT_EQ(RequestLogStore::header(store.entries()[0]),
              QString::fromUtf8("CALL #1  ·  9:30:05 AM  ·  Sending…")
                  .replace("9:30:05 AM", QLocale().toString(now.toLocalTime().time(), "h:mm:ss AP")));
    store.received(sending, 200, "{}");
    EXPECT_TRUE(RequestLogStore::header(store.entries()[0]).endsWith(QString::fromUtf8("Reading response…")));
    store.completed(sending, QString::fromUtf8("COMPLETED · NO RECOMMENDATION"));
    EXPECT_TRUE(RequestLogStore::header(store.entries()[0]).endsWith("No model decision"));
    store.completed(sending, QString::fromUtf8("COMPLETED · RECOMMENDATION"));
    EXPECT_TRUE(RequestLogStore::header(store.entries()[0]).endsWith("Recommendation received"));
    store.completed(sending, "half done");
    EXPECT_TRUE(RequestLogStore::header(store.entries()[0]).endsWith("Half Done"));

    const QUuid cancelled = store.begin("B", "Claude", endpoint, "{}");
    store.failed(cancelled, TaskCancelled());
    EXPECT_TRUE(RequestLogStore::header(store.entries()[1]).endsWith("Cancelled"));
    EXPECT_TRUE(RequestLogStore::details(store.entries()[1]).startsWith("STATUS: CANCELLED\n"));

    const QUuid failed = store.begin("C", "Claude", endpoint, "{}");
    store.received(failed, 500, "oops");
    store.failed(failed, ClassificationService::ServiceError::badStatus(500));
    EXPECT_TRUE(RequestLogStore::header(store.entries()[2]).endsWith(QString::fromUtf8("Failed · HTTP 500")));
    EXPECT_TRUE(RequestLogStore::details(store.entries()[2])
                    .contains(QString::fromUtf8("SERVER: HTTP 500  ·  TIME: 0.00s")));

    // A cancelled URL load is a network failure, not a cancelled task.
    const QUuid network = store.begin("D", "Claude", endpoint, "{}");
    store.failed(network, TransportError(TransportError::cancelled, "cancelled"));
    EXPECT_EQ(store.entries()[3].status, "FAILED");
    EXPECT_EQ(store.entries()[3].error, "Network error -999: cancelled");
    EXPECT_TRUE(RequestLogStore::header(store.entries()[3]).endsWith("Failed"));
}

TEST_F(RequestLogStoreTest, AnUnverifiedAnswerIsLoggedByWhatFailed) {
    // The row names the failed check; the sentence is the card's.
    using Invalid = OpenAIRecommendationContract::Invalid;
    const std::pair<Invalid::Case, const char*> cases[] = {
        {Invalid::Case::schema, "schema"},
        {Invalid::Case::reason, "reason"},
        {Invalid::Case::decision, "decision"},
        {Invalid::Case::setting, "setting"},
        {Invalid::Case::incompatibleSpeedOrBilling, "incompatibleSpeedOrBilling"},
        {Invalid::Case::unsupportedRecommendationTarget, "unsupportedRecommendationTarget"}};
    for (const auto& [failure, name] : cases) {
        const QUuid call = store.begin("A", "ChatGPT", endpoint, "{}");
        store.received(call, 200, "{}");
        store.failed(call, Invalid(failure));
        EXPECT_EQ(store.entries().back().status, "FAILED");
        EXPECT_EQ(store.entries().back().error, QString::fromLatin1(name));
        EXPECT_NE(store.entries().back().error, Invalid(failure).errorDescription());
    }
}

TEST_F(RequestLogStoreTest, DetailsShowProgressAndElapsedTime) {
    const QUuid id =
        store.begin("Trip  [k]", "ChatGPT", endpoint, R"({"messages":[{"role":"user","text":"hi"}]})");
    EXPECT_EQ(RequestLogStore::details(store.entries()[0]),
              QString::fromUtf8(
                  "STATUS: SENDING\nCONVERSATION: Trip  [k]\nPROVIDER: ChatGPT\n"
                  "ENDPOINT: https://service.invalid/classify\n"
                  "SERVER: HTTP waiting  ·  TIME: in progress\n\nWHAT QUILLMERE SENT\n"
                  "MESSAGES USED FOR ANALYSIS: 1\n\nMESSAGE 1 · YOU\nhi\n\nCURRENT SETTING\nNot detected\n\n"
                  "WHAT THE SERVER ANSWERED\nWaiting for response…"));
    now = now.addMSecs(1234);
    store.received(id, 200, R"({"decision":"keep"})");
    EXPECT_TRUE(RequestLogStore::details(store.entries()[0]).contains("TIME: in progress"));
    store.completed(id, "COMPLETED · RECOMMENDATION");
    EXPECT_TRUE(RequestLogStore::details(store.entries()[0]).contains("TIME: 1.23s"));
    EXPECT_FALSE(RequestLogStore::details(store.entries()[0]).contains("ERROR"));
}

TEST_F(RequestLogStoreTest, ReportListsNewestFirstWithOneSeparatorBetween) {
    EXPECT_EQ(store.report(),
              QString::fromUtf8("No server calls in this app session yet.\n\nWhen Quillmere analyzes a "
                                "conversation, the messages it sent and the server’s answer will appear "
                                "here in a readable format."));
    store.begin("old", "Claude", endpoint, "{}");
    store.begin("new", "Claude", endpoint, "{}");
    const QString report = store.report();
    const QString separator = "\n\n" + QString(40, QChar(0x2500)) + "\n\n";
    EXPECT_EQ(report.count(separator), 1);
    EXPECT_TRUE(report.startsWith("CALL #2"));
    EXPECT_LT(report.indexOf("CONVERSATION: new"), report.indexOf("CONVERSATION: old"));
    EXPECT_FALSE(report.endsWith(separator));
}

TEST(RequestRendering, FallsBackToRawTextForAnythingButAnObject) {
    EXPECT_EQ(RequestLogStore::readableRequest("not json"), "not json");
    EXPECT_EQ(RequestLogStore::readableRequest("[1,2]"), "[1,2]");
    EXPECT_EQ(RequestLogStore::readableRequest(QByteArray("\xff\xfe\x00", 3)), "<3 bytes of non-text data>");
    EXPECT_EQ(RequestLogStore::readableResponse(QByteArray("\xc3\x28", 2)), "<2 bytes of non-text data>");
    // An object yielding nothing readable is shown raw too.
    EXPECT_EQ(RequestLogStore::readableResponse(R"({"unknown":1})"), R"({"unknown":1})");
}

TEST(RequestRendering, RequestsReadAsFields) {
    EXPECT_EQ(
        RequestLogStore::readableRequest(
            R"({"messages":[{"role":"system","text":"  \n "},{"role":"assistant","text":" ok "}],"availableMessageCount":10,)"
            R"("historyComplete":true,"currentModel":"sonnet","available":[{"model":"opus","effort":"high"},{"model":"haiku"}]})"),
        QString::fromUtf8(
            "MESSAGES USED FOR ANALYSIS: 2 most recent of 10 available\n\nMESSAGE 1 · YOU\n(empty)\n\n"
            "MESSAGE 2 · AI\nok\n\nCONTEXT COVERAGE\nSent the most recent 2 of 10 available messages; "
            "earlier messages exceeded the request limit\n\nCURRENT SETTING\nsonnet · unknown\n\n"
            "AVAILABLE SETTINGS\nopus · high, haiku"));
    // A message that is not an object hides the whole section; the request then starts with a blank line.
    EXPECT_EQ(RequestLogStore::readableRequest(
                  R"({"messages":[1],"historyComplete":true,"current":{"model":"gpt-6-sol"},)"
                  R"("availableModels":["gpt-6-sol","gpt-6-luna"]})"),
              QString::fromUtf8(
                  "\nCONTEXT COVERAGE\nComplete conversation history\n\nCURRENT SETTING\ngpt-6-sol\n\n"
                  "AVAILABLE MODELS\ngpt-6-sol, gpt-6-luna"));
    EXPECT_EQ(RequestLogStore::readableRequest(
                  R"({"currentModel":"haiku","currentEffort":"low","currentExtended":true})"),
              QString::fromUtf8("\nCURRENT SETTING\nhaiku · low · Extended thinking on"));
}

TEST(ResponseRendering, ExplainsDecisionsInWords) {
    EXPECT_EQ(RequestLogStore::readableResponse(R"({"decision":"ABSTAIN"})"), "DECISION\nNo model decision");
    EXPECT_EQ(RequestLogStore::readableResponse(R"({"decision":"abstain","reason":"Too short"})"),
              "DECISION\nNo model decision\n\nWHY NO MODEL WAS CHOSEN\nToo short");
    EXPECT_EQ(
        RequestLogStore::readableResponse(
            R"({"decision":"suggest","recommendedModel":"haiku","recommendedEffort":"","fitExtended":true,"reason":" ",)"
            R"("requiresVerification":false,"message":"hello","error":null})"),
        QString::fromUtf8(
            "DECISION\nSuggest a different setting\n\nRECOMMENDED SETTING\nhaiku · Extended thinking on\n\n"
            "VERIFICATION\nNot required\n\nSERVER MESSAGE\nhello\n\nSERVER ERROR\n<null>"));
    EXPECT_EQ(
        RequestLogStore::readableResponse(
            R"({"contextUsage":{"messageCount":1,"userMessageCount":1,"assistantMessageCount":0,"historyComplete":true}})"),
        QString::fromUtf8("\nCONTEXT USED\n1 message · 1 yours + 0 AI"));
}

TEST(ResponseRendering, SavingsOnlyWhenTheApplicationCanStandBehindThem) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(
        RequestLogStore::readableResponse(R"({"recommendedModel":"haiku","potentialPct":12.34,)"
                                          R"("savingsBasis":"claude-list-uncached-estimated-output-v1"})"),
        QString::fromUtf8(
            "\nRECOMMENDED SETTING\nhaiku\n\nESTIMATED CREDIT SAVINGS\n≈12,3% compared with the current "
            "setting · Same estimated input size"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_TRUE(RequestLogStore::readableResponse(
                    R"({"fitModel":"sonnet","potentialPct":25,"savingsBasis":)"
                    R"("claude-list-uncached-estimated-output-v1","savingsComparedTo":"fable"})")
                    .endsWith(QString::fromUtf8("≈25% compared with Fable 5.1 · Same estimated input size")));
    EXPECT_TRUE(RequestLogStore::readableResponse(R"({"fitModel":"sonnet"})")
                    .endsWith("SAVINGS ESTIMATE\nNot verified in this server response"));
    // An OpenAI percent the cost table cannot reproduce is not formatted as a reference.
    const QString unverified = RequestLogStore::readableResponse(
        R"({"provider":"openai","setting":{"model":"gpt-5.6-terra"},"potentialPct":44,)"
        R"("savingsBasis":"chatgpt-work-standard-10k-input-2k-output-v1","savingsComparedTo":"gpt-5.6-sol"})");
    EXPECT_TRUE(unverified.endsWith(
        "STANDARD RATE REFERENCE\nNot verified in this server response; no personalized savings claim."));
    QLocale::setDefault(QLocale::system());
}

TEST(ResponseRendering, LegacyAnswersAreNotAccepted) {
    const QByteArray body = R"({"provider":"openai","decision":"keep","speed":"fast"})";
    const QString rendered = RequestLogStore::readableResponse(body);
    EXPECT_TRUE(rendered.startsWith("RESPONSE NOT ACCEPTED\n"));
    EXPECT_TRUE(rendered.endsWith(". This client cannot verify speed or billing.\n\nSERVER RESPONSE\n" +
                                  QString::fromUtf8(body)));
    EXPECT_FALSE(rendered.contains("DECISION"));
}
