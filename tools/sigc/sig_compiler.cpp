#include "tools/sigc/sig_compiler.h"

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <set>

namespace kv::sigc {

namespace {

constexpr std::size_t kMaxFileSize = 65535;
constexpr std::size_t kIndexTableSize = 257 * 4;
constexpr std::size_t kMaxLiteralToken = 100;
constexpr std::size_t kMaxSkipToken = 55;
constexpr std::size_t kMaxChain = 253;
constexpr std::size_t kMaxBranchKeys = 254;
// The document search works on blocks of this many bytes; a longer signature is never found.
constexpr std::size_t kMaxDocumentSignature = 4000;

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A decimal number of at most `max`, the whole text.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= max;
}

bool ValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        static const std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// The line without its comment: '#' starts one unless it lies inside a quoted string.
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == '#') {
            return line.substr(0, i);
        }
    }
    return line;
}

// The text of the token that starts at `i`, for messages.
std::string TokenText(const std::string& body, std::size_t i) {
    std::size_t e = i;
    while (e < body.size() && !IsBlank(body[e])) ++e;
    return body.substr(i, std::min<std::size_t>(e - i, 40));
}

void Append(std::vector<Token>& body, Token token) {
    if (!body.empty()) {
        Token& last = body.back();
        if (token.kind == TokenKind::Literal && last.kind == TokenKind::Literal) {
            last.bytes.insert(last.bytes.end(), token.bytes.begin(), token.bytes.end());
            return;
        }
        if (token.kind == TokenKind::Skip && last.kind == TokenKind::Skip) {
            last.value += token.value;
            return;
        }
    }
    if (token.kind == TokenKind::Literal && token.bytes.empty()) return;
    // A lone {0} stays: it skips nothing but ends the literal before it, which decides how
    // many bytes a gap search compares at each try.
    body.push_back(std::move(token));
}

bool ParseParenthesised(const std::string& inner, Token& token, std::string& error) {
    const std::string text = Trim(inner);
    std::size_t space = text.find_first_of(" \t");
    const std::string word = Lower(text.substr(0, space));
    const std::string argument = space == std::string::npos ? "" : Trim(text.substr(space));
    unsigned long value = 0;
    if (word == "entry" || word == "header" || word == "decryptor" || word == "marker") {
        if (!argument.empty()) {
            error = "'(" + word + ")' takes no argument";
            return false;
        }
        if (word == "entry") token.kind = TokenKind::Entry;
        if (word == "header") token.kind = TokenKind::Header;
        if (word == "decryptor" || word == "marker") {
            token.kind = TokenKind::Routine;
            token.value = word == "decryptor" ? 0 : 1;
        }
        return true;
    }
    if (word == "near-end" || word == "routine") {
        if (!ParseNumber(argument, 65535, value)) {
            error = "'(" + word + " N)' needs a number from 0 to 65535";
            return false;
        }
        token.kind = word == "near-end" ? TokenKind::NearEnd : TokenKind::Routine;
        token.value = static_cast<unsigned>(value);
        return true;
    }
    error = "unknown token '(" + text + ")'";
    return false;
}

