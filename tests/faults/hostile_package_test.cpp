// Hostile package contents: each gives a clear outcome, never a crash or a hang, and the
// program writes nowhere but the installation folder and the program folder.

#include "encoded_text.h"
#include "fault_fixture.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sys/stat.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr std::size_t kMiB = 1024 * 1024;

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

// Every file under `root` with its size and modification time, except what lies under
// the folders the program may write to and the database's own files.
using Snapshot = std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>>;

class HostilePackageTest : public FaultTest {
protected:
    void SetUp() override {
        useDatabase(Backend::Sqlite);
        database->exec("create table t (id integer primary key, name text)");
        writeFile(dir / "outside" / "keep.txt", "untouched");
        writeFile(dir / "outside" / "up.sql", "insert into t values (1, 'up')\r\n");
        fs::create_directories(folder.package() / "UpdateSql");
        before = snapshot();
    }

    void TearDown() override {
        EXPECT_EQ(snapshot(), before) << "a file outside the installation and program folders "
                                         "was written";
    }

    Snapshot snapshot() const {
        Snapshot files;
        for (auto it = fs::recursive_directory_iterator(dir.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const fs::path& path = it->path();
            const std::string name = path.filename().string();
            if (path == folder.package() || path == folder.install() || path == dir / "process") {
                it.disable_recursion_pending();
                continue;
            }
            if (name.rfind("zeltinfo.db", 0) == 0) {
                continue;
            }
            files[path.string()] = {it->is_regular_file() ? it->file_size() : 0,
                                    fs::last_write_time(path)};
        }
        return files;
    }

    void expectNoCrash(const ProgramResult& result) {
        EXPECT_FALSE(result.hung) << "the program hung";
        EXPECT_EQ(result.signal, 0) << "the program died by a signal:\n" << result.err;
    }

    Snapshot before;
};

TEST_F(HostilePackageTest, SettingsFileOfRandomBytesHasNoUpdateList) {
    std::string bytes = randomBytes(64 * 1024, 1);
    bytes[100] = '\xFF'; // neither UTF-8 nor GBK
    writeFile(folder.package() / "Update.ini", bytes);
    folder.writeProgramFile("app.dll", "new");
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    EXPECT_TRUE(ids().empty());
    // The scripts did not run, and the run says so rather than end as if complete.
    EXPECT_NE(result.out.find("系统提示: 升级脚本没有执行！\n"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("升级设置文件中没有找到升级列表"), std::string::npos) << result.err;
    EXPECT_NE(folder.log().find("读都找不到升级列表"), std::string::npos) << folder.log();
}

// Update.ini as the program reads it: only the list itself must be text, and a list that
// is not, or a settings file that cannot be read, stops the run before its question.
struct SettingsCase {
    const char* name;
    std::string bytes; // empty: a FIFO
    int status;
    Strings ids;
};

class SettingsFileTest : public HostilePackageTest,
                         public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsFileTest, OnlyTheListMustBeReadable) {
    const SettingsCase& c = GetParam();
    const fs::path settings = folder.package() / "Update.ini";
    if (c.bytes.empty()) {
        ASSERT_EQ(::mkfifo(settings.c_str(), 0644), 0);
    } else {
        writeFile(settings, c.bytes);
    }
    folder.writeProgramFile("app.dll", "new");
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");
    folder.writeScript("b c.sql", "insert into t values (2, 'b')\r\n");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_EQ(ids(), c.ids);
    if (c.status == 0) {
        EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
        return;
    }
    // Told why, naming the file, before anything was asked or copied.
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("Update.ini"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("是否已经退出人力资源管理软件"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(folder.install()));
}

const std::string kGbkOrder = "\xCB\xB3\xD0\xF2"; // 顺序

INSTANTIATE_TEST_SUITE_P(
    Lists, SettingsFileTest,
    ::testing::Values(
        SettingsCase{"QuotedEntryWithABlank",
                     "[Updatefile]\r\n" + kGbkOrder + "=a.sql:IsAccess,\"b c.sql:IsAccess\"\r\n",
                     0,
                     {"1", "2"}},
        SettingsCase{"BytesThatAreNotTextElsewhere",
                     "; \xFF\xFE\x81\r\n[Updatefile]\r\n" + kGbkOrder +
                         "=a.sql:IsAccess\r\n[x]\r\ny=\x81\x30\r\n",
                     0,
                     {"1"}},
        SettingsCase{"ZeroByteInTheList",
                     "[Updatefile]\r\n" + kGbkOrder + allBytes("=a.sql:IsAccess\0,b.sql") + "\r\n",
                     1,
                     {}},
        SettingsCase{
            "ListThatIsNotText", "[Updatefile]\r\n" + kGbkOrder + "=a\xFF.sql:IsAccess\r\n", 1, {}},
        SettingsCase{"Fifo", "", 1, {}}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return info.param.name; });

// Script files in every encoding a package author's editor writes, with words whose GBK
// bytes are also UTF-8, names and signs beside Chinese, and a line with a zero byte,
// which is logged and not run. The log names the encoding of each script not read as GBK.
struct ScriptEncodingCase {
    const char* test;
    const char* name; // as the log names it
    std::string (*encode)(const std::string& utf8);
};

class ScriptEncodingTest : public HostilePackageTest,
                           public ::testing::WithParamInterface<ScriptEncodingCase> {};

TEST_P(ScriptEncodingTest, ChineseArrivesIntactAndAZeroByteLineIsNotRun) {
    const std::string script = allBytes("insert into t values (1, '硕士')\r\n"
                                        "delete from t\0 where id = 99\r\n"
                                        "insert into t values (2, '元')\r\n"
                                        "insert into t values (3, '女')\r\n");
    const std::string names = "insert into t values (4, 'José García')\r\n"
                              "insert into t values (5, '销售部')\r\n"
                              "insert into t values (6, 'Иванов')\r\n"
                              "insert into t values (7, '100°C ±5 系数α')\r\n";
    folder.writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");
    folder.writeScript("a.sql", GetParam().encode(script), true);
    folder.writeScript("b.sql", GetParam().encode(names), true);

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(database->column("select name from t order by id"),
              (Strings{"硕士", "元", "女", "José García", "销售部", "Иванов", "100°C ±5 系数α"}));
    const std::string log = folder.log();
    EXPECT_NE(log.find("未执行: delete from t<NUL> where id = 99\r\n\r\n"), std::string::npos)
        << log;
    // Each script not read as GBK is named with its encoding, once.
    const std::string named = std::string("按 ") + GetParam().name + " 编码读取脚本文件: ";
    std::vector<std::string> scripts;
    for (std::size_t at = log.find(named); at != std::string::npos; at = log.find(named, at + 1)) {
        scripts.push_back(log.substr(at + named.size(), log.find('\r', at) - at - named.size()));
    }
    const Strings expected = {pathToUtf8(folder.package() / "UpdateSql" / "a.sql"),
                              pathToUtf8(folder.package() / "UpdateSql" / "b.sql")};
    EXPECT_EQ(scripts, GetParam().name == std::string("GBK") ? Strings() : expected) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, ScriptEncodingTest,
    ::testing::Values(
        ScriptEncodingCase{"Gbk", "GBK",
                           [](const std::string& text) { return utf8ToGbkLossy(text); }},
        ScriptEncodingCase{"Utf8", "UTF-8", [](const std::string& text) { return text; }},
        ScriptEncodingCase{"Utf8WithMark", "UTF-8",
                           [](const std::string& text) { return "\xEF\xBB\xBF" + text; }},
        ScriptEncodingCase{"Utf16Le", "UTF-16LE",
                           [](const std::string& text) { return utf16WithMark(text, false); }},
        ScriptEncodingCase{"Utf16Be", "UTF-16BE",
                           [](const std::string& text) { return utf16WithMark(text, true); }}),
    [](const ::testing::TestParamInfo<ScriptEncodingCase>& info) { return info.param.test; });

TEST_F(HostilePackageTest, SettingsFileOfRandomGbkTextHasNoUpdateList) {
    // Random double-byte characters and ASCII: decodes, but holds no usable list.
    std::mt19937 random(2);
    std::string text;
    while (text.size() < 64 * 1024) {
        if (random() % 4 == 0) {
            text += static_cast<char>(0x20 + random() % 0x5F);
            text += random() % 8 == 0 ? "\r\n" : "";
        } else {
            text += static_cast<char>(0xB0 + random() % 0x27);
            text += static_cast<char>(0xA1 + random() % 0x5E);
        }
    }
    writeFile(folder.package() / "Update.ini", text);
    folder.writeProgramFile("app.dll", "new");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
}

TEST_F(HostilePackageTest, FiftyMebibyteUpdateListFailsAtItsFirstMissingScript) {
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");
    std::string list = "a.sql:IsAccess";
    for (int i = 0; list.size() < 50 * kMiB; ++i) {
        list += ",missing_" + std::to_string(i) + ".sql:IsAccess";
    }
    folder.writeUpdateList(list);

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    EXPECT_TRUE(ids().empty()) << "the first script was rolled back";
    EXPECT_NE(folder.log().find("missing_0.sql"), std::string::npos);
}

TEST_F(HostilePackageTest, FiftyMebibyteSingleEntryNamesNoFile) {
    folder.writeUpdateList(std::string(50 * kMiB, 'n') + ".sql:IsAccess");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    EXPECT_TRUE(ids().empty());
}

TEST_F(HostilePackageTest, ScriptOfASingleTwentyMebibyteLineIsOneStatement) {
    const std::string value(20 * kMiB, 'x');
    folder.writeUpdateList("big.sql:IsAccess,garbage.sql:IsAccess");
    // No line break at the end: the last line is still read.
    folder.writeScript("big.sql", "insert into t values (1, '" + value + "')");
    folder.writeScript("garbage.sql", value);

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
    EXPECT_EQ(database->column("select length(name) from t"),
              Strings{std::to_string(value.size())});
    // The line that is no statement is logged whole, once.
    const std::string log = readFile(folder.package() / pathFromUtf8(kExceptionLogName));
    EXPECT_GT(log.size(), value.size());
    EXPECT_LT(log.size(), value.size() + 4096);
}

TEST_F(HostilePackageTest, BinaryGarbageScriptIsLoggedLineByLine) {
    folder.writeUpdateList("garbage.sql:IsAccess,a.sql:IsAccess");
    folder.writeScript("garbage.sql", randomBytes(kMiB, 3), true);
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
    EXPECT_EQ(ids(), Strings{"1"});
    EXPECT_FALSE(readFile(folder.package() / pathFromUtf8(kExceptionLogName)).empty());
}

TEST_F(HostilePackageTest, ProgramFileNamesThatLookLikePathsStayInTheInstallation) {
    // Program files whose names look like paths out of the installation folder, and a
    // link to a folder outside the package.
    folder.writeProgramFile("..\\..\\outside\\evil.txt", "evil");
    folder.writeProgramFile("sub/..\\..\\..\\evil2.txt", "evil");
    fs::create_directory_symlink(dir / "outside", folder.package() / "UpdatePro" / "linked");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(folder.install() / "..\\..\\outside\\evil.txt"), "evil");
    EXPECT_EQ(readFile(folder.install() / "sub" / "..\\..\\..\\evil2.txt"), "evil");
    EXPECT_EQ(readFile(folder.install() / "linked" / "keep.txt"), "untouched");
}

TEST_F(HostilePackageTest, FolderLinkBackIntoTheProgramFilesEndsAtTheLinkLimit) {
    folder.writeProgramFile("app.dll", "new");
    fs::create_directory_symlink(".", folder.package() / "UpdatePro" / "loop");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
}

TEST_F(HostilePackageTest, NamedPipeInTheProgramFilesIsLoggedAndSkipped) {
    folder.writeProgramFile("a.dll", "new a");
    folder.writeProgramFile("z.dll", "new z");
    ASSERT_EQ(::mkfifo((folder.package() / "UpdatePro" / "pipe.dll").c_str(), 0644), 0);
    // Through a link too, taken for what it leads to.
    fs::create_symlink("pipe.dll", folder.package() / "UpdatePro" / "linked.dll");

    // Opening a pipe for reading waits for a writer: a run that does hangs.
    const ProgramResult result = runProgram(program, database->odbcTemplate(), dir / "process",
                                            {pathToUtf8(folder.install()), database->name()}, "y\n",
                                            std::chrono::seconds(60));
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(folder.install() / "a.dll"), "new a");
    EXPECT_EQ(readFile(folder.install() / "z.dll"), "new z");
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.install() / "pipe.dll")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.install() / "linked.dll")));
    const std::string log = folder.log();
    EXPECT_NE(log.find("不是普通文件或文件夹，没有复制: Operation not supported [" +
                       pathToUtf8(folder.package() / "UpdatePro" / "pipe.dll") + "]"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("linked.dll"), std::string::npos) << log;
}

