// The kernel against a deliberately simple reference matcher, written straight from the rules
// of the signature language with none of the kernel's shortcuts (no prepared lists, no
// prefilter, byte-by-byte reads), on thousands of random databases and windows. Both must
// report the same hits in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/signature_database.h"
#include "tests/signatures/sig_fixture.h"
#include "tests/support/test_support.h"

namespace kv::test {
namespace {

struct RefWindow {
    Bytes data;
    std::uint8_t header[28] = {};
    std::int64_t window_offset = 0;
    std::int64_t size_limit = 0;
    std::size_t saved_count = 0;
    std::uint8_t class_mask = 2;
    bool entry_known = false;
};

class Reference {
public:
    Reference(const Bytes& pattern, const Bytes& index, DetectionRoutines& routines)
        : pat_(pattern), index_(index), routines_(routines) {}

    std::vector<Hit> Scan(const RefWindow& w, int mode) {
        w_ = &w;
        std::vector<Hit> hits;
        if (w.data.empty()) return hits;
        std::vector<std::size_t> starts;
        if (mode == MatchKernel::kModeAnchored) {
            starts.push_back(0);
        } else {
            for (std::size_t p = 0; p + 1 < w.data.size(); ++p) starts.push_back(p);
        }
        for (std::size_t p : starts) {
            unsigned list = mode == MatchKernel::kModeAnchored ? 256 : w.data[p];
            for (auto [record, mask] : Candidates(list)) {
                if (hits.size() == 30) return hits;
                if ((mask & w.class_mask) == 0) continue;
                std::uint32_t end = 0;
                if (Matches(record, p, end))
                    hits.push_back(Hit{end, w.window_offset + static_cast<std::int64_t>(p)});
            }
        }
        return hits;
    }

private:
    std::vector<std::pair<std::uint32_t, std::uint8_t>> Candidates(unsigned list) const {
        std::vector<std::pair<std::uint32_t, std::uint8_t>> out;
        if (4 * list + 4 > index_.size()) return out;
        unsigned offset = index_[4 * list] | (index_[4 * list + 1] << 8);
        unsigned count = index_[4 * list + 2] | (index_[4 * list + 3] << 8);
        for (unsigned c = 0; c < count; ++c) {
            unsigned at = offset + 3 * c;
            if (at + 3 > index_.size()) break;
            out.emplace_back(index_[at] | (index_[at + 1] << 8), index_[at + 2]);
        }
        return out;
    }

    // The byte at position i of the window (region 0) or the header copy (region 1); zero
    // past the filled bytes.
    std::uint8_t Byte(int region, std::size_t i) const {
        if (region == 1) return i < 28 ? w_->header[i] : 0;
        return i < w_->data.size() ? w_->data[i] : 0;
    }
    std::size_t Filled(int region) const { return region == 1 ? 28 : w_->data.size(); }
    bool In(std::size_t at) const { return at < pat_.size(); }

    bool SameBytes(int region, std::size_t d, std::size_t q, std::size_t n) const {
        for (std::size_t i = 0; i < n; ++i) {
            if (Byte(region, d + i) != pat_[q + i]) return false;
        }
        return true;
    }

    bool NibbleHolds(std::uint8_t flags, std::uint8_t byte) const {
        std::uint8_t half = (flags & 0x80) ? (byte >> 4) : (byte & 15);
        return half == (flags & 15);
    }

    bool Matches(std::uint32_t record, std::size_t p, std::uint32_t& end) {
        budget_ = MatchKernel::kGapTryBudget;
        if (!In(record)) return false;
        bool ok;
        if (pat_[record] == 1) {
            if (!In(record + 1)) return false;
            std::size_t n = pat_[record + 1];
            if (record + 2 + n > pat_.size()) return false;
            ok = SameBytes(0, p, record + 2, n);
            end = static_cast<std::uint32_t>(record + 2 + n);
        } else {
            ok = Tokens(record + 1, record + pat_[record], 0, p, end);
        }
        if (!ok) return false;
        // The name trailer must lie inside the pattern buffer.
        return In(end + 1) && end + 2 + pat_[end + 1] <= pat_.size();
    }