bool ParseBody(const std::string& body, std::vector<Token>& tokens, std::string& error) {
    std::size_t i = 0;
    const std::size_t n = body.size();
    while (i < n) {
        const char c = body[i];
        if (IsBlank(c)) {
            ++i;
            continue;
        }
        Token token;
        if (c == '"') {
            token.kind = TokenKind::Literal;
            std::size_t j = i + 1;
            bool closed = false;
            while (j < n) {
                const char s = body[j];
                if (s == '"') {
                    closed = true;
                    ++j;
                    break;
                }
                if (s == '\\') {
                    if (j + 1 >= n) break;
                    const char e = body[j + 1];
                    if (e == '\\' || e == '"') {
                        token.bytes.push_back(static_cast<std::uint8_t>(e));
                        j += 2;
                    } else if (e == 'x' && j + 3 < n && HexValue(body[j + 2]) >= 0 &&
                               HexValue(body[j + 3]) >= 0) {
                        token.bytes.push_back(static_cast<std::uint8_t>(HexValue(body[j + 2]) * 16 +
                                                                        HexValue(body[j + 3])));
                        j += 4;
                    } else {
                        error = "unknown escape '\\" + std::string(1, e) +
                                "' in a string (use \\\\, \\\" or \\xHH)";
                        return false;
                    }
                    continue;
                }
                token.bytes.push_back(static_cast<std::uint8_t>(s));
                ++j;
            }
            if (!closed) {
                error = "unterminated string";
                return false;
            }
            i = j;
        } else if (c == '{') {
            const std::size_t close = body.find('}', i);
            if (close == std::string::npos) {
                error = "unknown token '" + TokenText(body, i) + "' (missing '}')";
                return false;
            }
            const std::string inner = Trim(body.substr(i + 1, close - i - 1));
            unsigned long value = 0;
            if (!inner.empty() && inner[0] == '-') {
                if (!ParseNumber(inner.substr(1), 99, value) || value < 1) {
                    error = "a gap '{-m}' needs m from 1 to 99, not '{" + inner + "}'";
                    return false;
                }
                token.kind = TokenKind::Gap;
            } else {
                if (!ParseNumber(inner, 65535, value)) {
                    error = "a skip '{n}' needs n from 0 to 65535, not '{" + inner + "}'";
                    return false;
                }
                token.kind = TokenKind::Skip;
            }
            token.value = static_cast<unsigned>(value);
            i = close + 1;
        } else if (c == '(') {
            const std::size_t close = body.find(')', i);
            if (close == std::string::npos) {
                error = "unknown token '" + TokenText(body, i) + "' (missing ')')";
                return false;
            }
            if (!ParseParenthesised(body.substr(i + 1, close - i - 1), token, error)) return false;
            i = close + 1;
        } else {
            const char d = i + 1 < n ? body[i + 1] : '\0';
            const int hi = HexValue(c);
            const int lo = HexValue(d);
            if (hi >= 0 && lo >= 0) {
                token.kind = TokenKind::Literal;
                token.bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            } else if (hi >= 0 && d == '?') {
                token.kind = TokenKind::HighNibble;
                token.value = static_cast<unsigned>(hi);
            } else if (c == '?' && lo >= 0) {
                token.kind = TokenKind::LowNibble;
                token.value = static_cast<unsigned>(lo);
            } else if (c == '?' && d == '?') {
                token.kind = TokenKind::Skip;
                token.value = 1;
            } else {
                error = "unknown token '" + TokenText(body, i) + "'";
                return false;
            }
            i += 2;
        }
        Append(tokens, std::move(token));
    }
    return true;
}

bool TestsSomething(const std::vector<Token>& body) {
    for (const Token& t : body) {
        if (t.kind != TokenKind::Skip) return true;
    }
    return false;
}

// The byte values the first data byte of a record can have (the candidate lists it joins).
std::vector<unsigned> FirstByteValues(const std::vector<Token>& body) {
    std::vector<unsigned> all(256);
    for (unsigned v = 0; v < 256; ++v) all[v] = v;
    for (const Token& t : body) {
        switch (t.kind) {
            case TokenKind::Entry:
            case TokenKind::NearEnd:
                continue;  // conditions consume no data
            case TokenKind::Skip:
                if (t.value == 0) continue;
                return all;
            case TokenKind::Literal:
                return {t.bytes[0]};
            case TokenKind::HighNibble: {
                std::vector<unsigned> values;
                for (unsigned low = 0; low < 16; ++low) values.push_back(t.value << 4 | low);
                return values;
            }
            case TokenKind::LowNibble: {
                std::vector<unsigned> values;
                for (unsigned high = 0; high < 16; ++high) values.push_back(high << 4 | t.value);
                return values;
            }
            default:
                return all;
        }
    }
    return all;
}

std::string Quote(const std::string& name) {
    return "'" + name + "'";
}

std::string Where(const Signature& s) {
    return s.file + ":" + std::to_string(s.line);
}

}  // namespace

std::string Diagnostic::Text() const {
    if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
    return file + ": " + message;
}

