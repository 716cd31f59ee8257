// P_Update_check beside the real run: on packages with one mistake each, what the check
// predicts (refused, or applied with lines logged and skipped) is what P_Update then does
// on a SQLite database. And the check's own promises: JSON that parses, its exit statuses,
// the copy plan, nothing written.

#include "host_path.h"
#include "program_process.h"
#include "run_fixture.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

struct Mistake {
    const char* name;
    std::function<void(const PackageFolder&)> make;
    int checkStatus;     // 0 clean, 1 refused, 3 warnings
    const char* code;    // the finding that names the mistake; empty for a clean package
    std::int64_t line;   // its line, 0 for none
    std::int64_t logged; // statements the run logs and skips
};

void PrintTo(const Mistake& mistake, std::ostream* out) {
    *out << mistake.name;
}

void script(const PackageFolder& folder, const std::string& bytes) {
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", bytes, true);
}

const Mistake kMistakes[] = {
    {"Clean",
     [](auto& f) { script(f, "insert into t values (1)\r\ninsert into t values (2)\r\n"); }, 0, "",
     0, 0},
    {"TransactionStatement", [](auto& f) { script(f, "insert into t values (1)\r\ncommit\r\n"); },
     1, "transaction-statement", 2, 0},
    {"MissingScript",
     [](auto& f) {
         f.writeUpdateList("a.sql:IsAccess,gone.sql:IsAccess");
         f.writeScript("a.sql", "insert into t values (1)\r\n");
     },
     1, "entry-refused", 0, 0},
    {"UnknownKind",
     [](auto& f) {
         f.writeUpdateList("a.sql:IsAcess");
         f.writeScript("a.sql", "insert into t values (1)\r\n");
     },
     1, "entry-refused", 0, 0},
    {"LineNotText", [](auto& f) { script(f, "insert into t values (1)\r\nselect '\x81'\r\n"); }, 3,
     "line-not-text", 2, 1},
    // GBK 张三, then UTF-8 李四: the file is GBK, its third line reads as rare GBK characters.
    {"MixedEncoding",
     [](auto& f) {
         script(f, "insert into t values (1)\r\nselect '\xD5\xC5\xC8\xFD'\r\n"
                   "select '\xE6\x9D\x8E\xE5\x9B\x9B'\r\n");
     },
     3, "mixed-encoding", 3, 0},
    {"ZeroByte", [](auto& f) { script(f, "insert into t values (1)\r\nselect 1\0\r\n"s); }, 3,
     "line-zero-byte", 2, 1},
    {"BatchSeparator",
     [](auto& f) { script(f, "insert into t values (1)\r\nGO\r\ninsert into t values (2)\r\n"); },
     3, "go-line", 2, 1},
    {"CreateDatabase",
     [](auto& f) { script(f, "insert into t values (1)\r\nCREATE DATABASE x -- new\r\n"); }, 3,
     "refused-in-transaction", 2, 1},
    {"LoneCarriageReturn",
     [](auto& f) {
         script(
             f,
             "insert into t values (1)\r\ninsert into t values (2)\rinsert into t values (3)\r\n");
     },
     3, "lone-cr", 2, 1},
    {"CtrlZBeforeTheEnd",
     [](auto& f) { script(f, "insert into t values (1)\r\n\x1Ainsert into t values (2)\r\n"); }, 3,
     "ctrl-z", 2, 0},
    {"OtherLetterCase",
     [](auto& f) {
         f.writeUpdateList("A.SQL:IsAccess");
         f.writeScript("a.sql", "insert into t values (1)\r\n");
     },
     3, "other-case", 0, 0},
    {"ScriptNotListed",
     [](auto& f) {
         script(f, "insert into t values (1)\r\n");
         f.writeScript("forgotten.sql", "insert into t values (2)\r\n");
     },
     3, "unnamed-script", 0, 0},
    {"EmptyList",
     [](auto& f) {
         f.writeUpdateList("");
         f.writeScript("a.sql", "insert into t values (1)\r\n");
         f.writeProgramFile("a.txt", "new");
     },
     3, "empty-list", 0, 0},
};

class CheckBesideRunTest : public ::testing::TestWithParam<Mistake> {
protected:
    void SetUp() override { database->exec("create table t (id integer primary key)"); }

