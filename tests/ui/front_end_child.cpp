#include "front_end_child.h"

#include "U_Main.h"
#include "modal_answerer.h"

#include <QApplication>
#include <QFile>
#include <QMetaObject>
#include <QPushButton>
#include <QTextStream>

namespace pupdate::testing {

namespace {

bool g_enabled = false;

QString oneLine(QString text) {
    return text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// Records the windows of the front end into the record file when the application ends.
class FrontEndRecorder : public ModalAnswerer {
public:
    explicit FrontEndRecorder(bool cancelWindow) : m_cancelWindow(cancelWindow) {}
    ~FrontEndRecorder() override { write(); }

    void noteWindow(const TFrm_Update& window) {
        m_lines << QStringList{QStringLiteral("window"), window.E_Server->text(),
                               window.E_db->text(), window.E_Position->text(),
                               window.E_type->currentText()}
                       .join(QLatin1Char('\t'));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* window = qobject_cast<TFrm_Update*>(watched)) {
                // Noted once the window's own show handler has run.
                QMetaObject::invokeMethod(
                    window,
                    [this, window] {
                        noteWindow(*window);
                        // Written at once too: a test may wait for the window to be up.
                        write();
                        if (m_cancelWindow) {
                            window->Bt_Cel->click();
                        }
                    },
                    Qt::QueuedConnection);
            }
        }
        return ModalAnswerer::eventFilter(watched, event);
    }

private:
    void write() {
        for (const SeenBox& box : boxes) {
            m_lines << QStringList{QStringLiteral("box"),
                                   box.title,
                                   QString::number(box.icon),
                                   oneLine(box.text),
                                   QString::number(box.buttons.toInt()),
                                   box.ownerName,
                                   QString::number(box.modality)}
                           .join(QLatin1Char('\t'));
        }
        QFile file(qEnvironmentVariable("P_UPDATE_TEST_RECORD"));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QTextStream out(&file);
            for (const QString& line : m_lines) {
                out << line << '\n';
            }
        }
    }

    bool m_cancelWindow;
    QStringList m_lines;
};

QMessageBox::StandardButton buttonNamed(const QString& name) {
    if (name == QLatin1String("Yes")) {
        return QMessageBox::Yes;
    }
    if (name == QLatin1String("No")) {
        return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

void startRecording() {
    if (!g_enabled) {
        return;
    }
    bool cancelWindow = false;
    std::vector<QMessageBox::StandardButton> answers;
    for (const QString& name : qEnvironmentVariable("P_UPDATE_TEST_ANSWERS")
                                   .split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (name == QLatin1String("Cancel")) {
            cancelWindow = true;
        } else {
            answers.push_back(buttonNamed(name));
        }
    }
    auto* recorder = new FrontEndRecorder(cancelWindow);
    for (auto answer : answers) {
        recorder->answer(answer);
    }
    recorder->setParent(QCoreApplication::instance());
}

} // namespace

void enableFrontEndChild() {
    g_enabled = true;
}

} // namespace pupdate::testing

namespace {
void startFrontEndRecording() {
    pupdate::testing::startRecording();
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(startFrontEndRecording)