void ParseSource(const std::string& text, const std::string& file, Source& source,
                 std::vector<Diagnostic>& errors) {
    std::size_t start = 0;
    int line_number = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto fail = [&](const std::string& message) {
            errors.push_back(Diagnostic{file, line_number, message});
        };
        line = Trim(StripComment(line));
        if (line.empty()) continue;

        if (line[0] == '!') {
            const std::size_t space = line.find_first_of(" \t");
            const std::string word = line.substr(0, space);
            const std::string argument = space == std::string::npos ? "" : Trim(line.substr(space));
            unsigned long value = 0;
            if (word != "!version") {
                fail("unknown directive '" + word + "'");
            } else if (!ParseNumber(argument, 65535, value)) {
                fail("'!version N' needs a number from 0 to 65535");
            } else if (source.version >= 0 && source.version != static_cast<int>(value)) {
                fail("a second database version " + std::to_string(value) + " (version " +
                     std::to_string(source.version) + " given at " + source.version_file + ":" +
                     std::to_string(source.version_line) + ")");
            } else {
                source.version = static_cast<int>(value);
                source.version_file = file;
                source.version_line = line_number;
            }
            continue;
        }

        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            fail("expected NAME:TARGETS:BODY");
            continue;
        }
        Signature sig;
        sig.file = file;
        sig.line = line_number;
        sig.name = Trim(line.substr(0, first));
        const std::string targets = Lower(Trim(line.substr(first + 1, second - first - 1)));
        std::string body = Trim(line.substr(second + 1));

        bool bad_name = false;
        if (sig.name.empty()) {
            fail("empty name");
            bad_name = true;
        } else if (sig.name.size() > 255) {
            fail("name longer than 255 bytes");
            bad_name = true;
        } else if (!ValidUtf8(sig.name)) {
            fail("name is not valid UTF-8");
            bad_name = true;
        } else if (sig.name[0] == ';' || sig.name[0] == '}') {
            fail("name " + Quote(sig.name) + " begins with ';' or '}', which the engine drops");
            bad_name = true;
        } else {
            for (char c : sig.name) {
                const unsigned char u = static_cast<unsigned char>(c);
                if (u < 0x20 || u == 0x7F || c == '"') {
                    fail("name " + Quote(sig.name) + " holds a control character or a quote");
                    bad_name = true;
                    break;
                }
            }
        }

        bool bad_targets = false;
        if (targets == "doc") {
            sig.document = true;
        } else {
            std::size_t from = 0;
            while (true) {
                const std::size_t plus = targets.find('+', from);
                const std::string word = Trim(targets.substr(from, plus - from));
                if (word == "exe") {
                    sig.targets |= kTargetExe;
                } else if (word == "com") {
                    sig.targets |= kTargetCom;
                } else if (word == "boot") {
                    sig.targets |= kTargetBoot;
                } else {
                    fail("unknown target '" + word + "' (exe, com, boot joined by '+', or doc)");
                    bad_targets = true;
                    break;
                }
                if (plus == std::string::npos) break;
                from = plus + 1;
            }
        }

        if (!body.empty() && body[0] == '^') {
            sig.anchored = true;
            body = Trim(body.substr(1));
        }
        std::string error;
        if (!ParseBody(body, sig.body, error)) {
            fail(error);
            continue;
        }
        if (bad_name || bad_targets) continue;
        if (!TestsSomething(sig.body)) {
            fail("empty body");
            continue;
        }
        bool bad_gap = false;
        for (std::size_t k = 0; k < sig.body.size() && !bad_gap; ++k) {
            if (sig.body[k].kind != TokenKind::Gap) continue;
            const TokenKind next = k + 1 < sig.body.size() ? sig.body[k + 1].kind : TokenKind::Gap;
            const bool allowed = k + 1 < sig.body.size() &&
                                 (next == TokenKind::Literal || next == TokenKind::HighNibble ||
                                  next == TokenKind::LowNibble || next == TokenKind::Entry ||
                                  next == TokenKind::NearEnd || next == TokenKind::Routine);
            if (!allowed) {
                fail("a gap '{-" + std::to_string(sig.body[k].value) +
                     "}' must be followed by a literal, a nibble test, a condition or a routine");
                bad_gap = true;
            }
        }
        if (bad_gap) continue;
        if (sig.document) {
            if (sig.anchored) {
                fail("a document signature cannot be anchored with '^'");
                continue;
            }
            if (sig.body.size() != 1 || sig.body[0].kind != TokenKind::Literal) {
                fail("a document signature holds literals only");
                continue;
            }
            if (sig.body[0].bytes.size() > kMaxDocumentSignature) {
                fail("a document signature longer than 4000 bytes could never be found");
                continue;
            }
        }
        source.signatures.push_back(std::move(sig));
    }
}

std::vector<std::uint8_t> ScrambleName(const std::string& name) {
    const std::size_t n = name.size();
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t y = static_cast<std::uint8_t>(name[i]);
        const std::uint8_t next = i + 1 < n ? static_cast<std::uint8_t>(name[i + 1]) : 0;
        out[i] = static_cast<std::uint8_t>((y ^ next) + n);
    }
    return out;
}

