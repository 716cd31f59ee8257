// The window program P_Update.exe under an operator's hands: the upgrade window with its
// presets and checks, the confirmation, the progress window during a run, the outcome
// boxes with their details, the folder dialog, the status of a refused connection, and
// the boxes of an unattended run. The program runs against SQLite databases through the
// SQLite3 ODBC driver; this test program drives it from outside, as a second process.

#include "closed_port.h"
#include "code_page.h"
#include "control_ids.h"
#include "databases.h"
#include "temp_dir.h"
#include "window_driver.h"

#include <algorithm>
#include <array>
#include <commctrl.h>
#include <cstdlib>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr const wchar_t* kDialog = L"#32770"; // message boxes and the folder dialog

std::array<long, 4> edges(const RECT& place) {
    return {place.left, place.top, place.right, place.bottom};
}

LRESULT ask(HWND control, UINT message, WPARAM wParam = 0) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(control, message, wParam, 0, SMTO_NORMAL, 10000, &result);
    return static_cast<LRESULT>(result);
}

// In the middle of the screen's work area, to the pixel.
bool centred(HWND window) {
    RECT frame{};
    RECT area{};
    ::GetWindowRect(window, &frame);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return std::abs(frame.left + frame.right - area.left - area.right) <= 1 &&
           std::abs(frame.top + frame.bottom - area.top - area.bottom) <= 1;
}

bool contains(const Strings& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
        return text.find(part) != std::string::npos;
    });
}

class WindowsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        // scripts/test-windows.sh gives the Wine run a display of its own.
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "no X display for the window program";
        }
    }

    fs::path package() const { return dir / "package"; }
    std::string install() const { return pathToUtf8(dir / "install"); }
    std::string databases() const { return SqliteDatabase::folderTemplate(dir.path()); }

    void writePackage(const std::string& updateList, const std::string& script) const {
        writeFile(package() / "Update.ini",
                  utf8ToGbkLossy("[Updatefile]\r\n顺序=" + updateList + "\r\n"));
        writeFile(package() / "UpdateSql" / "a.sql", utf8ToGbkLossy(script));
        writeFile(package() / "UpdatePro" / "bin" / "app.txt", "new program file");
    }

    // The box of `program` captioned 系统提示 that holds `text`, answered with `button`.
    static void answer(const WindowProgram& program, const std::string& text, int button) {
        const HWND box = program.waitForWindow(kDialog, L"系统提示");
        ASSERT_NE(box, nullptr) << text;
        EXPECT_TRUE(contains(controlTexts(box), text)) << text;
        ASSERT_NE(::GetDlgItem(box, button), nullptr);
        click(::GetDlgItem(box, button));
        EXPECT_TRUE(waitUntil([&] { return !::IsWindow(box); }));
    }

    TempDir dir;
    SqliteDatabase database{dir / "zeltinfo.db"};
};

