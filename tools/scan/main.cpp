// kestravo-scan: the command-line scanner for servers and scripts. Scans each path as one
// resource, exactly as the desktop program's scan command does, and writes the report to
// standard output in the log file format.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "engine/report_blocks.h"
#include "platform/files.h"
#include "report/report.h"

namespace {

// Set by SIGINT, SIGTERM or SIGHUP (a closed terminal); the scan sees it at its next event
// pump and stops cleanly, so temporary files are removed and the report still gets its
// summaries.
volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int) {
    g_interrupted = 1;
}

class ConsoleUi : public kv::ScanUi {
public:
    void PumpEvents() override {
        if (g_interrupted && engine != nullptr) engine->Options.StopRequested = 1;
    }
    // One line on standard error per drive root and run: why its boot sector was not scanned.
    void BootAreaNotScanned(const std::string& root, const kv::BootAreaProblem& problem) override {
        if (!boot_roots_told_.insert(root).second) return;
        std::string device = problem.device_error != 0 ? std::strerror(problem.device_error)
                                                       : "the device cannot be read";
        if (!device.empty()) device[0] = static_cast<char>(std::tolower(device[0]));
        std::string companion;
        using Companion = kv::BootAreaProblem::Companion;
        switch (problem.companion) {
            case Companion::kMissing:
                companion = "no usable SAFEBOOT.EXE";
                break;
            case Companion::kTimedOut:
                companion = "SAFEBOOT.EXE did not finish in time";
                break;
            case Companion::kTooMuchOutput:
                companion = "SAFEBOOT.EXE wrote more than two sectors";
                break;
            case Companion::kFailed:
                if (problem.companion_exit_code < 0)
                    companion = "SAFEBOOT.EXE was ended by a signal";
                else
                    companion =
                        "SAFEBOOT.EXE failed (exit status " +
                        std::to_string(problem.companion_exit_code) +
                        (problem.companion_exit_code == 3 ? ": it may not read the device)" : ")");
                break;
            case Companion::kShort:
                companion = "SAFEBOOT.EXE delivered only " +
                            std::to_string(problem.companion_bytes) + " bytes";
                break;
        }
        std::fprintf(stderr,
                     "kestravo-scan: boot sector of %s not scanned: %s and %s (see README, "
                     "\"Boot sectors\")\n",
                     root.c_str(), device.c_str(), companion.c_str());
    }
    // One line on standard error per run: members that had to be written to a temporary
    // file (nested archives, documents) were not scanned.
    void TemporaryFilesFailed(const std::string& folder, int error) override {
        if (temp_files_failed) return;
        temp_files_failed = true;
        std::fprintf(stderr,
                     "kestravo-scan: cannot create temporary files in '%s': %s; archive and "
                     "document members were not scanned\n",
                     kv::platform::PrintableName(folder).c_str(), std::strerror(error));
    }
    kv::Engine* engine = nullptr;
    bool temp_files_failed = false;

private:
    std::set<std::string> boot_roots_told_;
};

// Writes every report line to standard output as soon as it is added.
class StdoutWriter : public kv::ReportListener {
public:
    explicit StdoutWriter(const kv::ReportList& report) : report_(report) {}
    void ReportLineAdded(std::size_t index) override {
        std::string line = report_.LogLine(*report_.Line(index));
        line += "\r\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        // Report lines are few (headings, findings, summaries), and a reader at the other end
        // of a pipe sees each as it comes.
        std::fflush(stdout);
    }

private:
    const kv::ReportList& report_;
};

void Usage(FILE* out) {
    std::fputs(
        "Usage: kestravo-scan [options] PATH...\n"
        "Scans each PATH (a file or a folder) for viruses and writes the report to standard\n"
        "output in the log file format.\n"
        "\n"
        "Options:\n"
        "  --no-archives      do not look inside ZIP archives\n"
        "  --no-subfolders    scan only the files directly in each folder\n"
        "  --db DIR           folder of the signature database (default: the program folder)\n"
        "  --language N       language of the report texts (1 Italian, 2 English; default:\n"
        "                     Italian when the locale is Italian, else English)\n"
        "  --log FILE         also save the report to FILE (replacing it)\n"
        "  --max-depth N      open archives nested up to N levels deep (default 16; the\n"
        "                     archive a folder holds is level 1)\n"
        "  --max-member-size BYTES\n"
        "                     largest member written to a temporary file to be scanned\n"
        "                     (nested archives, documents; default 256M)\n"
        "  --max-archive-inflate BYTES\n"
        "                     most bytes decompressed from one archive, nested archives\n"
        "                     included (default 1G)\n"
        "  --max-archive-members N\n"
        "                     most directory entries walked in one archive, nested\n"
        "                     archives included (default 100000)\n"
        "  --help             show this text\n"
        "\n"
        "BYTES may end in K, M or G (binary multiples: 1K = 1024). A member over a limit is\n"
        "not scanned; the report names it and the limit.\n"
        "\n"
        "A mount point (such as /) has its boot sector scanned first; when that is not\n"
        "possible (see README, \"Boot sectors\"), one line on standard error says so.\n"
        "\n"
        "An archive that cannot be read, and a member that is encrypted or compressed with\n"
        "a method other than stored or deflated, get a report line saying they were not\n"
        "scanned. Nested archives and documents inside archives are written to temporary\n"
        "files in $TMPDIR (default /tmp); when that is not possible, one line on standard\n"
        "error and one report line say so.\n"
        "\n"
        "Exit status: 0 nothing found, 1 an infection was found, 2 an error (a path that\n"
        "cannot be read, a signature database that cannot be loaded, a bad option, no\n"
        "temporary files).\n",
        out);
}

