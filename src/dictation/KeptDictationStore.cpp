#include "dictation/KeptDictationStore.h"

#include "log/DebugLog.h"
#include "platform/AtomicFile.h"
#include "platform/Uuid.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skrib {
namespace {

using nlohmann::json;

constexpr const char* waitNames[] = {"retry", "next_day", "by_hand"};

std::string audioName(const KeptDictation& facts) {
    return facts.id + (facts.m4a ? ".m4a" : ".wav");
}

// Ids sort by the time they were made, and never hold a path separator or a dot.
std::string newId(WallClock::time_point at) {
    const std::time_t seconds = WallClock::to_time_t(at);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::string random = Uuid().uuidString().substr(0, 8);
    std::transform(random.begin(), random.end(), random.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::string(stamp) + "-" + random;
}

bool validId(const std::string& id) {
    return !id.empty() && id.size() <= 64 &&
           std::all_of(id.begin(), id.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '-' || c == '_';
           });
}

json factsJson(const KeptDictation& k) {
    json j{{"recorded_at_ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                                  k.recordedAt.time_since_epoch())
                                  .count()},
           {"seconds", k.seconds},
           {"format", k.m4a ? "m4a" : "wav"},
           {"bytes", k.audioBytes},
           {"style", k.style},
           {"app", k.targetApp},
           {"wait", waitNames[static_cast<int>(k.wait)]},
           {"not_before_ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                                 k.notBefore.time_since_epoch())
                                 .count()},
           {"error", k.lastError}};
    j["vocab"] = k.vocab ? json(*k.vocab) : json(nullptr);
    return j;
}

// The facts of "ID.json", or the reason they cannot be used.
std::optional<KeptDictation> parseFacts(const std::string& id, const std::string& text,
                                        std::string& why) {
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object()) {
        why = "its facts are not a JSON object";
        return std::nullopt;
    }
    KeptDictation k;
    k.id = id;
    const auto number = [&](const char* key) { return j.contains(key) && j[key].is_number(); };
    const auto string = [&](const char* key) { return j.contains(key) && j[key].is_string(); };
    if (!number("recorded_at_ms") || !number("seconds") || !j.contains("bytes") ||
        !j["bytes"].is_number_unsigned() || !string("format") ||
        (j["format"] != "m4a" && j["format"] != "wav")) {
        why = "its facts lack the time, the length, the size or the format";
        return std::nullopt;
    }
    k.recordedAt = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
        std::chrono::milliseconds(j["recorded_at_ms"].get<std::int64_t>())));
    k.seconds = j["seconds"].get<double>();
    k.m4a = j["format"] == "m4a";
    k.audioBytes = j["bytes"].get<std::uint64_t>();
    if (string("vocab")) {
        k.vocab = j["vocab"].get<std::string>();
    }
    k.style = string("style") ? j["style"].get<std::string>() : "";
    k.targetApp = string("app") ? j["app"].get<std::string>() : "";
    k.lastError = string("error") ? j["error"].get<std::string>() : "";
    if (number("not_before_ms")) {
        k.notBefore = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
            std::chrono::milliseconds(j["not_before_ms"].get<std::int64_t>())));
    }
    for (int w = 0; w < 3; ++w) {
        if (string("wait") && j["wait"] == waitNames[w]) {
            k.wait = static_cast<KeptDictation::Wait>(w);
        }
    }
    return k;
}

} // namespace

KeptDictationStore::KeptDictationStore(std::string folder, Limits limits)
    : folder_(std::move(folder))
    , limits_(limits) {}

