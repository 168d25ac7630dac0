// kv-fuzz-seeds: writes the seed corpora of the fuzz targets, one folder per target, from the
// writers of the test fixtures: sound inputs of every kind each reader takes, and the broken
// ones the unit tests use. Run at fuzz time; nothing it writes is kept in the source tree.
//
// usage: kv-fuzz-seeds FOLDER     (writes FOLDER/<target>/<seed>)

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/catalogue_format.h"
#include "fuzz/database_support.h"
#include "fuzz/fuzz_support.h"
#include "tests/containers/compound_builder.h"
#include "tests/containers/zip_builder.h"
#include "update/package_signature.h"

namespace {

using kv::test::BuildWordDocument;
using kv::test::WordDocumentSpec;
using kv::test::WordMacro;
using kv::test::ZipBuilder;
using kv::test::ZipMember;
using namespace std::string_literals;

class SeedWriter {
public:
    SeedWriter(std::string folder, const std::string& target) : folder_(folder + "/" + target) {
        ::mkdir(folder.c_str(), 0755);
        ::mkdir(folder_.c_str(), 0755);
    }
    void Add(const std::string& name, const std::string& bytes) {
        if (!kv::fuzz::WriteBytes(folder_ + "/" + name, bytes)) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder_.c_str(), name.c_str());
            ok_ = false;
        }
    }
    bool Ok() const { return ok_; }

private:
    std::string folder_;
    bool ok_ = true;
};

// A program that starts with a jump to its entry point, `entry` bytes in, `size` bytes long.
std::string Program(std::size_t entry, std::size_t size, const std::string& at_entry) {
    std::string program(size, '\x90');
    program[0] = '\xE9';
    program[1] = static_cast<char>((entry - 3) & 0xFF);
    program[2] = static_cast<char>(((entry - 3) >> 8) & 0xFF);
    program.replace(entry, std::min(at_entry.size(), size - entry), at_entry);
    return program;
}

bool ZipSeeds(const std::string& out) {
    SeedWriter w(out, "zip");
    w.Add("stored", ZipBuilder().Add("readme.txt", "plain text member\n", 0).Build());
    w.Add("deflated", ZipBuilder()
                          .Add("a.com", Program(0x40, 600, "KVFZ entry"))
                          .Add("b.exe", std::string(3000, 'b'))
                          .Build());
    w.Add("empty-member", ZipBuilder().Add("empty", "", 8).Add("one", "1", 0).Build());
    w.Add("window-multiple", ZipBuilder().Add("big.bin", std::string(65536, 'x'), 8).Build());
    w.Add("entry-late", ZipBuilder().Add("late.com", Program(40000, 41000, "KVFZ")).Build());
    std::string inner = ZipBuilder().Add("inner.exe", Program(0x20, 200, "inner")).Build();
    std::string nested = ZipBuilder().Add("inner.zip", inner, 0).Add("x.doc", "doc").Build();
    w.Add("nested", ZipBuilder().Add("nested.zip", nested, 8).Build());
    ZipBuilder commented;
    commented.Add("c.txt", "commented");
    commented.comment = std::string(100, 'c');
    w.Add("comment", commented.Build());
    // A comment longer than the first search span, holding an end record signature.
    commented.comment = std::string(2500, 'c') + "PK\x05\x06" + std::string(2500, 'd');
    w.Add("long-comment", commented.Build());
    ZipBuilder prefixed;
    prefixed.Add("p.txt", "prefixed");
    prefixed.prefix = std::string(64, 'p');
    w.Add("prefix", prefixed.Build());
    ZipBuilder fewer;
    fewer.Add("1", "one").Add("2", "two").Add("3", "three").Add("4", "four");
    fewer.listed = 3;
    w.Add("listed-fewer", fewer.Build());
    ZipMember odd;
    odd.name = "method6";
    odd.data = "imploded?";
    odd.method = 6;
    w.Add("bad-method", ZipBuilder().Add(odd).Build());
    ZipMember corrupt;
    corrupt.name = "corrupt";
    corrupt.data = std::string(500, 'z');
    corrupt.raw = std::string("\xFF\xFF\xFF\xFF garbage", 12);
    w.Add("corrupt-deflate", ZipBuilder().Add(corrupt).Build());
    ZipMember lying;
    lying.name = "lying";
    lying.data = std::string(2000, 'l');
    lying.central_uncompressed = 100;
    lying.central_compressed = 0x7FFFFFF0;
    w.Add("lying-sizes", ZipBuilder().Add(lying).Build());
    ZipMember broken_local;
    broken_local.name = "../escape";
    broken_local.data = "x";
    broken_local.local_signature = 0x12345678;
    w.Add("broken-local", ZipBuilder().Add(broken_local).Add("ok", "ok").Build());
    return w.Ok();
}

