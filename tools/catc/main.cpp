// kestravo-catc: compiles the readable message sources into the catalogue file "langua.ge",
// and prints a compiled catalogue back in the source format.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/catc/catalogue_source.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // errors in the sources, or a file that cannot be read/written
constexpr int kExitUsage = 2;   // a bad command line

// Reading a "catalogue" larger than this for --dump is refused.
constexpr std::streamoff kMaxDumpSize = std::streamoff(1) << 30;

const char kUsage[] =
    "usage: kestravo-catc -o OUTPUT SOURCE...\n"
    "       kestravo-catc --dump FILE\n"
    "       kestravo-catc --help\n"
    "\n"
    "Compiles message sources into a catalogue file (langua.ge), or prints a compiled\n"
    "catalogue back in the source format (a dump compiles back into the same file).\n"
    "\n"
    "Source format (UTF-8):\n"
    "  # comment               whole-line comments; blank lines are ignored\n"
    "  language 1              language of the messages that follow (0 to 255)\n"
    "  137 Scansione           message number (0 to 65535), blanks, the text\n"
    "  125 \"Stam&pa \"          quotes keep leading and trailing blanks; \"\" is empty\n"
    "Escapes: \\n \\r \\t \\\\ \\\" \\xHH. Texts are UTF-8, at most 65535 bytes; a number may\n"
    "appear once per language.\n"
    "\n"
    "Errors are printed as FILE:LINE: message. Exit status: 0 success, 1 errors (the output\n"
    "is then not written), 2 bad command line.\n";

bool ReadWholeFile(const std::string& path, std::string& contents, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxDumpSize) {
        error = path + ": cannot read: not a file of a usable size";
        return false;
    }
    in.seekg(0);
    contents.assign(static_cast<std::size_t>(size), '\0');
    in.read(contents.data(), size);
    if (in.gcount() != size) {
        error = path + ": cannot read the whole file";
        return false;
    }
    return true;
}

// Writes `bytes` to a temporary file beside `path` and renames it over `path`, so that a
// failed run never leaves a half-written catalogue behind.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error) {
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = path + ": cannot create: " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0644);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool good = done == bytes.size();
    if (::close(fd) != 0) good = false;
    if (good && ::rename(name.data(), path.c_str()) != 0) good = false;
    if (!good) {
        error = path + ": cannot write: " + std::strerror(errno);
        ::unlink(name.data());
    }
    return good;
}

int Dump(const std::string& path) {
    std::string image, error;
    if (!ReadWholeFile(path, image, error)) {
        std::cerr << "kestravo-catc: " << error << "\n";
        return kExitFailed;
    }
    std::cout << kv::catc::DumpCatalogue(image, path);
    return std::cout.good() ? kExitOk : kExitFailed;
}

int Compile(const std::string& output, const std::vector<std::string>& sources) {
    kv::catc::CatalogueSource catalogue;
    bool unreadable = false;
    for (const std::string& source : sources) {
        std::string contents, error;
        if (!ReadWholeFile(source, contents, error)) {
            std::cerr << "kestravo-catc: " << error << "\n";
            unreadable = true;
            continue;
        }
        catalogue.AddSource(source, contents);
    }
    for (const std::string& error : catalogue.Errors()) std::cerr << error << "\n";
    if (unreadable || !catalogue.Errors().empty()) {
        std::cerr << "kestravo-catc: " << catalogue.Errors().size() << " error(s); " << output
                  << " not written\n";
        return kExitFailed;
    }
    for (const std::string& warning : catalogue.Warnings()) std::cerr << warning << "\n";

    std::string image, error;
    if (!catalogue.Build(image, error) || !WriteFileAtomically(output, image, error)) {
        std::cerr << "kestravo-catc: " << error << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

int UsageError(const std::string& message) {
    std::cerr << "kestravo-catc: " << message << "\n" << kUsage;
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("nothing to do");
    if (args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return kExitOk;
    }
    if (args[0] == "--dump") {
        if (args.size() != 2) return UsageError("--dump takes exactly one file");
        return Dump(args[1]);
    }

    std::string output;
    std::vector<std::string> sources;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o") {
            if (i + 1 >= args.size()) return UsageError("-o needs a file name");
            if (!output.empty()) return UsageError("-o given twice");
            output = args[++i];
        } else if (args[i] == "--help" || args[i] == "-h" || args[i] == "--dump") {
            return UsageError(args[i] + " must stand alone");
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return UsageError("unknown option " + args[i]);
        } else {
            sources.push_back(args[i]);
        }
    }
    if (output.empty()) return UsageError("no output file (-o OUTPUT)");
    if (sources.empty()) return UsageError("no source files");
    return Compile(output, sources);
}
