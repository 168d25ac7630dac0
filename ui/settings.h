// What the desktop program keeps between runs: the switches and names of the settings file,
// and the two list files of the program folder (the Resource list and the Download-folder
// list). Read when the main window is created, written when it closes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/profile.h"

namespace kv {

struct DesktopSettings {
    bool TimerActive = false;     // "timer" / "active": the "Usa Timer" button is down
    bool InternetActive = false;  // "internet" / "active": the internet-mode button is down
    bool SaveLog = true;          // "SaveLog" / "Active": save the report after each scan
    std::string LogFile;          // "Logfile" / "Active", read only when SaveLog is on
    std::uint16_t Language = 1;   // "Langue" / "Setup"

    // The log file that a program folder offers by default: its "report.log".
    static std::string DefaultLogFile(const std::string& program_folder);

    // Reads every value, with its default when the file or the key is missing. The log file
    // name is read only when the log switch is on; a name stored empty (as a run with the
    // switch off leaves it) gives the default log file, so that the log is not lost.
    void Load(const platform::Profile& profile, const std::string& program_folder);

    // Writes the values that closing writes, in its order: internet, timer, log switch, log
    // file name (also when it is empty). False at the first write that is refused; `error`
    // then holds the message to show.
    bool Save(const platform::Profile& profile, std::string& error) const;
};

// The names of the list files in the program folder. "auto.cfg" is written as "Auto.cfg";
// both are found whatever the case of the existing file.
inline constexpr const char* kResourceListFile = "List.cfg";
inline constexpr const char* kDownloadListFileRead = "auto.cfg";
inline constexpr const char* kDownloadListFileWrite = "Auto.cfg";

// Reads a list file: one entry per line, a line ending at CR, LF or CR LF, a zero byte ending
// the text; every line becomes an entry as it stands, empty lines included. False when the
// file cannot be read (the list is then left empty).
bool LoadListFile(const std::string& path, std::vector<std::string>& entries);

// Writes a list file: every entry followed by CR LF, replacing the file atomically.
bool SaveListFile(const std::string& path, const std::vector<std::string>& entries);

}  // namespace kv