bool CompoundSeeds(const std::string& out) {
    SeedWriter w(out, "compound");
    WordDocumentSpec suspicious;
    suspicious.macros = {{"AutoOpen", "MsgBox \"hello\"", 0}, {"Other", "REM nothing", 0x5A}};
    w.Add("autoopen", BuildWordDocument(suspicious));
    WordDocumentSpec cleanall = suspicious;
    cleanall.macros.push_back({"CleanAll", "REM clean", 0x11});
    cleanall.lead_bytes = 3;
    w.Add("cleanall-lead", BuildWordDocument(cleanall));
    WordDocumentSpec infected;
    infected.macros = {{"AutoExec", "KVFZ payload", 0x20}, {"payload", std::string(5000, 'm'), 0}};
    infected.scatter = true;
    w.Add("infected-scattered", BuildWordDocument(infected));
    WordDocumentSpec word97 = suspicious;
    word97.ident = 0xA5EC;
    w.Add("word97", BuildWordDocument(word97));
    WordDocumentSpec fifth = suspicious;
    fifth.streams_before = {"A", "B", "C"};
    w.Add("fifth-entry", BuildWordDocument(fifth));
    WordDocumentSpec no_table;
    no_table.with_macro_table = false;
    w.Add("no-macro-table", BuildWordDocument(no_table));
    w.Add("workbook", kv::test::BuildCompoundFile({{"Workbook", std::string(5000, 'w')}}));
    w.Add("plain", std::string("not a compound file at all; KVFZ in plain data"));
    return w.Ok();
}

// A catalogue image with the given records; texts follow the directory.
std::string Catalogue(const std::vector<std::pair<kv::catalogue::Record, std::string>>& items) {
    std::string directory(items.size() * kv::catalogue::kRecordSize, '\0');
    std::string texts;
    std::size_t base = directory.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
        kv::catalogue::Record r = items[i].first;
        r.offset = static_cast<std::uint32_t>(base + texts.size());
        r.length = static_cast<std::uint16_t>(items[i].second.size());
        kv::catalogue::EncodeRecord(
            r, reinterpret_cast<unsigned char*>(directory.data()) + i * kv::catalogue::kRecordSize);
        texts += items[i].second;
    }
    return directory + texts;
}

// The leading fields of a catalogue target input: message number and language.
std::string Lookup(std::uint16_t number, std::uint16_t language) {
    std::string s;
    s.push_back(static_cast<char>(number & 0xFF));
    s.push_back(static_cast<char>(number >> 8));
    s.push_back(static_cast<char>(language & 0xFF));
    s.push_back(static_cast<char>(language >> 8));
    return s;
}

bool CatalogueSeeds(const std::string& out) {
    SeedWriter w(out, "catalogue");
    std::string two = Catalogue({{{137, 1, 0, 0}, "Scansione"},
                                 {{137, 2, 0, 0}, "Scan"},
                                 {{138, 3, 0, 0}, "Esci"},
                                 {{139, 1, 0, 0}, ""},
                                 {{212, 1, 0, 0}, "%d/%m/%Y %H:%M"}});
    w.Add("lang1", Lookup(137, 1) + two);
    w.Add("lang2", Lookup(137, 2) + two);
    w.Add("missing-language", Lookup(137, 3) + two);
    w.Add("empty-text", Lookup(139, 1) + two);
    std::string long_text;
    for (int i = 0; i < 50; ++i) long_text += "caf\xC3\xA9 ";
    w.Add("long-utf8", Lookup(5, 1) + Catalogue({{{5, 1, 0, 0}, long_text}}));
    std::string past_end = Catalogue({{{7, 1, 0, 0}, "cut short"}});
    past_end.resize(past_end.size() - 4);
    w.Add("past-end", Lookup(7, 1) + past_end);
    w.Add("empty", Lookup(1, 1));
    return w.Ok();
}

