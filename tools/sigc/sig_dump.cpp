// Reading a database back: the dump as source text and the load check.
#include <algorithm>
#include <map>
#include <set>

#include "engine/signature_database.h"
#include "platform/byte_order.h"
#include "platform/files.h"
#include "tools/sigc/sig_compiler.h"

namespace kv::sigc {

namespace {

struct DocumentEntry {
    std::vector<std::uint8_t> bytes;
    std::uint16_t name_offset = 0;
};

// Every distinct record offset the index lists (inside both blocks), with the target masks
// and lists that name it.
struct RecordUse {
    std::set<std::uint8_t> masks;
    std::set<unsigned> lists;
};

std::map<std::uint32_t, RecordUse> ListedRecords(const DatabaseView& db) {
    std::map<std::uint32_t, RecordUse> records;
    for (unsigned i = 0; i < 257; ++i) {
        if (4 * std::size_t{i} + 4 > db.index_size) break;
        const std::size_t offset = platform::LoadLe16(db.index + 4 * i);
        const std::size_t count = platform::LoadLe16(db.index + 4 * i + 2);
        for (std::size_t c = 0; c < count; ++c) {
            const std::size_t at = offset + 3 * c;
            if (at + 3 > db.index_size) break;
            const std::uint32_t record = platform::LoadLe16(db.index + at);
            if (record >= db.pattern_size) continue;
            records[record].masks.insert(db.index[at + 2]);
            records[record].lists.insert(i);
        }
    }
    return records;
}

// Every leaf reachable from the directory, with the bytes that lead to it. A visit budget of
// the trie's size keeps a looping trie from running on.
void WalkTrie(const DatabaseView& db, std::size_t node, std::vector<std::uint8_t>& prefix,
              std::vector<DocumentEntry>& out, std::size_t& budget, bool& malformed) {
    if (budget == 0) {
        malformed = true;
        return;
    }
    --budget;
    if (node >= db.trie_size) {
        malformed = true;
        return;
    }
    const std::uint8_t h = db.trie[node];
    if (h == 1) {
        if (node + 3 > db.trie_size) {
            malformed = true;
            return;
        }
        out.push_back(DocumentEntry{prefix, platform::LoadLe16(db.trie + node + 1)});
    } else if (h == 0) {
        if (node + 2 > db.trie_size) {
            malformed = true;
            return;
        }
        const std::size_t keys = db.trie[node + 1];
        if (keys == 0 || keys == 255 || node + 2 + 3 * keys > db.trie_size) {
            malformed = true;
            return;
        }
        for (std::size_t k = 0; k < keys; ++k) {
            const std::size_t field = node + 2 + keys + 2 * k;
            prefix.push_back(db.trie[node + 2 + k]);
            WalkTrie(db, field + platform::LoadLe16(db.trie + field), prefix, out, budget,
                     malformed);
            prefix.pop_back();
        }
    } else if (h == 255) {
        malformed = true;
    } else {
        const std::size_t m = 255u - h;
        if (node + 1 + m > db.trie_size) {
            malformed = true;
            return;
        }
        prefix.insert(prefix.end(), db.trie + node + 1, db.trie + node + 1 + m);
        WalkTrie(db, node + 1 + m, prefix, out, budget, malformed);
        prefix.resize(prefix.size() - m);
    }
}

std::vector<DocumentEntry> DocumentEntries(const DatabaseView& db, bool& malformed) {
    std::vector<DocumentEntry> entries;
    std::size_t budget = db.trie_size + 1;
    for (unsigned b = 0; b < 256; ++b) {
        if (2 * std::size_t{b} + 2 > db.directory_size) break;
        const std::uint16_t root = platform::LoadLe16(db.directory + 2 * b);
        if (root == 0xFFFF) continue;
        std::vector<std::uint8_t> prefix{static_cast<std::uint8_t>(b)};
        WalkTrie(db, root, prefix, entries, budget, malformed);
    }
    return entries;
}

void AppendToken(std::vector<Token>& body, Token token) {
    if (!body.empty() && token.kind == TokenKind::Literal &&
        body.back().kind == TokenKind::Literal) {
        body.back().bytes.insert(body.back().bytes.end(), token.bytes.begin(), token.bytes.end());
        return;
    }
    if (!body.empty() && token.kind == TokenKind::Skip && body.back().kind == TokenKind::Skip) {
        body.back().value += token.value;
        return;
    }
    body.push_back(std::move(token));
}

// Decodes the record at `record` into source tokens; `end` is the byte after its last token.
bool DecodeRecord(const DatabaseView& db, std::uint32_t record, std::vector<Token>& body,
                  std::uint32_t& end, std::string& problem) {
    const std::uint8_t* pat = db.pattern;
    const std::size_t size = db.pattern_size;
    const std::uint32_t first = pat[record];
    if (first == 1) {
        if (std::size_t{record} + 2 > size || record + 2u + pat[record + 1] > size) {
            problem = "record reaches past the pattern buffer";
            return false;
        }
        Token t;
        t.bytes.assign(pat + record + 2, pat + record + 2 + pat[record + 1]);
        AppendToken(body, std::move(t));
        end = record + 2u + pat[record + 1];
        return true;
    }
    const std::uint32_t last = record + first;
    std::uint32_t q = record + 1;
    while (q <= last) {
        if (q >= size) {
            problem = "record reaches past the pattern buffer";
            return false;
        }
        const std::uint8_t t = pat[q];
        Token token;
        if (t >= 200) {
            token.kind = TokenKind::Skip;
            token.value = t - 200u;
            q += 1;
        } else if (t >= 101) {
            token.kind = TokenKind::Gap;
            token.value = t - 100u;
            q += 1;
        } else if (t == 0) {
            problem = "token 0";
            return false;
        } else if (t != 98) {
            if (std::size_t{q} + 1 + t > size) {
                problem = "literal reaches past the pattern buffer";
                return false;
            }
            token.kind = TokenKind::Literal;
            token.bytes.assign(pat + q + 1, pat + q + 1 + t);
            q += 1u + t;
        } else {
            if (std::size_t{q} + 1 >= size) {
                problem = "escape reaches past the pattern buffer";
                return false;
            }
            const std::uint8_t f = pat[q + 1];
            if (f == 0x40) {
                token.kind = TokenKind::Entry;
                q += 2;
            } else if (f & 0x20) {
                if (std::size_t{q} + 5 >= size) {
                    problem = "escape reaches past the pattern buffer";
                    return false;
                }
                token.kind = TokenKind::NearEnd;
                token.value = platform::LoadLe16(pat + q + 4);
                q += 3u + pat[q + 2];
            } else if (f & 0x10) {
                const unsigned low = f & 0x0Fu;
                if (low == 1) {
                    problem = "a routine carried in the record";
                    return false;
                }
                if (low == 2) {
                    if (std::size_t{q} + 4 >= size) {
                        problem = "escape reaches past the pattern buffer";
                        return false;
                    }
                    token.kind = TokenKind::Routine;
                    token.value = platform::LoadLe16(pat + q + 3);
                    q += 5u + pat[q + 2];
                } else {
                    token.kind = TokenKind::Header;
                    q += 2;
                }
            } else {
                token.kind = (f & 0x80) ? TokenKind::HighNibble : TokenKind::LowNibble;
                token.value = f & 0x0Fu;
                q += 2;
            }
        }
        AppendToken(body, std::move(token));
    }
    end = q;
    return true;
}

bool Printable(std::uint8_t b) {
    return b >= 0x20 && b <= 0x7E;
}

std::string Hex(std::uint8_t b) {
    static const char kDigits[] = "0123456789abcdef";
    return std::string{kDigits[b >> 4], kDigits[b & 15]};
}

// A literal as text: runs of three or more printable characters (or a literal that is all
// printable) as strings, the rest as hex.
std::string LiteralText(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t j = i;
        while (j < bytes.size() && Printable(bytes[j])) ++j;
        if (j - i >= 3 || (i == 0 && j == bytes.size() && j > 0)) {
            std::string s = "\"";
            for (std::size_t k = i; k < j; ++k) {
                if (bytes[k] == '\\' || bytes[k] == '"') s += '\\';
                s += static_cast<char>(bytes[k]);
            }
            parts.push_back(s + "\"");
            i = j;
        } else {
            parts.push_back(Hex(bytes[i]));
            ++i;
        }
    }
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : " ") + p;
    return text;
}

