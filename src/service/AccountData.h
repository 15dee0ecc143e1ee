#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skrib {

class Defaults;
class HttpClient;
class NotificationCenter;
struct HttpRequest;

/// One record of the service's transcript history.
struct Transcript {
    std::int64_t id = 0;
    std::string raw;
    std::string refined;
    std::string createdAt; // as the service sent it

    friend bool operator==(const Transcript&, const Transcript&) = default;
};

/// The account data kept in step with the service: the vocabulary (also kept in a local file
/// that uploads read), the writing style, and the transcript history. Every store of the
/// vocabulary is announced as a vocabChanged notification.
class AccountData {
public:
    static constexpr const char* vocabFileName = "/.vantu-skrib-backend.json";

    AccountData(HttpClient& http, Defaults& defaults, NotificationCenter& center,
                std::string baseURL, std::string homeDirectory, std::string deviceId);
    AccountData(const AccountData&) = delete;
    AccountData& operator=(const AccountData&) = delete;

    std::string vocabPath() const { return homeDirectory_ + vocabFileName; }
    /// The vocabulary in the local file; none when there is no readable one.
    std::optional<std::string> loadVocab() const;
    /// Stores `change` of the vocabulary in the local file (empty when there is none), keeping
    /// the file's other members, and returns what it stored. Edits of single words go through
    /// here, so none drops words stored meanwhile.
    std::string updateVocabLocally(const std::function<std::string(const std::string&)>& change);

    /// Fetches the profile in the background; its vocabulary and style fill only what is
    /// still empty here.
    void fetchProfile();
    void syncVocab(const std::string& vocab);
    void syncStyle(const std::string& preset, const std::string& customPrompt);
    /// One page of the history, newest after `after`; `completion` runs on the network thread,
    /// with nothing on any failure.
    void fetchTranscripts(std::optional<std::int64_t> after, int limit,
                          std::function<void(std::vector<Transcript>, bool hasMore)> completion);

private:
    HttpRequest request(const std::string& method, const std::string& path) const;
    static bool seedVocabIfEmpty(const std::string& path, std::mutex& fileLock,
                                 const std::string& vocab);

    HttpClient& http_;
    Defaults& defaults_;
    NotificationCenter& center_;
    std::string baseURL_;
    std::string homeDirectory_;
    std::string deviceId_;
    // Every read-modify-write of the vocabulary file (shared with a profile answer in flight).
    std::shared_ptr<std::mutex> vocabFileLock_ = std::make_shared<std::mutex>();
};

} // namespace skrib
