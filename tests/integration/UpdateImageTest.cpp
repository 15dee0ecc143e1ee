// Update images, good and hostile, packed here with libarchive, signed with keys made by
// packaging/sign-update-image, checked and unpacked; nothing beside the folder may change.
#include "update/UpdateImage.h"

#include <archive.h>
#include <archive_entry.h>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <map>

namespace skrib::updateImage {
namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string path; // a leading "@" stands for the test's folder
    char kind;        // d f l(ink) h(ard link) c(haracter device) p(ipe)
    std::string data; // content, or the link's target
    unsigned mode = 0644;
};
struct ImageCase {
    const char* name;
    std::vector<Entry> entries;
    const char* outcome; // a piece of the reason, or of "unpacked into /unpack/VantuSkrib.app"
    // Shell commands in the test's folder that print the signature; $S is the signing script.
    const char* sign = "$S key.pem image.tgz";
};

// The first line that commands run in `folder` print.
std::string run(const std::string& folder, const std::string& command) {
    std::string line(200, '\0');
    FILE* pipe =
        ::popen(("cd " + folder + " && S=" SKRIB_SIGN_UPDATE_IMAGE " && " + command).c_str(), "r");
    line.resize(std::fread(line.data(), 1, line.size(), pipe));
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return line.substr(0, line.find('\n'));
}

void pack(const fs::path& file, const std::vector<Entry>& entries, const std::string& box) {
    const std::map<char, unsigned> types{{'d', AE_IFDIR}, {'f', AE_IFREG}, {'l', AE_IFLNK},
                                         {'h', AE_IFREG}, {'c', AE_IFCHR}, {'p', AE_IFIFO}};
    const auto at = [&](const std::string& s) { return s[0] == '@' ? box + s.substr(1) : s; };
    archive* out = archive_write_new();
    archive_write_add_filter_gzip(out);
    archive_write_set_format_pax_restricted(out);
    archive_write_open_filename(out, file.c_str());
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_copy_pathname(entry, at(e.path).c_str());
        archive_entry_set_filetype(entry, types.at(e.kind));
        archive_entry_set_perm(entry, e.mode);
        archive_entry_set_size(entry, e.kind == 'f' ? static_cast<la_int64_t>(e.data.size()) : 0);
        archive_entry_copy_symlink(entry, e.kind == 'l' ? at(e.data).c_str() : nullptr);
        archive_entry_copy_hardlink(entry, e.kind == 'h' ? e.data.c_str() : nullptr);
        archive_write_header(out, entry);
        archive_write_data(out, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_free(out);
}

// Each entry below `root`: kind, permissions and content, or link target.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& it : fs::recursive_directory_iterator(root)) {
        const fs::file_status status = it.symlink_status();
        std::ifstream in(fs::is_regular_file(status) ? it.path() : "");
        tree[it.path().lexically_relative(root)] =
            fs::is_symlink(status) ? "l" + fs::read_symlink(it).string()
                                   : (fs::is_directory(status) ? 'd' : 'f') +
                                         std::to_string(int(status.permissions())) +
                                         std::string(std::istreambuf_iterator<char>(in), {});
    }
    return tree;
}

class UpdateImageTest : public testing::TestWithParam<ImageCase> {};

TEST_P(UpdateImageTest, UnpacksOnlyAWellSignedSoundImage) {
    const ImageCase& c = GetParam();
    const char* tmp = std::getenv("SKRIB_TEST_TMP");
    const std::string box = ::mkdtemp((std::string(tmp ? tmp : "/tmp") + "/image-XXXXXX").data());
    fs::create_directory(box + "/unpack");
    pack(box + "/image.tgz", c.entries, box);
    pack(box + "/other.tgz", {{"VantuSkrib.app", 'd', ""}}, box);
    run(box, "$S --new-key key.pem && $S --new-key other.pem");
    const std::string signature = run(box, c.sign);
    auto before = treeOf(box);

    const auto why =
        verifySignature(box + "/image.tgz", signature, run(box, "$S --public-key key.pem"));
    const auto unpacked =
        why ? std::variant<Bundle, std::string>(*why)
            : extractBundle(box + "/image.tgz", box + "/unpack", "VantuSkrib.app", 1 << 20);
    const auto* bundle = std::get_if<Bundle>(&unpacked);
    EXPECT_THAT(bundle ? "unpacked into " + bundle->path.substr(box.size())
                       : std::get<std::string>(unpacked),
                testing::HasSubstr(c.outcome));
    // The tree as packed, less what others than the owner may not do, and nothing beside it; or
    // nothing changed beside the folder.
    auto after = treeOf(box);
    for (const Entry& e : bundle ? c.entries : std::vector<Entry>()) {
        before["unpack/" + e.path] =
            e.kind == 'l' ? "l" + e.data : e.kind + std::to_string(e.mode & 0755) + e.data;
    }
    std::erase_if(after,
                  [&](const auto& it) { return !bundle && it.first.starts_with("unpack/"); });
    EXPECT_EQ(after, before);
    fs::remove_all(box);
}