// The installation folder lies inside UpdatePro, or UpdatePro holds a link to it.
class InstallationInsideTheProgramFilesTest : public HostilePackageTest,
                                              public ::testing::WithParamInterface<bool> {};

TEST_P(InstallationInsideTheProgramFilesTest, IsNotCopiedIntoItselfAndTheRestIs) {
    const bool throughLink = GetParam();
    folder.writeProgramFile("app.dll", "new");
    folder.writeProgramFile("sub/b.dll", "new b");
    fs::path install = folder.package() / "UpdatePro" / "sub" / "install";
    if (throughLink) {
        install = folder.install();
        fs::create_directories(install);
        fs::create_directory_symlink(install, folder.package() / "UpdatePro" / "current");
    }
    writeFile(install / "old.dll", "old");

    const ProgramResult result =
        runProgram(program, database->odbcTemplate(), dir / "process",
                   {pathToUtf8(install), database->name()}, "y\n", std::chrono::seconds(120));
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(install / "app.dll"), "new");
    EXPECT_EQ(readFile(install / "sub" / "b.dll"), "new b");
    EXPECT_EQ(readFile(install / "old.dll"), "old");
    // Nothing of the installation folder was copied into it.
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(install)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 3u) << "files below " << install;
    EXPECT_FALSE(fs::exists(install / "sub" / "install"));
    EXPECT_FALSE(fs::exists(install / "current"));
    EXPECT_NE(folder.log().find("不能把安装目录复制到它自己里面"),
              std::string::npos)
        << folder.log();
}

