// The Secret Service backend against a real gnome-keyring daemon. CTest runs this through
// run-secret-service-test, which starts a private D-Bus session with an unlocked keyring and sets
// QUILLMERE_SECRET_SERVICE_TEST; without it (a plain test run) the test is skipped, since it must
// never touch the user's own keyring.

// glib uses "signals" as a name, which Qt defines as a macro: glib comes first.
#include <libsecret/secret.h>

#include "ConnectorTestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

// Locks the default collection (which holds the item), as a screen lock would.
bool lockDefaultCollection() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    if (!service) {
        g_clear_error(&error);
        return false;
    }
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, &error);
    bool locked = false;
    if (collection) {
        GList* objects = g_list_append(nullptr, collection);
        locked = secret_service_lock_sync(service, objects, nullptr, nullptr, &error) > 0;
        g_list_free(objects);
        g_object_unref(collection);
    }
    g_clear_error(&error);
    g_object_unref(service);
    return locked;
}

} // namespace

TEST(SecretServiceBackend, StoresReplacesLoadsClearsAndRefusesALockedItem) {
    if (qEnvironmentVariable("QUILLMERE_SECRET_SERVICE_TEST") != u"1")
        GTEST_SKIP() << "needs the private keyring session of run-secret-service-test";
    SecretServiceBackend backend;
    const QString service = QStringLiteral("com.quillmere.zudizur.desktop.connector.local.v1");
    const QString otherMode = QStringLiteral("com.quillmere.zudizur.desktop.connector.hosted.v1");

    EXPECT_FALSE(ConnectorKeychain::load(backend, service, false));
    ConnectorKeychain::save(backend, service, credential());
    EXPECT_EQ(ConnectorKeychain::load(backend, service, false), credential());
    ConnectorKeychain::save(backend, service, credential(otherToken43)); // replaced in place
    EXPECT_EQ(ConnectorKeychain::load(backend, service, false), credential(otherToken43));
    EXPECT_FALSE(ConnectorKeychain::load(backend, otherMode, false));
    ConnectorKeychain::clear(backend, service, false);
    ConnectorKeychain::clear(backend, service, false); // nothing left: still success
    EXPECT_FALSE(ConnectorKeychain::load(backend, service, false));

    ConnectorKeychain::save(backend, service, credential());
    ASSERT_TRUE(lockDefaultCollection());
    try {
        ConnectorKeychain::load(backend, service, false);
        FAIL() << "a locked item was read without interaction";
    } catch (const ConnectorFailure& failure) {
        EXPECT_EQ(failure.kind(), ConnectorFailure::keychain);
    }
    EXPECT_THROW(ConnectorKeychain::clear(backend, service, false), ConnectorFailure);
}
