#include "ConnectorTestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString inboxPath = QStringLiteral("/widget/inbox");
const QString ackPath = QStringLiteral("/widget/ack");
const QString claimPath = QStringLiteral("/widget/claim");
const QString devicePath = QStringLiteral("/widget/device");

class LinkFlows : public ::testing::Test {
protected:
    void SetUp() override {
        Scheduler::setCurrent(&scheduler);
        transport.answer(inboxPath, inboxBody({}));
    }
    void TearDown() override {
        flows.reset();
        scheduler.runUntil([] { return false; }, 1e6, 0);
        Scheduler::setCurrent(nullptr);
    }
    void make() {
        flows = std::make_unique<ConnectorLinkFlows>(view, transport, storage, preferences, scheduler);
    }
    void run(double seconds = 0) { scheduler.advance(seconds); }
    // Restores a stored valid credential, so the flows are linked and have polled once.
    void linked() {
        storage.backend.put(MemoryStorage::service, credential().encoded());
        make();
        flows->restore();
        run();
        ASSERT_TRUE(flows->credential());
    }
    std::vector<QString> mirroredStatuses() const {
        std::vector<QString> result;
        for (const auto& [status, clear] : view.mirrors)
            result.push_back(status);
        return result;
    }

    VirtualScheduler scheduler{1000.0};
    ManualClock clock{1000.0, testNow()};
    ScriptedTransport transport{clock};
    MemoryStorage storage;
    MemoryPreferences preferences;
    RecordingView view;
    std::unique_ptr<ConnectorLinkFlows> flows;
};

} // namespace

TEST_F(LinkFlows, RestoreWithNothingStoredClearsAStaleRevocationFlag) {
    preferences.flag = true;
    make();
    flows->restore();
    EXPECT_EQ(view.status, ConnectorText::restoring);
    EXPECT_FALSE(view.connectEnabled);
    run();
    EXPECT_FALSE(preferences.flag);
    EXPECT_EQ(view.status, ConnectorText::initial);
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_EQ(storage.loads, std::vector<bool>{false}); // never with interaction at start
    EXPECT_EQ(mirroredStatuses(), std::vector<QString>{ConnectorText::initial});
}

TEST_F(LinkFlows, RestoreWithAPendingRevocationNeverPolls) {
    preferences.flag = true;
    storage.backend.put(MemoryStorage::service, credential().encoded());
    make();
    flows->restore();
    run(35);
    EXPECT_EQ(view.status, ConnectorText::revocationPending);
    EXPECT_EQ(flows->pendingRevocation(), credential());
    EXPECT_FALSE(flows->credential());
    EXPECT_FALSE(view.connectEnabled);
    EXPECT_TRUE(view.disconnectEnabled);
    EXPECT_EQ(transport.count(inboxPath), 0);
}

TEST_F(LinkFlows, RestoreRefusesUnusableSavedCredentialsButKeepsTheItem) {
    // Expired, decoded from garbage, and unreadable (a locked item without interaction).
    const std::vector<std::function<void()>> setups = {
        [this] {
            ConnectorCredential old = credential();
            old.expires_at = QStringLiteral("2026-01-15T11:59:59.999Z");
            storage.backend.put(MemoryStorage::service, old.encoded());
        },
        [this] { storage.backend.put(MemoryStorage::service, "{\"origin\":1}"); },
        [this] {
            storage.backend.put(MemoryStorage::service, credential().encoded());
            storage.backend.setLocked(true);
        },
    };
    for (const auto& setup : setups) {
        storage.backend.setLocked(false);
        setup();
        make();
        flows->restore();
        run(20);
        EXPECT_EQ(view.status, ConnectorText::unavailable);
        EXPECT_FALSE(flows->credential());
        EXPECT_TRUE(view.connectEnabled);
        EXPECT_FALSE(view.disconnectEnabled);
        EXPECT_TRUE(storage.backend.value(MemoryStorage::service));
        EXPECT_EQ(transport.count(inboxPath), 0);
    }
}

TEST_F(LinkFlows, ALinkPollsAtOnceThenEveryTenSecondsWithOnePollInFlight) {
    transport.answer(inboxPath, inboxBody({}), 15);
    storage.backend.put(MemoryStorage::service, credential().encoded());
    make();
    flows->restore();
    run();
    EXPECT_EQ(view.account, QStringLiteral("Account reference: 0123456789abcdef · SYNTHETIC TEST ACCOUNT"));
    EXPECT_TRUE(view.disconnectEnabled);
    EXPECT_FALSE(view.connectEnabled);
    EXPECT_EQ(transport.count(inboxPath), 1);
    run(10); // the tick at 10 s finds the first poll still waiting
    EXPECT_EQ(transport.count(inboxPath), 1);
    run(10.5); // the first answered at 15 s; the tick at 20 s polls again
    EXPECT_EQ(transport.count(inboxPath), 2);
    EXPECT_EQ(view.status, ConnectorText::connected);
    EXPECT_EQ(transport.count(ackPath), 0); // an empty inbox is not acknowledged
}

