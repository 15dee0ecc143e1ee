#include "ReleaseManifest.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct ManifestCase {
    const char* name;
    const char* json;
    const char* client;
    std::optional<bool> update; // nothing: the manifest is refused
};

class ReleaseManifestTest : public testing::TestWithParam<ManifestCase> {};

TEST_P(ReleaseManifestTest, OffersOnlyANewerRelease) {
    const ManifestCase& c = GetParam();
    std::string error;
    const auto manifest = parseReleaseManifest(c.json, error);
    ASSERT_EQ(manifest.has_value(), c.update.has_value()) << error;
    if (!manifest) {
        EXPECT_FALSE(error.empty());
        return;
    }
    const UpdateAnswer answer = checkForUpdate(manifest, c.client);
    EXPECT_EQ(answer.updateAvailable, *c.update);
    EXPECT_EQ(answer.latest, manifest->latest);
    EXPECT_EQ(answer.downloadUrl, *c.update ? manifest->downloadUrl : std::string());
}

#define RELEASE(version) "{\"latest\":\"" version "\",\"download_url\":\"https://x.test/a.dmg\"}"

INSTANTIATE_TEST_SUITE_P(
    Manifests, ReleaseManifestTest,
    testing::Values(
        ManifestCase{"OlderClient", RELEASE("1.4.0"), "1.3.9", true},
        ManifestCase{"SameClient", RELEASE("1.4.0"), "1.4.0", false},
        ManifestCase{"SameShortForm", RELEASE("1.4.0"), "1.4", false},
        ManifestCase{"NewerByNumberNotText", RELEASE("1.4.0"), "1.10.0", false},
        ManifestCase{"OlderByNumberNotText", RELEASE("1.10"), "1.9.9", true},
        ManifestCase{"ClientNotAVersion", RELEASE("1.4.0"), "warm", false},
        ManifestCase{"ClientFiveComponents", RELEASE("2.0"), "1.2.3.4.5", false},
        ManifestCase{"ExtraMembersIgnored",
                     R"({"latest":"1.4","download_url":"http://x.test/a","notes":[1]})", "1.3",
                     true},
        ManifestCase{"NotJson", "latest=1.4", "1.0", std::nullopt},
        ManifestCase{"Array", R"(["1.4.0"])", "1.0", std::nullopt},
        ManifestCase{"LatestMissing", R"({"download_url":"https://x.test/a"})", "1.0",
                     std::nullopt},
        ManifestCase{"LatestNumber", R"({"latest":1.4,"download_url":"https://x.test/a"})", "1.0",
                     std::nullopt},
        ManifestCase{"LatestEmptyComponent", RELEASE("1..2"), "1.0", std::nullopt},
        ManifestCase{"LatestComponentTooLong", RELEASE("1000000000.0"), "1.0", std::nullopt},
        ManifestCase{"UrlNotHttp", R"({"latest":"1.4.0","download_url":"file:///etc/passwd"})",
                     "1.0", std::nullopt},
        ManifestCase{"UrlWithSpace", R"({"latest":"1.4.0","download_url":"https://x.test/a b"})",
                     "1.0", std::nullopt}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service
