// The skrib-service program: its command line, restarts on the same data, SIGTERM, TLS and the
// access log on standard error.
#include "HttpHelpers.h"

#include <future>
#include <regex>

namespace skrib::service::test {
namespace {

// A running skrib-service on a free loopback port.
class RunningService {
public:
    RunningService(const std::filesystem::path& dataDir, const std::filesystem::path& logFile,
                   std::vector<std::string> extra = {})
        : process_(arguments(dataDir, std::move(extra)), logFile) {
        const auto port = process_.waitUntilListening();
        if (!port) {
            ADD_FAILURE() << "skrib-service did not start:\n" << process_.errorOutput();
            return;
        }
        port_ = *port;
    }

    int port() const { return port_; }
    ServiceProcess& process() { return process_; }

    std::unique_ptr<httplib::Client> client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client->set_read_timeout(120);
        return client;
    }

private:
    static std::vector<std::string> arguments(const std::filesystem::path& dataDir,
                                              std::vector<std::string> extra) {
        std::vector<std::string> args = {"--listen",       "127.0.0.1:0", "--data-dir",
                                         dataDir.string(), "--workers",   "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    ServiceProcess process_;
    int port_ = 0;
};

TEST(ServiceBinary, KeepsItsDataAcrossARestart) {
    TempDir dir;
    const std::string device = randomUuid();
    const httplib::Headers id = {{"x-device-id", device}};
    Json firstTranscript;
    {
        RunningService service(dir.path() / "data", dir.path() / "first.log",
                               {"--daily-limit", "1"});
        ASSERT_GT(service.port(), 0);
        auto http = service.client();
        const Json registration = {
            {"device_id", device}, {"device_name", "Box"}, {"os_version", "1.2.3"}};
        ASSERT_EQ(http->Post("/register", registration.dump(), "application/json")->status, 200);
        ASSERT_EQ(http->Post("/profile", id, R"({"vocab":"Fryday"})", "application/json")->status,
                  200);
        ASSERT_EQ(http->Post("/style", id, R"({"style_preset":"custom","custom_prompt":"Terse."})",
                             "application/json")
                      ->status,
                  200);
        const auto processed = postUpload(*http, device, buildUpload(sentenceWav(0), false, {}));
        ASSERT_TRUE(processed);
        ASSERT_EQ(processed->status, 200) << processed->body;
        firstTranscript = jsonOf(http->Get("/transcripts?limit=5", id));
        ASSERT_EQ(firstTranscript["transcripts"].size(), 1u);
        EXPECT_EQ(service.process().terminate(), 0) << service.process().errorOutput();
    }
    RunningService service(dir.path() / "data", dir.path() / "second.log", {"--daily-limit", "1"});
    ASSERT_GT(service.port(), 0);
    auto http = service.client();
    EXPECT_EQ(jsonOf(http->Get("/profile", id)),
              (Json{{"vocab", "Fryday"}, {"style_preset", "custom"}, {"custom_prompt", "Terse."}}));
    EXPECT_EQ(jsonOf(http->Get("/transcripts?limit=5", id)), firstTranscript);
    const Json again =
        jsonOf(http->Post("/register", Json{{"device_id", device}}.dump(), "application/json"));
    EXPECT_NE(again["first_seen"], again["last_seen"]) << "first seen is from the first run";
    expectError(postUpload(*http, device, buildUpload(sentenceWav(0), false, {})), 429,
                "daily limit");
}

TEST(ServiceBinary, FinishesAnUploadInProgressOnSigterm) {
    TempDir dir;
    RunningService service(dir.path() / "data", dir.path() / "service.log");
    ASSERT_GT(service.port(), 0);
    const std::string wav = makeWav(speechOfLength(15.0));
    auto pending = std::async(std::launch::async, [&] {
        auto http = service.client();
        return postUpload(*http, "SIGTERM-TEST", buildUpload(wav, false, {}));
    });
    auto http = service.client();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (jsonOf(http->Get("/health"))["running"] != 1) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the upload never started";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    kill(service.process().pid(), SIGTERM);
    const auto result = pending.get();
    ASSERT_TRUE(result) << "the upload was cut off: " << httplib::to_string(result.error());
    EXPECT_EQ(result->status, 200) << result->body;
    EXPECT_GT(normalizedWords(jsonOf(result)["raw"]).size(), 20u);
    EXPECT_EQ(service.process().wait(), 0);
    const std::string log = service.process().errorOutput();
    EXPECT_NE(log.find("SIGTERM, finishing requests in progress"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("skrib-service: stopped\n")) << log;
    EXPECT_FALSE(http->Get("/health")) << "nothing listens any more";
}

TEST(ServiceBinary, WritesOneAccessLogLinePerRequestToStandardError) {
    TempDir dir;
    RunningService service(dir.path() / "data", dir.path() / "service.log");
    ASSERT_GT(service.port(), 0);
    auto http = service.client();
    // One connection, so one server thread logs each request before it reads the next.
    http->set_keep_alive(true);
    for (int i = 0; i < 3; ++i) {
        http->Get("/update/check?v=warm");
    }
    http->Get("/profile");
    ASSERT_EQ(service.process().terminate(), 0);
    const std::string log = service.process().errorOutput();
    const std::regex line(
        R"re(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 "([A-Z]+ [^"]+)" (\d{3}) \d+B \d+ms)re");
    std::vector<std::string> requests;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it) {
        requests.push_back((*it)[1].str() + " " + (*it)[2].str());
    }
    EXPECT_EQ(requests, (std::vector<std::string>{"GET /update/check 200", "GET /update/check 200",
                                                  "GET /update/check 200", "GET /profile 400"}))
        << log;
}

TEST(ServiceBinary, ServesHttpsWithTheGivenCertificate) {
    TempDir dir;
    const auto cert = dir.path() / "cert.pem";
    const auto key = dir.path() / "key.pem";
    ASSERT_EQ(runProgram({SKRIB_OPENSSL_PROGRAM, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                          "-keyout", key.string(), "-out", cert.string(), "-days", "1", "-subj",
                          "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}),
              0);
    RunningService service(dir.path() / "data", dir.path() / "service.log",
                           {"--tls-cert", cert.string(), "--tls-key", key.string()});
    ASSERT_GT(service.port(), 0);
    EXPECT_NE(service.process().errorOutput().find("listening on https://"), std::string::npos);

    httplib::SSLClient https("127.0.0.1", service.port());
    https.set_ca_cert_path(cert.c_str());
    https.enable_server_certificate_verification(true);
    const auto result = https.Get("/update/check?v=1.0.0");
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(jsonOf(result)["update_available"], false);

    httplib::Client plain("127.0.0.1", service.port());
    plain.set_read_timeout(5);
    const auto refused = plain.Get("/update/check?v=1.0.0");
    EXPECT_TRUE(!refused || refused->status >= 400) << "plain HTTP is not served";
    EXPECT_EQ(service.process().terminate(), 0);
}

TEST(ServiceBinary, OffersTheReleaseFromTheManifest) {
    TempDir dir;
    const auto manifest = dir.path() / "release.json";
    writeFile(manifest, R"({"latest":"2.0.1","download_url":"https://downloads.test/v2.dmg"})");
    RunningService service(dir.path() / "data", dir.path() / "service.log",
                           {"--release-manifest", manifest.string()});
    ASSERT_GT(service.port(), 0);
    const Json answer = jsonOf(service.client()->Get("/update/check?v=1.9.9"));
    EXPECT_EQ(answer, (Json{{"update_available", true},
                            {"latest", "2.0.1"},
                            {"download_url", "https://downloads.test/v2.dmg"}}));
}

TEST(ServiceBinary, RefusesAPortInUse) {
    TempDir dir;
    RunningService first(dir.path() / "one", dir.path() / "one.log");
    ASSERT_GT(first.port(), 0);
    ServiceProcess second({"--listen", "127.0.0.1:" + std::to_string(first.port()), "--data-dir",
                           (dir.path() / "two").string(), "--workers", "1"},
                          dir.path() / "two.log");
    EXPECT_EQ(second.waitFor(std::chrono::seconds(30)), 1) << "a second service shares the port";
    EXPECT_NE(
        second.errorOutput().find("cannot listen on 127.0.0.1:" + std::to_string(first.port())),
        std::string::npos)
        << second.errorOutput();
}

// --- start-up refusals -------------------------------------------------------------------------

struct StartCase {
    const char* name;
    std::vector<std::string> args; // "{dir}" stands for a fresh temporary folder
    int exitStatus;
    const char* messageFragment;
};

class StartRefusalTest : public testing::TestWithParam<StartCase> {};

TEST_P(StartRefusalTest, ExitsWithAMessage) {
    TempDir dir;
    writeFile(dir.path() / "not-json.json", "{latest: 1}");
    writeFile(dir.path() / "a-file", "x");
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        if (const auto at = arg.find("{dir}"); at != std::string::npos) {
            arg.replace(at, 5, dir.path().string());
        }
        args.push_back(arg);
    }
    ServiceProcess service(args, dir.path() / "service.log");
    EXPECT_EQ(service.waitFor(std::chrono::seconds(30)), GetParam().exitStatus);
    EXPECT_NE(service.errorOutput().find(GetParam().messageFragment), std::string::npos)
        << service.errorOutput();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, StartRefusalTest,
    testing::Values(
        StartCase{"NoArguments", {}, 2, "--listen is required"},
        StartCase{"BadListen", {"--listen", "localhost", "--data-dir", "{dir}/d"}, 2, "HOST:PORT"},
        StartCase{"ZeroLimit",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/d", "--daily-limit", "0"},
                  2,
                  "--daily-limit"},
        StartCase{"KeyWithoutCert",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/d", "--tls-key", "k.pem"},
                  2,
                  "go together"},
        StartCase{"MissingManifest",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/d", "--release-manifest",
                   "{dir}/none.json"},
                  1,
                  "cannot read the release manifest"},
        StartCase{"ManifestNotJson",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/d", "--release-manifest",
                   "{dir}/not-json.json"},
                  1,
                  "not a JSON object"},
        StartCase{"DataDirUnderAFile",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/a-file/d"},
                  1,
                  "cannot create the data folder"},
        StartCase{"NoModel",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/d", "--model-dir", "{dir}/m"},
                  1,
                  "speech model file missing"},
        StartCase{"TlsFilesMissing",
                  {"--listen", "127.0.0.1:0", "--data-dir", "{dir}/d", "--tls-cert", "{dir}/c.pem",
                   "--tls-key", "{dir}/k.pem", "--workers", "1"},
                  1,
                  "cannot load the TLS certificate"}),
    [](const auto& info) { return info.param.name; });

TEST(ServiceBinary, HelpPrintsTheOptions) {
    TempDir dir;
    ServiceProcess service({"--help"}, dir.path() / "service.log");
    EXPECT_EQ(service.waitFor(std::chrono::seconds(30)), 0);
    const std::string usage = service.standardOutput();
    for (const char* option : {"--listen", "--data-dir", "--daily-limit", "--release-manifest",
                               "--tls-cert", "--tls-key", "--workers", "--queue"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option << " missing from:\n" << usage;
    }
}

} // namespace
} // namespace skrib::service::test
