#include "ui/dialog_host.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>

#include "platform/profile.h"
#include "ui/windows/dettagli.h"
#include "ui/windows/folderlist.h"
#include "ui/windows/pathwindow.h"
#include "ui/windows/start.h"
#include "ui/windows/timerwindow.h"

namespace kv {

bool DialogHost::AskOkCancel(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok | QMessageBox::Cancel,
                    parent);
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec() == QMessageBox::Ok;
}

void DialogHost::ShowMessage(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

void DialogHost::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

std::optional<QString> DialogHost::SaveLogFileName(QWidget* parent, const QString& start) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix("LOG");
    dialog.setNameFilters({"Logfile Kestravo (*.LOG *.log)", "Tutti i files (*)"});
    if (!start.isEmpty()) dialog.selectFile(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<QString> DialogHost::OpenFileName(QWidget* parent) {
    QString name = QFileDialog::getOpenFileName(parent);
    if (name.isEmpty()) return std::nullopt;
    return name;
}

std::optional<QString> DialogHost::AskPath(QWidget* parent, const Catalogue& catalogue, int depth,
                                           const QString& last) {
    TForm3 dialog(catalogue, depth, parent);
    dialog.Edit1->setText(last);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Edit1->text();
}

std::optional<QString> DialogHost::OpenLogFileName(QWidget* parent, const QString& start) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("LOG");
    dialog.setNameFilters({"Logfile Kestravo (*.LOG *.log)", "Tutti i files (*)"});
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!start.isEmpty()) dialog.selectFile(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<QString> DialogHost::AskDestinationFolder(QWidget* parent, const Catalogue& catalogue,
                                                        const QString& caption) {
    TFormDettagli dialog(catalogue, parent, last_destination_);
    dialog.setWindowTitle(caption);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    last_destination_ = dialog.SelectedFolder();
    return last_destination_;
}

bool DialogHost::ChoosePrinter(QWidget* parent, QPrinter& printer) {
    QPrintDialog dialog(&printer, parent);
    return dialog.exec() == QDialog::Accepted;
}

void DialogHost::ShowAbout(QWidget* parent, const Catalogue& catalogue, int depth,
                           const std::string& program_folder) {
    QString error;
    std::unique_ptr<TForm1> about = TForm1::Create(catalogue, depth, program_folder, error, parent);
    if (about == nullptr) {
        ShowMessage(parent, QString(), error);
        return;
    }
    about->exec();
}

bool DialogHost::EditSchedule(QWidget* parent, const Catalogue& catalogue, int depth,
                              const Schedule& current) {
    TForm dialog(catalogue, depth, platform::Profile::Settings(), *this, parent);
    dialog.SetSchedule(current);
    return dialog.exec() == QDialog::Accepted;
}

std::optional<QString> DialogHost::PickFolder(QWidget* parent, const Catalogue& catalogue) {
    TFolderList dialog(catalogue, parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Folder();
}

}  // namespace kv
