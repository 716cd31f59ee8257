// The application's title, Chinese texts and fonts, and the error reports.

#include "application_setup.h"
#include "modal_answerer.h"

#include <QApplication>
#include <QFontInfo>
#include <QMessageBox>
#include <QPushButton>
#include <gtest/gtest.h>
#include <stdexcept>

namespace pupdate::testing {
namespace {

TEST(ApplicationTitleTest, FileNameUpToTheFirstFullStopWithLaterLettersInLowerCase) {
    EXPECT_EQ(applicationTitle(QStringLiteral("/opt/zelt/P_Update")), QStringLiteral("P_update"));
    EXPECT_EQ(applicationTitle(QStringLiteral("P_UPDATE.EXE")), QStringLiteral("P_update"));
    EXPECT_EQ(applicationTitle(QStringLiteral("/x.y/Upgrade.Tool.exe")), QStringLiteral("Upgrade"));
    EXPECT_EQ(applicationTitle(QStringLiteral("p_Update")), QStringLiteral("p_update"));
    EXPECT_EQ(applicationTitle(QStringLiteral("/bin/.hidden")), QString());
}

TEST(ErrorReportTextTest, FullStopFollowsALastCharacterThatSortsAfterIt) {
    struct Case {
        const char* message;
        const char* shown;
    };
    const Case cases[] = {
        {"Table gs_ver not found", "Table gs_ver not found."},
        {"already ends.", "already ends."},
        {"sorts before!", "sorts before!"},
        {"a dash -", "a dash -"},
        {"a comma,", "a comma,"},
        {"a slash /", "a slash /."},
        {"digit 0", "digit 0."},
        {"升级处理失败！", "升级处理失败！."},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorReportText(QString::fromUtf8(c.message)), QString::fromUtf8(c.shown))
            << c.message;
    }
}

TEST(ApplicationSetupTest, TitleTranslationsAndFontsAreInPlace) {
    const QStringList arguments = QCoreApplication::arguments();
    ASSERT_FALSE(arguments.isEmpty());
    EXPECT_EQ(QCoreApplication::applicationName(), applicationTitle(arguments.first()));

    QMessageBox box(QMessageBox::Information, QStringLiteral("系统提示"), QStringLiteral("x"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok);
    EXPECT_TRUE(box.button(QMessageBox::Yes)->text().contains(QStringLiteral("是")));
    EXPECT_TRUE(box.button(QMessageBox::No)->text().contains(QStringLiteral("否")));
    EXPECT_TRUE(box.button(QMessageBox::Ok)->text().contains(QStringLiteral("确定")));

    // The window's font names reach an installed font that has Chinese letters.
    for (const QString& name : {QStringLiteral("宋体"), QStringLiteral("MS Sans Serif")}) {
        QFont font(name);
        font.setPixelSize(12);
        const QFontInfo info(font);
        EXPECT_TRUE(QFontMetrics(font).inFont(QChar(0x5347))) << name.toStdString(); // 升
        EXPECT_FALSE(QFont::substitutes(name).isEmpty()) << name.toStdString();
        EXPECT_TRUE(QFont::substitutes(name).contains(info.family(), Qt::CaseInsensitive))
            << info.family().toStdString();
    }
}

// An object whose event handling fails.
class FailingReceiver : public QObject {
protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) {
            throw std::runtime_error("no such table: gs_ver");
        }
        return QObject::event(event);
    }
};

TEST(GeneralErrorReportTest, ErrorEscapingAnEventHandlerIsReportedAndTheProgramGoesOn) {
    ModalAnswerer answerer;
    answerer.answer(QMessageBox::Ok);
    FailingReceiver receiver;
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&receiver, &event);

    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answerer.boxes[0].title, QCoreApplication::applicationName());
    EXPECT_EQ(answerer.boxes[0].text, QStringLiteral("no such table: gs_ver."));
    EXPECT_EQ(answerer.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    // Still running: the next event is delivered normally.
    QEvent harmless(QEvent::Type(QEvent::User + 1));
    EXPECT_NO_THROW(QCoreApplication::sendEvent(&receiver, &harmless));
    EXPECT_EQ(answerer.boxes.size(), 1u);
}

TEST(ApplicationErrorTest, TaskModalBoxNamesTheKindAndTheMessage) {
    EXPECT_EQ(applicationErrorText(QStringLiteral("pupdate::odbc::OdbcError"),
                                   QStringLiteral("no such table: gs_ver"),
                                   QStringLiteral("/opt/P_Update")),
              QStringLiteral("Exception pupdate::odbc::OdbcError in module P_Update.\n"
                             "no such table: gs_ver."));

    ModalAnswerer answerer;
    answerer.answer(QMessageBox::Ok);
    try {
        throw std::out_of_range("index 7");
    } catch (...) {
        QString kind;
        QString message;
        describeCurrentException(kind, message);
        EXPECT_EQ(kind, QStringLiteral("std::out_of_range"));
        EXPECT_EQ(message, QStringLiteral("index 7"));
        showApplicationError(kind, message, QStringLiteral("/opt/P_Update"));
    }
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].title, QStringLiteral("Application Error"));
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answerer.boxes[0].modality, Qt::ApplicationModal);
    EXPECT_TRUE(answerer.boxes[0].ownerName.isEmpty());
    EXPECT_TRUE(answerer.boxes[0].text.contains(QStringLiteral("std::out_of_range")));
}

} // namespace
} // namespace pupdate::testing