void ScramblePattern(std::vector<std::uint8_t>& pattern) {
    const std::size_t size = pattern.size();
    if (size < 31) return;
    // Every byte from 28 to size - 3 is stored as itself plus its plain successor; in
    // ascending order the successor is still plain when it is added.
    for (std::size_t i = 28; i <= size - 3; ++i) {
        pattern[i] = static_cast<std::uint8_t>(pattern[i] + pattern[i + 1]);
    }
}

bool EncodeRecord(const std::vector<Token>& body, std::vector<std::uint8_t>& record,
                  std::string& error) {
    record.clear();
    if (body.size() == 1 && body[0].kind == TokenKind::Literal && body[0].bytes.size() <= 255) {
        record.push_back(1);
        record.push_back(static_cast<std::uint8_t>(body[0].bytes.size()));
        record.insert(record.end(), body[0].bytes.begin(), body[0].bytes.end());
        return true;
    }
    std::vector<std::uint8_t> tokens;
    for (const Token& t : body) {
        switch (t.kind) {
            case TokenKind::Literal: {
                std::size_t at = 0;
                while (at < t.bytes.size()) {
                    std::size_t take = std::min(kMaxLiteralToken, t.bytes.size() - at);
                    if (take == 98) take = 97;  // 98 is the escape byte, no literal length
                    tokens.push_back(static_cast<std::uint8_t>(take));
                    tokens.insert(tokens.end(), t.bytes.begin() + static_cast<long>(at),
                                  t.bytes.begin() + static_cast<long>(at + take));
                    at += take;
                }
                break;
            }
            case TokenKind::Skip: {
                unsigned left = t.value;
                if (left == 0) tokens.push_back(200);
                while (left > 0) {
                    const unsigned take = std::min<unsigned>(kMaxSkipToken, left);
                    tokens.push_back(static_cast<std::uint8_t>(200 + take));
                    left -= take;
                }
                break;
            }
            case TokenKind::Gap:
                tokens.push_back(static_cast<std::uint8_t>(100 + t.value));
                break;
            case TokenKind::HighNibble:
                tokens.insert(tokens.end(), {98, static_cast<std::uint8_t>(0x80 | t.value)});
                break;
            case TokenKind::LowNibble:
                tokens.insert(tokens.end(), {98, static_cast<std::uint8_t>(t.value)});
                break;
            case TokenKind::Entry:
                tokens.insert(tokens.end(), {98, 0x40});
                break;
            case TokenKind::NearEnd:
                tokens.insert(tokens.end(), {98, 0x20, 3, 0, static_cast<std::uint8_t>(t.value),
                                             static_cast<std::uint8_t>(t.value >> 8)});
                break;
            case TokenKind::Header:
                tokens.insert(tokens.end(), {98, 0x10});
                break;
            case TokenKind::Routine:
                tokens.insert(tokens.end(), {98, 0x12, 0, static_cast<std::uint8_t>(t.value),
                                             static_cast<std::uint8_t>(t.value >> 8)});
                break;
        }
        if (tokens.size() > 255) break;
    }
    if (tokens.size() > 255) {
        error = "record longer than 255 token bytes";
        return false;
    }
    // A one-byte token list would read as a simple record; bodies that test something are
    // never that short.
    if (tokens.size() < 2) {
        error = "empty body";
        return false;
    }
    record.push_back(static_cast<std::uint8_t>(tokens.size()));
    record.insert(record.end(), tokens.begin(), tokens.end());
    return true;
}

namespace {

struct TrieNode {
    int leaf = -1;        // index of the document signature that ends here
    int first = INT_MAX;  // lowest signature index below this node (for messages)
    std::map<std::uint8_t, std::unique_ptr<TrieNode>> children;
};

class TrieWriter {
public:
    TrieWriter(const Source& source, const std::vector<int>& name_offsets,
               std::vector<Diagnostic>& errors)
        : source_(source), name_offsets_(name_offsets), errors_(errors) {}

