#include "ReleaseManifest.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

using Version = std::vector<std::uint32_t>;

struct VersionCase {
    const char* text;
    std::optional<Version> version;
};

class ParseVersionTest : public testing::TestWithParam<VersionCase> {};

TEST_P(ParseVersionTest, AcceptsDottedNumbersOnly) {
    EXPECT_EQ(parseVersion(GetParam().text), GetParam().version) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseVersionTest,
    testing::Values(VersionCase{"1.4.0", Version{1, 4, 0}}, VersionCase{"2", Version{2}},
                    VersionCase{"0.0.0", Version{0, 0, 0}},
                    VersionCase{"10.20.30.40", Version{10, 20, 30, 40}},
                    VersionCase{"999999999.1", Version{999999999, 1}},
                    VersionCase{"1.2.3.4.5", std::nullopt},
                    VersionCase{"1000000000.0", std::nullopt}, // would overflow 32 bits
                    VersionCase{"1..2", std::nullopt}, VersionCase{".1", std::nullopt},
                    VersionCase{"1.", std::nullopt}, VersionCase{"1.2-beta", std::nullopt},
                    VersionCase{"v1.2", std::nullopt}, VersionCase{"-1", std::nullopt},
                    VersionCase{"", std::nullopt}, VersionCase{"warm", std::nullopt}));

struct CompareCase {
    Version a;
    Version b;
    int sign;
};

class CompareVersionsTest : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareVersionsTest, OrdersNumericallyByComponent) {
    const auto& c = GetParam();
    const auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(compareVersions(c.a, c.b)), c.sign);
    EXPECT_EQ(sign(compareVersions(c.b, c.a)), -c.sign);
}

INSTANTIATE_TEST_SUITE_P(Pairs, CompareVersionsTest,
                         testing::Values(CompareCase{{1, 10, 0}, {1, 9, 0}, 1}, // not text order
                                         CompareCase{{1, 4}, {1, 4, 0}, 0},
                                         CompareCase{{1, 4, 0, 1}, {1, 4}, 1},
                                         CompareCase{{0, 9}, {1}, -1},
                                         CompareCase{{2, 0, 0}, {2, 0, 0}, 0}));

struct ManifestCase {
    const char* name;
    const char* json;
    bool valid;
};

class ParseManifestTest : public testing::TestWithParam<ManifestCase> {};

TEST_P(ParseManifestTest, ChecksMembers) {
    std::string error;
    const auto manifest = parseReleaseManifest(GetParam().json, error);
    EXPECT_EQ(manifest.has_value(), GetParam().valid) << error;
    if (!GetParam().valid) {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ParseManifestTest,
    testing::Values(
        ManifestCase{"Complete", R"({"latest":"1.4.0","download_url":"https://x.test/a.dmg"})",
                     true},
        ManifestCase{"ExtraMembersIgnored",
                     R"({"latest":"1.4","download_url":"http://x.test/a","notes":[1]})", true},
        ManifestCase{"NotJson", "latest=1.4", false}, ManifestCase{"Array", R"(["1.4.0"])", false},
        ManifestCase{"LatestMissing", R"({"download_url":"https://x.test/a"})", false},
        ManifestCase{"LatestNumber", R"({"latest":1.4,"download_url":"https://x.test/a"})", false},
        ManifestCase{"LatestNotAVersion", R"({"latest":"soon","download_url":"https://x.test/a"})",
                     false},
        ManifestCase{"UrlMissing", R"({"latest":"1.4.0"})", false},
        ManifestCase{"UrlNotHttp", R"({"latest":"1.4.0","download_url":"file:///etc/passwd"})",
                     false},
        ManifestCase{"UrlWithSpace", R"({"latest":"1.4.0","download_url":"https://x.test/a b"})",
                     false}),
    [](const auto& info) { return info.param.name; });

struct CheckCase {
    const char* name;
    bool withManifest;
    const char* client;
    bool update;
    const char* latest;
};

class CheckForUpdateTest : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckForUpdateTest, OffersOnlyNewerReleases) {
    const auto& c = GetParam();
    std::optional<ReleaseManifest> manifest;
    if (c.withManifest) {
        manifest = ReleaseManifest{"1.4.0", "https://downloads.test/VantuSkrib-1.4.0.dmg"};
    }
    const UpdateAnswer answer = checkForUpdate(manifest, c.client);
    EXPECT_EQ(answer.updateAvailable, c.update);
    EXPECT_EQ(answer.latest, c.latest);
    EXPECT_EQ(answer.downloadUrl,
              c.update ? "https://downloads.test/VantuSkrib-1.4.0.dmg" : std::string());
}

INSTANTIATE_TEST_SUITE_P(Clients, CheckForUpdateTest,
                         testing::Values(CheckCase{"Older", true, "1.3.9", true, "1.4.0"},
                                         CheckCase{"OlderByShortForm", true, "1", true, "1.4.0"},
                                         CheckCase{"Same", true, "1.4.0", false, "1.4.0"},
                                         CheckCase{"SameShortForm", true, "1.4", false, "1.4.0"},
                                         CheckCase{"Newer", true, "1.10.0", false, "1.4.0"},
                                         CheckCase{"Unparsable", true, "abc", false, "1.4.0"},
                                         CheckCase{"NoManifest", false, "0.0.1", false, "0.0.1"}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service
