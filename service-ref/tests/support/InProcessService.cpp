#include "InProcessService.h"

#include "IsoTime.h"
#include "PocketSphinxRecognizer.h"

#include <stdexcept>

namespace skrib::service::test {

WorkPool& sharedPool() {
    static WorkPool pool = [] {
        std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
        for (int i = 0; i < 2; ++i) {
            std::string error;
            auto recognizer = PocketSphinxRecognizer::load(SKRIB_SPHINX_MODEL_DIR, error);
            if (!recognizer) {
                throw std::runtime_error(error);
            }
            recognizers.push_back(std::move(recognizer));
        }
        return WorkPool(std::move(recognizers), 2);
    }();
    return pool;
}

InProcessService::InProcessService(WorkPool& pool, ServiceConfig config,
                                   std::optional<ReleaseManifest> manifest)
    : now_(systemNowMillis()) {
    std::string error;
    storage_ = Storage::open(data_.path(), error);
    if (!storage_) {
        throw std::runtime_error(error);
    }
    config.host = "127.0.0.1";
    config.port = 0;
    config.dataDir = data_.path();
    server_ = std::make_unique<ServiceServer>(
        config, *storage_, pool, std::move(manifest), [this] { return now_.load(); },
        [](const std::string&) {});
    if (!server_->bind(error)) {
        throw std::runtime_error(error);
    }
    thread_ = std::thread([this] { server_->run(); });
}

InProcessService::~InProcessService() {
    server_->stop();
    thread_.join();
}

std::unique_ptr<httplib::Client> InProcessService::client() const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port());
    client->set_read_timeout(120);
    client->set_write_timeout(30);
    return client;
}

} // namespace skrib::service::test
