#include "Storage.h"

#include <sqlite3.h>

namespace skrib::service {

class Storage::Statement {
public:
    Statement(sqlite3* db, const char* sql)
        : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw StorageError(std::string("cannot prepare a query: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& bindNull(int index) {
        check(sqlite3_bind_null(stmt_, index));
        return *this;
    }

    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    /// True while a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        throw StorageError(std::string("database error: ") + sqlite3_errmsg(db_));
    }

    std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) {
        const auto* data = sqlite3_column_text(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        return data == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(data),
                                             static_cast<std::size_t>(size));
    }
    std::optional<std::string> optionalText(int column) {
        if (isNull(column)) {
            return std::nullopt;
        }
        return text(column);
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) {
            throw StorageError(std::string("cannot bind a value: ") + sqlite3_errmsg(db_));
        }
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS devices (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL DEFAULT '',
    os_version TEXT NOT NULL DEFAULT '',
    first_seen_ms INTEGER NOT NULL,
    last_seen_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS profiles (
    device_id TEXT PRIMARY KEY,
    vocab TEXT,
    style_preset TEXT,
    custom_prompt TEXT
);
CREATE TABLE IF NOT EXISTS transcripts (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    device_id TEXT NOT NULL,
    raw TEXT NOT NULL,
    refined TEXT NOT NULL,
    source TEXT NOT NULL,
    created_at_ms INTEGER NOT NULL,
    processing_ms INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS transcripts_by_device ON transcripts (device_id, id);
CREATE TABLE IF NOT EXISTS daily_use (
    device_id TEXT NOT NULL,
    day TEXT NOT NULL,
    uses INTEGER NOT NULL,
    PRIMARY KEY (device_id, day)
);
CREATE TABLE IF NOT EXISTS logs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    device_id TEXT NOT NULL,
    received_at_ms INTEGER NOT NULL,
    ts TEXT NOT NULL,
    level TEXT NOT NULL,
    source TEXT NOT NULL,
    message TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS logs_by_device ON logs (device_id, id);
PRAGMA user_version = 1;
)sql";

// Rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db)
        : db_(db) {
        run("BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (!done_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        run("COMMIT");
        done_ = true;
    }

private:
    void run(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw StorageError(std::string("database error: ") + sqlite3_errmsg(db_));
        }
    }

    sqlite3* db_;
    bool done_ = false;
};

} // namespace

std::unique_ptr<Storage> Storage::open(const std::filesystem::path& dataDir, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (!std::filesystem::is_directory(dataDir, ec)) {
        error = "cannot create the data folder " + dataDir.string();
        return nullptr;
    }
    const auto file = dataDir / "skrib.sqlite3";
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(file.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = "cannot open " + file.string() + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Storage> storage(new Storage(db));
    try {
        storage->execute("PRAGMA journal_mode = WAL");
        storage->execute("PRAGMA synchronous = NORMAL");
        storage->execute(schema);
    } catch (const StorageError& e) {
        error = "cannot prepare " + file.string() + ": " + e.what();
        return nullptr;
    }
    return storage;
}

Storage::Storage(sqlite3* db)
    : db_(db) {}

Storage::~Storage() {
    sqlite3_close(db_);
}

void Storage::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        throw StorageError(text);
    }
}

DeviceRecord Storage::registerDevice(const std::string& id, const std::string& name,
                                     const std::string& osVersion, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    Statement upsert(db_, "INSERT INTO devices (id, name, os_version, first_seen_ms, last_seen_ms) "
                          "VALUES (?1, ?2, ?3, ?4, ?4) ON CONFLICT (id) DO UPDATE SET "
                          "name = ?2, os_version = ?3, last_seen_ms = ?4 "
                          "RETURNING first_seen_ms, last_seen_ms");
    upsert.bind(1, id).bind(2, name).bind(3, osVersion).bind(4, nowMs);
    DeviceRecord record{id, name, osVersion, nowMs, nowMs};
    if (upsert.step()) {
        record.firstSeenMs = upsert.integer(0);
        record.lastSeenMs = upsert.integer(1);
    }
    while (upsert.step()) {
    }
    return record;
}

void Storage::touchDevice(const std::string& id, std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    Statement upsert(db_,
                     "INSERT INTO devices (id, first_seen_ms, last_seen_ms) VALUES (?1, ?2, ?2) "
                     "ON CONFLICT (id) DO UPDATE SET last_seen_ms = ?2");
    upsert.bind(1, id).bind(2, nowMs);
    upsert.step();
}

std::optional<DeviceRecord> Storage::device(const std::string& id) {
    std::lock_guard lock(mutex_);
    Statement query(db_, "SELECT name, os_version, first_seen_ms, last_seen_ms FROM devices "
                         "WHERE id = ?1");
    query.bind(1, id);
    if (!query.step()) {
        return std::nullopt;
    }
    return DeviceRecord{id, query.text(0), query.text(1), query.integer(2), query.integer(3)};
}

StoredProfile Storage::profile(const std::string& deviceId) {
    std::lock_guard lock(mutex_);
    Statement query(db_, "SELECT vocab, style_preset, custom_prompt FROM profiles "
                         "WHERE device_id = ?1");
    query.bind(1, deviceId);
    StoredProfile profile;
    if (query.step()) {
        profile.vocab = query.optionalText(0);
        profile.stylePreset = query.optionalText(1);
        profile.customPrompt = query.optionalText(2);
    }
    return profile;
}