std::string BodyText(const std::vector<Token>& body) {
    std::string text;
    for (const Token& t : body) {
        std::string part;
        switch (t.kind) {
            case TokenKind::Literal:
                part = LiteralText(t.bytes);
                break;
            case TokenKind::Skip:
                part = t.value == 1 ? "??" : "{" + std::to_string(t.value) + "}";
                break;
            case TokenKind::Gap:
                part = "{-" + std::to_string(t.value) + "}";
                break;
            case TokenKind::HighNibble:
                part = Hex(static_cast<std::uint8_t>(t.value)).substr(1) + "?";
                break;
            case TokenKind::LowNibble:
                part = "?" + Hex(static_cast<std::uint8_t>(t.value)).substr(1);
                break;
            case TokenKind::Entry:
                part = "(entry)";
                break;
            case TokenKind::NearEnd:
                part = "(near-end " + std::to_string(t.value) + ")";
                break;
            case TokenKind::Header:
                part = "(header)";
                break;
            case TokenKind::Routine:
                part = t.value == 0   ? "(decryptor)"
                       : t.value == 1 ? "(marker)"
                                      : "(routine " + std::to_string(t.value) + ")";
                break;
        }
        text += (text.empty() ? "" : " ") + part;
    }
    return text;
}

std::string TargetText(std::uint8_t mask) {
    std::string text;
    if (mask & kTargetExe) text += "exe";
    if (mask & kTargetCom) text += std::string(text.empty() ? "" : "+") + "com";
    if (mask & kTargetBoot) text += std::string(text.empty() ? "" : "+") + "boot";
    return text;
}

