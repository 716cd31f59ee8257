#pragma once
// What the window front end sets up around its windows: the application's title, Qt's
// own Chinese texts, fonts for the window's font names, and the error reports.

#include <QApplication>
#include <QString>
#include <exception>

class QWidget;

namespace pupdate {

// The application's title: the program file's name up to its first full stop, every
// letter after the first in lower case ("/opt/P_Update" gives "P_update").
QString applicationTitle(const QString& programPath);

// The text of the general error report: the message with a full stop appended when its
// last character sorts after the full stop.
QString errorReportText(const QString& message);

// The general error report: a message box with the stop icon, captioned with the
// application's title, owned by `owner`. The program goes on afterwards.
void showErrorReport(QWidget* owner, const QString& message);

// Shows the general error report for the exception being handled. Call only inside a
// catch block.
void reportCurrentException(QWidget* owner);

// Runs an event handler; an error escaping it goes to the general error report.
template <typename Handler> void runReportingErrors(QWidget* owner, Handler&& handler) {
    try {
        handler();
    } catch (...) {
        reportCurrentException(owner);
    }
}

// The text of the process-level report for an error that escaped the unattended run.
QString applicationErrorText(const QString& kind, const QString& message,
                             const QString& programPath);
// That report: the task-modal "Application Error" box with the stop icon.
void showApplicationError(const QString& kind, const QString& message, const QString& programPath);
// Kind and message of the exception being handled. Call only inside a catch block.
void describeCurrentException(QString& kind, QString& message);

// Title, Qt's zh_CN translations (buttons read 是/否/确定) and the font substitutions for
// "宋体" and "MS Sans Serif". Needs the application object.
void setUpApplication(QApplication& application, const QString& programPath);

// The application object of the window front end: an error that escapes the handling of
// any event ends in the general error report instead of ending the program.
class FrontEndApplication : public QApplication {
    Q_OBJECT
public:
    FrontEndApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace pupdate
