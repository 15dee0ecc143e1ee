// Whatever goes wrong and wherever the process ends while a folder is installed over another, the
// target is the whole old folder or the whole new one, and after removeLeftovers nothing else.

#include "update/BundleInstaller.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace skrib::bundleInstaller {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

// What a folder holds, entry by entry: kind, permissions, size and content fingerprint.
Tree treeOf(const fs::path& root) {
    Tree tree;
    for (const fs::directory_entry& it : fs::recursive_directory_iterator(root)) {
        const fs::file_status status = it.symlink_status();
        std::string& entry = tree[it.path().lexically_relative(root).string()];
        entry = fs::is_symlink(status) ? "link to " + fs::read_symlink(it.path()).string()
                                       : std::to_string(static_cast<int>(status.permissions()));
        if (fs::is_regular_file(status)) {
            std::ifstream in(it.path(), std::ios::binary);
            const std::string content(std::istreambuf_iterator<char>(in), {});
            entry += " " + std::to_string(content.size()) + " bytes #" +
                     std::to_string(std::hash<std::string>{}(content));
        }
    }
    return tree;
}

void makeBundle(const fs::path& folder, const std::string& version) {
    fs::create_directories(folder / "bin");
    std::ofstream(folder / "AppRun") << "#!/bin/sh\nexec \"$(dirname \"$0\")/bin/vantu-skrib\"\n";
    std::ofstream(folder / "bin/vantu-skrib") << "program " << version;
    std::ofstream(folder / (version + ".txt")) << std::string(70000, 'v');
    fs::permissions(folder / "bin/vantu-skrib", fs::perms::owner_exec, fs::perm_options::add);
    fs::create_symlink("bin/vantu-skrib", folder / "vantu-skrib");
}

enum class Trouble { none, fail, end, cancel, fifo, setAside };
struct Row {
    Trouble trouble;
    Step step;
    bool firstInstall, expectNew;
};

TEST(BundleInstallerTest, TargetIsTheWholeOldOrNewFolderAndNothingStaysBeside) {
    const Row rows[] = {
        {Trouble::fail, Step::staged, false, false},
        {Trouble::fail, Step::synced, false, false},
        {Trouble::fail, Step::swapped, false, false},
        {Trouble::fail, Step::cleaned, false, true}, // too late to stop: the old folder is gone
        {Trouble::cancel, Step::staged, false, false},
        {Trouble::fifo, Step::staged, false, false},
        {Trouble::end, Step::staged, false, false},
        {Trouble::end, Step::synced, false, false},
        {Trouble::end, Step::swapped, false, true},
        {Trouble::end, Step::cleaned, false, true},
        {Trouble::none, Step::cleaned, true, true},
        {Trouble::fail, Step::swapped, true, false},
        // ended between the two renames of a file system that cannot exchange folders
        {Trouble::setAside, Step::swapped, false, false},
    };
    const char* base = std::getenv("SKRIB_TEST_TMP");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/skrib-install-XXXXXX";
    const fs::path root = ::mkdtemp(pattern.data());
    for (const Row& row : rows) {
        const fs::path folder = root / std::to_string(&row - rows), apps = folder / "apps";
        const fs::path source = folder / "new/VantuSkrib.app", target = apps / "VantuSkrib.app";
        SCOPED_TRACE(folder);
        makeBundle(source, "1.1.0");
        fs::create_directories(apps);
        if (!row.firstInstall) {
            makeBundle(target, "1.0.0");
        }
        const Tree expected = treeOf(row.expectNew ? source.parent_path() : apps);
        std::atomic<bool> cancel = row.trouble == Trouble::cancel;
        if (row.trouble == Trouble::fifo) {
            ASSERT_EQ(::mkfifo((source / "bin/pipe").c_str(), 0600), 0);
        }
        const Checkpoint checkpoint = [&](Step step) -> std::optional<std::string> {
            if (step == row.step && row.trouble == Trouble::end) {
                ::_exit(0);
            }
            return step == row.step && row.trouble == Trouble::fail ? "stop"
                                                                    : std::optional<std::string>();
        };
        if (row.trouble == Trouble::setAside) {
            fs::rename(target, apps / ".VantuSkrib.app.old-a1B2c3");
            fs::copy(source, apps / ".VantuSkrib.app.update-d4E5f6", fs::copy_options::recursive);
        } else if (row.trouble == Trouble::end) {
            const pid_t child = ::fork();
            if (child == 0) {
                install(source, target, &cancel, checkpoint);
                ::_exit(1);
            }
            int status = -1;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_EQ(status, 0) << "the child ended elsewhere than at the checkpoint";
            Tree targetNow = treeOf(apps);
            std::erase_if(targetNow, [](const auto& entry) { return entry.first[0] == '.'; });
            EXPECT_EQ(targetNow, expected);
        } else {
            EXPECT_EQ(install(source, target, &cancel, checkpoint).has_value(), !row.expectNew);
            EXPECT_EQ(treeOf(apps), expected);
        }
        removeLeftovers(target);
        EXPECT_EQ(treeOf(apps), expected);
    }
    fs::remove_all(root);
}

} // namespace
} // namespace skrib::bundleInstaller
