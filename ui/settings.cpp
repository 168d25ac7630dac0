#include "ui/settings.h"

#include "platform/files.h"

namespace kv {

std::string DesktopSettings::DefaultLogFile(const std::string& program_folder) {
    return program_folder + "report.log";
}

void DesktopSettings::Load(const platform::Profile& profile, const std::string& program_folder) {
    TimerActive = profile.ReadBool("timer", "active", false);
    InternetActive = profile.ReadBool("internet", "active", false);
    SaveLog = profile.ReadBool("SaveLog", "Active", true);
    LogFile.clear();
    if (SaveLog) {
        LogFile = profile.ReadString("Logfile", "Active", DefaultLogFile(program_folder));
        if (LogFile.empty()) LogFile = DefaultLogFile(program_folder);
    }
    std::int32_t language = profile.ReadInteger("Langue", "Setup", 1);
    Language = static_cast<std::uint16_t>(language);
}

bool DesktopSettings::Save(const platform::Profile& profile, std::string& error) const {
    bool ok = profile.WriteBool("Internet", "Active", InternetActive) &&
              profile.WriteBool("Timer", "Active", TimerActive) &&
              profile.WriteBool("SaveLog", "Active", SaveLog) &&
              profile.WriteString("LogFile", "Active", LogFile);
    if (!ok) error = profile.WriteErrorText();
    return ok;
}

bool LoadListFile(const std::string& path, std::vector<std::string>& entries) {
    entries.clear();
    platform::File file;
    if (!file.OpenRead(path)) return false;
    std::string content;
    char buffer[8192];
    for (;;) {
        long n = file.Read(buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t zero = content.find('\0');
    if (zero != std::string::npos) content.resize(zero);
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            entries.push_back(content.substr(pos));
            break;
        }
        entries.push_back(content.substr(pos, end - pos));
        pos = end + 1;
        if (content[end] == '\r' && pos < content.size() && content[pos] == '\n') ++pos;
    }
    return true;
}

bool SaveListFile(const std::string& path, const std::vector<std::string>& entries) {
    std::string content;
    for (const std::string& entry : entries) {
        content += entry;
        content += "\r\n";
    }
    return platform::WriteFileAtomically(path, content);
}

}  // namespace kv
