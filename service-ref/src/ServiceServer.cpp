#include "ServiceServer.h"

#include "AudioDecoder.h"
#include "IsoTime.h"
#include "Refiner.h"
#include "Segmenter.h"
#include "Storage.h"
#include "Text.h"
#include "UploadForm.h"
#include "Vocabulary.h"
#include "WorkPool.h"

#include <charconv>
#include <chrono>
#include <future>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sys/socket.h>
#include <thread>

namespace skrib::service {
namespace {

using Json = nlohmann::json;
using httplib::Request;
using httplib::Response;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t maxJsonBodyBytes = 1u << 20;
constexpr std::size_t maxDeviceIdBytes = 128;
constexpr std::size_t maxNameBytes = 256;
constexpr std::size_t maxVocabBytes = 64u << 10;
constexpr std::size_t maxPromptBytes = 16u << 10;
constexpr std::size_t maxSourceBytes = 64;
constexpr std::size_t maxVersionBytes = 64;
constexpr std::size_t maxLogEntries = 1000;
constexpr std::size_t maxLogMessageBytes = 16u << 10;
constexpr std::size_t maxLogFieldBytes = 64;
constexpr std::int64_t maxTranscriptPage = 100;
constexpr std::int64_t defaultTranscriptPage = 20;
// Speech without a pause is cut only when longer than this: cuts within a sentence cost words
// (cutting each of service_bench's sentences in two tripled their word errors).
constexpr std::size_t maxStretchSamples = 20 * recognitionSampleRate;

// When the request being served on this thread arrived; the access log measures from it.
thread_local std::optional<SteadyClock::time_point> requestStart;

std::int64_t millisSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
        .count();
}

void sendJson(Response& res, int status, const Json& body) {
    res.status = status;
    // Stored text may hold bytes that are not UTF-8 (a recogniser's odd output); never throw.
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void sendError(Response& res, int status, const std::string& message) {
    sendJson(res, status, Json{{"error", message}});
}

std::string defaultErrorText(int status) {
    switch (status) {
    case 400:
        return "bad request";
    case 404:
        return "not found";
    case 405:
        return "method not allowed";
    case 413:
        return "request body too large";
    case 414:
        return "request target too long";
    case 416:
        return "range not satisfiable";
    case 503:
        return "server busy, try again";
    default:
        return status >= 500 ? "internal error" : "request refused";
    }
}

bool isValidDeviceId(std::string_view id) {
    if (id.empty() || id.size() > maxDeviceIdBytes) {
        return false;
    }
    for (char c : id) {
        if (c < 0x21 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// The "x-device-id" header, or nothing after answering 400.
std::optional<std::string> requireDevice(const Request& req, Response& res) {
    if (!req.has_header("x-device-id")) {
        sendError(res, 400, "missing x-device-id header");
        return std::nullopt;
    }
    std::string id = req.get_header_value("x-device-id");
    if (!isValidDeviceId(id)) {
        sendError(res, 400, "invalid x-device-id header (1 to 128 printable characters)");
        return std::nullopt;
    }
    return id;
}

// The body as a JSON object, or nothing after answering 4xx.
std::optional<Json> requireJsonObject(const Request& req, Response& res) {
    if (req.body.size() > maxJsonBodyBytes) {
        sendError(res, 413, "request body too large");
        return std::nullopt;
    }
    Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
        sendError(res, 400, "the body is not valid JSON");
        return std::nullopt;
    }
    if (!body.is_object()) {
        sendError(res, 400, "the body must be a JSON object");
        return std::nullopt;
    }
    return body;
}

enum class Presence { required, optional };

// Reads the string member `key` into `out` (left empty when absent and optional); false after
// answering 400 when it is missing but required, not a string, or longer than `maxBytes`.
bool readString(const Json& object, const char* key, Presence presence, std::size_t maxBytes,
                std::optional<std::string>& out, Response& res, const std::string& where = {}) {
    const auto it = object.find(key);
    const std::string name = where + "\"" + key + "\"";
    if (it == object.end() || it->is_null()) {
        if (presence == Presence::required) {
            sendError(res, 400, "missing " + name);
            return false;
        }
        return true;
    }
    if (!it->is_string()) {
        sendError(res, 400, name + " must be a string");
        return false;
    }
    const auto& text = it->get_ref<const std::string&>();
    if (text.size() > maxBytes) {
        sendError(res, 400, name + " is too long (at most " + std::to_string(maxBytes) + " bytes)");
        return false;
    }
    out = text;
    return true;
}

// A query value that must be a whole number in [minimum, maximum].
std::optional<std::int64_t> parseWholeNumber(const std::string& text, std::int64_t minimum) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < minimum) {
        return std::nullopt;
    }
    return value;
}

struct ProcessOutcome {
    int status = 200;
    std::string error;
    std::string raw;
    std::string refined;
    std::optional<std::int64_t> transcriptId;
};

struct ProcessJob {
    std::string deviceId;
    std::string audio;
    std::string vocab;
    std::string source;
    StylePreset style = defaultStylePreset;
    std::size_t maxSamples = 0;
    SteadyClock::time_point started;
    std::promise<ProcessOutcome> done;
};

// The words of `samples`: stretches between pauses recognised on every free worker, joined in
// order; nothing when one of them failed.
std::optional<std::string> recognizeAll(std::span<const std::int16_t> samples, WorkPool& pool,
                                        SpeechRecognizer& own) {
    const std::vector<AudioSpan> spans = splitAtPauses(samples, maxStretchSamples);
    // The longest first, so that the workers finish close together.
    std::vector<std::size_t> order(spans.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&spans](std::size_t a, std::size_t b) {
        return spans[a].size() > spans[b].size();
    });
    std::vector<std::optional<std::string>> texts(spans.size());
    const bool ran =
        pool.runPieces(own, spans.size(), [&](SpeechRecognizer& recognizer, std::size_t i) {
            const AudioSpan& span = spans[order[i]];
            texts[order[i]] = recognizer.recognize(samples.subspan(span.begin, span.size()));
        });
    std::string words;
    for (const auto& text : texts) {
        if (!ran || !text) {
            return std::nullopt;
        }
        words += words.empty() || text->empty() ? "" : " ";
        words += *text;
    }
    return words;
}

ProcessOutcome runProcess(ProcessJob& job, SpeechRecognizer& recognizer, WorkPool& pool,
                          Storage& storage, const ServiceServer::Clock& clock) {
    ProcessOutcome outcome;
    try {
        auto decoded = decodeToRecognitionPcm(job.audio, job.maxSamples);
        std::string().swap(job.audio);
        if (auto* failure = std::get_if<DecodeFailure>(&decoded)) {
            return {failure->tooLong ? 413 : 400, failure->message, {}, {}, {}};
        }
        const auto& samples = std::get<std::vector<std::int16_t>>(decoded);
        if (samples.empty()) {
            return {400, "missing audio: the recording holds no samples", {}, {}, {}};
        }
        auto words = recognizeAll(samples, pool, recognizer);
        if (!words) {
            return {500, "processing failed", {}, {}, {}};
        }
        outcome.raw = std::move(*words);
        const Vocabulary vocabulary(parseVocabulary(job.vocab));
        outcome.refined = vocabulary.apply(refine(outcome.raw, job.style));
        if (!outcome.refined.empty()) {
            outcome.transcriptId =
                storage.addTranscript(job.deviceId, outcome.raw, outcome.refined, job.source,
                                      clock(), millisSince(job.started));
        }
    } catch (const StorageError&) {
        return {500, "storage failed", {}, {}, {}};
    } catch (const std::exception&) {
        return {500, "processing failed", {}, {}, {}};
    }
    return outcome;
}

Json profileJson(const StoredProfile& profile) {
    const auto preset =
        profile.stylePreset.value_or(std::string(stylePresetId(defaultStylePreset)));
    return Json{{"vocab", profile.vocab.value_or("")},
                {"style_preset", preset},
                {"custom_prompt", profile.customPrompt.value_or("")}};
}

} // namespace