    bool Tokens(std::size_t q, std::size_t last, int region, std::size_t d, std::uint32_t& end) {
        while (q <= last) {
            if (!In(q)) return false;
            std::uint8_t t = pat_[q];
            if (t == 0) return false;
            if (t >= 200) {
                d += t - 200;
                q += 1;
            } else if (t >= 101) {
                return GapTokens(q, last, region, d, end);
            } else if (t != 98) {
                if (q + 1 + t > pat_.size() || !SameBytes(region, d, q + 1, t)) return false;
                d += t;
                q += 1 + t;
            } else {
                if (!In(q + 1)) return false;
                std::uint8_t f = pat_[q + 1];
                if (f == 0x40) {
                    if (!w_->entry_known) return false;
                    q += 2;
                } else if (f & 0x20) {
                    if (!In(q + 5)) return false;
                    std::int64_t n = pat_[q + 4] | (pat_[q + 5] << 8);
                    std::int64_t offset = region == 0
                                              ? w_->window_offset + static_cast<std::int64_t>(d)
                                              : static_cast<std::int64_t>(d);
                    std::int64_t r = w_->size_limit - offset;
                    if (r < 0 || n < r) return false;
                    q += 3 + pat_[q + 2];
                } else if ((f & 0x10) && (f & 15) == 2) {
                    if (!In(q + 4)) return false;
                    unsigned number = pat_[q + 3] | (pat_[q + 4] << 8);
                    DataView view = region == 0 ? DataView{w_->data.data(), w_->data.size()}
                                                : DataView{w_->header, 28};
                    std::size_t position = d;
                    if (!routines_.Call(number, view, position, w_->saved_count)) return false;
                    d = position;
                    q += 5 + pat_[q + 2];
                } else if ((f & 0x10) && (f & 15) == 1) {
                    return false;
                } else if (f & 0x10) {
                    region = 1;
                    d = 0;
                    q += 2;
                } else {
                    if (!NibbleHolds(f, Byte(region, d))) return false;
                    d += 1;
                    q += 2;
                }
            }
        }
        end = static_cast<std::uint32_t>(q);
        return true;
    }

    bool GapTokens(std::size_t q, std::size_t last, int region, std::size_t d, std::uint32_t& end) {
        unsigned tries = pat_[q] - 99u;
        std::size_t next = q + 1;
        if (next > last || !In(next)) return false;
        std::uint8_t u = pat_[next];
        bool nibble = false;
        std::size_t width = 0, after = 0;
        if (u >= 1 && u <= 100 && u != 98) {
            width = u;
            after = next + 1 + u;
            if (after > pat_.size()) return false;
        } else if (u == 98) {
            if (!In(next + 1)) return false;
            std::uint8_t f = pat_[next + 1];
            bool condition = f == 0x40 || (f & 0x20) || (f & 0x10);
            if (condition) return Tokens(next, last, region, d, end);
            nibble = true;
            width = 1;
            after = next + 2;
        } else {
            return false;
        }
        unsigned used = 0;
        std::size_t j = 0;
        while (used < tries) {
            if (budget_ == 0) return false;
            --budget_;
            bool unit = nibble ? NibbleHolds(pat_[next + 1], Byte(region, d + j))
                               : SameBytes(region, d + j, next + 1, width);
            if (unit) {
                if (Tokens(after, last, region, d + j + width, end)) return true;
                if (d + j < Filled(region)) {  // a near miss inside the data is free
                    ++j;
                    continue;
                }
            }
            ++used;
            ++j;
        }
        return false;
    }

    const Bytes& pat_;
    const Bytes& index_;
    DetectionRoutines& routines_;
    const RefWindow* w_ = nullptr;
    std::uint32_t budget_ = 0;
};

// ---- Random databases and windows ----

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(rng_() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }

    std::uint8_t DataByte() {
        static const std::uint8_t kAlphabet[] = {'A', 'B', 'C', 0x00, 0x90, 0x75, 0x8B, 0xBF};
        return Chance(90) ? kAlphabet[Below(sizeof kAlphabet)]
                          : static_cast<std::uint8_t>(Below(256));
    }

    Bytes Literal(unsigned max) {
        Bytes b(1 + Below(max));
        for (auto& x : b) x = DataByte();
        return b;
    }

    Bytes Unit() {  // what may follow a gap
        unsigned r = Below(10);
        if (r < 6) return Lit(Literal(3));
        if (r < 8) return Chance(50) ? High(DataByte() >> 4) : Low(DataByte() & 15);
        if (r == 8) return Entry();
        return Chance(50) ? NearEnd(Below(300)) : Routine(Below(3));
    }

