#include "service/RefineClient.h"

#include "log/DebugLog.h"
#include "platform/Url.h"
#include "platform/Uuid.h"

#include <atomic>
#include <cstdio>

namespace skrib {
namespace {

std::string withoutTrailingSlashes(std::string url) {
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return url;
}

// Making the client settles the device identity (which may wait for a keyring prompt) and logs;
// logging reads the client through `sharedIfCreated` on any thread. So the lock below is taken
// only by `shared` and the factory's setter, never by a reader: readers see the published
// pointer, or none while the client is being made.
std::mutex makingLock;
std::function<std::unique_ptr<RefineClient>()> sharedFactory;
std::unique_ptr<RefineClient> sharedClient;
std::atomic<RefineClient*> published{nullptr};

} // namespace

RefineClient* RefineClient::shared() {
    if (RefineClient* client = published.load(std::memory_order_acquire)) {
        return client;
    }
    std::lock_guard lock(makingLock);
    if (!sharedClient && sharedFactory) {
        sharedClient = sharedFactory();
        published.store(sharedClient.get(), std::memory_order_release);
    }
    return sharedClient.get();
}

RefineClient* RefineClient::sharedIfCreated() {
    return published.load(std::memory_order_acquire);
}

void RefineClient::setSharedFactory(std::function<std::unique_ptr<RefineClient>()> factory) {
    std::lock_guard lock(makingLock);
    sharedFactory = std::move(factory);
}

RefineClient::RefineClient(Environment environment)
    : baseURL_(withoutTrailingSlashes(std::move(environment.baseURL)))
    , uploadTimeoutSeconds_(environment.uploadTimeoutSeconds)
    , http_(environment.http)
    , computerName_(std::move(environment.computerName))
    , osVersion_(std::move(environment.osVersion))
    , now_(environment.now ? std::move(environment.now)
                           : std::function<std::chrono::system_clock::time_point()>(
                                 [] { return std::chrono::system_clock::now(); }))
    , deviceId_(DeviceIdentity::settle(environment.secrets, environment.defaults))
    , account_(environment.http, environment.defaults, environment.center, baseURL_,
               std::move(environment.homeDirectory), deviceId_) {
    DeviceIdentity::registerDevice(*http_.sharedSession(), baseURL_, deviceId_, computerName_,
                                   osVersion_);
    account_.fetchProfile();
}

std::shared_ptr<HttpSession> RefineClient::processSession() {
    std::lock_guard lock(sessionLock_);
    if (!processSession_) {
        HttpSessionConfiguration configuration;
        configuration.maxConnectionsPerHost = 4;
        std::weak_ptr<MetricsSessionDelegate> metrics = metrics_;
        configuration.onMetrics = [metrics](std::int64_t taskId, const NetworkTiming& timing) {
            if (auto m = metrics.lock()) {
                m->record(taskId, timing);
            }
        };
        processSession_ = http_.makeSession(std::move(configuration));
    }
    return processSession_;
}

void RefineClient::warmConnection() {
    const std::string url = baseURL_ + "/update/check?v=warm";
    if (!isValidHttpURL(url)) {
        return;
    }
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = 5;
    processSession()->dataTask(std::move(request), [](HttpResult) {});
}

void RefineClient::process(AudioPayload audio, const std::string& source,
                           std::optional<std::chrono::system_clock::time_point> keyReleaseAt,
                           std::function<void(ProcessResult)> completion) {
    upload(std::move(audio), account_.loadVocab(), source, keyReleaseAt, std::move(completion));
}

void RefineClient::processKept(AudioPayload audio, const std::optional<std::string>& vocab,
                               std::function<void(ProcessResult)> completion) {
    upload(std::move(audio), vocab, "dictation", std::nullopt, std::move(completion));
}

void RefineClient::upload(AudioPayload audio, const std::optional<std::string>& vocab,
                          const std::string& source,
                          std::optional<std::chrono::system_clock::time_point> keyReleaseAt,
                          std::function<void(ProcessResult)> completion) {
    using std::chrono::duration;
    const std::string url = baseURL_ + "/process";
    if (!isValidHttpURL(url)) {
        completion(ProcessResult::error("Something went wrong — try again"));
        return;
    }

    const auto bodyStart = now_();
    const std::string boundary = Uuid().uuidString();
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                       {"x-device-id", deviceId_}};
    // The service says nothing while it recognises, which for a long recording takes longer
    // than two minutes (about 4 minutes for an hour on two cores): a tenth of the length more.
    request.timeoutSeconds = uploadTimeoutSeconds_ + audio.seconds / 10;
    request.body =
        ProcessRequest::body(boundary, std::move(audio.bytes), audio.m4a, vocab, source);

    const double bodyBuildMs = duration<double, std::milli>(now_() - bodyStart).count();
    const double payloadKB = static_cast<double>(request.body.size()) / 1024.0;

    // The timing lookup needs the client's metrics, which go with the client: held weakly, and
    // kept alive by the lock while they are read on the network thread.
    std::weak_ptr<MetricsSessionDelegate> metrics = metrics_;
    auto clock = now_;
    processSession()->dataTask(std::move(request), [metrics, clock, keyReleaseAt, bodyBuildMs,
                                                    payloadKB, completion = std::move(completion)](
                                                       HttpResult result) {
        if (keyReleaseAt) {
            std::optional<NetworkTiming> timing;
            if (auto m = metrics.lock()) {
                timing = m->take(result.taskId);
            }
            const double latencyMs = duration<double, std::milli>(clock() - *keyReleaseAt).count();
            const std::string net = timing ? timing->summary() : "net[n/a]";
            char line[512];
            std::snprintf(line, sizeof line,
                          "⏱ LATENCY key-release→response=%.0fms | body-build=%.0fms "
                          "payload=%.1fKB | %s",
                          latencyMs, bodyBuildMs, payloadKB, net.c_str());
            debugLog(line);
        }
        completion(ProcessRequest::outcome(result));
    });
}

} // namespace skrib
