#pragma once
// Answers the message boxes and dialogs that the windows open, so that tests drive the
// real modal windows without hanging, and records every window that was shown.
// It watches the Show events of the whole application; each box is answered from
// inside its own modal loop, by clicking one of its buttons.

#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <vector>

namespace pupdate::testing {

struct SeenBox {
    QString title;
    QString text;
    QString informativeText;
    QString detailedText;
    QString detailsButton; // the text of the button that opens the details, if any
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QString ownerName; // object name of the owning window, empty without an owner
    Qt::WindowModality modality = Qt::NonModal;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
};

// A progress window as it was when it was hidden (closed or released).
struct SeenProgress {
    QString text;
    int maximum = 0;
    int position = 0;
    bool barVisible = true;
};

class ModalAnswerer : public QObject {
    Q_OBJECT
public:
    ModalAnswerer();
    ~ModalAnswerer() override;

    // Answers for the next message boxes, in order. A box for which no answer is left is
    // closed with its escape button (or its only button) and counted as unexpected.
    void answer(QMessageBox::StandardButton button) { m_answers.push_back(button); }
    // Actions for the next dialogs that are not message boxes; without one a dialog is
    // cancelled.
    void onDialog(std::function<void(QDialog&)> action) {
        m_dialogActions.push_back(std::move(action));
    }

    std::vector<SeenBox> boxes;
    std::vector<SeenProgress> progressWindows; // in the order they were hidden
    int progressWindowsShown = 0;
    // The text of a progress window each time it was painted, in order; the action, if
    // any, runs at each such paint.
    std::vector<QString> paintedProgressTexts;
    std::function<void(const QString&)> onProgressTextPainted;
    int dialogsShown = 0;
    int unexpected = 0;

    // Texts of the boxes seen, in order.
    std::vector<QString> boxTexts() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void handleBox(QMessageBox& box);
    void handleDialog(QDialog& dialog);
    void recordProgress(QWidget& window);

    std::deque<QMessageBox::StandardButton> m_answers;
    std::deque<std::function<void(QDialog&)>> m_dialogActions;
};

} // namespace pupdate::testing
