// The upgrade window: its controls, presets, folder choice and input check.

#include "U_Main.h"
#include "application_setup.h"
#include "modal_answerer.h"
#include "select_directory.h"
#include "temp_dir.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

const QString kDefaultFolder = QStringLiteral("C:\\zeltinfo3.0");

CommandLine arguments(const char* installFolder, const char* database = nullptr) {
    CommandLine commandLine;
    if (installFolder != nullptr) {
        commandLine.installFolder = installFolder;
        commandLine.hasInstallFolder = true;
    }
    if (database != nullptr) {
        commandLine.database = database;
        commandLine.hasDatabase = true;
    }
    return commandLine;
}

QString textOf(const QWidget* widget) {
    if (auto* label = qobject_cast<const QLabel*>(widget)) {
        return label->text();
    }
    if (auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        return edit->text();
    }
    if (auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        return button->text();
    }
    if (auto* group = qobject_cast<const QGroupBox*>(widget)) {
        return group->title();
    }
    return QString();
}

// The directory in which the current test runs, restored afterwards.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::filesystem::path& folder)
        : m_previous(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~CurrentFolder() { std::filesystem::current_path(m_previous); }

private:
    std::filesystem::path m_previous;
};

class UpgradeWindowTest : public ::testing::Test {
protected:
    TempDir package;
    ModalAnswerer answerer;
};

TEST_F(UpgradeWindowTest, ControlsHaveTheirPlacesTextsAndContainers) {
    TFrm_Update window(CommandLine{}, package.path());
    struct Control {
        const char* name;
        const char* kind;
        const char* container;
        QRect geometry;
        QString text;
    };
    const Control controls[] = {
        {"GroupBox1", "QGroupBox", "TFrm_Update", {8, 1, 353, 89}, ""},
        {"Label4", "QLabel", "GroupBox1", {16, 21, 56, 13}, "升级项目"},
        {"E_type", "QComboBox", "GroupBox1", {77, 18, 85, 21}, ""},
        {"Label3", "QLabel", "GroupBox1", {177, 23, 65, 13}, "目标位置"},
        {"E_Position", "QLineEdit", "GroupBox1", {238, 18, 85, 21}, kDefaultFolder},
        {"Button1", "QPushButton", "GroupBox1", {326, 18, 17, 20}, "..."},
        {"Label1", "QLabel", "GroupBox1", {17, 55, 63, 13}, "服务器名"},
        {"E_Server", "QLineEdit", "GroupBox1", {78, 51, 85, 21}, "(local)"},
        {"Label2", "QLabel", "GroupBox1", {177, 54, 63, 13}, "数据库名"},
        {"E_db", "QLineEdit", "GroupBox1", {239, 51, 85, 21}, ""},
        {"GroupBox2", "QGroupBox", "TFrm_Update", {8, 93, 153, 48}, "数据库"},
        {"IsAccess", "QRadioButton", "GroupBox2", {6, 21, 65, 17}, " Access"},
        {"IsSqlserver", "QRadioButton", "GroupBox2", {79, 22, 69, 17}, "Sqlserver"},
        {"Bt_Ok", "QPushButton", "TFrm_Update", {186, 115, 65, 23}, "确定"},
        {"Bt_Cel", "QPushButton", "TFrm_Update", {290, 115, 65, 23}, "取消"},
        {"StatusBar1", "QStatusBar", "TFrm_Update", {0, 143, 372, 22}, ""},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.name);
        auto* widget = window.findChild<QWidget*>(QString::fromUtf8(control.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(widget->inherits(control.kind)) << widget->metaObject()->className();
        EXPECT_EQ(widget->parentWidget()->objectName().toStdString(), control.container);
        EXPECT_EQ(widget->geometry(), control.geometry);
        EXPECT_EQ(textOf(widget), control.text);
    }

    EXPECT_EQ(window.windowTitle(), QStringLiteral("升级程序"));
    EXPECT_EQ(window.size(), QSize(372, 165));
    EXPECT_EQ(window.minimumSize(), QSize(372, 165));
    EXPECT_EQ(window.maximumSize(), QSize(372, 165));
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(window.font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(window.font().pixelSize(), 11);

    EXPECT_FALSE(window.E_type->isEditable());
    ASSERT_EQ(window.E_type->count(), 3);
    EXPECT_EQ(window.E_type->itemText(0), QStringLiteral("产品"));
    EXPECT_EQ(window.E_type->itemText(1), QStringLiteral("工资"));
    EXPECT_EQ(window.E_type->itemText(2), QStringLiteral("公登"));
    EXPECT_FALSE(window.IsAccess->isEnabled());
    EXPECT_FALSE(window.IsAccess->isChecked());
    EXPECT_TRUE(window.IsSqlserver->isEnabled());
    EXPECT_TRUE(window.IsSqlserver->isChecked());
    EXPECT_EQ(window.E_Server->palette().color(QPalette::Base), QColor(Qt::white));
    for (QPushButton* button : {window.Bt_Ok, window.Bt_Cel, window.Button1}) {
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
    }

    // Two panels of 50 pixels side by side; the second one takes the status text.
    ASSERT_NE(window.statusPanel(0), nullptr);
    ASSERT_NE(window.statusPanel(1), nullptr);
    EXPECT_EQ(window.statusPanel(0)->parentWidget(), window.StatusBar1);
    EXPECT_EQ(window.statusPanel(0)->x(), 0);
    EXPECT_EQ(window.statusPanel(0)->width(), 50);
    EXPECT_EQ(window.statusPanel(1)->x(), 50);
    EXPECT_GE(window.statusPanel(1)->width(), 50);
    window.setStatus("更新成功！");
    EXPECT_EQ(window.statusPanel(1)->text(), QStringLiteral("更新成功！"));
    EXPECT_TRUE(window.statusPanel(0)->text().isEmpty());
}

TEST_F(UpgradeWindowTest, TabOrderRunsThroughTheInputsThenTheButtons) {
    TFrm_Update window(CommandLine{}, package.path());
    const QStringList expected = {"E_Server", "E_db",        "E_Position", "Button1", "E_type",
                                  "IsAccess", "IsSqlserver", "Bt_Ok",      "Bt_Cel"};
    QStringList order;
    QWidget* widget = window.E_Server;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && window.isAncestorOf(widget)) {
            order << widget->objectName();
        }
        widget = widget->nextInFocusChain();
    } while (widget != window.E_Server && order.size() <= expected.size());
    EXPECT_EQ(order, expected);
}

