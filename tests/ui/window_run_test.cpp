// Whole upgrade runs started from the window against a SQLite database through the
// SQLite3 ODBC driver, with the message boxes answered by the test; and the window front
// end as the program runs it, started as a separate process.

#include "U_Main.h"
#include "closed_port.h"
#include "code_page.h"
#include "databases.h"
#include "front_end_child.h"
#include "modal_answerer.h"
#include "run_lock.h"
#include "temp_dir.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

// A package folder with a database beside it, and a window whose run uses both.
class WindowRunTest : public ::testing::Test {
protected:
    fs::path package() const { return dir / "package"; }
    fs::path install() const { return dir / "install"; }

    void writePackage(const std::string& updateList, const std::string& script) {
        writeFile(package() / "Update.ini",
                  utf8ToGbkLossy("[Updatefile]\r\n顺序=" + updateList + "\r\n"));
        writeFile(package() / "UpdateSql" / "a.sql", utf8ToGbkLossy(script));
        writeFile(package() / "UpdatePro" / "bin" / "app.txt", "new program file");
    }

    std::vector<std::string> column(const SqliteDatabase& database, const std::string& sql) {
        std::vector<std::string> values;
        for (const auto& row : database.query(sql)) {
            values.push_back(row.at(0).value_or("NULL"));
        }
        return values;
    }

    // Shows the window as the operator sees it, pointed at the package's database.
    std::unique_ptr<TFrm_Update> openWindow(const SqliteDatabase& database) {
        auto window = std::make_unique<TFrm_Update>(CommandLine{}, package());
        window->run().setOdbcTemplate(database.odbcTemplate());
        window->show();
        window->E_Position->setText(QString::fromStdString(install().string()));
        QObject::connect(window.get(), &TFrm_Update::windowClosed, [this] { ++closes; });
        return window;
    }

    TempDir dir;
    ModalAnswerer answerer;
    int closes = 0;
};

