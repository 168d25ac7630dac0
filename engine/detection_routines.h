// The detection routines built into the engine. Signature records call them by number through
// an escape token (see match_kernel.h) when a virus hides its body behind an encryption layer
// that no fixed byte pattern can catch:
//   0  FindDecryptorLoop    a decryption loop in 16-bit x86 code at the data position;
//   1  FindEncryptedMarker  the byte sequence BF A1 15 followed by eight 0x90 bytes, stored
//                           under a two-byte XOR or additive key, anywhere after the position.
// Both read their data through a DataView, so a read past the filled bytes gives 0 and never
// touches memory outside the block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv {

// A block of bytes with the number of bytes that are really filled. Every byte at or past
// `count` reads as 0: the matching code never sees what an earlier fill left in a buffer, and
// never reads outside the block.
struct DataView {
    const std::uint8_t* data = nullptr;
    std::size_t count = 0;

    std::uint8_t At(std::size_t i) const { return i < count ? data[i] : 0; }
};

// Instruction lengths of 16-bit x86 code (one-byte opcode map, 16-bit operands and addressing),
// as the decryptor search decodes them. Prefixes and two-byte opcodes are not treated specially.
namespace x86 {

// 1 when the opcode is followed by an operand (ModR/M) byte.
extern const std::array<std::uint8_t, 256> kHasOperandByte;
// 1 when the opcode carries a byte immediate.
extern const std::array<std::uint8_t, 256> kByteImmediate;
// 2 or 4 when the opcode carries a word immediate (4: far pointers 9A and EA).
extern const std::array<std::uint8_t, 256> kWordImmediate;
// Displacement bytes that an operand byte adds: 2 for a direct address (mod 00, r/m 110),
// 1 for mod 01, 2 for mod 10, 0 otherwise.
extern const std::array<std::uint8_t, 256> kDisplacement;

// Length of the instruction with `opcode`, whose next byte is `operand_byte`.
inline unsigned InstructionLength(std::uint8_t opcode, std::uint8_t operand_byte) {
    unsigned length = 1u + kByteImmediate[opcode] + kWordImmediate[opcode];
    if (kHasOperandByte[opcode] != 0) length += 1u + kDisplacement[operand_byte];
    return length;
}

}  // namespace x86

// The routine table with the scratch state its routines keep. One instance per matching
// kernel; the remembered operand of FindDecryptorLoop survives between calls on purpose (a
// store that matches a load seen in an earlier call still counts).
class DetectionRoutines {
public:
    static constexpr unsigned kDecryptorLoop = 0;
    static constexpr unsigned kEncryptedMarker = 1;
    static constexpr unsigned kRoutineCount = 2;

    // Calls routine `number` at `position` of `data`. `saved_count` is the window's saved
    // count, the extent of the marker search. Returns whether the routine reported "found";
    // on "found" `position` is where the routine left it. An unknown number is "not found".
    bool Call(unsigned number, const DataView& data, std::size_t& position,
              std::size_t saved_count);

    // Routine 0: looks for a decryption loop starting at `position`: an operation on memory
    // with a 16-bit displacement (an XOR, or a store back to where a load read from) after
    // enough register moves, closed by a conditional short jump (0x75) back to it. On "found"
    // `position` is the 0x75 byte. Reads at most about 250 bytes from `position`.
    bool FindDecryptorLoop(const DataView& data, std::size_t& position);

    // Routine 1: searches p from position + 1 to position + saved_count - 13 for the marker
    // under a two-byte key; on "found" `position` becomes p. Never found when saved_count is
    // 13 or less.
    bool FindEncryptedMarker(const DataView& data, std::size_t& position, std::size_t saved_count);

    // The operand (three bytes after an opcode) that FindDecryptorLoop last remembered, in
    // the upper 24 bits of the word; its low byte is 0.
    std::uint32_t RememberedOperand() const { return remembered_operand_; }
    void ForgetOperand() { remembered_operand_ = 0; }

private:
    using Routine = bool (DetectionRoutines::*)(const DataView&, std::size_t&, std::size_t);
    bool CallDecryptorLoop(const DataView& data, std::size_t& position, std::size_t) {
        return FindDecryptorLoop(data, position);
    }
    static const Routine kTable[kRoutineCount];

    std::uint32_t remembered_operand_ = 0;
};

}  // namespace kv
