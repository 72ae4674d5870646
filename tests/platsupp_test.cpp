// The emulated device's platform-support library (libvyrplatsupp.so) as
// libulmot sees it: loaded by path, asked PLATFORM_RadioAccessIsBlocked()
// with ULMOT_RADIO_BLOCKED_FILE naming what the user set up. Whether a
// schedule start follows its answer is the tools' and the objects' suites'.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr char kVariable[] = "ULMOT_RADIO_BLOCKED_FILE";

class PlatformLibrary : public testing::Test {
protected:
    void SetUp() override {
        library_ = dlopen(ULMOT_PLATSUPP_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        void *address = dlsym(library_, "PLATFORM_RadioAccessIsBlocked");
        ASSERT_NE(address, nullptr) << dlerror();
        static_assert(sizeof blocked_ == sizeof address);
        std::memcpy(&blocked_, &address, sizeof blocked_);
        char dir[] = "/tmp/ulmot-platsupp-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        unsetenv(kVariable);
        std::filesystem::remove_all(dir_);
        if (library_ != nullptr) dlclose(library_);
    }

    void *library_ = nullptr;
    int (*blocked_)() = nullptr;
    std::string dir_;
};

TEST_F(PlatformLibrary, RadioAccessIsBlockedWhileTheNamedFileExists) {
    namespace fs = std::filesystem;
    const std::string file = dir_ + "/off", missing = dir_ + "/missing";
    std::ofstream(file) << "off\n";
    fs::create_directory(dir_ + "/dir");
    fs::create_symlink(missing, dir_ + "/dangling");
    fs::create_symlink(dir_ + "/loop-b", dir_ + "/loop-a");
    fs::create_symlink(dir_ + "/loop-a", dir_ + "/loop-b");
    struct Row {
        const char *name;
        const char *value;  // null: the variable is unset
        std::string path;   // the value, when `value` is not given
        int blocked;
    };
    const std::vector<Row> rows = {
        {"unset", nullptr, "", 0},
        {"empty", "", "", 0},
        {"a file", nullptr, file, 1},
        {"a directory", nullptr, dir_ + "/dir", 1},
        {"nothing there", nullptr, missing, 0},
        {"a link to nothing", nullptr, dir_ + "/dangling", 0},
        {"below a file, not a directory", nullptr, file + "/x", 0},
        // What cannot be looked at keeps the radio off.
        {"a loop of links", nullptr, dir_ + "/loop-a", 1},
        {"a name longer than the system allows", nullptr, dir_ + "/" + std::string(300, 'n'), 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string value = row.value != nullptr ? row.value : row.path;
        if (row.value == nullptr && row.path.empty()) {
            unsetenv(kVariable);
        } else {
            setenv(kVariable, value.c_str(), 1);
        }
        errno = 4321;
        EXPECT_EQ(blocked_(), row.blocked);
        EXPECT_EQ(errno, 4321) << "the caller's errno is left as it was";
    }
}

// Loaded into every process that uses libulmot: it must bring no name of its
// own into it but the one libulmot asks for.
TEST_F(PlatformLibrary, ExportsOnlyTheRadioAccessCheck) {
    // The toolchain's nm (ULMOT_NM): a cross build's reads the target's files.
    FILE *nm = popen("'" ULMOT_NM "' -D --defined-only '" ULMOT_PLATSUPP_PATH "'", "r");
    ASSERT_NE(nm, nullptr);
    std::vector<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::string text(line);
        const size_t space = text.rfind(' ');
        std::string name = text.substr(space + 1);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    EXPECT_EQ(pclose(nm), 0);
    EXPECT_EQ(names, std::vector<std::string>{"PLATFORM_RadioAccessIsBlocked"});
}

}  // namespace