ServiceServer::ServiceServer(ServiceConfig config, Storage& storage, WorkPool& pool,
                             std::optional<ReleaseManifest> manifest, Clock clock,
                             AccessLog accessLog)
    : config_(std::move(config))
    , storage_(storage)
    , pool_(pool)
    , manifest_(std::move(manifest))
    , clock_(std::move(clock))
    , accessLog_(std::move(accessLog)) {}

ServiceServer::~ServiceServer() {
    stop();
}

bool ServiceServer::bind(std::string& error) {
    if (config_.tlsCert && config_.tlsKey) {
        http_ =
            std::make_unique<httplib::SSLServer>(config_.tlsCert->c_str(), config_.tlsKey->c_str());
    } else {
        http_ = std::make_unique<httplib::Server>();
    }
    if (!http_->is_valid()) {
        error = "cannot load the TLS certificate " + config_.tlsCert.value_or("").string() +
                " and key " + config_.tlsKey.value_or("").string();
        return false;
    }
    const std::size_t threads = config_.httpThreads;
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // The library's default also sets SO_REUSEPORT, which would let a second service share the
    // port and take part of its connections; address reuse alone allows a quick restart.
    http_->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Headers and body go out in separate writes; without this a kept-alive connection waits
    // for the client's delayed acknowledgement (about 40 ms) on every response.
    http_->set_tcp_nodelay(true);
    http_->set_payload_max_length(config_.maxBodyBytes);
    http_->set_keep_alive_max_count(100);
    http_->set_keep_alive_timeout(15);
    http_->set_read_timeout(30);
    http_->set_write_timeout(30);
    installRoutes();

    if (config_.port == 0) {
        port_ = http_->bind_to_any_port(config_.host);
    } else {
        port_ = http_->bind_to_port(config_.host, config_.port) ? config_.port : -1;
    }
    if (port_ < 0) {
        error = "cannot listen on " + config_.host + ":" + std::to_string(config_.port);
        return false;
    }
    return true;
}

