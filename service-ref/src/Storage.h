#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace skrib::service {

/// A database operation failed (disk full, damaged file, ...).
class StorageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DeviceRecord {
    std::string id;
    std::string name;
    std::string osVersion;
    std::int64_t firstSeenMs = 0;
    std::int64_t lastSeenMs = 0;
};

/// What a device has stored; a member never set is absent.
struct StoredProfile {
    std::optional<std::string> vocab;
    std::optional<std::string> stylePreset;
    std::optional<std::string> customPrompt;
};

struct TranscriptRecord {
    std::int64_t id = 0;
    std::string raw;
    std::string refined;
    std::int64_t createdAtMs = 0;
};

struct TranscriptPage {
    std::vector<TranscriptRecord> transcripts; // newest first
    bool hasMore = false;
};

struct LogEntry {
    std::string message;
    std::string level;
    std::string source;
    std::string ts;
};

/// The service's data in one SQLite file, "skrib.sqlite3" in the data folder. Every operation is
/// atomic and may be called from any thread; failures throw StorageError.
class Storage {
public:
    /// Opens (creating the folder and schema when needed); nothing with `error` set on failure.
    static std::unique_ptr<Storage> open(const std::filesystem::path& dataDir, std::string& error);

    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    /// Records a registration: the first one sets first-seen, every one updates the name, OS
    /// version and last-seen.
    DeviceRecord registerDevice(const std::string& id, const std::string& name,
                                const std::string& osVersion, std::int64_t nowMs);

    /// Updates last-seen, adding an unnamed device record when the device never registered.
    void touchDevice(const std::string& id, std::int64_t nowMs);

    std::optional<DeviceRecord> device(const std::string& id);

    StoredProfile profile(const std::string& deviceId);
    void setVocab(const std::string& deviceId, const std::string& vocab);
    /// Sets the style; the custom prompt is replaced only when one is given.
    void setStyle(const std::string& deviceId, const std::string& preset,
                  const std::optional<std::string>& customPrompt);

    /// Takes one of the device's `limit` uses of `day`; false when all are taken.
    bool reserveUse(const std::string& deviceId, const std::string& day, std::int64_t limit);
    /// Gives back a use taken by reserveUse.
    void releaseUse(const std::string& deviceId, const std::string& day);
    std::int64_t usesOn(const std::string& deviceId, const std::string& day);

    /// Stores a transcript and returns its id (ids grow over time).
    std::int64_t addTranscript(const std::string& deviceId, const std::string& raw,
                               const std::string& refined, const std::string& source,
                               std::int64_t createdAtMs, std::int64_t processingMs);

    /// The device's newest `limit` transcripts, or those older than `beforeId` when given.
    TranscriptPage transcripts(const std::string& deviceId, std::int64_t limit,
                               std::optional<std::int64_t> beforeId);

    /// Stores log entries and keeps only the device's newest `keep` entries.
    void addLogs(const std::string& deviceId, const std::vector<LogEntry>& entries,
                 std::int64_t receivedAtMs, std::int64_t keep);
    /// The device's stored log entries, oldest first.
    std::vector<LogEntry> logs(const std::string& deviceId);

private:
    explicit Storage(sqlite3* db);

    class Statement;
    void execute(const char* sql);

    sqlite3* db_;
    std::mutex mutex_;
};

} // namespace skrib::service