// clang-format off
const std::vector<Entry> app = {
    {"VantuSkrib.app", 'd', "", 0755}, {"VantuSkrib.app/AppRun", 'f', "#!/bin/sh\n", 04755},
    {"VantuSkrib.app/lib", 'd', "", 0750}, {"VantuSkrib.app/lib/libskrib.so", 'f', "ELF", 0664},
    {"VantuSkrib.app/lib/current", 'l', "libskrib.so"}, {"VantuSkrib.app/lib/run", 'l', "../AppRun"}};
std::vector<Entry> appWith(std::vector<Entry> more) { more.insert(more.begin(), app.begin(), app.end()); return more; }

INSTANTIATE_TEST_SUITE_P(Images, UpdateImageTest, testing::Values(
    ImageCase{"Good", app, "unpacked into /unpack/VantuSkrib.app"},
    ImageCase{"Unsigned", app, "not signed", "true"},
    ImageCase{"AnotherImagesSignature", app, "does not match", "$S key.pem other.tgz"},
    ImageCase{"AnotherKey", app, "does not match", "$S other.pem image.tgz"},
    ImageCase{"Truncated", appWith({{"VantuSkrib.app/data", 'f', std::string(900000, 'x') + "end"}}), "damaged", "truncate -s -300 image.tgz && $S key.pem image.tgz"},
    ImageCase{"GzipBomb", appWith({{"VantuSkrib.app/zeros", 'f', std::string(8 << 20, '\0')}}), "more than 1048576 bytes"},
    ImageCase{"DotDot", appWith({{"VantuSkrib.app/../../escaped", 'f', "x"}}), "climbs out"},
    ImageCase{"AbsolutePath", appWith({{"@/escaped", 'f', "x"}}), "absolute path"},
    ImageCase{"TopLevelIsALink", {{"VantuSkrib.app", 'l', "@"}, {"VantuSkrib.app/escaped", 'f', "x"}}, "not a folder"},
    ImageCase{"LinkClimbsOut", appWith({{"VantuSkrib.app/lib/out", 'l', "../../x"}}), "links outside"},
    ImageCase{"LinkClimbsOutThroughALink", appWith({{"VantuSkrib.app/lib/up", 'l', ".."}, {"VantuSkrib.app/lib/out", 'l', "up/../x"}}), "links outside"},
    ImageCase{"LinkToEtcThenThroughIt", appWith({{"VantuSkrib.app/etc", 'l', "/etc"}, {"VantuSkrib.app/etc/escaped", 'f', "x"}}), "links outside"},
    ImageCase{"HardLink", appWith({{"VantuSkrib.app/passwd", 'h', "/etc/passwd"}}), "hard link"},
    ImageCase{"Device", appWith({{"VantuSkrib.app/null", 'c', ""}}), "device file"},
    ImageCase{"Fifo", appWith({{"VantuSkrib.app/pipe", 'p', ""}}), "FIFO"},
    ImageCase{"TwoApplications", appWith({{"Other.app", 'd', "", 0755}}), "\"Other.app\" where only"},
    ImageCase{"OtherApplication", {{"Other.app", 'd', "", 0755}, {"Other.app/AppRun", 'f', "x"}}, "\"Other.app\" where only"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

} // namespace
} // namespace skrib::updateImage
