// Every modal exchange of the main window with the user goes through one object: question and
// message boxes, the file dialogs, the path dialog, the about window, the schedule dialog, the
// folder picker, the destination folder dialog and the print dialog. The program uses the
// real windows; tests put a scripted host in their place, so nothing waits for a user.
#pragma once

#include <QString>

#include <optional>
#include <string>

class QPrinter;
class QWidget;

namespace kv {

class Catalogue;
struct Schedule;

class DialogHost {
public:
    virtual ~DialogHost() = default;

    // A box with OK and Cancel, an exclamation icon, modal for the whole application. True
    // for OK.
    virtual bool AskOkCancel(QWidget* parent, const QString& caption, const QString& text);
    // A message with an OK button.
    virtual void ShowMessage(QWidget* parent, const QString& caption, const QString& text);
    // An error message: the error icon and an OK button.
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text);
    // The log save dialog, starting at `start`; nothing on Cancel.
    virtual std::optional<QString> SaveLogFileName(QWidget* parent, const QString& start);
    // The open-file dialog of the Resource list; nothing on Cancel.
    virtual std::optional<QString> OpenFileName(QWidget* parent);
    // The path dialog, pre-filled with `last`; the text typed, or nothing on Cancel.
    virtual std::optional<QString> AskPath(QWidget* parent, const Catalogue& catalogue, int depth,
                                           const QString& last);
    // The log open dialog, starting at `start`; nothing on Cancel.
    virtual std::optional<QString> OpenLogFileName(QWidget* parent, const QString& start);
    // The destination folder dialog with `caption`, opening at the folder chosen last (the
    // home folder the first time); the selected folder, or nothing on Cancel.
    virtual std::optional<QString> AskDestinationFolder(QWidget* parent, const Catalogue& catalogue,
                                                        const QString& caption);
    // The print dialog: true when the user chose a printer (set up in `printer`).
    virtual bool ChoosePrinter(QWidget* parent, QPrinter& printer);
    // The about window, shown modally until it closes itself.
    virtual void ShowAbout(QWidget* parent, const Catalogue& catalogue, int depth,
                           const std::string& program_folder);
    // The schedule dialog, showing `current`; OK writes the schedule to the settings file.
    // True for OK.
    virtual bool EditSchedule(QWidget* parent, const Catalogue& catalogue, int depth,
                              const Schedule& current);
    // The folder picker of internet mode: the full path of the folder chosen, or nothing on
    // Cancel.
    virtual std::optional<QString> PickFolder(QWidget* parent, const Catalogue& catalogue);

private:
    QString last_destination_;
};

}  // namespace kv