// A valid item may carry control characters and direction overrides in its words: the window shows
// them cleaned as the card does, the setting on its line, the rationale's line break kept.
TEST_F(LinkFlows, TheServicesWordsAreShownCleanedAsOnTheCard) {
    QJsonObject hostile = item(uuid(1), QStringLiteral("Sonnet\u202E5\u001B[31m\u0000 Max"));
    hostile["reasoning"] = QStringLiteral("Hi\u2067gh\ntoo");
    hostile["rationale"] = QStringLiteral("Fits\u0000 the\u202E task.\u001B[2J\nSecond line.");
    transport.answer(inboxPath, inboxBody({hostile}));
    linked();
    ASSERT_EQ(view.presented.size(), 1u);
    EXPECT_EQ(view.advice,
              QStringLiteral("Claude · Sonnet5[31m Max · High too\n\nFits the task.[2J\nSecond "
                             "line.\n\nLocal test policy. Availability and savings have not been "
                             "verified."));
    for (const QChar c : view.advice)
        EXPECT_TRUE(c == u'\n' || (c >= u' ' && !(c >= QChar(0x202A) && c <= QChar(0x202E)) &&
                                   !(c >= QChar(0x2066) && c <= QChar(0x2069))))
            << int(c.unicode());
}

TEST_F(LinkFlows, TheNewestItemIsShownOnceAndEveryItemIsAcknowledged) {
    transport.answer(inboxPath,
                     inboxBody({item(uuid(1), "First"), item(uuid(2), "Second"), item(uuid(3), "Third")}));
    linked();
    ASSERT_EQ(view.presented.size(), 1u);
    EXPECT_EQ(view.presented[0].model_family, QStringLiteral("Third"));
    EXPECT_EQ(view.status, ConnectorText::received);
    EXPECT_EQ(view.advice,
              QStringLiteral("Claude · Third · High\n\nFits the task.\n\nLocal test policy. Availability "
                             "and savings have not been verified."));
    ASSERT_EQ(transport.count(ackPath), 1);
    EXPECT_EQ(transport.calls.back().body, QByteArray("{\"ids\":[\"") + uuid(1).toLatin1() + "\",\"" +
                                               uuid(2).toLatin1() + "\",\"" + uuid(3).toLatin1() + "\"]}");

    run(10); // the same newest item again
    EXPECT_EQ(view.presented.size(), 1u);
    EXPECT_EQ(transport.count(ackPath), 2);
    EXPECT_EQ(view.status, ConnectorText::connected);
    EXPECT_EQ(flows->lastGuidance()->id, uuid(3));
}

TEST_F(LinkFlows, GuidanceTheShellCannotPresentIsOfferedAgain) {
    transport.answer(inboxPath, inboxBody({item(uuid(1))}));
    storage.backend.put(MemoryStorage::service, credential().encoded());
    make();
    int offered = 0;
    flows->onGuidance = [&offered](const ConnectorGuidance&) { return ++offered > 1; };
    flows->restore();
    run();
    EXPECT_EQ(offered, 1);
    EXPECT_FALSE(flows->lastID());
    EXPECT_TRUE(view.presented.empty());
    EXPECT_EQ(transport.count(ackPath), 0);
    run(10);
    EXPECT_EQ(offered, 2);
    EXPECT_EQ(flows->lastID(), uuid(1));
    EXPECT_EQ(transport.count(ackPath), 1);
}

TEST_F(LinkFlows, TransientPollFailuresKeepTheLinkAndTheLastRecommendation) {
    transport.answer(inboxPath, inboxBody({item(uuid(1))}));
    linked();
    const std::vector<std::function<void()>> faults = {
        [this] { transport.fail(inboxPath, ConnectorFailure::rejected); }, // a 500
        [this] { transport.timeOut(inboxPath); },                          // no answer
        [this] { transport.answer(inboxPath, QByteArray("not json")); },   // undecodable
        [this] { transport.answer(inboxPath, inboxBody({item(uuid(2))}, "ffffffffffffffff")); }, // foreign
    };
    for (const auto& fault : faults) {
        fault();
        run(10);
        EXPECT_EQ(view.status, ConnectorText::reconnecting);
        EXPECT_TRUE(flows->credential());
        EXPECT_EQ(flows->lastGuidance()->id, uuid(1));
        EXPECT_FALSE(view.mirrors.back().second);
    }
    EXPECT_TRUE(storage.backend.value(MemoryStorage::service));
}