bool SettingsSeeds(const std::string& out) {
    SeedWriter w(out, "settings");
    w.Add("full",
          "[Internet]\nActive=1\nSUB=0\n\n[Timer]\nActive=0\nDay=-1\nmonth=-1\nhour=1\nmin=1\n\n"
          "[SaveLog]\nActive=1\n\n[LogFile]\nActive=/home/user/report.log\n\n[Langue]\n"
          "Setup=0x2\n");
    w.Add("crlf", "[langue]\r\nsetup = 2\r\n[SAVELOG]\r\nactive=\r\n");
    w.Add("odd", "; comment\nstray line\n[Timer\nhour=\"12\"\n[Timer]\nhour=x\nhour=3\n[]\n=5\n");
    w.Add("no-final-newline", "[Langue]\nSetup=-2147483648");
    w.Add("empty", "");
    return w.Ok();
}

bool ListSeeds(const std::string& out) {
    SeedWriter w(out, "list_file");
    w.Add("crlf", "/\r\n/home/user/\r\n/tmp/file.com\r\n");
    w.Add("mixed", "a\r\n\r\nb\nc\rd\r\r\ne");
    w.Add("zero", std::string("/one\r\n/two\0/three\r\n", 20));
    w.Add("utf8", "/home/utente/Scaricati/caff\xC3\xA8/\r\n");
    w.Add("empty", "");
    return w.Ok();
}

bool UpdateKeySeeds(const std::string& out) {
    SeedWriter w(out, "update_key");
    kv::update::PublicKey public_key{};
    kv::update::SecretKey secret_key{};
    for (std::size_t i = 0; i < secret_key.size(); ++i)
        secret_key[i] = static_cast<std::uint8_t>(i * 7);
    for (std::size_t i = 0; i < public_key.size(); ++i) public_key[i] = secret_key[32 + i];
    w.Add("public", kv::update::PublicKeyText(public_key));
    w.Add("secret", kv::update::SecretKeyText(secret_key));
    w.Add("public-crlf", kv::update::PublicKeyText(public_key) + "\r\n");
    w.Add("truncated", kv::update::PublicKeyText(public_key).substr(0, 40));
    w.Add("empty", "");
    return w.Ok();
}

// An FTP session as the ftp_reply target reads it: the control stream's length, the control
// stream, the data stream.
std::string FtpSession(const std::string& control, const std::string& data) {
    std::string input;
    input += static_cast<char>(control.size() & 0xff);
    input += static_cast<char>((control.size() >> 8) & 0xff);
    return input + control + data;
}

bool FtpReplySeeds(const std::string& out) {
    SeedWriter w(out, "ftp_reply");
    const std::string login = "220-Welcome\r\n220-to the\r\n220 server\r\n331 ok\r\n230 in\r\n";
    const std::string good = login +
                             "250 cwd\r\n200 port\r\n150 list\r\n226 done\r\n200 port\r\n"
                             "200 type\r\n150 retr\r\n226-sent\r\n226 ok\r\n221 bye\r\n";
    w.Add("good", FtpSession(good, "ztl\r\nupgrade.zip\r\n"));
    w.Add("refused", FtpSession(login + "250 cwd\r\n200 port\r\n550 no\r\n200 port\r\n200 type\r\n"
                                        "550 no ztl\r\n221 bye\r\n",
                                ""));
    w.Add("no-data-connection",
          FtpSession(login + "250 cwd\r\n200 port\r\n150 list\r\n425 cannot connect\r\n", ""));
    w.Add("long-lines",
          FtpSession("220-" + std::string(1500, 'w') + "\r\n220 x\r\n331 ok\r\n230 in\r\n",
                     std::string(3000, 'l') + "\r\nno end"));
    w.Add("cut", FtpSession(login + "250 cwd\r\n200 port\r\n150 list\r\n226-", "a\r\n"));
    w.Add("empty", "");
    return w.Ok();
}

// The standard anti-virus test string, in pieces so that this file does not hold it whole.
std::string TestString() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" +
           "TEST-FILE!$H+H*";
}

// A window that holds what each signature of kFuzzSignatures looks for, after `lead`.
std::string Triggers(const std::string& lead) {
    std::string w = lead;
    w += "..KVFZ-LITERAL..KVSKxabcdEND..KVGP12345GO..KVNGxxAyyBz\x41..KVNB\x4a\x57!";
    w += "..KVEN..KVHD..KVMK..KVGR....KVGE12E..KVUN..KVBOOT..";
    w += "\x8b\x36\x00\x01\x89\xc7\x31\x14\x46\x47\xe2\xfa\x75\xf8KVDC\x75"s;
    w += TestString() + "..KVFZ-DOCUMENT..KV-MACRO-VIRUS-PATTERN..KVDA-ONE.KVDB-TWO.KVDC-THREE..";
    w += std::string(40, '\x90') + "KVNE";
    return w;
}