TEST_F(UpgradeWindowTest, CreationTakesTheCommandLineAndCentresTheWindow) {
    {
        TFrm_Update window(CommandLine{}, package.path());
        EXPECT_EQ(window.E_type->currentIndex(), 0);
        EXPECT_EQ(window.E_Server->text(), QStringLiteral("(local)"));
        EXPECT_EQ(window.E_db->text(), QString());
        EXPECT_EQ(window.E_Position->text(), kDefaultFolder);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint offset = window.geometry().center() - screen.center();
        EXPECT_LE(offset.manhattanLength(), 2);
    }
    {
        TFrm_Update window(arguments("/opt/zelt", "zelt_db"), package.path());
        EXPECT_EQ(window.E_db->text(), QStringLiteral("zelt_db"));
        EXPECT_EQ(window.E_Position->text(), QStringLiteral("/opt/zelt"));
    }
    {
        TFrm_Update window(arguments("/opt/zelt"), package.path());
        EXPECT_EQ(window.E_db->text(), QString());
        EXPECT_EQ(window.E_Position->text(), QStringLiteral("/opt/zelt"));
    }
}

TEST_F(UpgradeWindowTest, ShowingTheWindowAppliesThePresetOverTheCommandLine) {
    TFrm_Update window(arguments("/opt/zelt", "other_db"), package.path());
    window.show();
    EXPECT_EQ(window.E_db->text(), QStringLiteral("zeltinfo"));
    EXPECT_EQ(window.E_Position->text(), kDefaultFolder);
    EXPECT_EQ(window.E_Server->text(), QStringLiteral("(local)"));
    EXPECT_EQ(window.E_type->currentText(), QStringLiteral("产品"));
}