TEST_F(WindowRunTest, FullRunAppliesTheScriptCopiesTheFilesAndReports) {
    SqliteDatabase database(dir / "zeltinfo.db");
    writePackage("a.sql:IsAccess", "create table t (x int)\r\n"
                                   "insert into t values (1)\r\n"
                                   "insert into missing_table values (2)\r\n"
                                   "insert into t values (3)\r\n");
    // A record of an earlier run, which is not this run's to show.
    writeFile(package() / "ReException.Log", utf8ToGbkLossy("上一次升级的记录\r\n"));
    auto window = openWindow(database);
    answerer.answer(QMessageBox::Yes); // the application has been closed
    answerer.answer(QMessageBox::Ok);  // finished
    // Whether the script's table could be seen from outside the run's transaction each
    // time the progress window's text was painted.
    std::vector<std::pair<QString, bool>> committedWhenPainted;
    answerer.onProgressTextPainted = [&](const QString& text) {
        bool committed = true;
        try {
            database.query("select count(*) from t");
        } catch (const odbc::OdbcError&) {
            committed = false;
        }
        committedWhenPainted.emplace_back(text, committed);
    };

    QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);

    ASSERT_EQ(answerer.boxes.size(), 2u);
    EXPECT_EQ(answerer.boxes[0].text, QStringLiteral("是否已经退出人力资源管理软件？"));
    EXPECT_EQ(answerer.boxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(answerer.boxes[1].text, QStringLiteral("升级完毕！"));
    EXPECT_EQ(answerer.boxes[1].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The outcome offers this run's record, and only that, behind Qt's Chinese button.
    EXPECT_EQ(answerer.boxes[1].informativeText,
              QStringLiteral("本次升级有 1 条语句执行失败。\n详细记录见 ReException.Log。"));
    const QString details = answerer.boxes[1].detailedText;
    EXPECT_TRUE(details.contains(QStringLiteral("missing_table"))) << details.toStdString();
    EXPECT_TRUE(details.endsWith(QStringLiteral("insert into missing_table values (2)")))
        << details.toStdString();
    EXPECT_FALSE(details.contains(QStringLiteral("上一次升级"))) << details.toStdString();
    EXPECT_EQ(answerer.boxes[1].detailsButton, QStringLiteral("显示详情..."));
    EXPECT_TRUE(answerer.boxes[0].informativeText.isEmpty());
    EXPECT_TRUE(answerer.boxes[0].detailedText.isEmpty());
    for (const SeenBox& box : answerer.boxes) {
        EXPECT_EQ(box.title, QStringLiteral("系统提示"));
        EXPECT_EQ(box.icon, QMessageBox::Information);
        EXPECT_EQ(box.ownerName, QStringLiteral("TFrm_Update"));
    }
    EXPECT_EQ(answerer.unexpected, 0);

    EXPECT_EQ(column(database, "select x from t order by x"), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(readFile(install() / "bin" / "app.txt"), "new program file");
    const std::string log = gbkToUtf8(readFile(package() / "ReException.Log"));
    EXPECT_NE(log.find("insert into missing_table values (2)"), std::string::npos) << log;

    // One window each for the copy, the script and the commit; all released at the end.
    EXPECT_EQ(answerer.progressWindowsShown, 3);
    ASSERT_EQ(answerer.progressWindows.size(), 3u);
    EXPECT_EQ(answerer.progressWindows[0].text, QStringLiteral("正在复制程序文件"));
    const SeenProgress& script = answerer.progressWindows[1];
    EXPECT_TRUE(script.text.startsWith(QStringLiteral("正在校验："))) << script.text.toStdString();
    EXPECT_TRUE(script.text.endsWith(QStringLiteral("a.sql"))) << script.text.toStdString();
    EXPECT_EQ(script.maximum, 4);
    EXPECT_EQ(script.position, 3); // the bar ends on the three statements that succeeded
    EXPECT_EQ(answerer.progressWindows[2].text, QStringLiteral("提交成功！"));
    EXPECT_FALSE(answerer.progressWindows[2].barVisible);
    // Each commit text was painted while it was the window's text: the first before the
    // commit had taken place, the second after it.
    const auto painted = [&](const char* text) {
        std::vector<bool> committed;
        for (const auto& [paintedText, visible] : committedWhenPainted) {
            if (paintedText == QString::fromUtf8(text)) {
                committed.push_back(visible);
            }
        }
        return committed;
    };
    const std::vector<bool> committing = painted("正在提交数据......");
    EXPECT_FALSE(committing.empty());
    EXPECT_EQ(std::count(committing.begin(), committing.end(), true), 0);
    const std::vector<bool> committed = painted("提交成功！");
    EXPECT_FALSE(committed.empty());
    EXPECT_EQ(std::count(committed.begin(), committed.end(), false), 0);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        EXPECT_NE(widget->objectName(), QStringLiteral("TprogressBarF"));
    }

    EXPECT_EQ(window->statusPanel(1)->text(), QStringLiteral("更新成功！"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_GE(closes, 1);
}

TEST_F(WindowRunTest, FailedVersionProbeReachesTheErrorReportAndTheWindowStaysOpen) {
    SqliteDatabase database(dir / "zeltinfo.db", false);
    writePackage("a.sql:IsAccess", "create table t (x int)\r\n");
    auto window = openWindow(database);
    answerer.answer(QMessageBox::Ok);

    QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);

    ASSERT_EQ(answerer.boxes.size(), 1u);
    const SeenBox& report = answerer.boxes[0];
    EXPECT_EQ(report.icon, QMessageBox::Critical);
    EXPECT_EQ(report.title, QCoreApplication::applicationName());
    EXPECT_TRUE(report.text.contains(QStringLiteral("gs_ver"))) << report.text.toStdString();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(fs::exists(install()));
}

TEST_F(WindowRunTest, RefusedConnectionIsToldInTheStatusBarWithoutABox) {
    writePackage("a.sql:IsAccess", "create table t (x int)\r\n");
    auto window = std::make_unique<TFrm_Update>(CommandLine{}, package());
    window->run().setOdbcTemplate(
        "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + std::to_string(closedPort()) +
        ";Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%");
    window->show();

    QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);

    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_EQ(window->statusPanel(1)->text(), QStringLiteral("连接数据库失败！"));
    // The driver's own message is the panel's tool tip.
    const QString message = window->statusPanel(1)->toolTip();
    EXPECT_TRUE(message.contains(QStringLiteral("127.0.0.1"))) << message.toStdString();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(fs::exists(package() / "ReException.Log"));

    // The next attempt starts without the old reason.
    window->E_Server->clear();
    answerer.answer(QMessageBox::Ok);
    QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);
    EXPECT_EQ(answerer.boxTexts(), std::vector<QString>{QStringLiteral("服务器名不能为空")});
    EXPECT_TRUE(window->statusPanel(1)->text().isEmpty());
    EXPECT_TRUE(window->statusPanel(1)->toolTip().isEmpty());
}

