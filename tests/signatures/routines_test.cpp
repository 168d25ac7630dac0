// The built-in detection routines on hand-assembled 16-bit code and hand-encrypted markers.
#include <gtest/gtest.h>

#include "engine/detection_routines.h"
#include "tests/signatures/sig_fixture.h"

namespace kv::test {
namespace {

TEST(InstructionLength, FollowsTheOneByteOpcodeMap) {
    using x86::InstructionLength;
    EXPECT_EQ(InstructionLength(0x05, 0), 3u);     // add ax, imm16
    EXPECT_EQ(InstructionLength(0x04, 0), 2u);     // add al, imm8
    EXPECT_EQ(InstructionLength(0x81, 0x06), 6u);  // op [disp16], imm16
    EXPECT_EQ(InstructionLength(0x80, 0x46), 4u);  // op [bp+disp8], imm8
    EXPECT_EQ(InstructionLength(0x83, 0xC0), 3u);  // op reg, imm8
    EXPECT_EQ(InstructionLength(0x8B, 0x86), 4u);  // mov reg, [bp+disp16]
    EXPECT_EQ(InstructionLength(0x8B, 0x06), 4u);  // mov reg, [disp16]
    EXPECT_EQ(InstructionLength(0x8B, 0x46), 3u);
    EXPECT_EQ(InstructionLength(0x8B, 0xC0), 2u);
    EXPECT_EQ(InstructionLength(0x8B, 0x07), 2u);
    EXPECT_EQ(InstructionLength(0xC7, 0x86), 6u);  // mov [bp+disp16], imm16
    EXPECT_EQ(InstructionLength(0xC6, 0x06), 5u);
    EXPECT_EQ(InstructionLength(0xF6, 0xC0), 3u);  // test al, imm8
    EXPECT_EQ(InstructionLength(0xF7, 0xC0), 2u);  // no immediate in the table
    EXPECT_EQ(InstructionLength(0xC8, 0), 4u);     // enter imm16, imm8
    EXPECT_EQ(InstructionLength(0xE8, 0), 3u);
    EXPECT_EQ(InstructionLength(0xEA, 0), 5u);
    EXPECT_EQ(InstructionLength(0x9A, 0), 5u);
    EXPECT_EQ(InstructionLength(0xA1, 0), 3u);
    EXPECT_EQ(InstructionLength(0x75, 0), 2u);
    EXPECT_EQ(InstructionLength(0xCD, 0), 2u);
    EXPECT_EQ(InstructionLength(0x0F, 0x86), 1u);  // no two-byte opcodes
    EXPECT_EQ(InstructionLength(0x90, 0), 1u);
}

Bytes Moves(int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b = b + Bytes{0x8B, 0xC0};
    return b;
}

const Bytes kXorMemory{0x31, 0x86, 0x34, 0x12};  // xor [bp+1234h], ax

bool FindLoop(DetectionRoutines& routines, Bytes code, std::size_t& position) {
    code.resize(std::max<std::size_t>(code.size(), 300), 0x90);
    DataView view{code.data(), code.size()};
    position = 0;
    return routines.FindDecryptorLoop(view, position);
}

TEST(DecryptorLoop, XorAfterFiveMovesClosedByAJumpBack) {
    DetectionRoutines r;
    std::size_t position = 0;
    // 5 moves (offset 10), the XOR (operation offset 10), one byte, then jnz back to 10.
    Bytes loop = Moves(5) + kXorMemory + Bytes{0x47, 0x75, 0xFB};
    EXPECT_TRUE(FindLoop(r, loop, position));
    EXPECT_EQ(position, 15u);
    // With four moves the XOR is not a decryption operation.
    EXPECT_FALSE(FindLoop(r, Moves(4) + kXorMemory + Bytes{0x47, 0x75, 0xFD}, position));
    // ENTER is ordinary procedure code.
    EXPECT_FALSE(FindLoop(r, Bytes{0xC8, 0, 0, 0} + loop, position));
    // The byte right after the operation is not examined.
    EXPECT_FALSE(FindLoop(r, Moves(5) + kXorMemory + Bytes{0x75, 0xFA}, position));
}

TEST(DecryptorLoop, ForwardJumpsAreSkippedAndLateLoopsNeedEightMoves) {
    DetectionRoutines r;
    std::size_t position = 0;
    // Operation at 30 (20 filler bytes, five moves); a forward jnz at 40 is passed over; the
    // loop closes at 60 back to 30: 30 > 27, so four moves are enough before offset 122.
    Bytes code = Bytes(20, 0x90) + Moves(5) + kXorMemory;
    code.resize(200, 0x90);
    code[40] = 0x75;
    code[41] = 0x10;
    code[60] = 0x75;
    code[61] = static_cast<std::uint8_t>(30 - 60);
    EXPECT_TRUE(FindLoop(r, code, position));
    EXPECT_EQ(position, 60u);

    // The same loop closing at 125 needs eight moves in all.
    code[60] = 0x90;
    code[125] = 0x75;
    code[126] = static_cast<std::uint8_t>(30 - 125);
    EXPECT_FALSE(FindLoop(r, code, position));
    code[45] = 0x8B;
    code[46] = 0xD3;
    code[47] = 0x8B;
    EXPECT_TRUE(FindLoop(r, code, position));
    EXPECT_EQ(position, 125u);

    // A loop end past offset 133 is never reached.
    code[125] = 0x90;
    code[140] = 0x75;
    code[141] = static_cast<std::uint8_t>(30 - 140);
    EXPECT_FALSE(FindLoop(r, code, position));
}

TEST(DecryptorLoop, StoreToTheRememberedOperandAcrossCalls) {
    DetectionRoutines r;
    std::size_t position = 0;
    // mov ax,[bp+1234h]; mov [bp+1234h],ax; one byte; jnz back to 0.
    Bytes load_store = Bytes{0x8B, 0x86, 0x34, 0x12, 0x89, 0x86, 0x34, 0x12, 0x40, 0x75, 0xF7};
    EXPECT_TRUE(FindLoop(r, load_store, position));
    EXPECT_EQ(position, 9u);
    EXPECT_EQ(r.RememberedOperand(), 0x12348600u);
    // The operand survives the call: a store alone is found in the next one.
    Bytes store = Bytes{0x89, 0x86, 0x34, 0x12, 0x40, 0x75, 0xFB};
    EXPECT_TRUE(FindLoop(r, store, position));
    EXPECT_EQ(position, 5u);
    r.ForgetOperand();
    EXPECT_FALSE(FindLoop(r, store, position));
}

TEST(DecryptorLoop, ReadsOnlyTheDataItIsGiven) {
    DetectionRoutines r;
    Bytes code = Moves(5) + kXorMemory;  // the loop's end lies past the data: zeros
    DataView view{code.data(), code.size()};
    std::size_t position = 0;
    EXPECT_FALSE(r.FindDecryptorLoop(view, position));
    EXPECT_EQ(position, 0u);
}

// The marker BF A1 15 + eight 0x90 at p+1..p+11 under the key (k1 on even offsets from p,
// k2 on odd ones), by XOR or by addition.
Bytes Marker(std::uint8_t k1, std::uint8_t k2, bool additive) {
    Bytes plain = Bytes{0xBF, 0xA1, 0x15} + Bytes(8, 0x90);
    Bytes out{0x00};  // byte p
    for (std::size_t i = 1; i <= 11; ++i) {
        std::uint8_t key = (i % 2 == 0) ? k1 : k2;
        std::uint8_t b = plain[i - 1];
        out.push_back(additive ? static_cast<std::uint8_t>(b + key)
                               : static_cast<std::uint8_t>(b ^ key));
    }
    return out;
}

bool FindMarker(DetectionRoutines& r, const Bytes& data, std::size_t start, std::size_t saved,
                std::size_t& position) {
    DataView view{data.data(), data.size()};
    position = start;
    return r.FindEncryptedMarker(view, position, saved);
}

TEST(EncryptedMarker, PlainXorAndAdditiveKeys) {
    DetectionRoutines r;
    std::size_t position = 0;
    for (bool additive : {false, true}) {
        for (auto [k1, k2] : {std::pair<int, int>{0, 0}, {0x37, 0xC2}, {0xFF, 0x01}}) {
            Bytes data =
                Str("Dabcd") +
                Marker(static_cast<std::uint8_t>(k1), static_cast<std::uint8_t>(k2), additive) +
                Str("tail");
            EXPECT_TRUE(FindMarker(r, data, 0, data.size(), position))
                << "additive " << additive << " key " << k1 << "," << k2;
            EXPECT_EQ(position, 5u);
        }
    }
}

TEST(EncryptedMarker, SearchExtentFollowsTheSavedCount) {
    DetectionRoutines r;
    std::size_t position = 0;
    Bytes data = Str("Dabcd") + Marker(0x11, 0x22, false) + Bytes(40, '.');
    EXPECT_FALSE(FindMarker(r, data, 0, 13, position));  // 13 or less: never
    EXPECT_TRUE(FindMarker(r, data, 0, 18, position));   // p up to 0 + 18 - 13 = 5
    EXPECT_FALSE(FindMarker(r, data, 0, 17, position));
    EXPECT_FALSE(FindMarker(r, data, 5, 40, position));  // the search starts after D
    EXPECT_TRUE(FindMarker(r, data, 4, 40, position));
    // A marker cut off by the end of the data is not completed by the zeros after it.
    Bytes cut(data.begin(), data.begin() + 12);
    EXPECT_FALSE(FindMarker(r, cut, 0, 100, position));
}

TEST(RoutineTable, DispatchesByNumber) {
    DetectionRoutines r;
    Bytes data = Str("Dabcd") + Marker(0, 0, false) + Str("tail");
    DataView view{data.data(), data.size()};
    std::size_t position = 0;
    EXPECT_TRUE(r.Call(DetectionRoutines::kEncryptedMarker, view, position, data.size()));
    EXPECT_EQ(position, 5u);
    position = 0;
    EXPECT_FALSE(r.Call(2, view, position, data.size()));
    EXPECT_FALSE(r.Call(0xFFFF, view, position, data.size()));
    Bytes loop = Moves(5) + kXorMemory + Bytes{0x47, 0x75, 0xFB};
    DataView code{loop.data(), loop.size()};
    position = 0;
    EXPECT_TRUE(r.Call(DetectionRoutines::kDecryptorLoop, code, position, 0));
    EXPECT_EQ(position, 15u);
}

}  // namespace
}  // namespace kv::test