bool ServiceServer::run() {
    {
        std::lock_guard lock(runMutex_);
        if (stopRequested_ || !http_) {
            return true;
        }
        running_ = true;
    }
    const bool served = http_->listen_after_bind();
    running_ = false;
    return served;
}

void ServiceServer::stop() {
    {
        std::lock_guard lock(runMutex_);
        stopRequested_ = true;
        if (!running_) {
            return;
        }
    }
    // run() has begun; the HTTP server ignores a stop until it is accepting connections.
    while (running_ && !http_->is_running()) {
        std::this_thread::yield();
    }
    http_->stop();
}

void ServiceServer::installRoutes() {
    using HandlerResponse = httplib::Server::HandlerResponse;
    // A body declared far beyond the cap is refused before any of it is read. A smaller excess
    // is read and dropped first, so that a client still sending sees the answer rather than a
    // reset connection.
    const std::uint64_t refuseUnreadAbove = std::uint64_t{config_.maxBodyBytes} * 4;
    http_->set_pre_routing_handler([this, refuseUnreadAbove](const Request& req, Response& res) {
        requestStart = SteadyClock::now();
        if (req.has_header("Content-Length") &&
            req.get_header_value<std::uint64_t>("Content-Length") > refuseUnreadAbove) {
            res.set_header("Connection", "close");
            sendError(res, 413, bodyTooLarge());
            return HandlerResponse::Handled;
        }
        return HandlerResponse::Unhandled;
    });
    http_->set_error_handler(
        httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
            if (!res.body.empty()) {
                return HandlerResponse::Unhandled;
            }
            sendError(res, res.status, defaultErrorText(res.status));
            return HandlerResponse::Handled;
        }));
    http_->set_exception_handler([](const Request&, Response& res, std::exception_ptr error) {
        std::string message = "internal error";
        try {
            std::rethrow_exception(error);
        } catch (const StorageError&) {
            message = "storage failed";
        } catch (...) {
        }
        sendError(res, 500, message);
    });
    http_->set_logger(
        [this](const Request& req, const Response& res) { writeAccessLog(req, res); });

    http_->Post("/register",
                [this](const Request& req, Response& res) { handleRegister(req, res); });
    http_->Get("/update/check",
               [this](const Request& req, Response& res) { handleUpdateCheck(req, res); });
    http_->Post("/process",
                [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
                    handleProcess(req, res, reader);
                });
    http_->Get("/profile",
               [this](const Request& req, Response& res) { handleGetProfile(req, res); });
    http_->Post("/profile",
                [this](const Request& req, Response& res) { handlePostProfile(req, res); });
    http_->Post("/style", [this](const Request& req, Response& res) { handleStyle(req, res); });
    http_->Get("/transcripts",
               [this](const Request& req, Response& res) { handleTranscripts(req, res); });
    http_->Post("/logs", [this](const Request& req, Response& res) { handleLogs(req, res); });
    http_->Get("/health", [this](const Request& req, Response& res) { handleHealth(req, res); });
}