bool ParseNumber(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

// A byte count: digits with an optional K, M or G (1024, 1024^2, 1024^3), at least 1.
bool ParseByteCount(const char* text, std::uint64_t& value) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text) return false;
    unsigned shift = 0;
    switch (*end) {
        case '\0':
            break;
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        default:
            return false;
    }
    if (*end != '\0' && end[1] != '\0') return false;
    if (number == 0 || number > (~0ull >> shift)) return false;
    value = static_cast<std::uint64_t>(number) << shift;
    return true;
}

// A count: digits only, at least 1.
bool ParseCount(const char* text, std::uint64_t& value) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || number == 0) return false;
    value = static_cast<std::uint64_t>(number);
    return true;
}

// The language of the locale's messages: LC_ALL, LC_MESSAGES and LANG in that order, the
// first one set deciding; Italian for "it...", English otherwise.
long LocaleLanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        return std::strncmp(value, "it", 2) == 0 ? 1 : 2;
    }
    return 2;
}

// Whether `target` (already known to exist) can be scanned: a folder that can be listed or a
// regular file that can be read. Anything else is named with the reason.
bool CanScan(const std::string& target, const struct stat& st, std::string& reason) {
    int fd = -1;
    if (S_ISDIR(st.st_mode)) {
        fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else if (S_ISREG(st.st_mode)) {
        fd = ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } else {
        reason = S_ISFIFO(st.st_mode)   ? "a FIFO is not scanned"
                 : S_ISSOCK(st.st_mode) ? "a socket is not scanned"
                                        : "a device is not scanned";
        return false;
    }
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

std::string ClockText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%d/%m/%Y %H:%M:%S", &local);
    return buffer;
}

// A path or argument as the messages show it: a control character (a line end in a file
// name) cannot forge a line of the output.
std::string Shown(const std::string& text) {
    return kv::platform::PrintableName(text);
}

}  // namespace