    Bytes Token() {
        unsigned r = Below(100);
        if (r < 35) return Lit(Literal(4));
        if (r < 45) return Skip(Below(4));
        if (r < 57) return Gap(2 + Below(4)) + (Chance(95) ? Unit() : Skip(1));
        if (r < 67) return Chance(50) ? High(DataByte() >> 4) : Low(DataByte() & 15);
        if (r < 71) return Entry();
        if (r < 76) {
            Bytes t = NearEnd(Below(300));
            if (Chance(20)) t[2] = static_cast<std::uint8_t>(Below(6));
            return t;
        }
        if (r < 79) return HeaderMove();
        if (r < 83) {
            Bytes t = Routine(Below(3));
            if (Chance(20)) {
                t[2] = 1;
                t.push_back(0xEE);
            }
            return t;
        }
        if (r < 84) return Bytes{98, 0x11, 0, 0xF8, 0xC3};
        if (r < 85) return Bytes{0};
        if (r < 87) return Bytes{98, static_cast<std::uint8_t>(Below(256))};
        return Lit(Literal(2));
    }

    Bytes RandomRecord() {
        if (Chance(15)) return Simple(Literal(4));
        Bytes tokens;
        unsigned n = 1 + Below(5);
        for (unsigned i = 0; i < n; ++i) tokens = tokens + Token();
        if (tokens.size() > 250) tokens.resize(250);
        Bytes record = Record(tokens);
        if (Chance(10)) record[0] = static_cast<std::uint8_t>(Below(record.size() + 3));  // bad L
        return record;
    }

    // A random database: records in random lists with random masks, some list entries
    // pointing anywhere into the pattern buffer, sometimes a truncated last trailer.
    HandDatabase Database() {
        HandDatabase db;
        unsigned records = 1 + Below(40);
        std::vector<std::pair<std::uint32_t, Bytes>> added;
        for (unsigned i = 0; i < records; ++i) {
            Bytes record = RandomRecord();
            AddedRecord at = db.Add(record, Chance(50) ? "N" : "Name" + std::to_string(i));
            added.emplace_back(at.offset, record);
        }
        if (Chance(10)) db.pattern.resize(db.pattern.size() - 1 - Below(3));
        for (auto& [offset, record] : added) {
            std::uint8_t mask = static_cast<std::uint8_t>(Chance(90) ? 1 + Below(7) : Below(256));
            unsigned lists = 1 + Below(3);
            for (unsigned k = 0; k < lists; ++k) {
                unsigned list;
                if (Chance(15)) {
                    list = 256;
                } else if (Chance(60) && record.size() > 2) {
                    list = record[0] == 1
                               ? record[2]
                               : (record[1] >= 1 && record[1] <= 100 ? record[2] : DataByte());
                } else {
                    list = DataByte();
                }
                db.List(list, offset, mask);
            }
        }
        for (unsigned k = Below(4); k > 0; --k) {
            db.List(Chance(50) ? DataByte() : 256,
                    Below(static_cast<unsigned>(db.pattern.size() + 10)),
                    static_cast<std::uint8_t>(1 + Below(7)));
        }
        db.BuildIndex();
        if (Chance(5)) db.index.resize(Below(static_cast<unsigned>(db.index.size())));
        return db;
    }

    RefWindow Window() {
        RefWindow w;
        unsigned size = Chance(10) ? Below(3) : Below(200);
        w.data.resize(size);
        for (auto& b : w.data) b = DataByte();
        w.window_offset = Chance(50) ? 0 : Below(5000);
        w.size_limit = w.window_offset + size + static_cast<int>(Below(200)) - 50;
        w.saved_count = Below(size + 30);
        static const std::uint8_t kClasses[] = {1, 2, 4, 3, 7, 6};
        w.class_mask = kClasses[Below(sizeof kClasses)];
        w.entry_known = Chance(50);
        for (std::size_t i = 0; i < 28; ++i)
            w.header[i] = i < size && Chance(80) ? w.data[i] : DataByte();
        return w;
    }

private:
    std::mt19937 rng_;
};

std::string Describe(const std::vector<Hit>& hits) {
    std::string s;
    for (const Hit& h : hits) {
        s.append("(").append(std::to_string(h.record)).append("@");
        s.append(std::to_string(h.file_offset)).append(")");
    }
    return s;
}

TEST(KernelDifferential, AgreesWithTheReferenceOnRandomRecordsAndWindows) {
    Generator gen(20240611);
    DetectionRoutines kernel_routines;
    DetectionRoutines reference_routines;
    MatchKernel kernel(kernel_routines);
    std::size_t compared = 0, with_hits = 0;
    for (int round = 0; round < 3000; ++round) {
        HandDatabase db = gen.Database();
        kernel.Attach(db.View());
        Reference reference(db.pattern, db.index, reference_routines);
        for (int k = 0; k < 6; ++k) {
            RefWindow w = gen.Window();
            // The kernel's buffer carries garbage past the fill that the reference never has.
            Bytes buffer = w.data;
            buffer.resize(w.data.size() + 300);
            for (std::size_t i = w.data.size(); i < buffer.size(); ++i) buffer[i] = gen.DataByte();
            kernel.SetWindow(buffer.size(), buffer.data());
            kernel.SetFill(w.data.size(), w.window_offset);
            ScanWindowState& s = kernel.Window();
            s.size_limit = w.size_limit;
            s.saved_count = w.saved_count;
            s.class_mask = w.class_mask;
            s.entry_known = w.entry_known ? 1 : 0;
            std::memcpy(s.header, w.header, 28);
            for (int mode : {MatchKernel::kModeAll, MatchKernel::kModeAnchored}) {
                std::vector<Hit> expected = reference.Scan(w, mode);
                kernel.ScanWindow(mode);
                std::vector<Hit> actual;
                for (std::size_t i = 0; i < kernel.HitCount(); ++i)
                    actual.push_back(kernel.HitAt(i));
                ASSERT_EQ(Describe(actual), Describe(expected))
                    << "round " << round << " window " << k << " mode " << mode;
                ++compared;
                if (!expected.empty()) ++with_hits;
            }
        }
    }
    // The random material must really exercise matches, not just agree on nothing.
    EXPECT_GT(with_hits, compared / 5);
}

}  // namespace
}  // namespace kv::test

