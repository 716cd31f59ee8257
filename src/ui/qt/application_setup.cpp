#include "application_setup.h"

#include "upgrade_run.h"

#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <cxxabi.h>
#include <typeinfo>

namespace pupdate {

namespace {

// Installed fonts that hold both Latin and Chinese letters, best first.
const QStringList kChineseFonts = {
    QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
    QStringLiteral("Noto Sans SC"),        QStringLiteral("Droid Sans Fallback"),
    QStringLiteral("AR PL UMing CN"),
};

QString demangled(const char* name) {
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    QString result = QString::fromUtf8(status == 0 && readable != nullptr ? readable : name);
    std::free(readable);
    return result;
}

void substituteFonts() {
    const QStringList installed = QFontDatabase::families();
    QStringList available;
    for (const QString& family : kChineseFonts) {
        if (installed.contains(family, Qt::CaseInsensitive)) {
            available.append(family);
        }
    }
    if (available.isEmpty()) {
        return;
    }
    for (const char* name : {"宋体", "SimSun", "MS Sans Serif"}) {
        QFont::insertSubstitutions(QString::fromUtf8(name), available);
    }
}

void installChineseTranslations(QApplication& application) {
    auto* translator = new QTranslator(&application);
    if (translator->load(QStringLiteral("qtbase_zh_CN"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(translator);
    } else {
        delete translator;
    }
}

} // namespace

QString applicationTitle(const QString& programPath) {
    QString name = QFileInfo(programPath).fileName();
    const qsizetype stop = name.indexOf(QLatin1Char('.'));
    if (stop >= 0) {
        name.truncate(stop);
    }
    if (name.isEmpty()) {
        return name;
    }
    return name.left(1) + name.mid(1).toLower();
}

QString errorReportText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) {
        return message + QLatin1Char('.');
    }
    return message;
}

void showErrorReport(QWidget* owner, const QString& message) {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    errorReportText(message), QMessageBox::Ok, owner);
    box.exec();
}

void describeCurrentException(QString& kind, QString& message) {
    try {
        throw;
    } catch (const std::exception& error) {
        kind = QString::fromStdString(errorKindName(error));
        message = QString::fromUtf8(error.what());
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        kind = type != nullptr ? demangled(type->name()) : QStringLiteral("unknown");
        message = QStringLiteral("Unknown error of kind %1").arg(kind);
    }
}

void reportCurrentException(QWidget* owner) {
    QString kind;
    QString message;
    describeCurrentException(kind, message);
    showErrorReport(owner, message);
}

QString applicationErrorText(const QString& kind, const QString& message,
                             const QString& programPath) {
    return QStringLiteral("Exception %1 in module %2.\n%3")
        .arg(kind, QFileInfo(programPath).fileName(), errorReportText(message));
}

void showApplicationError(const QString& kind, const QString& message, const QString& programPath) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Application Error"),
                    applicationErrorText(kind, message, programPath), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void setUpApplication(QApplication& application, const QString& programPath) {
    QCoreApplication::setApplicationName(applicationTitle(programPath));
    installChineseTranslations(application);
    substituteFonts();
}

FrontEndApplication::FrontEndApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool FrontEndApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        reportCurrentException(activeWindow());
    }
    return false;
}

} // namespace pupdate
