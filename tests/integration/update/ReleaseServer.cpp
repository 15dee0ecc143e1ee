#include "ReleaseServer.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace skrib::testing {

ReleaseServer::ReleaseServer()
    : server_(std::make_unique<httplib::Server>()) {
    server_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(lock_);
        requests_.push_back(request.method + " " + request.target);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->Get("/update/check", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(lock_);
        response.set_content(checkAnswer_, "application/json");
    });
    server_->Get(R"(/releases/.*)", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(lock_);
        response.status = downloadStatus_;
        response.set_content(downloadBody_, downloadType_.c_str());
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    // The socket already listens, so requests made before the loop runs wait in its backlog.
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

ReleaseServer::~ReleaseServer() {
    server_->stop();
    thread_.join();
}

std::string ReleaseServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ReleaseServer::offer(const std::string& version, const std::string& downloadURL) {
    std::lock_guard lock(lock_);
    checkAnswer_ = nlohmann::json{
        {"update_available", true},
        {"latest", version},
        {"download_url",
         downloadURL}}.dump();
}

void ReleaseServer::answerDownloads(int status, std::string contentType, std::string body) {
    std::lock_guard lock(lock_);
    downloadStatus_ = status;
    downloadType_ = std::move(contentType);
    downloadBody_ = std::move(body);
}

std::vector<std::string> ReleaseServer::requests() const {
    std::lock_guard lock(lock_);
    return requests_;
}

} // namespace skrib::testing
