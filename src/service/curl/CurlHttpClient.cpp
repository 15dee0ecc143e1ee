#include "service/curl/CurlHttpClient.h"

#include "service/curl/CurlEngine.h"

namespace skrib {
namespace {

class CurlSession final : public HttpSession {
public:
    CurlSession(std::shared_ptr<CurlEngine> engine, std::uint32_t id)
        : engine_(std::move(engine))
        , id_(id) {}
    ~CurlSession() override { engine_->releaseSession(id_); }
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    std::int64_t dataTask(HttpRequest request, Completion completion) override {
        return engine_->dataTask(id_, std::move(request), std::move(completion));
    }

    std::int64_t downloadTask(HttpRequest request, DownloadCompletion completion) override {
        return engine_->downloadTask(id_, std::move(request), std::move(completion));
    }

private:
    std::shared_ptr<CurlEngine> engine_;
    std::uint32_t id_;
};

} // namespace

CurlHttpClient::CurlHttpClient()
    : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(Options options)
    : engine_(
          CurlEngine::start({std::move(options.extraCaFile), std::move(options.downloadFolder)})) {
    try {
        shared_ = std::make_shared<CurlSession>(engine_, engine_->addSession(0, {}));
    } catch (...) {
        engine_->stop();
        throw;
    }
}

CurlHttpClient::~CurlHttpClient() {
    engine_->stop();
}

void CurlHttpClient::shutDown() {
    engine_->stop();
}

std::shared_ptr<HttpSession> CurlHttpClient::sharedSession() {
    return shared_;
}

std::shared_ptr<HttpSession> CurlHttpClient::makeSession(HttpSessionConfiguration configuration) {
    return std::make_shared<CurlSession>(engine_,
                                         engine_->addSession(configuration.maxConnectionsPerHost,
                                                             std::move(configuration.onMetrics)));
}

} // namespace skrib
