#pragma once

#include "platform/Defaults.h"
#include "platform/HttpClient.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "platform/Url.h"
#include "service/AccountData.h"
#include "service/DeviceIdentity.h"
#include "service/MetricsSessionDelegate.h"
#include "service/ProcessRequest.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

/// The program's client of the transcription service: the device identity, the uploads with
/// their connection warm-up, and the account data kept in step with the service.
class RefineClient {
public:
    static constexpr const char* keychainService = DeviceIdentity::keychainService;
    static constexpr const char* keychainAccount = DeviceIdentity::keychainAccount;
    static constexpr const char* vocabFileName = AccountData::vocabFileName;

    struct Environment {
        HttpClient& http;
        SecretStore& secrets;
        Defaults& defaults;
        std::string baseURL;       // service origin, e.g. "http://127.0.0.1:8787"
        std::string homeDirectory; // for the vocabulary file
        std::string computerName;  // empty: "unknown"
        std::string osVersion;     // "major.minor.patch"
        /// The wall clock (for latency figures).
        std::function<std::chrono::system_clock::time_point()> now = {};
        /// Where the account data announces its changes.
        NotificationCenter& center = NotificationCenter::shared();
        /// How long an upload of a short recording may take; a long one gets a tenth of its
        /// length more.
        double uploadTimeoutSeconds = 120;
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

    /// Uploads one dictation and calls `completion` exactly once with the outcome: at once
    /// when the URL cannot be formed, otherwise later on the network thread. With
    /// `keyReleaseAt`, the latency line is logged when the answer arrives. Any thread.
    void process(AudioPayload audio, const std::string& source,
                 std::optional<std::chrono::system_clock::time_point> keyReleaseAt,
                 std::function<void(ProcessResult)> completion);
    /// As `process`, with the vocabulary the caller read (`loadVocab`) instead of a fresh read.
    void upload(AudioPayload audio, const std::optional<std::string>& vocab,
                const std::string& source,
                std::optional<std::chrono::system_clock::time_point> keyReleaseAt,
                std::function<void(ProcessResult)> completion);
    /// Uploads a kept dictation again with the vocabulary that applied when it was recorded
    /// (no latency line); as `process` otherwise.
    void processKept(AudioPayload audio, const std::optional<std::string>& vocab,
                     std::function<void(ProcessResult)> completion);

    /// The multipart body of an upload.
    static std::string processBody(const std::string& boundary, std::string audio, bool m4a,
                                   const std::optional<std::string>& vocab,
                                   const std::string& source) {
        return ProcessRequest::body(boundary, std::move(audio), m4a, vocab, source);
    }
    static std::string userFriendlyError(int code) {
        return ProcessRequest::userFriendlyError(code);
    }
    static std::string userFriendlyServerError(const std::string& message, int status) {
        return ProcessRequest::userFriendlyServerError(message, status);
    }

    AccountData& account() { return account_; }
    std::optional<std::string> loadVocab() const { return account_.loadVocab(); }
    void fetchProfile() { account_.fetchProfile(); }
    void syncVocab(const std::string& vocab) { account_.syncVocab(vocab); }
    void syncStyle(const std::string& preset, const std::string& customPrompt) {
        account_.syncStyle(preset, customPrompt);
    }
    void fetchTranscripts(std::optional<std::int64_t> after, int limit,
                          std::function<void(std::vector<Transcript>, bool hasMore)> completion) {
        account_.fetchTranscripts(after, limit, std::move(completion));
    }
    std::string vocabPath() const { return account_.vocabPath(); }

private:

    std::string baseURL_;
    double uploadTimeoutSeconds_;
    HttpClient& http_;
    std::string computerName_;
    std::string osVersion_;
    std::function<std::chrono::system_clock::time_point()> now_;
    std::shared_ptr<MetricsSessionDelegate> metrics_ = std::make_shared<MetricsSessionDelegate>();
    std::string deviceId_;
    AccountData account_;

    std::mutex sessionLock_;
    std::shared_ptr<HttpSession> processSession_;
};

} // namespace skrib
