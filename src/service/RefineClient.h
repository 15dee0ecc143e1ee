#pragma once

#include "platform/Defaults.h"
#include "platform/HttpClient.h"
#include "platform/SecretStore.h"
#include "platform/Url.h"
#include "service/NetworkTiming.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// One record of the service's transcript history.
struct Transcript {
    std::int64_t id = 0;
    std::string raw;
    std::string refined;
    std::string createdAt; // as the service sent it

    friend bool operator==(const Transcript&, const Transcript&) = default;
};

/// The program's client of the transcription service: the device identity, registration,
/// the connection warm-up, and the account data kept in step with the service (vocabulary,
/// style, history).
class RefineClient {
public:
    static constexpr const char* keychainService = "app.vantu.skrib";
    static constexpr const char* keychainAccount = "deviceId";
    static constexpr const char* vocabFileName = "/.vantu-skrib-backend.json";

    struct Environment {
        HttpClient& http;
        SecretStore& secrets;
        Defaults& defaults;
        std::string baseURL;       // service origin, e.g. "http://127.0.0.1:8787"
        std::string homeDirectory; // for the vocabulary file
        std::string computerName;  // empty: "unknown"
        std::string osVersion;     // "major.minor.patch"
    };

    /// Settles the device identifier, then registers the device and fetches the profile
    /// (both in the background).
    explicit RefineClient(Environment environment);
    RefineClient(const RefineClient&) = delete;
    RefineClient& operator=(const RefineClient&) = delete;

    /// The process-wide client, made on first use by the factory the program installs.
    static RefineClient* shared();
    static void setSharedFactory(std::function<std::unique_ptr<RefineClient>()> factory);
    /// The shared client if it exists already (never creates it).
    static RefineClient* sharedIfCreated();

    const std::string& baseURL() const { return baseURL_; }
    const std::string& deviceId() const { return deviceId_; }
    const std::string& currentDeviceId() const { return deviceId_; }

    /// Opens a connection in the process session ahead of an upload.
    void warmConnection();
    /// The session for uploads and the warm-up (4 connections per host, timings recorded).
    std::shared_ptr<HttpSession> processSession();
    MetricsSessionDelegate& metricsDelegate() { return *metrics_; }

    // Account data.
    std::optional<std::string> loadVocab() const;
    void saveVocabLocally(const std::string& vocab);
    void fetchProfile();
    void syncVocab(const std::string& vocab);
    void syncStyle(const std::string& preset, const std::string& customPrompt);
    void fetchTranscripts(std::optional<std::int64_t> after, int limit,
                          std::function<void(std::vector<Transcript>, bool hasMore)> completion);

    std::string vocabPath() const { return homeDirectory_ + vocabFileName; }

private:
    std::string settleDeviceId();
    bool saveToKeychain(const std::string& id);
    void registerDevice();
    HttpRequest accountRequest(const std::string& method, const std::string& path) const;
    bool seedVocabIfEmpty(const std::string& vocab);

    std::string baseURL_;
    HttpClient& http_;
    SecretStore& secrets_;
    Defaults& defaults_;
    std::string homeDirectory_;
    std::string computerName_;
    std::string osVersion_;
    std::shared_ptr<MetricsSessionDelegate> metrics_ = std::make_shared<MetricsSessionDelegate>();
    std::string deviceId_;

    std::mutex sessionLock_;
    std::shared_ptr<HttpSession> processSession_;
    mutable std::mutex vocabFileLock_; // every read-modify-write of the vocabulary file
};

} // namespace skrib