std::string ServiceServer::bodyTooLarge() const {
    return "request body too large (at most " + std::to_string(config_.maxBodyBytes >> 20) +
           " MiB)";
}

void ServiceServer::writeAccessLog(const Request& req, const Response& res) {
    if (!accessLog_) {
        return;
    }
    std::string line = formatIsoUtcMillis(clock_()) + " " +
                       (req.remote_addr.empty() ? "-" : req.remote_addr) + " \"" + req.method +
                       " " + req.path + "\" " + std::to_string(res.status) + " " +
                       std::to_string(res.body.size()) + "B " +
                       (requestStart ? std::to_string(millisSince(*requestStart)) + "ms" : "-");
    requestStart.reset();
    const std::string device = req.get_header_value("x-device-id");
    if (isValidDeviceId(device)) {
        line += " device=" + device.substr(0, 8);
    }
    accessLog_(line);
}

void ServiceServer::handleRegister(const Request& req, Response& res) {
    const auto body = requireJsonObject(req, res);
    if (!body) {
        return;
    }
    std::optional<std::string> id, name, osVersion;
    if (!readString(*body, "device_id", Presence::required, maxDeviceIdBytes, id, res) ||
        !readString(*body, "device_name", Presence::optional, maxNameBytes, name, res) ||
        !readString(*body, "os_version", Presence::optional, maxNameBytes, osVersion, res)) {
        return;
    }
    if (!isValidDeviceId(*id)) {
        sendError(res, 400, "invalid \"device_id\" (1 to 128 printable characters)");
        return;
    }
    const auto record =
        storage_.registerDevice(*id, name.value_or(""), osVersion.value_or(""), clock_());
    sendJson(res, 200,
             Json{{"device_id", record.id},
                  {"first_seen", formatIsoUtcMillis(record.firstSeenMs)},
                  {"last_seen", formatIsoUtcMillis(record.lastSeenMs)}});
}

void ServiceServer::handleUpdateCheck(const Request& req, Response& res) {
    if (!req.has_param("v")) {
        sendError(res, 400, "missing query parameter v (the running version)");
        return;
    }
    const std::string version = req.get_param_value("v");
    if (version.size() > maxVersionBytes) {
        sendError(res, 400, "the version in v is too long");
        return;
    }
    if (version == "warm") {
        // Only opens the connection for the upload that follows.
        sendJson(res, 200, Json{{"update_available", false}, {"latest", ""}, {"download_url", ""}});
        return;
    }
    const UpdateAnswer answer = checkForUpdate(manifest_, version);
    Json body{{"update_available", answer.updateAvailable},
              {"latest", answer.latest},
              {"download_url", answer.downloadUrl}};
    if (!answer.signature.empty()) {
        body["signature"] = answer.signature;
    }
    if (answer.size) {
        body["size"] = *answer.size;
    }
    sendJson(res, 200, body);
}

