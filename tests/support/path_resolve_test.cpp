// Package names resolved against a real folder tree without regard to letter case.

#include "path_resolve.h"
#include "paths.h"
#include "temp_dir.h"
#include "utf8_path.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace pupdate {
namespace {

namespace fs = std::filesystem;
using testing::tellsLetterCaseApart;
using testing::TempDir;
using testing::writeFile;

TEST(PathResolveTest, ScriptFolderIsFoundWhateverItsCase) {
    TempDir dir;
    fs::create_directory(dir / "UpdateSql");
    for (const char* name : {"UpdateSql", "Updatesql", "updatesql", "UPDATESQL"}) {
        fs::path found;
        ASSERT_TRUE(findFolder(dir.path(), name, found)) << name;
        EXPECT_EQ(found, dir / "UpdateSql") << name;
        EXPECT_EQ(resolveCaseInsensitive(dir.path(), name), dir / "UpdateSql") << name;
    }
    fs::path found;
    EXPECT_FALSE(findFolder(dir.path(), "UpdatePro", found));
    EXPECT_FALSE(findFolder(dir.path(), "UpdateSq", found));
}

TEST(PathResolveTest, FileIsNotTakenForAFolder) {
    TempDir dir;
    writeFile(dir / "updatepro", "a file, not a folder");
    fs::path found;
    EXPECT_FALSE(findFolder(dir.path(), "UpdatePro", found));
    if (!tellsLetterCaseApart(dir.path())) {
        return; // no second spelling can stand beside it
    }
    // A folder spelt differently next to the file is still found.
    fs::create_directory(dir / "UPDATEPRO");
    ASSERT_TRUE(findFolder(dir.path(), "UpdatePro", found));
    EXPECT_EQ(found, dir / "UPDATEPRO");
}

TEST(PathResolveTest, ExactSpellingWinsOverAFoldedMatch) {
    TempDir dir;
    if (!tellsLetterCaseApart(dir.path())) {
        GTEST_SKIP() << "every spelling names one file here";
    }
    writeFile(dir / "Upgrade.sql", "1");
    writeFile(dir / "upgrade.sql", "2");
    writeFile(dir / "UPGRADE.SQL", "3");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "upgrade.sql"), dir / "upgrade.sql");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "UPGRADE.SQL"), dir / "UPGRADE.SQL");
    // No exact spelling: the choice does not depend on directory order.
    const fs::path folded = resolveCaseInsensitive(dir.path(), "Upgrade.SQL");
    EXPECT_EQ(folded, dir / "UPGRADE.SQL");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "upgrade.SQL"), folded);
}

TEST(PathResolveTest, BackslashesSeparateFoldersAndMissingTailIsKept) {
    TempDir dir;
    writeFile(dir / "UpdateSql" / "Sub" / "a.sql", "select 1");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "Updatesql\\sub\\A.SQL"),
              dir / "UpdateSql" / "Sub" / "a.sql");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "updatesql/SUB/a.sql"),
              dir / "UpdateSql" / "Sub" / "a.sql");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "\\Updatesql\\.\\sub\\\\a.sql"),
              dir / "UpdateSql" / "Sub" / "a.sql");
    // From the first missing component on, the names stay as written.
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "updatesql\\Missing\\SUB\\X.sql"),
              dir / "UpdateSql" / "Missing" / "SUB" / "X.sql");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "UPDATESQL\\sub\\..\\sub\\A.sql"),
              dir / "UpdateSql" / "Sub" / ".." / "Sub" / "a.sql");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), ""), dir.path());
}

TEST(PathResolveTest, ChineseNamesAreMatchedByteForByte) {
    TempDir dir;
    const fs::path script = dir / "UpdateSql" / pathFromUtf8("工资Update.sql");
    writeFile(script, "select 1");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "updatesql\\工资UPDATE.sql"), script);
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "UPDATESQL\\工资update.SQL"), script);
}

TEST(PathResolveTest, ResolverListsEachFolderOnceUntilItForgets) {
    TempDir dir;
    writeFile(dir / "UpdateSql" / "a.sql", "1");
    PathResolver paths;
    EXPECT_EQ(paths.resolve(dir.path(), "updatesql\\A.SQL"), dir / "UpdateSql" / "a.sql");
    // Made after its folder was listed: found when spelt exactly, not by folding.
    writeFile(dir / "UpdateSql" / "B.sql", "2");
    EXPECT_EQ(paths.resolve(dir.path(), "UPDATESQL\\B.sql"), dir / "UpdateSql" / "B.sql");
    EXPECT_EQ(paths.resolve(dir.path(), "UPDATESQL\\b.sql"), dir / "UpdateSql" / "b.sql");
    fs::path found;
    fs::create_directory(dir / "UPDATEPRO");
    // Where letter case makes no difference the exact spelling finds it too.
    EXPECT_EQ(paths.findFolder(dir.path(), "UpdatePro", found), !tellsLetterCaseApart(dir.path()));
    paths.forget();
    EXPECT_EQ(paths.resolve(dir.path(), "UPDATESQL\\b.sql"), dir / "UpdateSql" / "B.sql");
    EXPECT_TRUE(paths.findFolder(dir.path(), "UpdatePro", found));
    // A single lookup lists afresh.
    writeFile(dir / "UpdateSql" / "C.sql", "3");
    EXPECT_EQ(resolveCaseInsensitive(dir.path(), "updatesql\\c.sql"), dir / "UpdateSql" / "C.sql");
}

TEST(PathResolveTest, ProgramFolderHoldsTheRunningTest) {
    const fs::path folder = programFolder();
    EXPECT_TRUE(folder.is_absolute());
    EXPECT_TRUE(fs::is_regular_file(folder / P_UPDATE_TEST_PROGRAM)) << folder;
}

} // namespace
} // namespace pupdate
