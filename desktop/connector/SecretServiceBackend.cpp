// The Secret Service backend. Items are found by their "service" and "account" attributes under
// the connector's own schema. A search without interaction never unlocks anything; a locked item
// found that way is refused rather than unlocked, so no prompt can appear.

// glib uses "signals" as a name, which Qt defines as a macro: glib comes first.
#include <libsecret/secret.h>

#include "desktop/connector/ConnectorKeychain.h"

#include <memory>

namespace quillmere {

namespace {

const SecretSchema* schema() {
    static const SecretSchema value = {"com.quillmere.zudizur.Connector",
                                       SECRET_SCHEMA_NONE,
                                       {
                                           {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {nullptr, SecretSchemaAttributeType(0)},
                                       },
                                       0,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};
    return &value;
}

struct GObjectDeleter {
    void operator()(gpointer object) const {
        if (object)
            g_object_unref(object);
    }
};
using ServicePtr = std::unique_ptr<SecretService, GObjectDeleter>;

struct ItemList {
    GList* items = nullptr;
    ~ItemList() { g_list_free_full(items, g_object_unref); }
};

[[noreturn]] void keychainFailure(GError* error) {
    if (error)
        g_error_free(error);
    throw ConnectorFailure(ConnectorFailure::keychain);
}

ServicePtr connect() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service)
        keychainFailure(error);
    return ServicePtr(service);
}

GHashTable* attributes(const QString& service, const QString& account) {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(table, g_strdup("service"), g_strdup(service.toUtf8().constData()));
    g_hash_table_insert(table, g_strdup("account"), g_strdup(account.toUtf8().constData()));
    return table;
}

// The matching items; locked ones are unlocked only when interaction is allowed.
ItemList search(SecretService* service, const QString& serviceName, const QString& account,
                bool allowInteraction) {
    GHashTable* table = attributes(serviceName, account);
    GError* error = nullptr;
    const auto flags =
        SecretSearchFlags(SECRET_SEARCH_ALL | (allowInteraction ? SECRET_SEARCH_UNLOCK : SECRET_SEARCH_NONE));
    ItemList list;
    list.items = secret_service_search_sync(service, schema(), table, flags, nullptr, &error);
    g_hash_table_unref(table);
    if (error)
        keychainFailure(error);
    return list;
}

} // namespace

std::optional<QByteArray> SecretServiceBackend::lookup(const QString& service, const QString& account,
                                                       bool allowInteraction) {
    const ServicePtr connection = connect();
    const ItemList found = search(connection.get(), service, account, allowInteraction);
    if (!found.items)
        return std::nullopt;
    auto* item = static_cast<SecretItem*>(found.items->data);
    if (secret_item_get_locked(item))
        keychainFailure(nullptr);
    GError* error = nullptr;
    if (!secret_item_load_secret_sync(item, nullptr, &error))
        keychainFailure(error);
    SecretValue* secret = secret_item_get_secret(item);
    if (!secret)
        keychainFailure(nullptr);
    gsize length = 0;
    const gchar* bytes = secret_value_get(secret, &length);
    QByteArray value(bytes, qsizetype(length));
    secret_value_unref(secret);
    return value;
}

void SecretServiceBackend::store(const QString& service, const QString& account, const QByteArray& value) {
    const ServicePtr connection = connect();
    GHashTable* table = attributes(service, account);
    SecretValue* secret = secret_value_new(value.constData(), value.size(), "application/json");
    GError* error = nullptr;
    const QByteArray label = ("Quillmere connector (" + service + ")").toUtf8();
    // Replaces an item with the same attributes, or creates one, in the default collection.
    const gboolean stored =
        secret_service_store_sync(connection.get(), schema(), table, SECRET_COLLECTION_DEFAULT,
                                  label.constData(), secret, nullptr, &error);
    secret_value_unref(secret);
    g_hash_table_unref(table);
    if (!stored)
        keychainFailure(error);
}

void SecretServiceBackend::remove(const QString& service, const QString& account, bool allowInteraction) {
    const ServicePtr connection = connect();
    const ItemList found = search(connection.get(), service, account, allowInteraction);
    for (GList* node = found.items; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item))
            keychainFailure(nullptr);
        GError* error = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &error))
            keychainFailure(error);
    }
}

} // namespace quillmere