void ServiceServer::handleProcess(const Request& req, Response& res,
                                  const httplib::ContentReader& reader) {
    UploadForm form({config_.maxBodyBytes, maxVocabBytes, 16});
    // The whole body is always read, so that an early refusal leaves the connection usable.
    bool read = false;
    const bool multipart = req.is_multipart_form_data();
    if (multipart) {
        read = reader(
            [&form](const httplib::MultipartFormData& part) {
                form.beginPart(part.name, part.filename, part.content_type);
                return true;
            },
            [&form](const char* data, std::size_t size) {
                form.append(data, size);
                return true;
            });
    } else {
        read = reader([](const char*, std::size_t) { return true; });
    }
    if (!read) {
        if (res.status == 413) {
            sendError(res, 413, bodyTooLarge());
        } else {
            sendError(res, 400, multipart ? "malformed multipart body" : "incomplete request body");
        }
        return;
    }
    const auto started = SteadyClock::now();
    const auto deviceId = requireDevice(req, res);
    if (!deviceId) {
        return;
    }
    if (!multipart) {
        sendError(res, 400, "expected a multipart/form-data upload");
        return;
    }
    if (!form.finish()) {
        sendError(res, 400, *form.error());
        return;
    }
    FormPart* audio = form.part("audio");
    if (audio == nullptr || audio->data.empty()) {
        sendError(res, 400, "missing audio");
        return;
    }
    std::string source = "dictation";
    if (const FormPart* part = form.part("source")) {
        if (part->data.size() > maxSourceBytes) {
            sendError(res, 400, "the \"source\" part is too long");
            return;
        }
        source = std::string(trim(part->data, " \t\r\n"));
    }

    const StoredProfile profile = storage_.profile(*deviceId);
    auto job = std::make_shared<ProcessJob>();
    job->deviceId = *deviceId;
    job->source = std::move(source);
    const FormPart* vocab = form.part("vocab");
    job->vocab = vocab != nullptr ? vocab->data : profile.vocab.value_or("");
    job->style = parseStylePreset(profile.stylePreset.value_or("")).value_or(defaultStylePreset);
    job->maxSamples = config_.maxAudioSeconds * static_cast<std::size_t>(recognitionSampleRate);
    job->started = started;

    storage_.touchDevice(*deviceId, clock_());
    const std::string day = utcDay(clock_());
    if (config_.dailyLimit && !storage_.reserveUse(*deviceId, day, *config_.dailyLimit)) {
        sendError(res, 429, "daily limit reached");
        return;
    }
    auto giveBackUse = [&] {
        if (config_.dailyLimit) {
            storage_.releaseUse(*deviceId, day);
        }
    };
    job->audio = std::move(audio->data);

    auto result = job->done.get_future();
    const bool queued = pool_.trySubmit([this, job](SpeechRecognizer& recognizer) {
        job->done.set_value(runProcess(*job, recognizer, pool_, storage_, clock_));
    });
    if (!queued) {
        giveBackUse();
        sendError(res, 503, "server busy, try again");
        return;
    }
    const ProcessOutcome outcome = result.get();
    if (outcome.status != 200) {
        giveBackUse();
        sendError(res, outcome.status, outcome.error);
        return;
    }
    Json body{
        {"raw", outcome.raw}, {"refined", outcome.refined}, {"total_ms", millisSince(started)}};
    if (outcome.transcriptId) {
        body["id"] = *outcome.transcriptId;
    }
    sendJson(res, 200, body);
}

void ServiceServer::sendProfile(const std::string& deviceId, Response& res) {
    sendJson(res, 200, profileJson(storage_.profile(deviceId)));
}

void ServiceServer::handleGetProfile(const Request& req, Response& res) {
    if (const auto deviceId = requireDevice(req, res)) {
        sendProfile(*deviceId, res);
    }
}

void ServiceServer::handlePostProfile(const Request& req, Response& res) {
    const auto deviceId = requireDevice(req, res);
    if (!deviceId) {
        return;
    }
    const auto body = requireJsonObject(req, res);
    if (!body) {
        return;
    }
    std::optional<std::string> vocab;
    if (!readString(*body, "vocab", Presence::required, maxVocabBytes, vocab, res)) {
        return;
    }
    storage_.setVocab(*deviceId, *vocab);
    sendProfile(*deviceId, res);
}

