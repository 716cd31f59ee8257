#include "select_directory.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace pupdate {

SelectDirectoryDialog::SelectDirectoryDialog(QWidget* owner, const QString& startFolder)
    : QDialog(owner) {
    setWindowTitle(QString::fromUtf8(kSelectDirectoryCaption));
    setObjectName(QStringLiteral("SelectDirectory"));

    auto* nameLabel = new QLabel(QStringLiteral("Directory &Name:"), this);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("DirectoryEdit"));
    nameLabel->setBuddy(m_edit);

    auto* treeLabel = new QLabel(QStringLiteral("&Directories:"), this);
    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_model->setRootPath(QDir::rootPath());
    m_tree = new QTreeView(this);
    m_tree->setObjectName(QStringLiteral("DirectoryTree"));
    m_tree->setModel(m_model);
    m_tree->setHeaderHidden(true);
    for (int column = 1; column < m_model->columnCount(); ++column) {
        m_tree->hideColumn(column);
    }
    treeLabel->setBuddy(m_tree);

    m_buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &SelectDirectoryDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &SelectDirectoryDialog::reject);
    // helpContext() names the topic; without a help file the button shows nothing.

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(nameLabel);
    layout->addWidget(m_edit);
    layout->addWidget(treeLabel);
    layout->addWidget(m_tree, 1);
    layout->addWidget(m_buttons);
    resize(360, 340);

    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &SelectDirectoryDialog::folderChosen);

    const QFileInfo start(startFolder);
    setDirectory(start.isDir() ? start.absoluteFilePath() : QDir::currentPath());
}

QString SelectDirectoryDialog::directory() const {
    return m_edit->text();
}

void SelectDirectoryDialog::setDirectory(const QString& folder) {
    m_edit->setText(folder);
    const QModelIndex index = m_model->index(folder);
    if (index.isValid()) {
        m_tree->setCurrentIndex(index);
        m_tree->expand(index);
        m_tree->scrollTo(index);
    }
}

void SelectDirectoryDialog::folderChosen() {
    const QModelIndex index = m_tree->currentIndex();
    if (index.isValid()) {
        m_edit->setText(QDir::toNativeSeparators(m_model->filePath(index)));
    }
}

void SelectDirectoryDialog::accept() {
    if (!QFileInfo(directory()).isDir()) {
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Confirm"), QString::fromUtf8(kConfirmCreateFolder),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) {
            return;
        }
    }
    QDialog::accept();
}

bool selectDirectory(QWidget* owner, const QString& startFolder, QString& chosen) {
    SelectDirectoryDialog dialog(owner, startFolder);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    chosen = dialog.directory();
    return true;
}

void createFolderLevels(const QString& folder) {
    if (QFileInfo(folder).isDir()) {
        return;
    }
    const std::filesystem::path path(folder.toStdString());
    if (folder.isEmpty() || !path.is_absolute()) {
        throw std::runtime_error("Unable to create directory");
    }
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

} // namespace pupdate
