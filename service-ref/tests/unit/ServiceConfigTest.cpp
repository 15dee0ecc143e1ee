#include "ServiceConfig.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

TEST(CommandLine, ReadsEveryOption) {
    const auto result = parseCommandLine({"--listen",
                                          "0.0.0.0:9000",
                                          "--data-dir",
                                          "/var/lib/skrib",
                                          "--daily-limit",
                                          "50",
                                          "--release-manifest",
                                          "/etc/skrib/release.json",
                                          "--tls-cert",
                                          "c.pem",
                                          "--tls-key",
                                          "k.pem",
                                          "--model-dir",
                                          "/models",
                                          "--workers",
                                          "3",
                                          "--queue",
                                          "0",
                                          "--max-body-mb",
                                          "4"});
    ASSERT_TRUE(result.config) << result.error;
    const ServiceConfig& c = *result.config;
    EXPECT_EQ(c.host, "0.0.0.0");
    EXPECT_EQ(c.port, 9000);
    EXPECT_EQ(c.dataDir, "/var/lib/skrib");
    EXPECT_EQ(c.dailyLimit, 50);
    EXPECT_EQ(c.releaseManifest, std::filesystem::path("/etc/skrib/release.json"));
    EXPECT_EQ(c.tlsCert, std::filesystem::path("c.pem"));
    EXPECT_EQ(c.tlsKey, std::filesystem::path("k.pem"));
    EXPECT_EQ(c.modelDir, "/models");
    EXPECT_EQ(c.workers, 3u);
    EXPECT_EQ(c.queueCapacity, 0u);
    EXPECT_EQ(c.maxBodyBytes, 4u << 20);
    EXPECT_GE(c.httpThreads, c.workers + c.queueCapacity + 1)
        << "every waiting upload holds a connection thread";
}

TEST(CommandLine, DefaultsToNoLimitAndNoManifest) {
    const auto result = parseCommandLine({"--listen", "127.0.0.1:8787", "--data-dir", "d"});
    ASSERT_TRUE(result.config) << result.error;
    EXPECT_FALSE(result.config->dailyLimit);
    EXPECT_FALSE(result.config->releaseManifest);
    EXPECT_FALSE(result.config->tlsCert);
    EXPECT_GE(result.config->workers, 1u);
}

TEST(CommandLine, AcceptsBracketedIpv6) {
    const auto result = parseCommandLine({"--listen", "[::1]:0", "--data-dir", "d"});
    ASSERT_TRUE(result.config) << result.error;
    EXPECT_EQ(result.config->host, "::1");
    EXPECT_EQ(result.config->port, 0);
}

TEST(CommandLine, HelpWins) {
    EXPECT_TRUE(parseCommandLine({"--listen", "x", "--help"}).help);
}

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    const char* errorFragment;
};

class BadCommandLineTest : public testing::TestWithParam<BadCase> {};

TEST_P(BadCommandLineTest, IsRefusedWithAReason) {
    const auto result = parseCommandLine(GetParam().args);
    EXPECT_FALSE(result.config);
    EXPECT_FALSE(result.help);
    EXPECT_NE(result.error.find(GetParam().errorFragment), std::string::npos) << result.error;
}

const std::vector<std::string> base = {"--listen", "127.0.0.1:1", "--data-dir", "d"};

std::vector<std::string> with(std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadCommandLineTest,
    testing::Values(
        BadCase{"Nothing", {}, "--listen is required"},
        BadCase{"NoDataDir", {"--listen", "127.0.0.1:1"}, "--data-dir is required"},
        BadCase{"ListenWithoutPort", {"--listen", "127.0.0.1", "--data-dir", "d"}, "HOST:PORT"},
        BadCase{"ListenPortTooBig", {"--listen", "h:65536", "--data-dir", "d"}, "HOST:PORT"},
        BadCase{"ListenPortText", {"--listen", "h:http", "--data-dir", "d"}, "HOST:PORT"},
        BadCase{"ListenEmptyHost", {"--listen", ":80", "--data-dir", "d"}, "HOST:PORT"},
        BadCase{"LimitZero", with({"--daily-limit", "0"}), "--daily-limit"},
        BadCase{"LimitNegative", with({"--daily-limit", "-5"}), "--daily-limit"},
        BadCase{"LimitHuge", with({"--daily-limit", "99999999999999999999999"}), "--daily-limit"},
        BadCase{"LimitTrailingText", with({"--daily-limit", "5x"}), "--daily-limit"},
        BadCase{"WorkersZero", with({"--workers", "0"}), "--workers"},
        BadCase{"QueueNegative", with({"--queue", "-1"}), "--queue"},
        BadCase{"BodyTooBig", with({"--max-body-mb", "4096"}), "--max-body-mb"},
        BadCase{"CertWithoutKey", with({"--tls-cert", "c.pem"}), "go together"},
        BadCase{"MissingValue", with({"--daily-limit"}), "needs a value"},
        BadCase{"UnknownOption", with({"--colour", "red"}), "unknown option --colour"},
        BadCase{"StrayArgument", with({"extra"}), "unexpected argument"}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service