    bool Emit(const TrieNode& node, std::vector<std::uint8_t>& out) {
        if (node.leaf >= 0) {
            const int offset = name_offsets_[static_cast<std::size_t>(node.leaf)];
            out.insert(out.end(), {1, static_cast<std::uint8_t>(offset),
                                   static_cast<std::uint8_t>(offset >> 8)});
            return true;
        }
        if (node.children.size() == 1) {
            std::vector<std::uint8_t> bytes;
            const TrieNode* at = &node;
            while (at->leaf < 0 && at->children.size() == 1 && bytes.size() < kMaxChain) {
                bytes.push_back(at->children.begin()->first);
                at = at->children.begin()->second.get();
            }
            out.push_back(static_cast<std::uint8_t>(255 - bytes.size()));
            out.insert(out.end(), bytes.begin(), bytes.end());
            return Emit(*at, out);
        }
        if (node.children.size() > kMaxBranchKeys) {
            Fail(node, "more than 254 different bytes follow one prefix of document signatures");
            return false;
        }
        const std::size_t keys = node.children.size();
        out.push_back(0);
        out.push_back(static_cast<std::uint8_t>(keys));
        for (const auto& child : node.children) out.push_back(child.first);
        const std::size_t fields = out.size();
        out.resize(out.size() + 2 * keys, 0);
        std::size_t k = 0;
        for (const auto& child : node.children) {
            const std::size_t field = fields + 2 * k++;
            const std::size_t relative = out.size() - field;
            if (relative > 0xFFFF) {
                Fail(*child.second, "document trie too large: a child lies over 65535 bytes away");
                return false;
            }
            out[field] = static_cast<std::uint8_t>(relative);
            out[field + 1] = static_cast<std::uint8_t>(relative >> 8);
            if (!Emit(*child.second, out)) return false;
        }
        return true;
    }