bool ReadWhole(const std::string& path, std::vector<std::uint8_t>& bytes) {
    platform::File file;
    if (!file.OpenRead(path)) return false;
    const std::int64_t size = file.Size();
    if (size < 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    return file.ReadFull(bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

}  // namespace

bool Dump(const std::string& folder_path, std::string& text, std::vector<std::string>& warnings,
          std::string& error) {
    const std::string folder = platform::WithTrailingSlash(folder_path);
    SignatureDatabase database;
    const int code = database.Load(folder);
    if (code != 0) {
        error = "cannot load the database in '" + folder + "' (code " + std::to_string(code) + ")";
        return false;
    }
    if (!database.OpenNameFile(folder)) {
        error = "cannot open the name file '" + std::string(SignatureDatabase::kNameFile) +
                "' in '" + folder + "'";
        return false;
    }
    const DatabaseView db = database.View();

    // The header bytes the loader leaves aside: format tag and version.
    std::vector<std::uint8_t> raw_pattern;
    ReadWhole(platform::ResolveCaseInsensitive(folder, SignatureDatabase::kPatternFile),
              raw_pattern);
    text = "# Signature database dumped by kestravo-sigc\n";
    if (raw_pattern.size() >= 4 && raw_pattern[0] == kFormatTag[0] &&
        raw_pattern[1] == kFormatTag[1]) {
        text += "!version " + std::to_string(platform::LoadLe16(raw_pattern.data() + 2)) + "\n";
    } else {
        warnings.push_back("the pattern file carries no format tag of kestravo-sigc");
    }

    text += "\n# Program and boot signatures\n";
    for (const auto& [record, use] : ListedRecords(db)) {
        std::vector<Token> body;
        std::uint32_t end = 0;
        std::string problem;
        if (!DecodeRecord(db, record, body, end, problem)) {
            warnings.push_back("record at offset " + std::to_string(record) +
                               " cannot be written as source: " + problem);
            text += "# record at offset " + std::to_string(record) + " left out: " + problem + "\n";
            continue;
        }
        if (!database.DecodeVirusName(end)) {
            warnings.push_back("record at offset " + std::to_string(record) +
                               " has no name inside the pattern buffer");
            continue;
        }
        if (use.masks.size() != 1) {
            warnings.push_back("record '" + database.VirusName() +
                               "' is listed with different target masks");
        }
        const std::uint8_t mask = *use.masks.begin();
        if (mask == 0 || (mask & ~7u) != 0) {
            warnings.push_back("record '" + database.VirusName() + "' has target mask " +
                               std::to_string(mask));
        }
        const bool anchored = use.lists.count(256) != 0;
        if (anchored && use.lists.size() != 1) {
            warnings.push_back("record '" + database.VirusName() +
                               "' is in the anchored list and in others");
        }
        text += database.VirusName() + ":" + TargetText(mask) + ":" + (anchored ? "^" : "") +
                BodyText(body) + "\n";
    }

    text += "\n# Document signatures\n";
    bool malformed = false;
    std::vector<DocumentEntry> entries = DocumentEntries(db, malformed);
    if (malformed) warnings.push_back("the document trie holds nodes that cannot be read");
    std::stable_sort(entries.begin(), entries.end(),
                     [](const DocumentEntry& a, const DocumentEntry& b) {
                         return a.name_offset < b.name_offset;
                     });
    for (const DocumentEntry& entry : entries) {
        database.ReadSignatureName(entry.name_offset);
        Token literal;
        literal.bytes = entry.bytes;
        text += database.DocumentName() + ":doc:" + BodyText({literal}) + "\n";
    }

    // Compile the text again and compare: whatever differs was not expressible exactly.
    Source source;
    std::vector<Diagnostic> diagnostics;
    ParseSource(text, "dump", source, diagnostics);
    DatabaseFiles rebuilt;
    if (diagnostics.empty() && Build(source, rebuilt, diagnostics)) {
        const std::pair<const char*, const std::vector<std::uint8_t>*> files[] = {
            {SignatureDatabase::kPatternFile, &rebuilt.pattern},
            {SignatureDatabase::kIndexFile, &rebuilt.index},
            {SignatureDatabase::kDirectoryFile, &rebuilt.directory},
            {SignatureDatabase::kTrieFile, &rebuilt.trie},
            {SignatureDatabase::kNameFile, &rebuilt.names},
        };
        for (const auto& [name, bytes] : files) {
            std::vector<std::uint8_t> original;
            ReadWhole(platform::ResolveCaseInsensitive(folder, name), original);
            if (original != *bytes) {
                warnings.push_back(std::string("compiling the dump does not give '") + name +
                                   "' byte for byte");
            }
        }
    } else {
        for (const Diagnostic& d : diagnostics) {
            warnings.push_back("the dump does not compile: " + d.Text());
        }
    }
    return true;
}

int Check(const std::string& folder, std::size_t& program_signatures,
          std::size_t& document_signatures) {
    program_signatures = document_signatures = 0;
    SignatureDatabase database;
    const int code = database.Load(folder);
    if (code != 0) return code;
    const DatabaseView db = database.View();
    program_signatures = ListedRecords(db).size();
    bool malformed = false;
    document_signatures = DocumentEntries(db, malformed).size();
    return code;
}

}  // namespace kv::sigc
