// The destination folder dialog of the copy and move actions: a drive list and a folder tree
// like the main window's. It opens at the folder it is given (the last one chosen), else at
// the user's home folder, never at the root. OK accepts the selected folder; "&Annulla" and
// Esc, pressed anywhere in the window, cancel.
#pragma once

#include <QDialog>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace kv {

class Catalogue;
class DirectoryTree;

class TFormDettagli : public QDialog {
    Q_OBJECT

public:
    static constexpr int kWidth = 231;
    static constexpr int kHeight = 252;

    TFormDettagli(const Catalogue& catalogue, QWidget* parent = nullptr,
                  const QString& start_folder = QString());

    // The user's home folder: $HOME when it names a folder other than the root, else the
    // account's home folder, else the temporary folder.
    static QString HomeFolder();

    // The selected folder as a full path (no trailing '/' but for the root).
    QString SelectedFolder() const;

    QLabel* Label1 = nullptr;  // "Directory di destinazione"
    QFrame* Panel1 = nullptr;
    QLabel* Label2 = nullptr;  // the current folder
    QComboBox* DriveComboBox1 = nullptr;
    DirectoryTree* DirectoryListBox1 = nullptr;
    QPushButton* BitBtn1 = nullptr;  // "&Annulla"
    QPushButton* BitBtn2 = nullptr;  // "&OK"

protected:
    // Sees the keys before the controls: Esc cancels wherever the focus is.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void DriveComboBox1Change();
};

// The destination folder dialog of copy and move, by its role.
using DestinationFolderDialog = TFormDettagli;

}  // namespace kv