namespace kv::test {
namespace {

// Random sets of document signatures, compiled by kestravo-sigc into a trie, searched by the
// kernel and by a naive search for every signature at every position.
TEST(DocumentDifferential, TrieSearchAgreesWithANaiveSearch) {
    std::mt19937 rng(777);
    auto below = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    static const std::uint8_t kAlphabet[] = {'a', 'b', 'c', 0x00, 0xFF};
    std::size_t with_hits = 0;
    for (int round = 0; round < 60; ++round) {
        TempDir dir;
        // Prefix-free signatures: all of one length per first byte would be too regular, so
        // draw freely and drop any that is a prefix of another or has one.
        std::vector<Bytes> signatures;
        const unsigned wanted = 1 + below(round % 2 == 0 ? 12 : 400);
        for (unsigned tries = 0; signatures.size() < wanted && tries < wanted * 4; ++tries) {
            Bytes s(1 + below(6));
            for (auto& b : s)
                b = below(4) == 0 ? static_cast<std::uint8_t>(below(256)) : kAlphabet[below(5)];
            bool clash = false;
            for (const Bytes& t : signatures) {
                const std::size_t n = std::min(s.size(), t.size());
                if (std::equal(s.begin(), s.begin() + static_cast<long>(n), t.begin()))
                    clash = true;
            }
            if (!clash) signatures.push_back(s);
        }
        std::string source;
        for (std::size_t i = 0; i < signatures.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "D%05u",
                          static_cast<unsigned>(i));  // every name 6 bytes: offset 7 i
            source += std::string(name) + ":doc:";
            for (std::uint8_t b : signatures[i]) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x ", b);
                source += hex;
            }
            source += "\n";
        }
        WriteFile(dir / "docs.sig", source);
        CommandResult r =
            RunCommand({ProgramDir() + "kestravo-sigc", "-o", dir / "db", dir / "docs.sig"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        SignatureDatabase db;
        ASSERT_EQ(db.Load(dir / "db"), 0);
        DetectionRoutines routines;
        MatchKernel kernel(routines);
        kernel.Attach(db.View());
        for (int k = 0; k < 20; ++k) {
            Bytes data(below(300));
            for (auto& b : data)
                b = below(8) == 0 ? static_cast<std::uint8_t>(below(256)) : kAlphabet[below(5)];
            std::vector<std::pair<std::int64_t, std::uint32_t>> expected;
            for (std::size_t p = 0; p < data.size() && expected.size() < 30; ++p) {
                for (std::size_t i = 0; i < signatures.size(); ++i) {
                    const Bytes& s = signatures[i];
                    if (p + s.size() <= data.size() &&
                        std::equal(s.begin(), s.end(), data.begin() + static_cast<long>(p))) {
                        expected.emplace_back(1000 + static_cast<std::int64_t>(p),
                                              static_cast<std::uint32_t>(7 * i));
                    }
                }
            }
            kernel.SearchDocumentTrie(data.data(), data.size(), 1000);
            std::vector<std::pair<std::int64_t, std::uint32_t>> actual;
            for (std::size_t i = 0; i < kernel.HitCount(); ++i) {
                actual.emplace_back(kernel.HitAt(i).file_offset, kernel.HitAt(i).record);
            }
            ASSERT_EQ(actual, expected) << "round " << round << " window " << k;
            if (!expected.empty()) ++with_hits;
        }
    }
    EXPECT_GT(with_hits, 300u);
}

}  // namespace
}  // namespace kv::test