// The folder is the user's alone: made 0700, and never followed through a link.
bool KeptDictationStore::prepareFolder() {
    std::string path;
    for (std::size_t at = 0; at != std::string::npos;) {
        at = folder_.find('/', at + 1);
        path = folder_.substr(0, at);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    if (::lstat(folder_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid()) {
        debugLog("❌ Kept dictations folder " + folder_ + " is not a folder of this user's");
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        ::chmod(folder_.c_str(), 0700);
    }
    return true;
}

std::optional<KeptDictation> KeptDictationStore::keep(const AudioPayload& audio,
                                                      KeptDictation facts) {
    std::lock_guard guard(lock_);
    facts.id = newId(facts.recordedAt);
    facts.m4a = audio.m4a;
    facts.audioBytes = audio.bytes.size();
    facts.seconds = audio.seconds;
    int error = prepareFolder() ? 0 : EACCES;
    // The audio first: facts without their audio are of no use, audio without facts is moved
    // aside where the user can still find it.
    if (error == 0) {
        error = writeFileAtomically(folder_ + "/" + audioName(facts), audio.bytes,
                                    FileAccess::ownerOnly, Durability::cached);
    }
    if (error == 0) {
        error = writeFileAtomically(folder_ + "/" + facts.id + ".json", factsJson(facts).dump(),
                                    FileAccess::ownerOnly, Durability::cached);
        if (error != 0) {
            ::unlink((folder_ + "/" + audioName(facts)).c_str());
        }
    }
    if (error != 0) {
        debugLog("❌ Could not keep the dictation for retry in " + folder_ + ": " +
                 std::strerror(error));
        return std::nullopt;
    }
    enforceLimits(facts.id);
    return facts;
}

bool KeptDictationStore::update(const KeptDictation& facts) {
    std::lock_guard guard(lock_);
    const std::string audioPath = folder_ + "/" + audioName(facts);
    if (!validId(facts.id) || ::access(audioPath.c_str(), F_OK) != 0) {
        return false;
    }
    if (const int fd = ::open(audioPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); fd >= 0) {
        ::fsync(fd); // the audio, written ahead of its upload, is now worth a flush
        ::close(fd);
    }
    const int error = writeFileAtomically(folder_ + "/" + facts.id + ".json",
                                          factsJson(facts).dump(), FileAccess::ownerOnly);
    if (error != 0) {
        debugLog("⚠️ Could not update kept dictation " + facts.id + ": " + std::strerror(error));
    }
    return error == 0;
}

std::optional<AudioPayload> KeptDictationStore::audio(const KeptDictation& facts) {
    std::lock_guard guard(lock_);
    if (!validId(facts.id)) {
        return std::nullopt;
    }
    auto bytes = readFileContents(folder_ + "/" + audioName(facts), facts.audioBytes, false);
    if (!bytes || bytes->size() != facts.audioBytes) {
        moveAside(facts.id, "its audio is missing or cut short");
        return std::nullopt;
    }
    return AudioPayload{std::move(*bytes), facts.m4a, facts.seconds};
}

void KeptDictationStore::remove(const std::string& id) {
    std::lock_guard guard(lock_);
    if (validId(id)) {
        removeLocked(id);
    }
}

void KeptDictationStore::removeLocked(const std::string& id) {
    for (const char* extension : {".json", ".m4a", ".wav"}) {
        ::unlink((folder_ + "/" + id + extension).c_str());
    }
}

std::vector<KeptDictation> KeptDictationStore::list() {
    std::lock_guard guard(lock_);
    return listLocked();
}

std::vector<KeptDictation> KeptDictationStore::listLocked() {
    std::vector<KeptDictation> kept;
    std::vector<std::string> facts;
    std::vector<std::string> audio;
    if (DIR* dir = ::opendir(folder_.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string stem = name.substr(0, name.find('.'));
            const std::string extension = name.substr(stem.size());
            if (!validId(stem)) {
                continue; // ".", "..", temporary files
            }
            if (extension == ".json") {
                facts.push_back(stem);
            } else if (extension == ".m4a" || extension == ".wav") {
                audio.push_back(stem);
            }
        }
        ::closedir(dir);
    }
    for (const std::string& id : facts) {
        std::string why = "its facts cannot be read";
        std::optional<KeptDictation> k;
        if (const auto text = readFileContents(folder_ + "/" + id + ".json", 1 << 20, false)) {
            k = parseFacts(id, *text, why);
        }
        struct stat info {};
        if (k && (::stat((folder_ + "/" + audioName(*k)).c_str(), &info) != 0 ||
                  static_cast<std::uint64_t>(info.st_size) != k->audioBytes)) {
            why = "its audio is missing or cut short";
            k.reset();
        }
        if (k) {
            kept.push_back(std::move(*k));
        } else {
            moveAside(id, why);
        }
    }
    for (const std::string& id : audio) {
        if (std::find(facts.begin(), facts.end(), id) == facts.end()) {
            moveAside(id, "its facts are missing");
        }
    }
    std::sort(kept.begin(), kept.end(), [](const KeptDictation& a, const KeptDictation& b) {
        return a.recordedAt != b.recordedAt ? a.recordedAt < b.recordedAt : a.id < b.id;
    });
    return kept;
}

void KeptDictationStore::moveAside(const std::string& id, const std::string& why) {
    const std::string damaged = folder_ + "/damaged";
    ::mkdir(damaged.c_str(), 0700);
    for (const char* extension : {".json", ".m4a", ".wav"}) {
        const std::string name = id + extension;
        ::rename((folder_ + "/" + name).c_str(), (damaged + "/" + name).c_str());
    }
    debugLog("⚠️ Kept dictation " + id + " is damaged (" + why + ") — moved aside to " + damaged);
}

// Called with the lock held, after `keepId` was written: the oldest others go first.
void KeptDictationStore::enforceLimits(const std::string& keepId) {
    const std::vector<KeptDictation> kept = listLocked();
    std::uint64_t bytes = 0;
    for (const KeptDictation& k : kept) {
        bytes += k.audioBytes;
    }
    std::size_t count = kept.size();
    for (const KeptDictation& oldest : kept) {
        if (count <= limits_.count && bytes <= limits_.bytes) {
            break;
        }
        if (oldest.id == keepId) {
            continue;
        }
        --count;
        bytes -= oldest.audioBytes;
        removeLocked(oldest.id);
        char line[200];
        std::snprintf(line, sizeof line,
                      "🗑 Dropped the oldest kept dictation (%.1fs) — at most %zu dictations and "
                      "%llu MB are kept",
                      oldest.seconds, limits_.count,
                      static_cast<unsigned long long>(limits_.bytes / 1000000));
        debugLog(line);
    }
}

} // namespace skrib
