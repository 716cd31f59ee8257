#pragma once
// The folder-selection dialog ("Select Directory") of the upgrade window's "..." button:
// the operator picks a folder from the tree or types a name; a folder that does not
// exist is accepted only after the operator agreed to create it.

#include <QDialog>
#include <QString>

class QDialogButtonBox;
class QFileSystemModel;
class QLineEdit;
class QTreeView;

namespace pupdate {

inline constexpr const char* kSelectDirectoryCaption = "Select Directory";
inline constexpr const char* kConfirmCreateFolder =
    "The specified directory does not exist. Create it?";

class SelectDirectoryDialog : public QDialog {
    Q_OBJECT
public:
    // Starts at `startFolder`, or at the process's current folder when that is not a
    // folder that can be shown.
    SelectDirectoryDialog(QWidget* owner, const QString& startFolder);

    // The folder name as the operator left it in the name field.
    QString directory() const;
    // Puts the folder into the name field and opens the tree at it: its branch expanded,
    // the folder selected and scrolled into view. The tree's folders are read in the
    // background, so this is done again as they arrive, until the operator takes the
    // tree over (a click, a key or the wheel in it, or another folder picked).
    void setDirectory(const QString& folder);

    QLineEdit* directoryEdit() const { return m_edit; }
    QTreeView* folderTree() const { return m_tree; }
    QDialogButtonBox* buttons() const { return m_buttons; }
    // The help context of the Help button; no help file is set, so it shows nothing.
    int helpContext() const { return 1000; }

public slots:
    // OK: a folder that does not exist is accepted only after Yes to the question.
    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void folderChosen();
    void revealDirectory();

    QLineEdit* m_edit = nullptr;
    QTreeView* m_tree = nullptr;
    QFileSystemModel* m_model = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    QString m_revealed;       // the folder the tree is held open at; empty when released
    bool m_revealing = false; // the selection is being changed by revealDirectory
};

// Runs the dialog; true when it closed with OK, with the chosen name in `chosen`.
bool selectDirectory(QWidget* owner, const QString& startFolder, QString& chosen);

// Creates every missing level of an accepted folder. A folder that cannot be created is
// not reported; an empty or relative name that does not exist raises std::runtime_error.
void createFolderLevels(const QString& folder);

} // namespace pupdate