    ProgramResult start(const fs::path& program, const std::vector<std::string>& arguments,
                        const std::string& input) {
        ProgramProcess process(program, database->odbcTemplate(),
                               dir / ("process" + std::to_string(++m_runs)));
        process.start(arguments, input);
        return process.wait(120s);
    }
    ProgramResult check(const std::vector<std::string>& arguments) {
        return start(pathFromHost(P_UPDATE_CHECK_BINARY), arguments, "");
    }
    std::string json(const std::vector<std::string>& arguments, const std::string& query) {
        std::vector<std::string> all{"--json"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        const ProgramResult result = check(all);
        const fs::path document = dir / "check.json";
        writeFile(document, result.out);
        // The document as a JSON parser reads it: python3's, as the fuzz tooling has.
        const fs::path answer = dir / "answer.txt";
        const std::string command = "python3 -c \"import json,sys; d=json.load(open(sys.argv[1])); "
                                    "open(sys.argv[2],'w').write(str(" +
                                    query + "))\" '" + pathToUtf8(document) + "' '" +
                                    pathToUtf8(answer) + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << result.out;
        return readFile(answer);
    }

    TempDir dir;
    PackageFolder folder{dir};
    std::unique_ptr<TestDatabase> database = makeDatabase(Backend::Sqlite, dir);
    int m_runs = 0;
};

std::int64_t failedStatements(const std::string& account) {
    std::smatch match;
    static const std::regex failed("本次升级有 (\\d+) 条语句执行失败");
    return std::regex_search(account, match, failed) ? std::stoll(match[1]) : 0;
}

TEST_P(CheckBesideRunTest, TheRunDoesWhatTheCheckForetold) {
    const Mistake& mistake = GetParam();
    mistake.make(folder);
    const std::string package = pathToUtf8(folder.package());

    const ProgramResult checked = check({package});
    EXPECT_EQ(checked.status, mistake.checkStatus) << checked.out << checked.err;
    if (*mistake.code != '\0') {
        // Named with its file, and its line where it has one.
        EXPECT_EQ(json({package}, "[(w['file'] is not None, w['line'] or 0) for w in "
                                  "d['errors'] + d['warnings'] if w['code'] == '" +
                                      std::string(mistake.code) + "'][:1]"),
                  "[(True, " + std::to_string(mistake.line) + ")]");
    }
    // Nothing written by the check.
    EXPECT_FALSE(fs::exists(folder.package() / "ReException.Log"));
    EXPECT_FALSE(fs::exists(folder.install()));

    const fs::path program = installProgram(folder.package());
    const ProgramResult ran =
        start(program, {pathToUtf8(folder.install()), database->name()}, "是\n");
    if (mistake.checkStatus == 1) {
        EXPECT_EQ(ran.status, 1) << ran.out << ran.err;
        EXPECT_NE(ran.out.find("升级处理失败！"), std::string::npos) << ran.out;
        EXPECT_TRUE(database->column("select id from t").empty());
    } else {
        EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
        EXPECT_EQ(failedStatements(ran.err), mistake.logged) << ran.err;
    }
    if (std::string(mistake.code) == "mixed-encoding") {
        // The run tells it in its log, and runs the lines all the same.
        EXPECT_NE(folder.log().find("可能是用 UTF-8 写的（第 3 行起）"), std::string::npos)
            << folder.log();
        EXPECT_EQ(database->column("select id from t"), std::vector<std::string>{"1"});
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, CheckBesideRunTest, ::testing::ValuesIn(kMistakes),
                         [](const auto& info) { return std::string(info.param.name); });

class CheckTest : public CheckBesideRunTest {};

TEST_F(CheckTest, UsageErrorsAndTheServerSideAndTheCopyPlan) {
    EXPECT_EQ(check({}).status, 2);
    EXPECT_EQ(check({pathToUtf8(dir / "nowhere")}).status, 2);
    EXPECT_EQ(check({"--nonsense", pathToUtf8(folder.package())}).status, 2);

    // Neither package folder: the run would refuse it.
    const std::string package = pathToUtf8(folder.package());
    EXPECT_EQ(check({package}).status, 1);

    // A server-side script that is not in the package, and a copy over an installation.
    folder.writeUpdateList("\"a b.sql:IsAccess\",srv.sql:IsSqlserver");
    folder.writeScript("a b.sql", "insert into t values (1)\r\n");
    folder.writeProgramFile("bin/new.dll", "12345");
    folder.writeProgramFile("Old.dll", "123");
    writeFile(folder.install() / "old.dll", "installed");
    const std::string install = pathToUtf8(folder.install());
    EXPECT_EQ(
        json({"--database", "zeltinfo", package, install},
             "(d['entries'][1]['osqlCommand'], d['entries'][0]['inTransaction'], "
             "[w['code'] for w in d['warnings']], "
             "sorted((i['action'], i['to'][-7:], i['bytes']) for i in d['copyPlan']['items']))"),
        "('osql -E  -S (local) -d zeltinfo -i \"" +
            pathToUtf8(folder.package() / "UpdateSql" / "srv.sql") +
            "\" ', True, ['server-file-missing'], [('new', 'new.dll', 5), ('replace', "
            "'old.dll', 3)])");
    EXPECT_EQ(readFile(folder.install() / "old.dll"), "installed");
    EXPECT_FALSE(fs::exists(folder.install() / "bin"));
    // The text report names the same, in Chinese.
    const ProgramResult text = check({package, install});
    EXPECT_EQ(text.status, 3);
    EXPECT_NE(text.out.find("osql 命令: osql -E  -S (local) -d 数据库名 -i"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("新增 1 个文件（5 字节），替换 1 个文件（3 字节）"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("结论: 升级可以进行，但有 1 条警告。"), std::string::npos) << text.out;

    // Installed into the package itself: the copy leaves the package's own settings file.
    folder.writeProgramFile("Update.ini", "[Updatefile]\r\n");
    EXPECT_EQ(json({package, package},
                   "(d['copyPlan']['skipped'], ['自己的文件' in w['message'] for w in "
                   "d['warnings'] if w['code'] == 'copy-skip'])"),
              "(1, [True])");
    EXPECT_NE(readFile(folder.package() / "Update.ini"), "[Updatefile]\r\n");
}

// Names as a person can tell them apart: two GBK names on a UTF-8 system differ in the
// JSON document, and a name's control characters never reach the terminal.
TEST_F(CheckTest, NamesThatAreNotTextAreShownByTheirBytes) {
    folder.writeProgramFile("\xD6\xD0.dll", "a");
    folder.writeProgramFile("\xD6\xD1.dll", "b");
    folder.writeProgramFile("red\x1B[31m.dll", "c");
    const std::string package = pathToUtf8(folder.package());
    const std::string install = pathToUtf8(folder.install());

    EXPECT_EQ(json({package, install},
                   "sorted(i['to'].rsplit('/', 1)[1] for i in d['copyPlan']['items'])"),
              "['\\\\xD6\\\\xD0.dll', '\\\\xD6\\\\xD1.dll', 'red\\\\x1B[31m.dll']");
    const ProgramResult text = check({package, install});
    EXPECT_EQ(text.out.find('\x1B'), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("red\\x1B[31m.dll"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\\xD6\\xD1.dll"), std::string::npos) << text.out;
}

// Scripts are read in the dialect named, SQL Server's unless told otherwise.
TEST_F(CheckTest, DialectDecidesWhatEndsTheTransaction) {
    script(folder, "select 1 as case; end\r\n");
    const std::string package = pathToUtf8(folder.package());
    EXPECT_EQ(check({package}).status, 0);
    EXPECT_EQ(check({"--dialect", "postgresql", package}).status, 1);
    EXPECT_EQ(check({"--dialect", "sqlite", package}).status, 1);
    EXPECT_EQ(check({"--dialect", "sqlserver", package}).status, 0);
    EXPECT_EQ(check({"--dialect", "oracle", package}).status, 2);
}

// What the copy would meet in the installation folder: the check's plan finds each
// failure the copy then reports, no more and no fewer.
struct Meeting {
    const char* name;
    std::function<fs::path(const PackageFolder&, const fs::path&)> make; // the installation
};

const Meeting kMeetings[] = {
    {"FileMeetsFolder",
     [](auto& f, auto&) {
         f.writeProgramFile("x.dll", "new");
         fs::create_directories(f.install() / "x.dll" / "inside");
         return f.install();
     }},
    {"FolderMeetsFile",
     [](auto& f, auto&) {
         f.writeProgramFile("sub/x.dll", "new");
         writeFile(f.install() / "sub", "a file");
         return f.install();
     }},
    {"LinkToAFolder",
     [](auto& f, auto&) {
         f.writeProgramFile("x.dll", "new");
         fs::create_directories(f.install() / "real");
         fs::create_symlink("real", f.install() / "x.dll");
         return f.install();
     }},
    {"InstallationBeneathAFile",
     [](auto& f, const fs::path& dir) {
         f.writeProgramFile("x.dll", "new");
         writeFile(dir / "afile", "a file");
         return dir / "afile" / "inst";
     }},
};

std::int64_t copyErrors(const std::string& text) {
    std::smatch match;
    static const std::regex errors("但有 (\\d+) 处出错");
    return std::regex_search(text, match, errors) ? std::stoll(match[1]) : 0;
}

TEST_F(CheckTest, CopyPlanFindsWhatTheCopyMeets) {
    for (const Meeting& meeting : kMeetings) {
        SCOPED_TRACE(meeting.name);
        TempDir place;
        const PackageFolder copyOnly(place);
        const fs::path install = meeting.make(copyOnly, place.path());
        const std::string package = pathToUtf8(copyOnly.package());

        EXPECT_EQ(json({package, pathToUtf8(install)},
                       "len([w for w in d['warnings'] if w['code'] == 'copy-skip'])"),
                  "1");
        const fs::path program = installProgram(copyOnly.package());
        const ProgramResult ran = start(program, {pathToUtf8(install), database->name()}, "是\n");
        EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
        EXPECT_EQ(copyErrors(ran.out), 1) << ran.out << ran.err;
    }
}

} // namespace
} // namespace pupdate::testing
