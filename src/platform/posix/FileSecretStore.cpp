#include "platform/posix/FileSecretStore.h"

#include "log/DebugLog.h"
#include "platform/AtomicFile.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace skrib {
namespace {

using nlohmann::json;

std::string key(const std::string& service, const std::string& account, bool legacy) {
    return service + "\n" + account + (legacy ? "\nsynchronizable" : "");
}

json readItems(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    json items = json::parse(content.str(), nullptr, false);
    return items.is_object() ? items : json::object();
}

// Written in one step and never readable by others.
int writeItems(const std::string& path, const json& items) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    return writeFileAtomically(path, items.dump(-1, ' ', false, json::error_handler_t::replace),
                               FileAccess::ownerOnly);
}

} // namespace

FileSecretStore::FileSecretStore(std::string path)
    : path_(std::move(path)) {}

std::optional<std::string> FileSecretStore::find(const std::string& service,
                                                 const std::string& account, bool legacy) {
    std::lock_guard lock(mutex_);
    const json items = readItems(path_);
    const auto it = items.find(key(service, account, legacy));
    if (it == items.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

void FileSecretStore::remove(const std::string& service, const std::string& account, bool legacy) {
    std::lock_guard lock(mutex_);
    json items = readItems(path_);
    if (items.erase(key(service, account, legacy)) > 0) {
        writeItems(path_, items);
    }
}

int FileSecretStore::add(const std::string& service, const std::string& account,
                         const std::string& value) {
    std::lock_guard lock(mutex_);
    json items = readItems(path_);
    const std::string k = key(service, account, false);
    if (items.contains(k)) {
        return -25299; // an item exists already: the caller removes it first
    }
    items[k] = toValidUtf8(value);
    return writeItems(path_, items);
}

} // namespace skrib