TEST_F(WindowRunTest, DatabaseInUseByAnotherRunIsRefusedAndTheWindowStaysOpen) {
    SqliteDatabase database(dir / "zeltinfo.db");
    writePackage("a.sql:IsAccess", "create table t (x int)\r\n");
    auto window = openWindow(database);
    {
        // Another run holds the database, as a second program would.
        RunSettings other;
        other.database = "zeltinfo";
        const RunLock held(runLockKeys(other, database.odbcTemplate()));
        ASSERT_EQ(held.state(), RunLock::State::Held);
        answerer.answer(QMessageBox::Ok);
        QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);
    }
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(
        answerer.boxes[0].text,
        QStringLiteral("对不起!另一个升级程序正在升级这个数据库或安装目录,请等它结束后再试!"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(fs::exists(install()));
    {
        // Or the installation folder, reached by another name.
        RunSettings other;
        other.database = "elsewhere";
        other.installFolder = (dir / "." / "install").string();
        const RunLock held(runLockKeys(other, database.odbcTemplate()));
        ASSERT_EQ(held.state(), RunLock::State::Held);
        answerer.answer(QMessageBox::Ok);
        QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);
    }
    ASSERT_EQ(answerer.boxes.size(), 2u);
    EXPECT_EQ(answerer.boxes[1].text, answerer.boxes[0].text);
    EXPECT_EQ(answerer.boxes[0].title, QStringLiteral("系统提示"));
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::Information);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(fs::exists(install()));
    EXPECT_TRUE(column(database, "select name from sqlite_master where name = 't'").empty());

    // Once the other run is over the same window runs.
    answerer.answer(QMessageBox::No);
    QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);
    ASSERT_EQ(answerer.boxes.size(), 3u);
    EXPECT_EQ(answerer.boxes[2].text, QStringLiteral("是否已经退出人力资源管理软件？"));
    EXPECT_EQ(answerer.unexpected, 0);
}

// A package that only copies is silent when the copy went well, and tells in a box with
// the account what could not be copied.
TEST_F(WindowRunTest, CopyOnlyPackageTellsOnlyWhatCouldNotBeCopied) {
    SqliteDatabase database(dir / "zeltinfo.db");
    writeFile(package() / "UpdatePro" / "app.txt", "new");
    writeFile(package() / "UpdatePro" / "blocked", "new");
    for (const bool blocked : {false, true}) {
        if (blocked) {
            fs::remove(install() / "blocked");
            fs::create_directories(install() / "blocked" / "inside");
        }
        answerer.boxes.clear();
        auto window = openWindow(database);
        answerer.answer(QMessageBox::Yes);
        if (blocked) {
            answerer.answer(QMessageBox::Ok);
        }
        QTest::mouseClick(window->Bt_Ok, Qt::LeftButton);
        ASSERT_EQ(answerer.boxes.size(), blocked ? 2u : 1u);
        EXPECT_EQ(readFile(install() / "app.txt"), "new");
        if (blocked) {
            EXPECT_EQ(answerer.boxes[1].text, QStringLiteral("程序文件复制完毕，但有 1 处出错！"));
            EXPECT_EQ(
                answerer.boxes[1].informativeText,
                QStringLiteral("本次升级有 1 处程序文件复制出错。\n详细记录见 ReException.Log。"));
            EXPECT_TRUE(answerer.boxes[1].detailedText.contains(QStringLiteral("blocked")));
            EXPECT_EQ(answerer.boxes[1].icon, QMessageBox::Information);
        }
    }
    EXPECT_EQ(closes, 2);
    EXPECT_EQ(answerer.unexpected, 0);
}

// The window front end as the program runs it: this test program started again with
// "--front-end" and the program's arguments.
class FrontEndProcessTest : public ::testing::Test {
protected:
    struct Outcome {
        int exitCode = -1;
        QStringList boxes;   // "title|icon|text|buttons|owner|modality"
        QStringList windows; // "E_Server|E_db|E_Position|E_type"
    };