TEST_F(WindowsWindowTest, UpgradeWindowLayoutPresetsChecksAndDeclinedConfirmation) {
    writePackage("a.sql:IsAccess", "create table t (x int)\r\n");
    const SqliteDatabase withoutVersionTable(dir / "nogsver.db", false);
    WindowProgram program(package(), {}, databases());
    const HWND window = program.waitForWindow(L"TFrm_Update", L"升级程序");
    ASSERT_NE(window, nullptr);
    const auto control = [window](int id) { return ::GetDlgItem(window, id); };

    EXPECT_EQ(clientSize(window).cx, 372);
    EXPECT_EQ(clientSize(window).cy, 165);
    EXPECT_TRUE(centred(window));
    const std::pair<int, std::array<long, 4>> places[] = {
        {E_type, {85, 19, 170, 40}},        {E_Position, {246, 19, 331, 40}},
        {Button1, {334, 19, 351, 39}},      {E_Server, {86, 52, 171, 73}},
        {E_db, {247, 52, 332, 73}},         {IsAccess, {14, 114, 79, 131}},
        {IsSqlserver, {87, 115, 156, 132}}, {Bt_Ok, {186, 115, 251, 138}},
        {Bt_Cel, {290, 115, 355, 138}},     {StatusBar1, {0, 143, 372, 165}},
    };
    for (const auto& [id, place] : places) {
        EXPECT_EQ(edges(placeOf(control(id))), place) << id;
    }
    std::vector<int> tabOrder;
    HWND focus = control(E_Server);
    do {
        tabOrder.push_back(::GetDlgCtrlID(focus));
        focus = ::GetNextDlgTabItem(window, focus, FALSE);
    } while (focus != control(E_Server) && tabOrder.size() < 20);
    EXPECT_EQ(tabOrder, (std::vector<int>{E_Server, E_db, E_Position, Button1, E_type, IsSqlserver,
                                          Bt_Ok, Bt_Cel}));

    // Presets: the first item when shown, then the operator's choices.
    EXPECT_EQ(textOf(control(E_type)), "产品");
    EXPECT_EQ(textOf(control(E_Server)), "(local)");
    EXPECT_EQ(textOf(control(E_db)), "zeltinfo");
    EXPECT_EQ(textOf(control(E_Position)), "C:\\zeltinfo3.0");
    EXPECT_FALSE(::IsWindowEnabled(control(IsAccess)));
    EXPECT_EQ(ask(control(IsAccess), BM_GETCHECK), BST_UNCHECKED);
    EXPECT_EQ(ask(control(IsSqlserver), BM_GETCHECK), BST_CHECKED);
    capture("windows_upgrade_window");
    const std::tuple<int, std::string, std::string> presets[] = {
        {1, "zeltsalary", "C:\\Salary\\Advanced"},
        {2, "zeltservant", "C:\\Servant\\Advanced"},
        {0, "zeltinfo", "C:\\zeltinfo3.0"},
    };
    for (const auto& [index, databaseName, folder] : presets) {
        setText(control(E_db), "typed by the operator");
        pick(control(E_type), index);
        EXPECT_TRUE(waitUntil([&] { return textOf(control(E_db)) == databaseName; }));
        EXPECT_EQ(textOf(control(E_Position)), folder);
    }

    // Both names blank: only the first problem is told, and the window stays.
    setText(control(E_Server), " \t ");
    setText(control(E_db), "");
    click(control(Bt_Ok));
    capture("windows_server_blank");
    answer(program, "服务器名不能为空", IDOK);

    // A database without the version table: the general error report, captioned with the
    // application's title; the window stays for another try.
    setText(control(E_Server), "(local)");
    setText(control(E_db), "nogsver");
    click(control(Bt_Ok));
    const HWND report = program.waitForWindow(kDialog, L"P_update");
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(contains(controlTexts(report), "gs_ver"));
    click(::GetDlgItem(report, IDOK));
    EXPECT_TRUE(waitUntil([&] { return !::IsWindow(report); }));
    EXPECT_TRUE(::IsWindowVisible(window));

    // 否 to the confirmation: nothing done, the program ends.
    setText(control(E_db), "zeltinfo");
    setText(control(E_Position), install());
    click(control(Bt_Ok));
    const HWND question = program.waitForWindow(kDialog, L"系统提示");
    ASSERT_NE(question, nullptr);
    EXPECT_TRUE(contains(controlTexts(question), "是否已经退出人力资源管理软件？"));
    EXPECT_NE(::GetDlgItem(question, IDYES), nullptr);
    capture("windows_confirmation");
    answer(program, "是否已经退出人力资源管理软件？", IDNO);
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_FALSE(fs::exists(dir / "install"));
    EXPECT_THROW(database.query("select x from t"), std::exception);
}