TEST_F(LinkFlows, AnUnauthorizedPollExpiresTheLinkAndDeletesTheItemWithoutInteraction) {
    transport.answer(inboxPath, inboxBody({item(uuid(1))}));
    linked();
    transport.fail(inboxPath, ConnectorFailure::unauthorized);
    run(10);
    EXPECT_EQ(view.status, ConnectorText::expired);
    EXPECT_FALSE(flows->credential());
    EXPECT_FALSE(flows->lastGuidance());
    EXPECT_EQ(view.advice, ConnectorText::adviceNone);
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_EQ(storage.clears, std::vector<bool>{false});
    EXPECT_FALSE(storage.backend.value(MemoryStorage::service));
    EXPECT_FALSE(flows->isPolling());
    const auto statuses = mirroredStatuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), ConnectorText::expiring), statuses.end());
    run(30);
    EXPECT_EQ(transport.count(inboxPath), 2);
}

TEST_F(LinkFlows, AnExpiryWhoseDeleteFailsSaysSo) {
    linked();
    clock.setNow(testNow().addDays(2)); // the credential expires before the next request
    storage.backend.failNext(MemorySecretBackend::removeOperation);
    run(10);
    EXPECT_EQ(view.status, ConnectorText::expiredNotRemoved);
    EXPECT_EQ(transport.count(inboxPath), 1);
}

TEST_F(LinkFlows, ConnectClaimsSavesPollsAndCollapsesTheCard) {
    transport.answer(claimPath, claimBody());
    make();
    view.code = QStringLiteral("  ") + token43 + QStringLiteral("\n");
    flows->connect();
    EXPECT_EQ(view.status, ConnectorText::connecting);
    EXPECT_EQ(view.mirrors.back(), std::make_pair(ConnectorText::connecting, true));
    EXPECT_TRUE(view.code.isEmpty());
    EXPECT_EQ(view.advice, ConnectorText::adviceWaiting);
    run();
    EXPECT_EQ(storage.stored(), credential());
    EXPECT_EQ(view.collapsed, 1);
    EXPECT_FALSE(view.connectEnabled);
    EXPECT_TRUE(view.disconnectEnabled);
    EXPECT_EQ(view.status, ConnectorText::connected);
    ASSERT_GE(transport.calls.size(), 2u);
    EXPECT_EQ(transport.calls[0].body, QByteArray("{\"pairing_code\":\"") + token43.toLatin1() +
                                           "\",\"device_name\":\"Quillmere Zudizur\"}");
    EXPECT_EQ(transport.calls[1].token, token43);
}

TEST_F(LinkFlows, ConnectRefusalsChangeOnlyTheStatusLabel) {
    make();
    view.code = QStringLiteral("short");
    flows->connect();
    EXPECT_EQ(view.status, ConnectorText::enterAddressAndCode);
    view.code = token43;
    view.origin = QStringLiteral("http://localhost:18888");
    flows->connect();
    EXPECT_EQ(view.status, ConnectorText::enterAddressAndCode);
    EXPECT_TRUE(view.mirrors.empty());
    EXPECT_EQ(view.code, token43);

    linked();
    view.mirrors.clear();
    flows->connect();
    EXPECT_EQ(view.status, ConnectorText::disconnectFirst);
    EXPECT_TRUE(view.mirrors.empty());
    EXPECT_EQ(transport.count(claimPath), 0);
}

TEST_F(LinkFlows, AFailedClaimOrSaveLeavesNothingLinkedAndRevokesASavedlessDevice) {
    make();
    transport.fail(claimPath, ConnectorFailure::rejected);
    view.code = token43;
    flows->connect();
    run();
    EXPECT_EQ(view.status, ConnectorText::couldNotLink);
    EXPECT_TRUE(view.connectEnabled);

    // A claim whose credential breaks the rules (upper-case account) is never stored.
    transport.answer(claimPath, claimBody().replace("0123456789abcdef", "0123456789ABCDEF"));
    view.code = token43;
    flows->connect();
    run();
    EXPECT_EQ(view.status, ConnectorText::couldNotLink);
    EXPECT_FALSE(storage.stored());

    transport.answer(claimPath, claimBody());
    storage.backend.failNext(MemorySecretBackend::storeOperation);
    view.code = token43;
    flows->connect();
    run();
    EXPECT_EQ(view.status, ConnectorText::couldNotLink);
    EXPECT_EQ(transport.count(devicePath), 1);
    EXPECT_FALSE(flows->credential());
}

