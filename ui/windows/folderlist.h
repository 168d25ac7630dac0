// The folder picker of internet mode: a drive list and a folder tree, with the selected
// folder shown above them. OK accepts the selected folder; Annulla and Esc (wherever the
// focus is) cancel.
#pragma once

#include <QDialog>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace kv {

class Catalogue;
class DirectoryTree;

class TFolderList : public QDialog {
    Q_OBJECT

public:
    static constexpr int kWidth = 262;
    static constexpr int kHeight = 255;

    explicit TFolderList(const Catalogue& catalogue, QWidget* parent = nullptr);

    // The selected folder as a full path; the label may show it shortened.
    QString Folder() const;

    QLabel* Label1 = nullptr;  // "Directory corrente "
    QFrame* Panel1 = nullptr;
    QLabel* Label2 = nullptr;  // the selected folder
    QComboBox* DriveComboBox1 = nullptr;
    DirectoryTree* DirectoryListBox1 = nullptr;
    QPushButton* BitBtn1 = nullptr;  // "&Annulla"
    QPushButton* BitBtn2 = nullptr;  // "&OK"

private:
    void ShowFolder(const QString& folder);
};

// The folder picker of internet mode, by its role.
using FolderPicker = TFolderList;

}  // namespace kv