    void Fail(const TrieNode& node, const std::string& message) {
        const Signature& s = source_.signatures[static_cast<std::size_t>(node.first)];
        errors_.push_back(Diagnostic{s.file, s.line, message});
    }

private:
    const Source& source_;
    const std::vector<int>& name_offsets_;
    std::vector<Diagnostic>& errors_;
};

void PutU16(std::vector<std::uint8_t>& v, std::size_t at, std::size_t value) {
    v[at] = static_cast<std::uint8_t>(value);
    v[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

std::vector<std::string> NameList(const Source& source) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const Signature& s : source.signatures) {
        if (seen.insert(s.name).second) names.push_back(s.name);
    }
    return names;
}

bool Build(const Source& source, DatabaseFiles& files, std::vector<Diagnostic>& errors) {
    const std::size_t errors_before = errors.size();
    files = DatabaseFiles{};
    const auto& sigs = source.signatures;

    // Names are unique among the program/boot signatures and among the document signatures
    // (one name may serve both, as the test string's does).
    std::map<std::string, const Signature*> program_names, document_names;
    for (const Signature& s : sigs) {
        auto& names = s.document ? document_names : program_names;
        auto found = names.find(s.name);
        if (found != names.end()) {
            errors.push_back(Diagnostic{
                s.file, s.line,
                "duplicate name " + Quote(s.name) + " (first at " + Where(*found->second) + ")"});
        } else {
            names.emplace(s.name, &s);
        }
    }

    // Pattern file and candidate lists.
    std::vector<std::uint8_t> pattern(8, 0);
    pattern[0] = kFormatTag[0];
    pattern[1] = kFormatTag[1];
    const int version = source.version < 0 ? 0 : source.version;
    PutU16(pattern, 2, static_cast<std::size_t>(version));
    std::vector<std::vector<std::pair<std::size_t, std::uint8_t>>> lists(257);
    std::size_t index_size = kIndexTableSize;
    bool pattern_full = false, index_full = false;
    for (const Signature& s : sigs) {
        if (s.document) continue;
        std::vector<std::uint8_t> record;
        std::string error;
        if (!EncodeRecord(s.body, record, error)) {
            errors.push_back(Diagnostic{s.file, s.line, error});
            continue;
        }
        const std::size_t offset = pattern.size();
        const std::vector<std::uint8_t> name = ScrambleName(s.name);
        if (offset + record.size() + 2 + name.size() > kMaxFileSize) {
            if (!pattern_full) {
                errors.push_back(
                    Diagnostic{s.file, s.line, "the pattern file would exceed 65535 bytes"});
            }
            pattern_full = true;
            continue;
        }
        pattern.insert(pattern.end(), record.begin(), record.end());
        pattern.push_back(0);  // the byte before the name's length is not used
        pattern.push_back(static_cast<std::uint8_t>(name.size()));
        pattern.insert(pattern.end(), name.begin(), name.end());

        std::vector<unsigned> values;
        if (s.anchored) {
            values = {256};
        } else {
            values = FirstByteValues(s.body);
        }
        if (index_size + 3 * values.size() > kMaxFileSize) {
            if (!index_full) {
                errors.push_back(
                    Diagnostic{s.file, s.line, "the index file would exceed 65535 bytes"});
            }
            index_full = true;
            continue;
        }
        index_size += 3 * values.size();
        for (unsigned v : values) lists[v].emplace_back(offset, s.targets);
    }
    PutU16(pattern, 4, pattern.size());
    PutU16(pattern, 6, index_size);

    std::vector<std::uint8_t> index(kIndexTableSize, 0);
    for (std::size_t i = 0; i < lists.size(); ++i) {
        PutU16(index, 4 * i, index.size());
        PutU16(index, 4 * i + 2, lists[i].size());
        for (const auto& [offset, mask] : lists[i]) {
            index.push_back(static_cast<std::uint8_t>(offset));
            index.push_back(static_cast<std::uint8_t>(offset >> 8));
            index.push_back(mask);
        }
    }

    // Name file, in source order.
    std::vector<int> name_offsets(sigs.size(), -1);
    std::vector<std::uint8_t> names;
    bool names_full = false;
    for (std::size_t i = 0; i < sigs.size(); ++i) {
        const Signature& s = sigs[i];
        if (!s.document) continue;
        if (names.size() > 0xFFFF) {
            if (!names_full) {
                errors.push_back(
                    Diagnostic{s.file, s.line, "the name file would put a name past offset 65535"});
            }
            names_full = true;
            continue;
        }
        name_offsets[i] = static_cast<int>(names.size());
        names.push_back(static_cast<std::uint8_t>(s.name.size()));
        names.insert(names.end(), s.name.begin(), s.name.end());
    }

    // Document trie: one root per first byte; a signature may not be a prefix of another.
    std::unique_ptr<TrieNode> roots[256];
    for (std::size_t i = 0; i < sigs.size(); ++i) {
        const Signature& s = sigs[i];
        if (!s.document || name_offsets[i] < 0) continue;
        const std::vector<std::uint8_t>& bytes = s.body[0].bytes;
        std::unique_ptr<TrieNode>& root = roots[bytes[0]];
        if (!root) root = std::make_unique<TrieNode>();
        TrieNode* node = root.get();
        bool clash = false;
        for (std::size_t k = 1; k <= bytes.size(); ++k) {
            if (node->leaf >= 0) {
                const Signature& shorter = sigs[static_cast<std::size_t>(node->leaf)];
                if (k == bytes.size()) {
                    errors.push_back(Diagnostic{
                        s.file, s.line,
                        "document signature " + Quote(s.name) + " has the same bytes as " +
                            Quote(shorter.name) + " (" + Where(shorter) + ")"});
                } else {
                    errors.push_back(Diagnostic{
                        s.file, s.line,
                        "document signature " + Quote(shorter.name) + " (" + Where(shorter) +
                            ") is a prefix of " + Quote(s.name) + ", which could never be found"});
                }
                clash = true;
                break;
            }
            if (k == bytes.size()) break;
            auto& child = node->children[bytes[k]];
            if (!child) child = std::make_unique<TrieNode>();
            node->first = std::min(node->first, static_cast<int>(i));
            node = child.get();
        }
        if (clash) continue;
        if (!node->children.empty()) {
            const Signature& longer = sigs[static_cast<std::size_t>(node->first)];
            errors.push_back(Diagnostic{s.file, s.line,
                                        "document signature " + Quote(s.name) + " is a prefix of " +
                                            Quote(longer.name) + " (" + Where(longer) +
                                            "), which could never be found"});
            continue;
        }
        node->leaf = static_cast<int>(i);
        node->first = std::min(node->first, static_cast<int>(i));
    }
    std::vector<std::uint8_t> directory(512, 0xFF);
    std::vector<std::uint8_t> trie;
    TrieWriter writer(source, name_offsets, errors);
    for (unsigned b = 0; b < 256; ++b) {
        if (!roots[b]) continue;
        if (roots[b]->leaf < 0 && roots[b]->children.empty()) continue;  // all refused
        if (trie.size() >= 0xFFFF) {
            writer.Fail(*roots[b], "document trie too large: a root lies past offset 65534");
            break;
        }
        PutU16(directory, 2 * b, trie.size());
        if (!writer.Emit(*roots[b], trie)) break;
    }

    if (errors.size() != errors_before) return false;
    ScramblePattern(pattern);
    files.pattern = std::move(pattern);
    files.index = std::move(index);
    files.directory = std::move(directory);
    files.trie = std::move(trie);
    files.names = std::move(names);
    return true;
}

}  // namespace kv::sigc