TEST_F(UpgradeWindowTest, ChoosingAnItemOverwritesBothFieldsWithItsPreset) {
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    window.E_db->clear();
    QTest::keyClicks(window.E_db, "typed_db");
    window.E_Position->setText(QStringLiteral("/somewhere/else"));

    QTest::keyClick(window.E_type, Qt::Key_Down);
    EXPECT_EQ(window.E_type->currentIndex(), 1);
    EXPECT_EQ(window.E_db->text(), QStringLiteral("zeltsalary"));
    EXPECT_EQ(window.E_Position->text(), QStringLiteral("C:\\Salary\\Advanced"));
    // Longer than the field: it shows the beginning, the drive, not the last folder.
    EXPECT_GT(window.E_Position->fontMetrics().horizontalAdvance(window.E_Position->text()),
              window.E_Position->width());
    EXPECT_EQ(window.E_Position->cursorPosition(), 0);
    window.E_Position->grab(); // lays the text out as it is painted
    EXPECT_LT(window.E_Position->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(), 8);

    QTest::keyClick(window.E_type, Qt::Key_Down);
    EXPECT_EQ(window.E_db->text(), QStringLiteral("zeltservant"));
    EXPECT_EQ(window.E_Position->text(), QStringLiteral("C:\\Servant\\Advanced"));

    window.E_db->setText(QStringLiteral("typed again"));
    QTest::keyClick(window.E_type, Qt::Key_Home);
    EXPECT_EQ(window.E_type->currentIndex(), 0);
    EXPECT_EQ(window.E_db->text(), QStringLiteral("zeltinfo"));
    EXPECT_EQ(window.E_Position->text(), kDefaultFolder);

    // Setting the index in code is not a choice of the operator.
    window.E_type->setCurrentIndex(2);
    EXPECT_EQ(window.E_db->text(), QStringLiteral("zeltinfo"));
}

TEST_F(UpgradeWindowTest, ClickingTheSelectedSqlserverOptionChangesNothing) {
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    QTest::keyClick(window.E_type, Qt::Key_Down);
    QTest::mouseClick(window.IsSqlserver, Qt::LeftButton);
    QTest::mouseClick(window.IsAccess, Qt::LeftButton);
    EXPECT_TRUE(window.IsSqlserver->isChecked());
    EXPECT_FALSE(window.IsAccess->isChecked());
    EXPECT_EQ(window.E_type->currentIndex(), 1);
    EXPECT_EQ(window.E_db->text(), QStringLiteral("zeltsalary"));
    EXPECT_EQ(window.E_Position->text(), QStringLiteral("C:\\Salary\\Advanced"));
    EXPECT_TRUE(answerer.boxes.empty());
}

TEST_F(UpgradeWindowTest, FolderButtonTakesArgumentOneWithoutADialog) {
    TFrm_Update window(arguments("/opt/zelt dir"), package.path());
    window.show();
    EXPECT_EQ(window.E_Position->text(), kDefaultFolder);
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    EXPECT_EQ(window.E_Position->text(), QStringLiteral("/opt/zelt dir"));
    EXPECT_EQ(window.E_Position->cursorPosition(), 0);
    EXPECT_EQ(answerer.dialogsShown, 0);
}

TEST_F(UpgradeWindowTest, CancelledFolderDialogLeavesTheFieldAlone) {
    CurrentFolder here(package.path());
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    window.E_Position->setText(QStringLiteral("/kept/as/typed"));
    QString startShown;
    QString caption;
    int helpContext = 0;
    answerer.onDialog([&](QDialog& dialog) {
        auto& chooser = dynamic_cast<SelectDirectoryDialog&>(dialog);
        caption = chooser.windowTitle();
        startShown = chooser.directory();
        helpContext = chooser.helpContext();
        chooser.directoryEdit()->setText(QString::fromStdString((package / "never").string()));
        chooser.buttons()->button(QDialogButtonBox::Cancel)->click();
    });
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    EXPECT_EQ(answerer.dialogsShown, 1);
    EXPECT_EQ(caption, QStringLiteral("Select Directory"));
    EXPECT_EQ(helpContext, 1000);
    // "C:\zeltinfo3.0" is no folder here, so the dialog starts at the current folder.
    EXPECT_EQ(QDir(startShown), QDir(QDir::currentPath()));
    EXPECT_EQ(window.E_Position->text(), QStringLiteral("/kept/as/typed"));
    EXPECT_FALSE(std::filesystem::exists(package / "never"));
    EXPECT_EQ(answerer.unexpected, 0);
}

TEST_F(UpgradeWindowTest, FolderDialogStartsAtTheProductFolderWhenItExists) {
    // A folder literally named like the Windows path, in the current folder.
    std::filesystem::create_directory(package / "C:\\zeltinfo3.0");
    CurrentFolder here(package.path());
    SelectDirectoryDialog dialog(nullptr, kDefaultFolder);
    EXPECT_EQ(QDir(dialog.directory()),
              QDir(QString::fromStdString((package / "C:\\zeltinfo3.0").string())));
}

