// kestravo-sigc: the signature compiler. Compiles signature sources into the five database
// files, prints a database back as source, and checks that a database loads.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/signature_database.h"
#include "platform/files.h"
#include "tools/sigc/sig_compiler.h"

namespace {

void Usage(FILE* out) {
    std::fputs(
        "Usage: kestravo-sigc -o DIR [--list FILE] SOURCE...\n"
        "       kestravo-sigc --dump DIR\n"
        "       kestravo-sigc --check DIR\n"
        "\n"
        "  -o DIR       compile the SOURCE files into Matrix.DLL, Virus.seq, tbl02.dir, tbl02\n"
        "               and tbl02.nam in DIR (created when missing)\n"
        "  --list FILE  also write the signature names, one per line (the virus list)\n"
        "  --dump DIR   print the database in DIR as source that compiles to the same files\n"
        "  --check DIR  load the database in DIR as the scanner does and report its load\n"
        "               code and the number of signatures\n"
        "\n"
        "Exit status: 0 success, 1 errors in the sources or a database that does not load,\n"
        "2 a bad command line or a file that cannot be read or written.\n",
        out);
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return !in.bad();
}

// Writes a file through a temporary name in the same folder, so that a scanner never loads a
// half-written database file.
bool WriteAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int Compile(const std::string& out_dir, const std::string& list_file,
            const std::vector<std::string>& sources) {
    kv::sigc::Source source;
    std::vector<kv::sigc::Diagnostic> errors;
    for (const std::string& path : sources) {
        std::string text;
        if (!ReadText(path, text)) {
            std::fprintf(stderr, "kestravo-sigc: cannot read '%s'\n", path.c_str());
            return 2;
        }
        kv::sigc::ParseSource(text, path, source, errors);
    }
    // The valid signatures are built even after errors, so that one run reports every
    // problem (duplicate names, sizes) at once.
    kv::sigc::DatabaseFiles files;
    kv::sigc::Build(source, files, errors);
    if (!errors.empty()) {
        for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.Text().c_str());
        std::fprintf(stderr, "kestravo-sigc: %zu error(s); nothing written\n", errors.size());
        return 1;
    }

    std::error_code ec;
    std::filesystem::create_directories(out_dir, ec);
    const std::string folder = kv::platform::WithTrailingSlash(out_dir);
    const std::pair<const char*, const std::vector<std::uint8_t>*> outputs[] = {
        {kv::SignatureDatabase::kPatternFile, &files.pattern},
        {kv::SignatureDatabase::kIndexFile, &files.index},
        {kv::SignatureDatabase::kDirectoryFile, &files.directory},
        {kv::SignatureDatabase::kTrieFile, &files.trie},
        {kv::SignatureDatabase::kNameFile, &files.names},
    };
    for (const auto& [name, bytes] : outputs) {
        const std::string path = folder + name;
        if (!WriteAtomically(path, *bytes)) {
            std::fprintf(stderr, "kestravo-sigc: cannot write '%s'\n", path.c_str());
            return 2;
        }
    }
    if (!list_file.empty()) {
        std::string text;
        for (const std::string& name : kv::sigc::NameList(source)) text += name + "\n";
        if (!WriteAtomically(list_file, std::vector<std::uint8_t>(text.begin(), text.end()))) {
            std::fprintf(stderr, "kestravo-sigc: cannot write '%s'\n", list_file.c_str());
            return 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out_dir, list_file, dump_dir, check_dir;
    std::vector<std::string> sources;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) -> bool {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestravo-sigc: %s needs a value\n", arg.c_str());
                return false;
            }
            target = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "-o") {
            if (!value(out_dir)) return 2;
        } else if (arg == "--list") {
            if (!value(list_file)) return 2;
        } else if (arg == "--dump") {
            if (!value(dump_dir)) return 2;
        } else if (arg == "--check") {
            if (!value(check_dir)) return 2;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "kestravo-sigc: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        } else {
            sources.push_back(arg);
        }
    }
    const int modes = !out_dir.empty() + !dump_dir.empty() + !check_dir.empty();
    if (modes != 1 || (!out_dir.empty() && sources.empty()) ||
        (out_dir.empty() && (!sources.empty() || !list_file.empty()))) {
        Usage(stderr);
        return 2;
    }

    if (!out_dir.empty()) return Compile(out_dir, list_file, sources);

    if (!dump_dir.empty()) {
        std::string text, error;
        std::vector<std::string> warnings;
        if (!kv::sigc::Dump(dump_dir, text, warnings, error)) {
            std::fprintf(stderr, "kestravo-sigc: %s\n", error.c_str());
            return 1;
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        for (const std::string& w : warnings) {
            std::fprintf(stderr, "kestravo-sigc: warning: %s\n", w.c_str());
        }
        return 0;
    }

    std::size_t programs = 0, documents = 0;
    const int code = kv::sigc::Check(check_dir, programs, documents);
    if (code != 0) {
        std::printf("code %d: the database cannot be loaded\n", code);
        return 1;
    }
    std::printf("code 0: %zu signatures (%zu program/boot, %zu document)\n", programs + documents,
                programs, documents);
    kv::SignatureDatabase names;
    if (!names.OpenNameFile(check_dir)) {
        std::printf("the name file %s is missing: the scanner skips every resource\n",
                    kv::SignatureDatabase::kNameFile);
        return 1;
    }
    return 0;
}
