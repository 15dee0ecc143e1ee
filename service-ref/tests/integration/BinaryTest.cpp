// The skrib-service program: its command line, SIGTERM, and its data across a restart.
#include "TestSupport.h"

#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>

namespace skrib::service::test {
namespace {

int post(int port, const Upload& upload) {
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(120);
    const auto result =
        http.Post("/process", {{"x-device-id", "BINARY"}}, upload.body, upload.contentType().c_str());
    return result ? result->status : 0;
}

TEST(ServiceBinary, RefusesBadArgumentsFinishesAnUploadOnSigtermAndKeepsItsData) {
    TempDir dir;
    const std::string data = (dir.path() / "data").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{}, "--listen is required"},
        {{"--listen", "127.0.0.1:65536", "--data-dir", data}, "HOST:PORT"},
        {{"--listen", "127.0.0.1:0", "--data-dir", data, "--daily-limit", "0"}, "--daily-limit"},
        {{"--listen", "127.0.0.1:0", "--data-dir", data, "--tls-key", "k.pem"}, "go together"},
    };
    for (const auto& [args, message] : refused) {
        ServiceProcess service(args, dir.path() / "refused.log");
        EXPECT_EQ(service.waitFor(std::chrono::seconds(30)), 2) << message;
        EXPECT_NE(service.errorOutput().find(message), std::string::npos) << service.errorOutput();
    }

    const std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--data-dir", data,
                                           "--workers", "1", "--daily-limit", "1"};
    const Upload speech = buildUpload(makeWav(speechOfLength(15.0)), false, {});
    {
        ServiceProcess service(args, dir.path() / "first.log");
        const auto port = service.waitUntilListening();
        ASSERT_TRUE(port) << service.errorOutput();
        auto pending = std::async(std::launch::async, [&] { return post(*port, speech); });
        httplib::Client http("127.0.0.1", *port);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (http.Get("/health")->body.find("\"running\":1") == std::string::npos) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the upload never started";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill(service.pid(), SIGTERM);
        EXPECT_EQ(pending.get(), 200) << "the upload in progress is finished";
        EXPECT_EQ(service.waitFor(std::chrono::seconds(30)), 0);
        EXPECT_TRUE(service.errorOutput().ends_with("skrib-service: stopped\n"))
            << service.errorOutput();
    }
    ServiceProcess again(args, dir.path() / "again.log");
    const auto port = again.waitUntilListening();
    ASSERT_TRUE(port) << again.errorOutput();
    EXPECT_EQ(post(*port, speech), 429) << "the first run's upload counts towards the limit";
    ServiceProcess sharing({"--listen", "127.0.0.1:" + std::to_string(*port), "--data-dir",
                            (dir.path() / "other").string()},
                           dir.path() / "sharing.log");
    EXPECT_EQ(sharing.waitFor(std::chrono::seconds(30)), 1) << "a second service shares the port";
    EXPECT_NE(sharing.errorOutput().find("cannot listen on"), std::string::npos)
        << sharing.errorOutput();
}

} // namespace
} // namespace skrib::service::test