TEST_F(LinkFlows, DisconnectRevokesBeforeForgetting) {
    linked();
    flows->disconnect();
    EXPECT_TRUE(preferences.flag);
    EXPECT_EQ(view.status, ConnectorText::disconnecting);
    EXPECT_EQ(flows->pendingRevocation(), credential());
    run();
    EXPECT_EQ(view.status, ConnectorText::disconnected);
    EXPECT_FALSE(preferences.flag);
    EXPECT_FALSE(flows->pendingRevocation());
    EXPECT_FALSE(storage.backend.value(MemoryStorage::service));
    EXPECT_EQ(storage.clears, std::vector<bool>{true});
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.disconnectEnabled);
    EXPECT_EQ(transport.calls.back().path, devicePath);
    EXPECT_EQ(transport.calls.back().token, token43);
}

TEST_F(LinkFlows, ARevokeAnsweredUnauthorizedCountsAsRevoked) {
    linked();
    transport.fail(devicePath, ConnectorFailure::unauthorized);
    flows->disconnect();
    run();
    EXPECT_EQ(view.status, ConnectorText::disconnected);
    EXPECT_FALSE(preferences.flag);
}

TEST_F(LinkFlows, AnUnconfirmedRevokeKeepsTheCredentialForTheRetry) {
    linked();
    transport.timeOut(devicePath);
    flows->disconnect();
    run();
    EXPECT_EQ(view.status, ConnectorText::disconnectNotConfirmed);
    EXPECT_TRUE(preferences.flag);
    EXPECT_EQ(flows->pendingRevocation(), credential());
    EXPECT_TRUE(view.disconnectEnabled);
    EXPECT_TRUE(storage.backend.value(MemoryStorage::service));
    run(30);
    EXPECT_EQ(transport.count(inboxPath), 1); // no polling while the revocation is pending

    flows->connect();
    EXPECT_EQ(view.status, ConnectorText::retryDisconnectFirst);

    transport.answer(devicePath, QByteArray("{}"));
    flows->disconnect();
    run();
    EXPECT_EQ(view.status, ConnectorText::disconnected);
    EXPECT_EQ(transport.count(devicePath), 2);
    EXPECT_EQ(transport.calls.back().token, token43);
}

// A deliberate exception to "a credential is kept until the service confirms its revocation": a
// revoke this build refuses before sending (the credential was saved by a build with another
// origin policy, or holds a malformed token) could never be sent by any retry, so keeping it would
// leave "Disconnection not confirmed" on screen for good with no way out. Such a disconnect clears
// the item and the flag and ends as "unavailable"; nothing reaches the network.
TEST_F(LinkFlows, ARevokeThisBuildCanNeverSendClearsTheItemRatherThanRetryingForever) {
    ConnectorCredential foreign = credential();
    foreign.origin = QStringLiteral("https://connector.example.com");
    ConnectorCredential malformed = credential(QStringLiteral("short"));
    for (const ConnectorCredential& stored : {foreign, malformed}) {
        storage.backend.put(MemoryStorage::service, stored.encoded());
        preferences.flag = true;
        make();
        flows->restore();
        run();
        EXPECT_EQ(view.status, ConnectorText::revocationPending);
        flows->disconnect();
        run();
        EXPECT_EQ(view.status, ConnectorText::unavailable);
        EXPECT_FALSE(preferences.flag);
        EXPECT_FALSE(storage.backend.value(MemoryStorage::service));
        EXPECT_TRUE(view.connectEnabled);
        EXPECT_EQ(transport.count(devicePath), 0);
    }
}

// Restore's load is still pending when a Connect starts a newer link: the stored credential that
// arrives afterwards is dropped (never adopted, never polled with), and the new link stands.
TEST_F(LinkFlows, ARestoreOvertakenWhileTheKeychainIsBusyDropsWhatItLoaded) {
    storage.backend.put(MemoryStorage::service, credential().encoded());
    storage.holdSeconds = 5;
    transport.answer(claimPath, claimBody(otherToken43));
    make();
    flows->restore();
    run(1);
    ASSERT_EQ(storage.loads.size(), 1u); // the load is pending
    view.code = otherToken43;
    flows->connect();
    run(12);
    ASSERT_TRUE(flows->credential());
    EXPECT_EQ(flows->credential()->device_token, otherToken43);
    EXPECT_GE(transport.count(inboxPath), 1);
    for (const auto& call : transport.calls)
        EXPECT_NE(call.token, std::optional(token43))
            << call.path.toStdString() << " used the restored token";
    EXPECT_EQ(view.status, ConnectorText::connected);
}

