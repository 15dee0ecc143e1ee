#include "platform/secret/LibsecretStore.h"

#include "log/DebugLog.h"
#include "platform/posix/FileSecretStore.h"

#include <cstdlib>
#include <libsecret/secret.h>
#include <vector>

namespace skrib {
namespace {

const SecretSchema* schema() {
    static const SecretSchema value = {"app.vantu.skrib.Secret",
                                       SECRET_SCHEMA_DONT_MATCH_NAME,
                                       {
                                           {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"synchronizable", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
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

bool isLegacy(SecretItem* item) {
    GHashTable* attributes = secret_item_get_attributes(item);
    const auto* flag = static_cast<const char*>(g_hash_table_lookup(attributes, "synchronizable"));
    const bool legacy = flag != nullptr && g_strcmp0(flag, "true") == 0;
    g_hash_table_unref(attributes);
    return legacy;
}

// Every item of (service, account) of the asked kind, with its secret loaded.
std::vector<SecretItem*> matchingItems(const std::string& service, const std::string& account,
                                       bool legacy) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"),
                        const_cast<char*>(service.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"),
                        const_cast<char*>(account.c_str()));
    GError* error = nullptr;
    GList* found = secret_service_search_sync(
        nullptr, schema(), attributes,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                       SECRET_SEARCH_LOAD_SECRETS),
        nullptr, &error);
    g_hash_table_unref(attributes);
    std::vector<SecretItem*> items;
    if (error != nullptr) {
        g_error_free(error);
        return items;
    }
    for (GList* l = found; l != nullptr; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (isLegacy(item) == legacy) {
            items.push_back(static_cast<SecretItem*>(g_object_ref(item)));
        }
    }
    g_list_free_full(found, g_object_unref);
    return items;
}

void release(std::vector<SecretItem*>& items) {
    for (SecretItem* item : items) {
        g_object_unref(item);
    }
    items.clear();
}

} // namespace

bool LibsecretStore::available() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (error != nullptr) {
        g_error_free(error);
    }
    if (service == nullptr) {
        return false;
    }
    g_object_unref(service);
    return true;
}

std::optional<std::string> LibsecretStore::find(const std::string& service,
                                                const std::string& account, bool legacy) {
    auto items = matchingItems(service, account, legacy);
    std::optional<std::string> result;
    for (SecretItem* item : items) {
        SecretValue* value = secret_item_get_secret(item);
        if (value == nullptr) {
            continue;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        if (bytes != nullptr && g_utf8_validate(bytes, static_cast<gssize>(length), nullptr)) {
            result = std::string(bytes, length);
        }
        secret_value_unref(value);
        if (result) {
            break;
        }
    }
    release(items);
    return result;
}

void LibsecretStore::remove(const std::string& service, const std::string& account, bool legacy) {
    auto items = matchingItems(service, account, legacy);
    for (SecretItem* item : items) {
        GError* error = nullptr;
        secret_item_delete_sync(item, nullptr, &error);
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    release(items);
}

int LibsecretStore::add(const std::string& service, const std::string& account,
                        const std::string& value) {
    // Created without "replace": the Secret Service would otherwise overwrite any item whose
    // attributes include these, the legacy synchronised item among them.
    GError* error = nullptr;
    auto failure = [&error] {
        int status = -1;
        if (error != nullptr) {
            status = error->code != 0 ? -std::abs(error->code) : -1;
            g_error_free(error);
        }
        return status;
    };
    SecretService* secretService = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (secretService == nullptr) {
        return failure();
    }
    SecretCollection* collection = secret_collection_for_alias_sync(
        secretService, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    g_object_unref(secretService);
    if (collection == nullptr) {
        return failure();
    }
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"),
                        const_cast<char*>(service.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"),
                        const_cast<char*>(account.c_str()));
    SecretValue* secret =
        secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain");
    const std::string label = "Vantu Skrib " + account;
    SecretItem* item = secret_item_create_sync(collection, schema(), attributes, label.c_str(),
                                               secret, SECRET_ITEM_CREATE_NONE, nullptr, &error);
    secret_value_unref(secret);
    g_hash_table_unref(attributes);
    g_object_unref(collection);
    if (item == nullptr) {
        return failure();
    }
    g_object_unref(item);
    return 0;
}

namespace {

// The Secret Service first; a private file when the service cannot keep an item (a keyring
// that is locked or has no default collection, as on a desktop without a login keyring).
class SecretServiceWithFileFallback final : public SecretStore {
public:
    explicit SecretServiceWithFileFallback(const std::string& path)
        : file_(path) {}

    std::optional<std::string> find(const std::string& service, const std::string& account,
                                    bool legacy) override {
        if (auto value = keyring_.find(service, account, legacy)) {
            return value;
        }
        return file_.find(service, account, legacy);
    }
    void remove(const std::string& service, const std::string& account, bool legacy) override {
        keyring_.remove(service, account, legacy);
        file_.remove(service, account, legacy);
    }
    int add(const std::string& service, const std::string& account,
            const std::string& value) override {
        const int status = keyring_.add(service, account, value);
        if (status == 0) {
            return 0;
        }
        if (!saidSo_) {
            saidSo_ = true;
            debugLog("⚠️ The Secret Service could not store the device ID (" +
                     std::to_string(status) + ") — keeping it in " + file_.path());
        }
        return file_.add(service, account, value);
    }

private:
    LibsecretStore keyring_;
    FileSecretStore file_;
    bool saidSo_ = false;
};

} // namespace

std::unique_ptr<SecretStore> makeSecretStore(const std::string& dataDirectory) {
    const std::string path = dataDirectory + "/VantuSkrib/secrets.json";
    if (LibsecretStore::available()) {
        return std::make_unique<SecretServiceWithFileFallback>(path);
    }
    auto store = std::make_unique<FileSecretStore>(path);
    debugLog("⚠️ No Secret Service answers — keeping the device ID in " + store->path());
    return store;
}

} // namespace skrib