TEST_F(UpgradeWindowTest, NewFolderIsCreatedOnlyAfterYesWithEveryMissingLevel) {
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    const auto target = package / "install" / "level two" / "level three";
    const QString typed = QString::fromStdString(target.string());
    bool stayedOpenAfterNo = false;
    bool createdBeforeYes = true;
    answerer.answer(QMessageBox::No);
    answerer.answer(QMessageBox::Yes);
    answerer.onDialog([&](QDialog& dialog) {
        auto& chooser = dynamic_cast<SelectDirectoryDialog&>(dialog);
        chooser.directoryEdit()->setText(typed);
        QAbstractButton* ok = chooser.buttons()->button(QDialogButtonBox::Ok);
        ok->click(); // answered No: back in the dialog
        stayedOpenAfterNo = chooser.isVisible() && chooser.result() != QDialog::Accepted;
        createdBeforeYes = std::filesystem::exists(package / "install");
        ok->click(); // answered Yes
    });
    QTest::mouseClick(window.Button1, Qt::LeftButton);

    ASSERT_EQ(answerer.boxes.size(), 2u);
    for (const SeenBox& box : answerer.boxes) {
        EXPECT_EQ(box.text, QStringLiteral("The specified directory does not exist. Create it?"));
        EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
    }
    EXPECT_TRUE(stayedOpenAfterNo);
    EXPECT_FALSE(createdBeforeYes);
    EXPECT_TRUE(std::filesystem::is_directory(target));
    EXPECT_EQ(window.E_Position->text(), typed);
    EXPECT_EQ(answerer.unexpected, 0);
}

TEST_F(UpgradeWindowTest, ExistingFolderIsTakenWithoutAQuestion) {
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    std::filesystem::create_directories(package / "present");
    const QString chosen = QString::fromStdString((package / "present").string());
    answerer.onDialog([&](QDialog& dialog) {
        auto& chooser = dynamic_cast<SelectDirectoryDialog&>(dialog);
        chooser.setDirectory(chosen);
        chooser.buttons()->button(QDialogButtonBox::Ok)->click();
    });
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_EQ(QDir(window.E_Position->text()), QDir(chosen));
    EXPECT_EQ(window.E_Position->cursorPosition(), 0);
}

// The folder dialog opens its tree at the folder it starts from: every level down to it
// expanded, the folder itself expanded, selected and in view, once the tree has read the
// folders on the way in the background. Started at a folder that does not exist, it
// opens at the current folder.
class FolderTreeTest : public UpgradeWindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FolderTreeTest, DialogOpensItsTreeAtTheFolderItStartsFrom) {
    const bool startFolderExists = GetParam();
    const auto folder = package / "level one" / "level two";
    std::filesystem::create_directories(folder / "inside");
    CurrentFolder here(folder);
    const QString path = QString::fromStdString(folder.string());
    SelectDirectoryDialog dialog(nullptr, startFolderExists ? path : kDefaultFolder);
    QTreeView* tree = dialog.folderTree();
    auto* model = qobject_cast<QFileSystemModel*>(tree->model());
    ASSERT_NE(model, nullptr);
    QStringList loaded;
    QObject::connect(model, &QFileSystemModel::directoryLoaded,
                     [&](const QString& level) { loaded << QDir::cleanPath(level); });
    dialog.show();

