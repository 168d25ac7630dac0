// Hand-built databases and windows for the kernel tests: records are written byte by byte
// into a plain (unscrambled) pattern buffer, listed in an index block, and searched through a
// kernel attached to those blocks directly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/detection_routines.h"
#include "engine/match_kernel.h"

namespace kv::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Token encodings.
inline Bytes Lit(const Bytes& bytes) {
    Bytes t{static_cast<std::uint8_t>(bytes.size())};
    return t + bytes;
}
inline Bytes Lit(const std::string& s) {
    return Lit(Str(s));
}
inline Bytes Skip(unsigned n) {
    return {static_cast<std::uint8_t>(200 + n)};
}
inline Bytes Gap(unsigned tries) {
    return {static_cast<std::uint8_t>(99 + tries)};
}
inline Bytes High(unsigned nibble) {
    return {98, static_cast<std::uint8_t>(0x80 | nibble)};
}
inline Bytes Low(unsigned nibble) {
    return {98, static_cast<std::uint8_t>(nibble)};
}
inline Bytes Entry() {
    return {98, 0x40};
}
inline Bytes NearEnd(unsigned n) {
    return {98, 0x20, 3, 0, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)};
}
inline Bytes HeaderMove() {
    return {98, 0x10};
}
inline Bytes Routine(unsigned r) {
    return {98, 0x12, 0, static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(r >> 8)};
}
// A token record: L followed by the tokens.
inline Bytes Record(const Bytes& tokens) {
    Bytes r{static_cast<std::uint8_t>(tokens.size())};
    return r + tokens;
}
inline Bytes Simple(const Bytes& bytes) {
    Bytes r{1, static_cast<std::uint8_t>(bytes.size())};
    return r + bytes;
}

// Encodes a name as the database stores it (written here independently of the compiler).
inline Bytes ScrambledName(const std::string& name) {
    const std::size_t n = name.size();
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t next = i + 1 < n ? static_cast<std::uint8_t>(name[i + 1]) : 0;
        out[i] = static_cast<std::uint8_t>((static_cast<std::uint8_t>(name[i]) ^ next) + n);
    }
    return out;
}

struct AddedRecord {
    std::uint32_t offset = 0;
    std::uint32_t end = 0;  // the hit's record pointer when it matches
};

class HandDatabase {
public:
    HandDatabase() : pattern(8, 0), lists(257) {}

    // Appends a record and its name trailer; returns where it lies.
    AddedRecord Add(const Bytes& record, const std::string& name = "Test") {
        AddedRecord added;
        added.offset = static_cast<std::uint32_t>(pattern.size());
        pattern.insert(pattern.end(), record.begin(), record.end());
        added.end = static_cast<std::uint32_t>(pattern.size());
        pattern.push_back(0);
        pattern.push_back(static_cast<std::uint8_t>(name.size()));
        Bytes scrambled = ScrambledName(name);
        pattern.insert(pattern.end(), scrambled.begin(), scrambled.end());
        return added;
    }
    // Lists a record offset in candidate list `list` with target mask `mask`.
    void List(unsigned list, std::uint32_t record, std::uint8_t mask = 7) {
        lists[list].emplace_back(record, mask);
    }
    // Adds a record and lists it under the byte value `list` (or 256).
    AddedRecord AddListed(unsigned list, const Bytes& record, std::uint8_t mask = 7) {
        AddedRecord added = Add(record);
        List(list, added.offset, mask);
        return added;
    }

    void BuildIndex() {
        index.assign(257 * 4, 0);
        for (std::size_t i = 0; i < 257; ++i) {
            std::size_t at = index.size();
            index[4 * i] = static_cast<std::uint8_t>(at);
            index[4 * i + 1] = static_cast<std::uint8_t>(at >> 8);
            index[4 * i + 2] = static_cast<std::uint8_t>(lists[i].size());
            index[4 * i + 3] = static_cast<std::uint8_t>(lists[i].size() >> 8);
            for (auto [record, mask] : lists[i]) {
                index.push_back(static_cast<std::uint8_t>(record));
                index.push_back(static_cast<std::uint8_t>(record >> 8));
                index.push_back(mask);
            }
        }
    }

    DatabaseView View() {
        if (index.empty()) BuildIndex();
        DatabaseView v;
        v.pattern = pattern.data();
        v.pattern_size = pattern.size();
        v.index = index.data();
        v.index_size = index.size();
        if (!directory.empty()) {
            v.directory = directory.data();
            v.directory_size = directory.size();
            v.trie = trie.data();
            v.trie_size = trie.size();
        }
        return v;
    }

    Bytes pattern;
    Bytes index;
    std::vector<std::vector<std::pair<std::uint32_t, std::uint8_t>>> lists;
    Bytes directory;
    Bytes trie;
};

// A kernel with its own routines and a window buffer whose bytes past the fill are garbage,
// so that a test notices when a match reads them.
struct KernelRig {
    DetectionRoutines routines;
    MatchKernel kernel{routines};
    Bytes buffer;

    void Attach(HandDatabase& db) { kernel.Attach(db.View()); }

    // Fills the window with `data` (capacity at least its size) under `class_mask`; the size
    // limit is the data's size unless given.
    void Fill(const Bytes& data, std::uint8_t class_mask = MatchKernel::kClassProgram,
              std::int64_t window_offset = 0, std::int64_t size_limit = -1) {
        std::size_t capacity = std::max<std::size_t>(data.size(), 64);
        buffer.assign(capacity + 96, 0xA5);
        std::copy(data.begin(), data.end(), buffer.begin());
        kernel.SetWindow(capacity, buffer.data());
        kernel.SetFill(data.size(), window_offset);
        ScanWindowState& w = kernel.Window();
        w.class_mask = class_mask;
        w.saved_count = data.size();
        w.entry_known = 0;
        w.size_limit =
            size_limit >= 0 ? size_limit : window_offset + static_cast<std::int64_t>(data.size());
        std::memset(w.header, 0, sizeof w.header);
        std::copy_n(data.begin(), std::min(data.size(), sizeof w.header), w.header);
    }

    std::vector<Hit> Scan(int mode = MatchKernel::kModeAll) {
        kernel.ScanWindow(mode);
        std::vector<Hit> hits;
        for (std::size_t i = 0; i < kernel.HitCount(); ++i) hits.push_back(kernel.HitAt(i));
        return hits;
    }

    std::vector<std::int64_t> Offsets(int mode = MatchKernel::kModeAll) {
        std::vector<std::int64_t> offsets;
        for (const Hit& h : Scan(mode)) offsets.push_back(h.file_offset);
        return offsets;
    }
};

}  // namespace kv::test
