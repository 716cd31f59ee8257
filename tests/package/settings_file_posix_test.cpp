// Update.ini that exists but is no file to read: a FIFO, an endless device, a folder, a
// file whose reading fails. Each is refused at once, without a read that blocks.

#include "settings_file.h"
#include "temp_dir.h"
#include "update_package.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace pupdate {
namespace {

using testing::TempDir;

TEST(UpdateListFileTest, ASettingsFileThatCannotBeReadIsRefusedWithoutWaiting) {
    struct Case {
        const char* what;
        void (*make)(const std::filesystem::path&);
    };
    const Case cases[] = {
        {"FIFO",
         [](const std::filesystem::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); }},
        {"endless device",
         [](const std::filesystem::path& file) {
             std::filesystem::create_symlink("/dev/zero", file);
         }},
        {"folder",
         [](const std::filesystem::path& file) { std::filesystem::create_directory(file); }},
        // A regular file whose reading fails (even for root, unlike a missing permission).
        {"read error",
         [](const std::filesystem::path& file) {
             std::filesystem::create_symlink("/proc/self/mem", file);
         }},
    };
    for (const Case& c : cases) {
        TempDir dir;
        c.make(dir / "Update.ini");
        EXPECT_THROW(readUpdateList(dir.path()), PackageError) << c.what;
    }
}

} // namespace
} // namespace pupdate