    // Every level from the root down to the folder read (and sorted) by the model.
    QStringList levels;
    for (QDir level(path);; level.cdUp()) {
        levels << QDir::cleanPath(level.absolutePath());
        if (level.isRoot()) {
            break;
        }
    }
    const bool allLoaded = QTest::qWaitFor(
        [&] {
            return std::all_of(levels.begin(), levels.end(),
                               [&](const QString& level) { return loaded.contains(level); });
        },
        20'000);
    ASSERT_TRUE(allLoaded) << loaded.join(QLatin1Char(' ')).toStdString();
    for (int round = 0; round < 10; ++round) {
        QCoreApplication::processEvents();
    }

    const QModelIndex target = model->index(path);
    ASSERT_TRUE(target.isValid());
    EXPECT_EQ(tree->currentIndex(), target);
    EXPECT_TRUE(tree->isExpanded(target));
    for (QModelIndex level = target.parent(); level.isValid(); level = level.parent()) {
        EXPECT_TRUE(tree->isExpanded(level)) << model->filePath(level).toStdString();
    }
    EXPECT_TRUE(tree->viewport()->rect().contains(tree->visualRect(target)))
        << tree->visualRect(target).y() << " of " << tree->viewport()->height();
    EXPECT_EQ(QDir(dialog.directory()), QDir(path));
}

INSTANTIATE_TEST_SUITE_P(Start, FolderTreeTest, ::testing::Values(true, false),
                         [](const auto& info) {
                             return std::string(info.param ? "GivenFolder" : "CurrentFolder");
                         });

TEST_F(UpgradeWindowTest, BareRelativeNameConfirmedForCreationGoesToTheErrorReport) {
    CurrentFolder here(package.path());
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    window.E_Position->setText(QStringLiteral("/kept"));
    answerer.answer(QMessageBox::Yes); // create it?
    answerer.answer(QMessageBox::Ok);  // the error report
    answerer.onDialog([](QDialog& dialog) {
        auto& chooser = dynamic_cast<SelectDirectoryDialog&>(dialog);
        chooser.directoryEdit()->setText(QStringLiteral("bare_name"));
        chooser.buttons()->button(QDialogButtonBox::Ok)->click();
    });
    QTest::mouseClick(window.Button1, Qt::LeftButton);

    ASSERT_EQ(answerer.boxes.size(), 2u);
    const SeenBox& report = answerer.boxes[1];
    EXPECT_EQ(report.icon, QMessageBox::Critical);
    EXPECT_EQ(report.title, QCoreApplication::applicationName());
    EXPECT_EQ(report.text, QStringLiteral("Unable to create directory."));
    EXPECT_EQ(report.ownerName, QStringLiteral("TFrm_Update"));
    EXPECT_EQ(window.E_Position->text(), QStringLiteral("/kept"));
    EXPECT_FALSE(std::filesystem::exists(package / "bare_name"));
    EXPECT_TRUE(window.isVisible());
}

class CheckInputTest : public UpgradeWindowTest {
protected:
    // The message boxes that one input check showed.
    std::vector<SeenBox> check(const QString& server, const QString& database, bool& result) {
        TFrm_Update window(CommandLine{}, package.path());
        window.E_Server->setText(server);
        window.E_db->setText(database);
        answerer.boxes.clear();
        answerer.answer(QMessageBox::Ok);
        result = window.CheckInput();
        return answerer.boxes;
    }
};

TEST_F(CheckInputTest, BlankServerIsReportedFirst) {
    bool result = true;
    auto boxes = check(QStringLiteral(" \t "), QStringLiteral("zeltinfo"), result);
    EXPECT_FALSE(result);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("服务器名不能为空"));
    EXPECT_EQ(boxes[0].title, QStringLiteral("系统提示"));
    EXPECT_EQ(boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(boxes[0].ownerName, QStringLiteral("TFrm_Update"));

    boxes = check(QStringLiteral("(local)"), QStringLiteral("   "), result);
    EXPECT_FALSE(result);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("数据库名不能为空"));
    EXPECT_EQ(boxes[0].icon, QMessageBox::Information);

    // Both blank: only the first failing check is shown.
    boxes = check(QString(), QString(), result);
    EXPECT_FALSE(result);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("服务器名不能为空"));

    boxes = check(QStringLiteral(" srv "), QStringLiteral(" db "), result);
    EXPECT_TRUE(result);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(CheckInputTest, OkWithBlankServerStopsBeforeConnecting) {
    TFrm_Update window(CommandLine{}, package.path());
    window.show();
    window.E_Server->setText(QStringLiteral("  "));
    answerer.answer(QMessageBox::Ok);
    QTest::mouseClick(window.Bt_Ok, Qt::LeftButton);
    EXPECT_EQ(answerer.boxTexts(), std::vector<QString>{QStringLiteral("服务器名不能为空")});
    EXPECT_TRUE(window.run().ConnStr().empty());
    EXPECT_TRUE(window.isVisible());
}

TEST_F(UpgradeWindowTest, CancelClosesTheWindow) {
    TFrm_Update window(CommandLine{}, package.path());
    int closes = 0;
    QObject::connect(&window, &TFrm_Update::windowClosed, [&] { ++closes; });
    window.show();
    QTest::mouseClick(window.Bt_Cel, Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closes, 1);
}

} // namespace
} // namespace pupdate::testing