INSTANTIATE_TEST_SUITE_P(Ways, InstallationInsideTheProgramFilesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThroughALink" : "Directly";
                         });

// Script names may lead anywhere inside the package, through `..` or links, and nowhere
// out of it; the boundary is the package folder itself.
struct ScriptPlaceCase {
    const char* name;
    const char* entry;
    const char* link;   // made in UpdateSql, or null
    const char* target; // what it leads to, relative to the test folder
    bool runs;
};

class ScriptPlaceTest : public HostilePackageTest,
                        public ::testing::WithParamInterface<ScriptPlaceCase> {};

TEST_P(ScriptPlaceTest, ScriptsRunOnlyFromInsideThePackage) {
    const ScriptPlaceCase& c = GetParam();
    writeFile(folder.package() / "shared" / "x.sql", "insert into t values (2, 'shared')\r\n");
    if (c.link != nullptr) {
        fs::create_symlink(dir / c.target, folder.package() / "UpdateSql" / c.link);
    }
    folder.writeUpdateList(std::string(c.entry) + ":IsAccess");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, c.runs ? 0 : 1) << result.out << result.err;
    EXPECT_EQ(ids(), c.runs ? Strings{"2"} : Strings{});
    if (!c.runs) {
        EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
        EXPECT_NE(result.err.find("升级包文件夹"), std::string::npos) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Places, ScriptPlaceTest,
    ::testing::Values(
        ScriptPlaceCase{"FolderBesideTheScripts", "..\\shared\\x.sql", nullptr, nullptr, true},
        ScriptPlaceCase{"OneLevelOutOfThePackage", "..\\..\\outside\\up.sql", nullptr, nullptr,
                        false},
        // Out and back in: where it really lies counts, not how it is written.
        ScriptPlaceCase{"OutAndBackIn", "..\\..\\package\\shared\\x.sql", nullptr, nullptr, true},
        ScriptPlaceCase{"FolderLinkInsideThePackage", "linked\\x.sql", "linked", "package/shared",
                        true},
        ScriptPlaceCase{"FileLinkOutOfThePackage", "linked.sql", "linked.sql", "outside/up.sql",
                        false},
        ScriptPlaceCase{"FolderLinkOutOfThePackage", "linked\\up.sql", "linked", "outside", false}),
    [](const ::testing::TestParamInfo<ScriptPlaceCase>& info) { return info.param.name; });

TEST_F(HostilePackageTest, SameScriptTwiceRunsTwice) {
    folder.writeUpdateList("a.sql:IsAccess,A.SQL:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n"
                                "insert into t values (2, 'b')\r\n");

    const ProgramResult result = runUnattended();
    expectNoCrash(result);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
    EXPECT_EQ(ids(), (Strings{"1", "2"}));
    // The second pass finds both rows there: two failed statements, logged.
    const std::string log = folder.log();
    EXPECT_NE(log.find("insert into t values (1, 'a')\r\n\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("insert into t values (2, 'b')\r\n\r\n"), std::string::npos) << log;
}

} // namespace
} // namespace pupdate::testing
