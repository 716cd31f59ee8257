#include "select_directory.h"

#include "utf8_path.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
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
    // The model reads folders in the background; each level that arrives or is sorted
    // moves the rows, and the start folder is brought back into view until the operator
    // takes the tree over.
    connect(m_model, &QFileSystemModel::directoryLoaded, this,
            &SelectDirectoryDialog::revealDirectory);
    connect(m_model, &QAbstractItemModel::rowsInserted, this,
            &SelectDirectoryDialog::revealDirectory);
    connect(m_model, &QAbstractItemModel::layoutChanged, this,
            &SelectDirectoryDialog::revealDirectory);
    for (QWidget* part :
         {static_cast<QWidget*>(m_tree), m_tree->viewport(),
          static_cast<QWidget*>(m_tree->verticalScrollBar()), static_cast<QWidget*>(m_edit)}) {
        part->installEventFilter(this);
    }

    const QFileInfo start(startFolder);
    setDirectory(start.isDir() ? start.absoluteFilePath() : QDir::currentPath());
}

QString SelectDirectoryDialog::directory() const {
    return m_edit->text();
}

void SelectDirectoryDialog::setDirectory(const QString& folder) {
    m_edit->setText(folder);
    const QModelIndex index = m_model->index(folder);
    m_revealed = index.isValid() ? m_model->filePath(index) : QString();
    revealDirectory();
}

void SelectDirectoryDialog::revealDirectory() {
    const QModelIndex index = m_model->index(m_revealed);
    if (m_revealed.isEmpty() || !index.isValid()) {
        return;
    }
    m_revealing = true;
    for (QModelIndex level = index.parent(); level.isValid(); level = level.parent()) {
        m_tree->expand(level);
    }
    m_tree->setCurrentIndex(index);
    m_tree->expand(index);
    m_tree->scrollTo(index, QAbstractItemView::PositionAtCenter);
    m_revealing = false;
}

bool SelectDirectoryDialog::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
    case QEvent::KeyPress:
        // The operator takes the tree over.
        m_revealed.clear();
        break;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void SelectDirectoryDialog::folderChosen() {
    if (!m_revealing) {
        // The operator's choice: the tree is no longer held at the start folder.
        m_revealed.clear();
    }
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
    const std::filesystem::path path = pathFromUtf8(folder.toStdString());
    if (folder.isEmpty() || !path.is_absolute()) {
        throw std::runtime_error("Unable to create directory");
    }
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

} // namespace pupdate
