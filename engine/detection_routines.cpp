#include "engine/detection_routines.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace kv {

namespace x86 {
namespace {

struct Range {
    unsigned first;
    unsigned last;
};

constexpr std::array<std::uint8_t, 256> MakeTable(std::initializer_list<Range> ranges,
                                                  std::uint8_t value) {
    std::array<std::uint8_t, 256> table{};
    for (const Range& r : ranges) {
        for (unsigned i = r.first; i <= r.last; ++i) table[i] = value;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> MakeWordImmediate() {
    std::array<std::uint8_t, 256> table = MakeTable({{0x05, 0x05},
                                                     {0x0D, 0x0D},
                                                     {0x15, 0x15},
                                                     {0x1D, 0x1D},
                                                     {0x25, 0x25},
                                                     {0x2D, 0x2D},
                                                     {0x35, 0x35},
                                                     {0x3D, 0x3D},
                                                     {0x68, 0x69},
                                                     {0x81, 0x81},
                                                     {0xA0, 0xA3},
                                                     {0xA9, 0xA9},
                                                     {0xB8, 0xBF},
                                                     {0xC2, 0xC2},
                                                     {0xC7, 0xC8},
                                                     {0xCA, 0xCA},
                                                     {0xE8, 0xE9}},
                                                    2);
    table[0x9A] = 4;  // far call: offset and segment
    table[0xEA] = 4;  // far jump: offset and segment
    return table;
}

constexpr std::array<std::uint8_t, 256> MakeDisplacement() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned mod = m >> 6;
        if (mod == 0 && (m & 7u) == 6u) table[m] = 2;  // direct 16-bit address
        if (mod == 1) table[m] = 1;
        if (mod == 2) table[m] = 2;
    }
    return table;
}

}  // namespace

const std::array<std::uint8_t, 256> kHasOperandByte = MakeTable({{0x00, 0x03},
                                                                 {0x08, 0x0B},
                                                                 {0x10, 0x13},
                                                                 {0x18, 0x1B},
                                                                 {0x20, 0x23},
                                                                 {0x28, 0x2B},
                                                                 {0x30, 0x33},
                                                                 {0x38, 0x3B},
                                                                 {0x63, 0x63},
                                                                 {0x80, 0x8F},
                                                                 {0xC0, 0xC1},
                                                                 {0xC6, 0xC7},
                                                                 {0xD0, 0xD3},
                                                                 {0xF6, 0xF7},
                                                                 {0xFE, 0xFF}},
                                                                1);

const std::array<std::uint8_t, 256> kByteImmediate =
    MakeTable({{0x04, 0x04}, {0x0C, 0x0C}, {0x14, 0x14}, {0x1C, 0x1C}, {0x24, 0x24}, {0x2C, 0x2C},
               {0x34, 0x34}, {0x3C, 0x3C}, {0x6A, 0x6B}, {0x70, 0x7F}, {0x80, 0x80}, {0x82, 0x83},
               {0xA8, 0xA8}, {0xB0, 0xB7}, {0xC0, 0xC1}, {0xC6, 0xC6}, {0xC8, 0xC8}, {0xCD, 0xCD},
               {0xE0, 0xE7}, {0xEB, 0xEB}, {0xF6, 0xF6}},
              1);

const std::array<std::uint8_t, 256> kWordImmediate = MakeWordImmediate();
const std::array<std::uint8_t, 256> kDisplacement = MakeDisplacement();

}  // namespace x86

const DetectionRoutines::Routine DetectionRoutines::kTable[kRoutineCount] = {
    &DetectionRoutines::CallDecryptorLoop,
    &DetectionRoutines::FindEncryptedMarker,
};

bool DetectionRoutines::Call(unsigned number, const DataView& data, std::size_t& position,
                             std::size_t saved_count) {
    if (number >= kRoutineCount) return false;
    return (this->*kTable[number])(data, position, saved_count);
}