TEST_F(WindowsWindowTest, RunShowsTheProgressWindowAndFinishesWithDetails) {
    // Statements slow enough to watch the progress window (and to take its picture), one
    // of them failing.
    const int rows = capturing() ? 300000 : 100000;
    const std::string slow = "insert into t select value from (with recursive c(value) as "
                             "(select 1 union all select value + 1 from c limit " +
                             std::to_string(rows) + ") select value from c)\r\n";
    std::string script = "create table t (x int)\r\n";
    for (int line = 0; line < 20; ++line) {
        script += slow;
    }
    script += "insert into missing_table values (2)\r\n";
    writePackage("a.sql:IsAccess", script);
    WindowProgram program(package(), {}, databases());
    const HWND window = program.waitForWindow(L"TFrm_Update", L"升级程序");
    ASSERT_NE(window, nullptr);
    setText(::GetDlgItem(window, E_Position), install());
    click(::GetDlgItem(window, Bt_Ok));
    answer(program, "是否已经退出人力资源管理软件？", IDYES);

    // The copy's progress window comes and goes first; then the script's.
    HWND progress = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        progress = program.findWindow(L"TprogressBarF");
        return progress != nullptr &&
               textOf(::GetDlgItem(progress, Label1)).starts_with("正在校验：");
    }));
    EXPECT_EQ(clientSize(progress).cx, 434);
    EXPECT_EQ(clientSize(progress).cy, 55);
    EXPECT_TRUE(centred(progress));
    const auto style = ::GetWindowLongPtrW(progress, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME | WS_BORDER), 0);
    EXPECT_NE(::GetWindowLongPtrW(progress, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    const HWND label = ::GetDlgItem(progress, Label1);
    const HWND bar = ::GetDlgItem(progress, probar);
    EXPECT_EQ(edges(placeOf(label)), (std::array<long, 4>{2, 9, 431, 21}));
    EXPECT_EQ(edges(placeOf(bar)), (std::array<long, 4>{12, 30, 424, 44}));
    const std::string checking = textOf(label);
    EXPECT_EQ(checking.rfind("正在校验：", 0), 0u) << checking;
    EXPECT_TRUE(checking.ends_with("\\a.sql")) << checking;
    EXPECT_EQ(ask(bar, PBM_GETRANGE, FALSE), 22);
    EXPECT_TRUE(waitUntil([&] { return ask(bar, PBM_GETPOS) >= 2; }));
    capture("windows_progress");

    // 升级完毕！ with the account of the failed statement beneath, its record behind the
    // details button.
    const HWND box = program.waitForWindow(kDialog, L"系统提示", 60s);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(contains(controlTexts(box), "升级完毕！"));
    EXPECT_TRUE(contains(controlTexts(box), "本次升级有 1 条语句执行失败"));
    const HWND details = controlWithText(box, "显示详情...");
    ASSERT_NE(details, nullptr);
    click(details);
    EXPECT_TRUE(waitUntil([&] { return contains(controlTexts(box), "missing_table"); }));
    capture("windows_finished");
    click(::GetDlgItem(box, IDOK));
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(database.query("select count(*) from t").at(0).at(0), std::to_string(20 * rows));
    EXPECT_EQ(readFile(dir / "install" / "bin" / "app.txt"), "new program file");
}

TEST_F(WindowsWindowTest, UnattendedRunShowsItsBoxesButNeverTheWindow) {
    // A script that is missing: the package is refused before anything changes.
    writePackage("missing.sql:IsAccess", "");
    {
        WindowProgram program(package(), {install(), "zeltinfo"}, databases());
        answer(program, "是否已经退出人力资源管理软件？", IDYES);
        const HWND box = program.waitForWindow(kDialog, L"系统提示");
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(contains(controlTexts(box), "升级处理失败！"));
        EXPECT_TRUE(contains(controlTexts(box), "失败原因："));
        const HWND window = program.findWindow(L"TFrm_Update", false);
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(::IsWindowVisible(window));
        click(controlWithText(box, "显示详情..."));
        EXPECT_TRUE(waitUntil([&] { return contains(controlTexts(box), "missing.sql"); }));
        capture("windows_failed");
        click(::GetDlgItem(box, IDOK));
        EXPECT_EQ(program.waitForExit(), 1);
        EXPECT_FALSE(fs::exists(dir / "install"));
    }
    // An error that escapes the run: the task-modal Application Error box, exit status 1.
    const SqliteDatabase withoutVersionTable(dir / "nogsver.db", false);
    WindowProgram program(package(), {install(), "nogsver"}, databases());
    const HWND error = program.waitForWindow(kDialog, L"Application Error");
    ASSERT_NE(error, nullptr);
    const Strings texts = controlTexts(error);
    EXPECT_TRUE(contains(texts, "Exception pupdate::odbc::OdbcError in module P_Update.exe.\n"));
    EXPECT_TRUE(contains(texts, "gs_ver"));
    click(::GetDlgItem(error, IDOK));
    EXPECT_EQ(program.waitForExit(), 1);
}

TEST_F(WindowsWindowTest, FolderDialogPicksAFolderOrCreatesEveryLevelOfATypedOne) {
    writePackage("a.sql:IsAccess", "");
    WindowProgram program(package(), {}, databases());
    const HWND window = program.waitForWindow(L"TFrm_Update", L"升级程序");
    ASSERT_NE(window, nullptr);
    const HWND position = ::GetDlgItem(window, E_Position);
    const auto openDialog = [&] {
        click(::GetDlgItem(window, Button1));
        return program.waitForWindow(kDialog, L"Select Directory");
    };

    // Picked in the tree: the package's folder (where the program runs, since
    // C:\zeltinfo3.0 does not exist here) and then the folder above it.
    HWND dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    const HWND name = ::GetDlgItem(dialog, DirectoryEdit);
    const HWND tree = ::GetDlgItem(dialog, DirectoryTree);
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(textOf(name)), package())) << textOf(name);
    const auto selected = static_cast<LPARAM>(ask(tree, TVM_GETNEXTITEM, TVGN_CARET));
    DWORD_PTR parent = 0;
    ::SendMessageTimeoutW(tree, TVM_GETNEXTITEM, TVGN_PARENT, selected, SMTO_NORMAL, 10000,
                          &parent);
    ::SendMessageTimeoutW(tree, TVM_SELECTITEM, TVGN_CARET, static_cast<LPARAM>(parent),
                          SMTO_NORMAL, 10000, nullptr);
    const std::string picked = textOf(name);
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(picked), dir.path())) << picked;
    click(::GetDlgItem(dialog, IDOK));
    EXPECT_TRUE(waitUntil([&] { return textOf(position) == picked; }));

    // Cancelled: the field keeps its text.
    dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    setText(::GetDlgItem(dialog, DirectoryEdit), "C:\\elsewhere");
    click(::GetDlgItem(dialog, IDCANCEL));
    EXPECT_TRUE(waitUntil([&] { return !::IsWindow(dialog); }));
    EXPECT_EQ(textOf(position), picked);

    // Typed and missing: 否 returns to the dialog, 是 creates every level.
    const fs::path typed = dir / "新 建" / pathFromUtf8("第二层") / pathFromUtf8("三");
    dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    setText(::GetDlgItem(dialog, DirectoryEdit), pathToUtf8(typed));
    for (const int button : {IDNO, IDYES}) {
        click(::GetDlgItem(dialog, IDOK));
        const HWND question = program.waitForWindow(kDialog, L"Confirm");
        ASSERT_NE(question, nullptr);
        EXPECT_TRUE(
            contains(controlTexts(question), "The specified directory does not exist. Create it?"));
        if (button == IDNO) {
            capture("windows_folder_dialog");
        }
        click(::GetDlgItem(question, button));
        EXPECT_TRUE(waitUntil([&] { return !::IsWindow(question); }));
        if (button == IDNO) {
            EXPECT_TRUE(::IsWindowVisible(dialog));
            EXPECT_FALSE(fs::exists(dir / "新 建"));
        }
    }
    EXPECT_TRUE(waitUntil([&] { return textOf(position) == pathToUtf8(typed); }));
    EXPECT_TRUE(fs::is_directory(typed));
    click(::GetDlgItem(window, Bt_Cel));
    EXPECT_EQ(program.waitForExit(), 0);
}