int main(int argc, char** argv) {
    bool archives = true;
    bool subfolders = true;
    std::string db_folder;
    std::string log_file;
    long language = -1;
    kv::ArchiveLimits limits;
    std::vector<std::string> paths;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto need_value = [&](const char* option) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestravo-scan: %s needs a value\n", option);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--no-archives") {
            archives = false;
        } else if (arg == "--no-subfolders") {
            subfolders = false;
        } else if (arg == "--db") {
            db_folder = need_value("--db");
        } else if (arg == "--log") {
            log_file = need_value("--log");
        } else if (arg == "--language") {
            const char* value = need_value("--language");
            if (!ParseNumber(value, language) || language < 0 || language > 65535) {
                std::fprintf(stderr, "kestravo-scan: bad language number '%s'\n",
                             Shown(value).c_str());
                return 2;
            }
        } else if (arg == "--max-depth") {
            const char* value = need_value("--max-depth");
            long depth = 0;
            if (!ParseNumber(value, depth) || depth < 1 || depth > 1000000) {
                std::fprintf(stderr,
                             "kestravo-scan: bad value '%s' for --max-depth (a whole number "
                             "from 1)\n",
                             Shown(value).c_str());
                return 2;
            }
            limits.MaxDepth = static_cast<int>(depth);
        } else if (arg == "--max-archive-members") {
            const char* value = need_value("--max-archive-members");
            std::uint64_t members = 0;
            if (!ParseCount(value, members)) {
                std::fprintf(stderr,
                             "kestravo-scan: bad value '%s' for --max-archive-members (a whole "
                             "number from 1)\n",
                             Shown(value).c_str());
                return 2;
            }
            limits.MaxMembers = members;
        } else if (arg == "--max-member-size" || arg == "--max-archive-inflate") {
            const char* value = need_value(arg.c_str());
            std::uint64_t bytes = 0;
            if (!ParseByteCount(value, bytes)) {
                std::fprintf(stderr,
                             "kestravo-scan: bad value '%s' for %s (a byte count from 1, with "
                             "an optional K, M or G)\n",
                             Shown(value).c_str(), Shown(arg).c_str());
                return 2;
            }
            (arg == "--max-member-size" ? limits.MaxMemberSize : limits.MaxArchiveInflate) = bytes;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) paths.push_back(argv[i]);
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "kestravo-scan: unknown option '%s'\n", Shown(arg).c_str());
            Usage(stderr);
            return 2;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.empty()) {
        Usage(stderr);
        return 2;
    }

    // Every archive and document the scan opens takes buffers of some tens of kilobytes and
    // gives them back: keep such memory in the process rather than returning it to the system
    // and faulting it in again for the next file, thousands of times a second.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 4 << 20);

    const std::string program_folder = kv::platform::ProgramFolder();
    db_folder = db_folder.empty() ? program_folder : kv::platform::WithTrailingSlash(db_folder);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const bool language_given = language >= 0;
    if (!language_given) language = LocaleLanguage();
    kv::Catalogue catalogue(program_folder, static_cast<std::uint16_t>(language));
    if (language_given && !catalogue.HasLanguage(static_cast<std::uint16_t>(language))) {
        std::fprintf(stderr, "kestravo-scan: the message catalogue has no language %ld\n",
                     language);
        return 2;
    }
    kv::ReportList report;
    kv::ReportSuffixes suffixes;
    suffixes.Load(catalogue);
    report.SetSuffixes(suffixes);
    StdoutWriter writer(report);
    report.SetListener(&writer);

    ConsoleUi ui;
    kv::Engine engine(catalogue, report, ui);
    ui.engine = &engine;
    engine.Options.ScanArchives = archives ? 1 : 0;
    engine.Options.ScanSubfolders = subfolders ? 1 : 0;
    engine.Options.SetDefaultExtensions();
    engine.Limits = limits;
    // The boot-sector companion is only ever run from the program folder, whatever --db says.
    engine.CompanionFolder = program_folder;

    kv::ReportBlockPictures no_pictures;
    report.Reserve(4000);
    kv::WriteBanner(report, catalogue, no_pictures, ClockText(), false);

    kv::ScanCounters totals;
    bool error = false;
    for (std::size_t i = 0; i < paths.size() && !g_interrupted; ++i) {
        std::string target = paths[i];
        struct stat st;
        if (::stat(target.c_str(), &st) != 0) {
            std::fprintf(stderr, "kestravo-scan: cannot access '%s': %s\n", Shown(target).c_str(),
                         std::strerror(errno));
            error = true;
            continue;
        }
        std::string reason;
        if (!CanScan(target, st, reason)) {
            std::fprintf(stderr, "kestravo-scan: cannot scan '%s': %s\n", target.c_str(),
                         reason.c_str());
            error = true;
            continue;
        }
        if (S_ISDIR(st.st_mode)) target = kv::platform::WithTrailingSlash(target);
        kv::WriteResourceHeading(report, catalogue, target);
        int loaded = engine.ScanResource(db_folder, target);
        if (loaded != 0) {
            std::fprintf(stderr,
                         "kestravo-scan: cannot load the signature database in '%s' (code %d); "
                         "'%s' was not scanned\n",
                         Shown(db_folder).c_str(), loaded, Shown(target).c_str());
            error = true;
        }
        kv::WriteResourceSummary(report, catalogue, no_pictures, engine.Counters);
        totals.Add(engine.Counters);
    }
    if (paths.size() > 1) kv::WriteTotalsBlock(report, catalogue, totals);
    std::fflush(stdout);

    if (!log_file.empty()) {
        std::uint32_t code = report.SaveReport(log_file);
        if (code != 0) {
            std::fprintf(stderr, "kestravo-scan: cannot write the log file '%s': %s\n",
                         Shown(log_file).c_str(), std::strerror(static_cast<int>(code)));
            error = true;
        }
    }
    if (g_interrupted) {
        std::fputs("kestravo-scan: interrupted\n", stderr);
        error = true;
    }
    // Members went unscanned: a clean result cannot be promised.
    if (ui.temp_files_failed) error = true;
    if (totals[kv::ScanCounters::VirusesFound] > 0) return 1;
    return error ? 2 : 0;
}