void Storage::setVocab(const std::string& deviceId, const std::string& vocab) {
    std::lock_guard lock(mutex_);
    Statement upsert(db_, "INSERT INTO profiles (device_id, vocab) VALUES (?1, ?2) "
                          "ON CONFLICT (device_id) DO UPDATE SET vocab = ?2");
    upsert.bind(1, deviceId).bind(2, vocab);
    upsert.step();
}

void Storage::setStyle(const std::string& deviceId, const std::string& preset,
                       const std::optional<std::string>& customPrompt) {
    std::lock_guard lock(mutex_);
    Statement upsert(db_, "INSERT INTO profiles (device_id, style_preset, custom_prompt) "
                          "VALUES (?1, ?2, ?3) ON CONFLICT (device_id) DO UPDATE SET "
                          "style_preset = ?2, custom_prompt = coalesce(?3, custom_prompt)");
    upsert.bind(1, deviceId).bind(2, preset);
    if (customPrompt) {
        upsert.bind(3, *customPrompt);
    } else {
        upsert.bindNull(3);
    }
    upsert.step();
}

bool Storage::reserveUse(const std::string& deviceId, const std::string& day, std::int64_t limit) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    Statement query(db_, "SELECT uses FROM daily_use WHERE device_id = ?1 AND day = ?2");
    query.bind(1, deviceId).bind(2, day);
    const std::int64_t uses = query.step() ? query.integer(0) : 0;
    if (uses >= limit) {
        return false;
    }
    Statement upsert(db_, "INSERT INTO daily_use (device_id, day, uses) VALUES (?1, ?2, 1) "
                          "ON CONFLICT (device_id, day) DO UPDATE SET uses = uses + 1");
    upsert.bind(1, deviceId).bind(2, day);
    upsert.step();
    transaction.commit();
    return true;
}

void Storage::releaseUse(const std::string& deviceId, const std::string& day) {
    std::lock_guard lock(mutex_);
    Statement update(db_, "UPDATE daily_use SET uses = max(uses - 1, 0) "
                          "WHERE device_id = ?1 AND day = ?2");
    update.bind(1, deviceId).bind(2, day);
    update.step();
}

std::int64_t Storage::usesOn(const std::string& deviceId, const std::string& day) {
    std::lock_guard lock(mutex_);
    Statement query(db_, "SELECT uses FROM daily_use WHERE device_id = ?1 AND day = ?2");
    query.bind(1, deviceId).bind(2, day);
    return query.step() ? query.integer(0) : 0;
}

std::int64_t Storage::addTranscript(const std::string& deviceId, const std::string& raw,
                                    const std::string& refined, const std::string& source,
                                    std::int64_t createdAtMs, std::int64_t processingMs) {
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO transcripts (device_id, raw, refined, source, "
                          "created_at_ms, processing_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    insert.bind(1, deviceId).bind(2, raw).bind(3, refined).bind(4, source);
    insert.bind(5, createdAtMs).bind(6, processingMs);
    insert.step();
    return sqlite3_last_insert_rowid(db_);
}

TranscriptPage Storage::transcripts(const std::string& deviceId, std::int64_t limit,
                                    std::optional<std::int64_t> beforeId) {
    std::lock_guard lock(mutex_);
    Statement query(db_, "SELECT id, raw, refined, created_at_ms FROM transcripts "
                         "WHERE device_id = ?1 AND id < ?2 ORDER BY id DESC LIMIT ?3");
    query.bind(1, deviceId).bind(2, beforeId.value_or(INT64_MAX)).bind(3, limit + 1);
    TranscriptPage page;
    while (query.step()) {
        if (static_cast<std::int64_t>(page.transcripts.size()) == limit) {
            page.hasMore = true;
            break;
        }
        page.transcripts.push_back(
            {query.integer(0), query.text(1), query.text(2), query.integer(3)});
    }
    return page;
}

void Storage::addLogs(const std::string& deviceId, const std::vector<LogEntry>& entries,
                      std::int64_t receivedAtMs, std::int64_t keep) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    Statement insert(db_, "INSERT INTO logs (device_id, received_at_ms, ts, level, source, "
                          "message) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    for (const auto& entry : entries) {
        insert.reset();
        insert.bind(1, deviceId).bind(2, receivedAtMs).bind(3, entry.ts).bind(4, entry.level);
        insert.bind(5, entry.source).bind(6, entry.message);
        insert.step();
    }
    Statement trim(db_, "DELETE FROM logs WHERE device_id = ?1 AND id <= (SELECT id FROM logs "
                        "WHERE device_id = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2)");
    trim.bind(1, deviceId).bind(2, keep);
    trim.step();
    transaction.commit();
}

std::vector<LogEntry> Storage::logs(const std::string& deviceId) {
    std::lock_guard lock(mutex_);
    Statement query(db_, "SELECT message, level, source, ts FROM logs WHERE device_id = ?1 "
                         "ORDER BY id");
    query.bind(1, deviceId);
    std::vector<LogEntry> entries;
    while (query.step()) {
        entries.push_back({query.text(0), query.text(1), query.text(2), query.text(3)});
    }
    return entries;
}

} // namespace skrib::service
