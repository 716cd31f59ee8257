#include "modal_answerer.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

namespace pupdate::testing {

ModalAnswerer::ModalAnswerer() {
    qApp->installEventFilter(this);
}

ModalAnswerer::~ModalAnswerer() {
    // Also destroyed as a child of the application object, which is gone by then.
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeEventFilter(this);
    }
}

std::vector<QString> ModalAnswerer::boxTexts() const {
    std::vector<QString> texts;
    for (const SeenBox& box : boxes) {
        texts.push_back(box.text);
    }
    return texts;
}

bool ModalAnswerer::eventFilter(QObject* watched, QEvent* event) {
    if (!watched->isWidgetType()) {
        return false;
    }
    auto* widget = static_cast<QWidget*>(watched);
    if (event->type() == QEvent::Paint && widget->objectName() == QLatin1String("Label1") &&
        widget->window()->objectName() == QLatin1String("TprogressBarF")) {
        const QString text = static_cast<QLabel*>(widget)->text();
        paintedProgressTexts.push_back(text);
        if (onProgressTextPainted) {
            onProgressTextPainted(text);
        }
        return false;
    }
    // Spontaneous show and hide events come from minimising and restoring.
    if (!widget->isWindow() || event->spontaneous()) {
        return false;
    }
    // Progress windows are recognised by name: when one is released its Hide event
    // arrives while the window is already being destroyed down to a plain QWidget.
    const bool progress = widget->objectName() == QLatin1String("TprogressBarF");
    if (event->type() == QEvent::Show) {
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            handleBox(*box);
        } else if (auto* dialog = qobject_cast<QDialog*>(widget)) {
            handleDialog(*dialog);
        } else if (progress) {
            ++progressWindowsShown;
        }
    } else if (event->type() == QEvent::Hide && progress) {
        recordProgress(*widget);
    }
    return false;
}

void ModalAnswerer::handleBox(QMessageBox& box) {
    SeenBox seen;
    seen.title = box.windowTitle();
    seen.text = box.text();
    seen.icon = box.icon();
    seen.informativeText = box.informativeText();
    seen.detailedText = box.detailedText();
    for (QAbstractButton* button : box.buttons()) {
        if (box.buttonRole(button) == QMessageBox::ActionRole) {
            seen.detailsButton = button->text();
        }
    }
    seen.buttons = box.standardButtons();
    seen.ownerName =
        box.parentWidget() != nullptr ? box.parentWidget()->window()->objectName() : QString();
    seen.modality = box.windowModality();

    QAbstractButton* button = nullptr;
    if (!m_answers.empty()) {
        seen.answer = m_answers.front();
        m_answers.pop_front();
        button = box.button(seen.answer);
    }
    if (button == nullptr) {
        ++unexpected;
        button = box.escapeButton() != nullptr ? box.escapeButton() : box.buttons().value(0);
        seen.answer = box.standardButton(button);
    }
    boxes.push_back(seen);
    // Clicked from the box's own modal loop, once it runs.
    QPointer<QAbstractButton> target(button);
    QMetaObject::invokeMethod(
        &box,
        [target] {
            if (target) {
                target->click();
            }
        },
        Qt::QueuedConnection);
}

void ModalAnswerer::handleDialog(QDialog& dialog) {
    ++dialogsShown;
    std::function<void(QDialog&)> action;
    if (!m_dialogActions.empty()) {
        action = std::move(m_dialogActions.front());
        m_dialogActions.pop_front();
    } else {
        ++unexpected;
        action = [](QDialog& shown) { shown.reject(); };
    }
    QPointer<QDialog> target(&dialog);
    QMetaObject::invokeMethod(
        &dialog,
        [target, action] {
            if (target) {
                action(*target);
            }
        },
        Qt::QueuedConnection);
}

void ModalAnswerer::recordProgress(QWidget& window) {
    SeenProgress seen;
    if (auto* label = window.findChild<QLabel*>(QStringLiteral("Label1"))) {
        seen.text = label->text();
    }
    if (auto* bar = window.findChild<QProgressBar*>(QStringLiteral("probar"))) {
        seen.maximum = bar->maximum();
        seen.position = bar->value();
        seen.barVisible = !bar->isHidden();
    }
    progressWindows.push_back(seen);
}

} // namespace pupdate::testing