// A claim whose save is still pending when a newer Connect starts: once saved it is stale, so its
// device is revoked on the service and it is not adopted; the saved item is left for the newer
// link to replace, never cleared.
TEST_F(LinkFlows, AClaimSavedAfterANewerConnectIsRevokedAndItsItemKept) {
    int claims = 0;
    transport.answer(claimPath, [&claims] { return claimBody(++claims == 1 ? token43 : otherToken43); });
    storage.holdSeconds = 5;
    make();
    view.code = token43;
    flows->connect();
    run(1);
    ASSERT_TRUE(storage.saves.empty()); // the first save is pending
    view.code = otherToken43;
    flows->connect();
    run(4.5); // the first save answers at 5 s, the second at 6 s
    EXPECT_EQ(storage.saves, std::vector<QString>{token43}); // saved, but stale by now
    std::vector<std::optional<QString>> revoked;
    for (const auto& call : transport.calls)
        if (call.path == devicePath)
            revoked.push_back(call.token);
    EXPECT_EQ(revoked, std::vector<std::optional<QString>>{token43});
    EXPECT_TRUE(storage.clears.empty());
    EXPECT_FALSE(flows->credential());
    run(10);
    EXPECT_EQ(storage.saves, (std::vector<QString>{token43, otherToken43}));
    ASSERT_TRUE(flows->credential());
    EXPECT_EQ(flows->credential()->device_token, otherToken43);
    EXPECT_EQ(transport.count(devicePath), 1);
    EXPECT_TRUE(storage.clears.empty());
}

TEST_F(LinkFlows, DisconnectWithOnlyTheFlagLoadsTheItemWithInteraction) {
    linked();
    flows.reset();
    preferences.flag = true;
    make(); // no restore: nothing in memory, only the flag and the item
    flows->disconnect();
    run();
    EXPECT_EQ(storage.loads.back(), true);
    EXPECT_EQ(view.status, ConnectorText::disconnected);
    EXPECT_EQ(transport.count(devicePath), 1);
}

TEST_F(LinkFlows, DisconnectDuringAClaimMakesTheNewDeviceStaleAndRevokesIt) {
    transport.answer(claimPath, claimBody(otherToken43), 5);
    make();
    view.code = token43;
    flows->connect();
    run(1);
    preferences.flag = true; // a revocation left over, so Disconnect is allowed now
    flows->disconnect();
    run(10);
    EXPECT_FALSE(flows->credential());
    EXPECT_FALSE(storage.stored());
    int revokedNew = 0;
    for (const auto& call : transport.calls)
        revokedNew += call.path == devicePath && call.token == otherToken43;
    EXPECT_EQ(revokedNew, 1);
    EXPECT_EQ(view.status, ConnectorText::disconnected);
}

TEST_F(LinkFlows, PastingTrimsAndFocusesOrRefuses) {
    make();
    flows->pasteCode();
    EXPECT_EQ(view.status, ConnectorText::copyCodeFirst);
    view.pasteboard = QStringLiteral("\u00a0") + token43 + QStringLiteral("\n");
    flows->pasteCode();
    EXPECT_EQ(view.code, token43);
    EXPECT_EQ(view.focused, 1);
    EXPECT_EQ(view.status, ConnectorText::codePasted);
    flows->pasteConnectionCode(QString(21, u'a') + u' ' + QString(21, u'b'));
    EXPECT_EQ(view.code, token43);
    EXPECT_EQ(view.status, ConnectorText::freshCode);
    EXPECT_EQ(view.mirrors.size(), 3u);
}

TEST_F(LinkFlows, TheSetupPageFollowsTheBuild) {
    make();
    flows->openSetup();
    ASSERT_EQ(view.opened.size(), 1u);
    EXPECT_EQ(view.opened[0].toString(), QStringLiteral("http://127.0.0.1:18888/demo#widget"));
    view.origin = QStringLiteral("http://127.0.0.1:80");
    flows->openSetup();
    EXPECT_EQ(view.status, ConnectorText::addressUnavailable);
    EXPECT_EQ(view.opened.size(), 1u);

    ScriptedTransport hosted(clock, ConnectorOriginPolicy(QStringLiteral("https://connector.example.com")));
    ConnectorLinkFlows hostedFlows(view, hosted, storage, preferences, scheduler);
    view.origin = QStringLiteral("https://connector.example.com");
    hostedFlows.openSetup();
    EXPECT_EQ(view.opened.back().toString(), QStringLiteral("https://connector.example.com/connect-widget"));
}