// A small EXE header: `pages` pages, code from offset 32, entry at `ip`.
std::string ExeHeader(std::uint16_t pages, std::uint16_t ip) {
    std::string h(32, '\0');
    h[0] = 'M';
    h[1] = 'Z';
    h[4] = static_cast<char>(pages & 0xFF);
    h[5] = static_cast<char>(pages >> 8);
    h[8] = 2;
    h[20] = static_cast<char>(ip & 0xFF);
    h[21] = static_cast<char>(ip >> 8);
    return h;
}

// The source of the shipped database, read from the source tree.
std::string ShippedSignatures() {
    return kv::fuzz::ReadBytes(std::string(KV_SOURCE_DIR) + "data/signatures/default.sig");
}

std::string Bytes(const std::vector<std::uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

bool DatabaseSeeds(const std::string& out) {
    SeedWriter w(out, "database");
    kv::sigc::DatabaseFiles fuzz, shipped;
    if (!kv::fuzz::CompileSignatures(kv::fuzz::kFuzzSignatures, fuzz) ||
        !kv::fuzz::CompileSignatures(ShippedSignatures(), shipped)) {
        std::fprintf(stderr, "cannot compile the seed databases\n");
        return false;
    }
    auto input = [](const kv::sigc::DatabaseFiles& f, const std::string& window,
                    std::uint8_t flags = 0) {
        kv::fuzz::DatabaseInput in;
        in.pattern = Bytes(f.pattern);
        in.index = Bytes(f.index);
        in.directory = Bytes(f.directory);
        in.trie = Bytes(f.trie);
        in.flags = flags;
        in.saved_count = static_cast<std::uint16_t>(window.size());
        in.window = window;
        return in;
    };
    w.Add("fuzz-triggers", kv::fuzz::EncodeDatabaseInput(input(fuzz, Triggers("KVAN"))));
    w.Add("fuzz-exe",
          kv::fuzz::EncodeDatabaseInput(input(fuzz, ExeHeader(2, 0) + Triggers(""), 1)));
    w.Add("fuzz-jump",
          kv::fuzz::EncodeDatabaseInput(input(fuzz, "\xe9\x10\x00KVAJ"s + Triggers(""))));
    w.Add("shipped", kv::fuzz::EncodeDatabaseInput(
                         input(shipped, "KVDEMO-START" + TestString() +
                                            "KVDEMO-GAP....FOUND KVDEMO-DOCUMENT-TEST")));
    // Broken ones: a pattern file cut short, an index shorter than its header says, lists
    // that point outside the index, records outside the pattern buffer, an empty trie.
    kv::fuzz::DatabaseInput cut = input(fuzz, Triggers(""));
    cut.pattern.resize(cut.pattern.size() / 2);
    w.Add("pattern-cut", kv::fuzz::EncodeDatabaseInput(cut));
    kv::fuzz::DatabaseInput short_index = input(fuzz, Triggers(""));
    short_index.index.resize(100);
    w.Add("index-cut", kv::fuzz::EncodeDatabaseInput(short_index));
    kv::fuzz::DatabaseInput outside = input(fuzz, Triggers(""));
    for (std::size_t list = 0; list < 257; ++list) {
        outside.index[4 * list] = '\xF0';
        outside.index[4 * list + 1] = '\xFF';
    }
    w.Add("lists-outside", kv::fuzz::EncodeDatabaseInput(outside));
    kv::fuzz::DatabaseInput records = input(fuzz, Triggers(""));
    for (std::size_t at = 257 * 4; at + 3 <= records.index.size(); at += 3) {
        records.index[at] = '\xFE';
        records.index[at + 1] = '\xFF';
    }
    w.Add("records-outside", kv::fuzz::EncodeDatabaseInput(records));
    kv::fuzz::DatabaseInput no_trie = input(fuzz, Triggers(""));
    no_trie.trie.clear();
    w.Add("no-trie", kv::fuzz::EncodeDatabaseInput(no_trie));
    w.Add("empty", "");
    return w.Ok();
}

bool KernelSeeds(const std::string& out) {
    SeedWriter w(out, "kernel");
    auto add = [&](const std::string& name, const std::string& window, std::uint8_t flags = 0,
                   std::uint16_t extra = 0) {
        kv::fuzz::WindowInput in;
        in.flags = flags;
        in.saved_count = static_cast<std::uint16_t>(window.size());
        in.size_extra = extra;
        in.window = window;
        w.Add(name, kv::fuzz::EncodeWindowInput(in));
    };
    add("triggers", Triggers("KVAN"));
    add("exe", ExeHeader(3, 0x40) + Triggers(""), kv::fuzz::kFlagEntryKnown);
    add("jump", "\xe9\x10\x00KVAJ"s + Triggers(""), 0, 4000);
    add("far-jump", "\x4d\x4d\xea\x20\x00\x00\x00"s + Triggers(""));
    add("repeated", std::string(3000, 'K') + Triggers("") + Triggers("KV"));
    add("long", std::string(32000, '\x90') + "KVFZ-LITERAL");
    add("one-byte", "K");
    add("empty", "");
    return w.Ok();
}

// A program member: jump to the entry point, the payload there, filler around it.
std::string JumpProgram(const std::string& payload, std::size_t size) {
    return Program(0x40, std::max(size, 0x40 + payload.size()), payload);
}

bool ScanZipSeeds(const std::string& out) {
    SeedWriter w(out, "scan_zip");
    std::string infected = ZipBuilder().Add("virus.com", JumpProgram(TestString(), 600)).Build();
    w.Add("infected", infected);
    w.Add("clean-mixed", ZipBuilder()
                             .Add("a.exe", ExeHeader(2, 0) + std::string(900, 'a'))
                             .Add("b.txt", "not scanned")
                             .Add("c.dll", JumpProgram("KVFZ-LITERAL", 5000), 0)
                             .Build());
    std::string inner = ZipBuilder().Add("deep.com", JumpProgram("KVFZ", 300)).Build();
    std::string middle = ZipBuilder().Add("inner.zip", inner, 0).Add("m.exe", "MZ").Build();
    w.Add("nested-3", ZipBuilder().Add("middle.zip", middle).Add("top.com", "\xc3").Build());
    std::string deep = infected;
    for (int level = 0; level < 7; ++level) {
        deep = ZipBuilder().Add("level" + std::to_string(level) + ".zip", deep).Build();
    }
    w.Add("too-deep", deep);
    WordDocumentSpec macro;
    macro.macros = {{"AutoOpen", "Sub MAIN KV-MACRO-VIRUS-PATTERN End Sub", 0x33}};
    std::string doc = BuildWordDocument(macro);
    w.Add("document",
          ZipBuilder().Add("letter.doc", doc).Add("sheet.xls", "KVFZ-DOCUMENT").Build());
    w.Add("self-named", ZipBuilder().Add("x.zip", infected, 0).Add("x.zip", infected, 8).Build());
    ZipMember big;
    big.name = "big.exe";
    big.data = std::string(200000, '\0') + "KVFZ";
    w.Add("big-member", ZipBuilder().Add(big).Build());
    return w.Ok();
}

bool ScanDocSeeds(const std::string& out) {
    SeedWriter w(out, "scan_doc");
    WordDocumentSpec virus;
    virus.macros = {{"AutoOpen", "Sub MAIN KV-MACRO-VIRUS-PATTERN End Sub", 0x33},
                    {"FileSave", "REM saving", 0}};
    w.Add("macro-virus", BuildWordDocument(virus));
    WordDocumentSpec suspicious;
    suspicious.macros = {{"AutoExec", "MsgBox 1", 0}, {"Payload", std::string(4500, 'p'), 7}};
    suspicious.scatter = true;
    w.Add("suspicious", BuildWordDocument(suspicious));
    WordDocumentSpec cleanall = suspicious;
    cleanall.macros.push_back({"CleanAll", "REM", 0});
    cleanall.lead_bytes = 2;
    w.Add("cleanall", BuildWordDocument(cleanall));
    w.Add("plain-infected", std::string(5000, ' ') + TestString() + std::string(100, ' '));
    w.Add("workbook",
          kv::test::BuildCompoundFile({{"Workbook", "KVFZ-DOCUMENT" + std::string(5000, 'w')}}));
    return w.Ok();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv-fuzz-seeds FOLDER\n");
        return 2;
    }
    std::string out = argv[1];
    ::mkdir(out.c_str(), 0755);
    bool ok = ZipSeeds(out);
    ok = CompoundSeeds(out) && ok;
    ok = CatalogueSeeds(out) && ok;
    ok = SettingsSeeds(out) && ok;
    ok = ListSeeds(out) && ok;
    ok = DatabaseSeeds(out) && ok;
    ok = KernelSeeds(out) && ok;
    ok = ScanZipSeeds(out) && ok;
    ok = ScanDocSeeds(out) && ok;
    ok = UpdateKeySeeds(out) && ok;
    ok = FtpReplySeeds(out) && ok;
    return ok ? 0 : 1;
}