TEST_F(WindowsWindowTest, RefusedConnectionIsToldInTheStatusBar) {
    writePackage("a.sql:IsAccess", "");
    const std::string port = std::to_string(closedPort());
    WindowProgram program(package(), {},
                          "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + port +
                              ";Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%");
    const HWND window = program.waitForWindow(L"TFrm_Update", L"升级程序");
    ASSERT_NE(window, nullptr);
    const HWND status = ::GetDlgItem(window, StatusBar1);
    click(::GetDlgItem(window, Bt_Ok));
    EXPECT_TRUE(waitUntil([&] { return program.statusText(status, 1) == "连接数据库失败！"; }));
    // No box: the driver's message is the panel's tool tip.
    EXPECT_EQ(program.findWindow(kDialog), nullptr);
    const std::string tip = program.toolTipText(status, 1);
    // The driver's message, in the language of the locale, names the refusing port.
    EXPECT_NE(tip.find(port), std::string::npos) << tip;
    RECT panel{};
    ::GetWindowRect(status, &panel);
    ::SetCursorPos(panel.left + 120, panel.top + 10);
    capture("windows_connection_failure");
    EXPECT_TRUE(::IsWindowVisible(window));
    click(::GetDlgItem(window, Bt_Cel));
    EXPECT_EQ(program.waitForExit(), 0);
}

} // namespace
} // namespace pupdate::testing