void ServiceServer::handleStyle(const Request& req, Response& res) {
    const auto deviceId = requireDevice(req, res);
    if (!deviceId) {
        return;
    }
    const auto body = requireJsonObject(req, res);
    if (!body) {
        return;
    }
    std::optional<std::string> preset, prompt;
    if (!readString(*body, "style_preset", Presence::required, 32, preset, res) ||
        !readString(*body, "custom_prompt", Presence::optional, maxPromptBytes, prompt, res)) {
        return;
    }
    if (!parseStylePreset(*preset)) {
        sendError(res, 400, "unknown \"style_preset\" (professional, casual, minimal or custom)");
        return;
    }
    storage_.setStyle(*deviceId, *preset, prompt);
    sendProfile(*deviceId, res);
}

void ServiceServer::handleTranscripts(const Request& req, Response& res) {
    const auto deviceId = requireDevice(req, res);
    if (!deviceId) {
        return;
    }
    std::int64_t limit = defaultTranscriptPage;
    if (req.has_param("limit")) {
        const auto value = parseWholeNumber(req.get_param_value("limit"), 1);
        if (!value) {
            sendError(res, 400, "limit must be a whole number from 1");
            return;
        }
        limit = std::min(*value, maxTranscriptPage);
    }
    std::optional<std::int64_t> after;
    if (req.has_param("after")) {
        after = parseWholeNumber(req.get_param_value("after"), 1);
        if (!after) {
            sendError(res, 400, "after must be a transcript id (a whole number from 1)");
            return;
        }
    }
    const TranscriptPage page = storage_.transcripts(*deviceId, limit, after);
    Json list = Json::array();
    for (const auto& t : page.transcripts) {
        list.push_back(Json{{"id", t.id},
                            {"raw", t.raw},
                            {"refined", t.refined},
                            {"created_at", formatIsoUtcMillis(t.createdAtMs)}});
    }
    sendJson(res, 200, Json{{"transcripts", std::move(list)}, {"has_more", page.hasMore}});
}

void ServiceServer::handleLogs(const Request& req, Response& res) {
    const auto deviceId = requireDevice(req, res);
    if (!deviceId) {
        return;
    }
    const auto body = requireJsonObject(req, res);
    if (!body) {
        return;
    }
    const auto entries = body->find("entries");
    if (entries == body->end()) {
        sendError(res, 400, "missing \"entries\"");
        return;
    }
    if (!entries->is_array()) {
        sendError(res, 400, "\"entries\" must be an array");
        return;
    }
    if (entries->size() > maxLogEntries) {
        sendError(res, 400,
                  "too many entries in one batch (at most " + std::to_string(maxLogEntries) + ")");
        return;
    }
    std::vector<LogEntry> batch;
    batch.reserve(entries->size());
    for (std::size_t i = 0; i < entries->size(); ++i) {
        const Json& entry = (*entries)[i];
        const std::string where = "entries[" + std::to_string(i) + "].";
        if (!entry.is_object()) {
            sendError(res, 400, "entries[" + std::to_string(i) + "] must be an object");
            return;
        }
        std::optional<std::string> message, level, source, ts;
        if (!readString(entry, "message", Presence::required, maxLogMessageBytes, message, res,
                        where) ||
            !readString(entry, "level", Presence::optional, maxLogFieldBytes, level, res, where) ||
            !readString(entry, "source", Presence::optional, maxLogFieldBytes, source, res,
                        where) ||
            !readString(entry, "ts", Presence::optional, maxLogFieldBytes, ts, res, where)) {
            return;
        }
        batch.push_back({*message, level.value_or("info"), source.value_or(""), ts.value_or("")});
    }
    storage_.addLogs(*deviceId, batch, clock_(), config_.logsPerDevice);
    sendJson(res, 200, Json{{"stored", batch.size()}});
}

void ServiceServer::handleHealth(const Request&, Response& res) {
    sendJson(res, 200,
             Json{{"status", "ok"},
                  {"workers", pool_.workers()},
                  {"running", pool_.running()},
                  {"queued", pool_.queued()}});
}

} // namespace skrib::service
