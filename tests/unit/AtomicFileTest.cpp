#include "platform/AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace skrib {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

struct Case {
    const char* name;
    int oldMode; // -1: no file there yet
    FileAccess access;
    unsigned expectedMode;
};

class AtomicFile : public testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("atomic-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }
    fs::path dir_;
};

TEST_P(AtomicFile, ReplacesTheContentWithTheRightModeAndLeavesNothingElse) {
    const Case& c = GetParam();
    const fs::path file = dir_ / "file.json";
    if (c.oldMode >= 0) {
        std::ofstream(file) << "old content that is longer than the new";
        ::chmod(file.c_str(), static_cast<mode_t>(c.oldMode));
    }
    ASSERT_EQ(writeFileAtomically(file.string(), "new", c.access), 0);
    EXPECT_EQ(contentOf(file), "new");
    EXPECT_EQ(modeOf(file), c.expectedMode);
    EXPECT_EQ(entries(), 1u); // no temporary file left beside it
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Modes, AtomicFile, testing::Values(Case{"NewFileIsPrivate", -1, FileAccess::keep, 0600}, Case{"ReplacementKeepsTheMode", 0644, FileAccess::keep, 0644}, Case{"OwnerOnlyTightensTheMode", 0644, FileAccess::ownerOnly, 0600}), [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(AtomicFile, AFailedReplaceKeepsTheOldFileAndLeavesNoTemporary) {
    const fs::path target = dir_ / "folder";
    fs::create_directories(target / "inside"); // renaming a file over a folder fails
    EXPECT_NE(writeFileAtomically(target.string(), "new"), 0);
    EXPECT_TRUE(fs::is_directory(target / "inside"));
    EXPECT_EQ(entries(), 1u);
    EXPECT_NE(writeFileAtomically((dir_ / "missing/file").string(), "new"), 0);
    EXPECT_EQ(entries(), 1u);
}

} // namespace
} // namespace skrib