bool DetectionRoutines::FindDecryptorLoop(const DataView& data, std::size_t& position) {
    const std::size_t start = position;
    // Offsets from the start position are kept in bytes, as the loop-closing jump's target
    // arithmetic works modulo 256.
    unsigned walked = 0;
    unsigned operation_offset = 0;
    unsigned moves = 0;
    unsigned length = 0;

    // Walk whole instructions until the operation that decrypts memory.
    for (;;) {
        const std::uint8_t opcode = data.At(start + walked);
        length = x86::InstructionLength(opcode, data.At(start + walked + 1));
        if (opcode == 0xC8) return false;  // ENTER: ordinary procedure code
        if (opcode == 0x8B || opcode == 0xD3) moves = (moves + 1) & 0xFFu;
        bool operation = false;
        if (length - 1 == 3) {
            // An operand byte with a 16-bit displacement: the memory operand of the loop.
            const std::uint32_t operand =
                (static_cast<std::uint32_t>(data.At(start + walked + 1)) << 8) |
                (static_cast<std::uint32_t>(data.At(start + walked + 2)) << 16) |
                (static_cast<std::uint32_t>(data.At(start + walked + 3)) << 24);
            if (opcode == 0x31) {
                operation_offset = walked;
                if (moves < 5) return false;
                operation = true;
            } else if (opcode == 0x89 || opcode == 0x87) {
                operation = operand == remembered_operand_;
            } else if (opcode == 0x2B || opcode == 0x33 || opcode == 0x8B) {
                remembered_operand_ = operand;
                operation_offset = walked;
            }
        }
        if (operation) break;
        walked = (walked + length) & 0xFFu;
        if (walked > 240) return false;
    }

    // Look for the conditional jump that closes the loop back over the operation.
    walked = (walked + length) & 0xFFu;
    while (walked <= 132) {
        walked += 1;
        const std::uint8_t byte = data.At(start + walked);
        if (byte == 0x8B || byte == 0xD3) {
            moves = (moves + 1) & 0xFFu;
        } else if (byte == 0x75) {
            const std::uint8_t target =
                static_cast<std::uint8_t>(walked + data.At(start + walked + 1));
            if (static_cast<std::int8_t>(target) >
                static_cast<std::int8_t>(static_cast<std::uint8_t>(operation_offset))) {
                continue;  // jumps forward past the operation: not the loop's end
            }
            bool found;
            if (target <= 27) {
                found = true;
            } else if (walked > 122) {
                found = moves >= 8;
            } else {
                found = moves >= 4;
            }
            if (found) position = start + walked;
            return found;
        }
    }
    return false;
}

bool DetectionRoutines::FindEncryptedMarker(const DataView& data, std::size_t& position,
                                            std::size_t saved_count) {
    if (saved_count <= 13) return false;
    const std::size_t first = position + 1;
    std::size_t last = position + saved_count - 13;
    // From p = count - 1 on, every byte the test reads is 0, and zero bytes never form the
    // marker under either rule: the search may stop there.
    if (data.count < 2) return false;
    last = std::min(last, data.count - 2);
    for (std::size_t p = first; p <= last; ++p) {
        std::uint8_t b[12];
        if (p + 12 <= data.count) {
            std::memcpy(b, data.data + p, 12);
        } else {
            for (std::size_t i = 0; i < 12; ++i) b[i] = data.At(p + i);
        }
        if (std::memcmp(b + 4, b + 8, 4) != 0) continue;
        const std::uint8_t a = b[4];
        const std::uint8_t k = b[5];
        bool found;
        if ((b[1] ^ k ^ 0x90) == 0xBF) {
            found = (b[2] ^ a ^ 0x90) == 0xA1 && (b[3] ^ k ^ 0x90) == 0x15;
        } else {
            const std::uint8_t ka = static_cast<std::uint8_t>(a - 0x90);
            const std::uint8_t kb = static_cast<std::uint8_t>(k - 0x90);
            found = static_cast<std::uint8_t>(b[1] - kb) == 0xBF &&
                    static_cast<std::uint8_t>(b[2] - ka) == 0xA1 &&
                    static_cast<std::uint8_t>(b[3] - kb) == 0x15;
        }
        if (found) {
            position = p;
            return true;
        }
    }
    return false;
}

}  // namespace kv