    // Runs the front end to its end; `whileRunning` is called once it is under way.
    Outcome start(const QStringList& arguments, const QString& answers,
                  const std::function<void(QProcess&)>& whileRunning = {}) {
        const QString record = QString::fromStdString((dir / "record.txt").string());
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("P_UPDATE_TEST_ANSWERS"), answers);
        environment.insert(QStringLiteral("P_UPDATE_TEST_RECORD"), record);
        environment.insert(QStringLiteral("P_UPDATE_ODBC"),
                           QString::fromStdString(SqliteDatabase::folderTemplate(dir.path())));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QString::fromStdString(programInItsOwnFolder().string()),
                      QStringList{QString::fromUtf8(kFrontEndSwitch)} + arguments);
        if (whileRunning) {
            whileRunning(process);
        }
        // Every box is answered, so the program ends by itself; the limit only keeps a
        // broken build from hanging the test run.
        EXPECT_TRUE(process.waitForFinished(120'000));
        Outcome outcome;
        outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        QFile file(record);
        if (file.open(QIODevice::ReadOnly)) {
            for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
                QStringList fields = line.split(QLatin1Char('\t'));
                const QString kind = fields.takeFirst();
                if (kind == QLatin1String("box")) {
                    outcome.boxes << fields.join(QLatin1Char('|'));
                } else if (kind == QLatin1String("window")) {
                    outcome.windows << fields.join(QLatin1Char('|'));
                }
            }
        }
        return outcome;
    }

    // This test program, linked (or else copied) into the test's folder: the folder of
    // the running program is its update package, which a run locks and writes its log
    // into, so that children started by tests running side by side must not share one.
    fs::path programInItsOwnFolder() const {
        const fs::path self = QCoreApplication::applicationFilePath().toStdString();
        const fs::path child = dir.path() / self.filename();
        if (!fs::exists(child)) {
            std::error_code error;
            fs::create_hard_link(self, child, error);
            if (error) {
                fs::copy_file(self, child);
            }
        }
        return child;
    }

    static QString box(const char* title, QMessageBox::Icon icon, const char* text,
                       QMessageBox::StandardButtons buttons, const char* owner,
                       Qt::WindowModality modality) {
        return QStringList{QString::fromUtf8(title), QString::number(icon),
                           QString::fromUtf8(text),  QString::number(buttons.toInt()),
                           QString::fromUtf8(owner), QString::number(modality)}
            .join(QLatin1Char('|'));
    }

    TempDir dir;
};

TEST_F(FrontEndProcessTest, UnattendedRunNeverShowsTheWindowButItsBoxes) {
    SqliteDatabase database(dir / "zeltinfo.db");
    const Outcome outcome =
        start({QString::fromStdString((dir / "install").string()), QStringLiteral("zeltinfo")},
              QStringLiteral("No"));
    EXPECT_EQ(outcome.exitCode, 2); // declined
    EXPECT_TRUE(outcome.windows.isEmpty());
    EXPECT_EQ(
        outcome.boxes,
        QStringList{box("系统提示", QMessageBox::Information, "是否已经退出人力资源管理软件？",
                        QMessageBox::Yes | QMessageBox::No, "TFrm_Update", Qt::ApplicationModal)});
}

TEST_F(FrontEndProcessTest, UnattendedBlankDatabaseIsRejected) {
    const Outcome outcome =
        start({QString::fromStdString((dir / "install").string()), QStringLiteral("  ")},
              QStringLiteral("Ok"));
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_TRUE(outcome.windows.isEmpty());
    EXPECT_EQ(outcome.boxes,
              QStringList{box("系统提示", QMessageBox::Information, "数据库名不能为空",
                              QMessageBox::Ok, "TFrm_Update", Qt::ApplicationModal)});
}

TEST_F(FrontEndProcessTest, ErrorEscapingTheUnattendedRunShowsApplicationError) {
    SqliteDatabase database(dir / "zeltinfo.db", false); // no version table
    const Outcome outcome =
        start({QString::fromStdString((dir / "install").string()), QStringLiteral("zeltinfo")},
              QStringLiteral("Ok"));
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_TRUE(outcome.windows.isEmpty());
    ASSERT_EQ(outcome.boxes.size(), 1);
    const QStringList fields = outcome.boxes[0].split(QLatin1Char('|'));
    ASSERT_EQ(fields.size(), 6);
    EXPECT_EQ(fields[0], QStringLiteral("Application Error"));
    EXPECT_EQ(fields[1], QString::number(QMessageBox::Critical));
    EXPECT_TRUE(
        fields[2].startsWith(QStringLiteral("Exception pupdate::odbc::OdbcError in module ")))
        << fields[2].toStdString();
    EXPECT_TRUE(fields[2].contains(QStringLiteral("gs_ver"))) << fields[2].toStdString();
    EXPECT_EQ(fields[4], QString()); // no owner: the process-level report
    EXPECT_EQ(fields[5], QString::number(Qt::ApplicationModal));
}

TEST_F(FrontEndProcessTest, InteractiveModeShowsThePresetAndEndsWhenTheWindowCloses) {
    const Outcome outcome = start({QStringLiteral("/opt/from/argument")}, QStringLiteral("Cancel"));
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.boxes.isEmpty());
    EXPECT_EQ(outcome.windows,
              QStringList{QStringLiteral("(local)|zeltinfo|C:\\zeltinfo3.0|产品")});
}

TEST_F(FrontEndProcessTest, InteractiveWindowClosesWhenAskedToStop) {
    const fs::path record = dir / "record.txt";
    const Outcome outcome = start({}, QString(), [&record](QProcess& process) {
        // Not a measurement: only how long the window may take to appear at most.
        for (int wait = 0; wait < 1200 && !fs::exists(record); ++wait) {
            QThread::msleep(100);
        }
        process.terminate(); // SIGTERM
    });
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.windows.size(), 1);
}

} // namespace
} // namespace pupdate::testing
