// Lookups of the catalogue reader over files written byte by byte here, so that layouts the
// compiler never produces (missing languages, records past the end, stray bytes) are covered.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "tests/support/test_support.h"
#include "ui/hint_rules.h"

namespace {

using kv::Catalogue;
using kv::test::TempDir;
using kv::test::WriteFile;

struct Entry {
    std::uint16_t number;
    std::uint8_t language;
    std::string text;
    std::optional<std::uint32_t> offset = std::nullopt;  // overrides the real offset
    std::optional<std::uint16_t> length = std::nullopt;  // overrides the real length
};

void Put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

// The directory in the given order, then the texts in the same order, then `tail`.
std::string Build(const std::vector<Entry>& entries, const std::string& tail = "") {
    std::string directory, texts;
    const std::size_t text_start = entries.size() * 9;
    for (const Entry& e : entries) {
        std::uint32_t offset =
            e.offset.value_or(static_cast<std::uint32_t>(text_start + texts.size()));
        Put16(directory, e.number);
        directory.push_back(static_cast<char>(e.language));
        Put16(directory, e.length.value_or(static_cast<std::uint16_t>(e.text.size())));
        Put16(directory, offset & 0xFFFF);
        Put16(directory, offset >> 16);
        texts += e.text;
    }
    return directory + texts + tail;
}

class CatalogueLookup : public ::testing::Test {
protected:
    void Write(const std::vector<Entry>& entries, const std::string& tail = "") {
        WriteFile(dir_ / "langua.ge", Build(entries, tail));
    }
    std::string Lookup(std::uint16_t number, std::uint16_t language) {
        Catalogue catalogue(dir_.Path(), language);
        return catalogue.Text(number);
    }
    TempDir dir_;
};

TEST_F(CatalogueLookup, PicksTheTextOfTheCurrentLanguage) {
    Write({{136, 1, "Risorse"}, {136, 2, "Resources"}, {137, 1, "Scansione"}, {137, 2, "Scan"}});
    EXPECT_EQ(Lookup(137, 1), "Scansione");
    EXPECT_EQ(Lookup(137, 2), "Scan");
    EXPECT_EQ(Lookup(136, 2), "Resources");
    EXPECT_EQ(Lookup(138, 1), "");  // absent number
    EXPECT_EQ(Lookup(137, 0), "");  // before the settings are read
}

TEST_F(CatalogueLookup, MissingLanguageNeverYieldsAnotherMessagesText) {
    // 137 lacks language 3; the search runs on into 138, whose language-3 record ends it.
    Write({{137, 1, "Scansione"}, {137, 2, "Scan"}, {138, 3, "Drei"}, {139, 1, "Uno"}});
    EXPECT_EQ(Lookup(137, 3), "");
    EXPECT_EQ(Lookup(138, 3), "Drei");
    // 138 lacks language 1; the first language-1 record after it belongs to 139.
    EXPECT_EQ(Lookup(138, 1), "");
    EXPECT_EQ(Lookup(139, 1), "Uno");
}

TEST_F(CatalogueLookup, LanguageSettingIsComparedWithAll16Bits) {
    Write({{5, 0, "zero"}, {5, 1, "one"}, {6, 0, "six"}});
    EXPECT_EQ(Lookup(5, 1), "one");
    EXPECT_EQ(Lookup(5, 256), "");  // low byte 0 must not match language 0
    EXPECT_EQ(Lookup(5, 257), "");  // low byte 1 must not match language 1
    EXPECT_EQ(Lookup(6, 256), "");
}

TEST_F(CatalogueLookup, ZeroLengthTextClearsTheOutput) {
    Write({{1, 1, ""}, {2, 1, "due"}});
    Catalogue catalogue(dir_.Path(), 1);
    std::string text = "old caption";
    catalogue.GetMessageText(1, text);
    EXPECT_EQ(text, "");
    catalogue.GetMessageText(2, text);
    EXPECT_EQ(text, "due");
    catalogue.GetMessageText(3, text);
    EXPECT_EQ(text, "");
}

TEST_F(CatalogueLookup, MissingOrUnreadableFileGivesEmptyTexts) {
    EXPECT_EQ(Lookup(1, 1), "");  // no file at all
    Catalogue nowhere(dir_ / "no/such/folder/", 1);
    EXPECT_EQ(nowhere.Text(1), "");
    WriteFile(dir_ / "langua.ge", "");
    EXPECT_EQ(Lookup(1, 1), "");
    // A folder of that name is not a catalogue.
    TempDir other;
    kv::test::MakeFolders(other / "langua.ge");
    Catalogue folder(other.Path(), 1);
    EXPECT_EQ(folder.Text(1), "");
}

TEST_F(CatalogueLookup, FileNameIsMatchedIgnoringCase) {
    WriteFile(dir_ / "LANGUA.GE", Build({{7, 1, "sette"}}));
    EXPECT_EQ(Lookup(7, 1), "sette");
}

TEST_F(CatalogueLookup, FileIsReadAgainOnEveryLookup) {
    Write({{7, 1, "prima"}});
    Catalogue catalogue(dir_.Path(), 1);
    EXPECT_EQ(catalogue.Text(7), "prima");
    Write({{7, 1, "dopo"}});
    EXPECT_EQ(catalogue.Text(7), "dopo");
    catalogue.SetLanguage(2);
    EXPECT_EQ(catalogue.Text(7), "");
}

TEST_F(CatalogueLookup, RecordReachingPastTheEndGivesTheBytesPresent) {
    // Two records: 18 bytes of directory, texts at 18. The first text claims 10 bytes where
    // only "abc" + "xy" remain; the second points far beyond the end.
    Write({{1, 1, "abc", std::nullopt, 10}, {2, 1, "xy", 5000}});
    EXPECT_EQ(Lookup(1, 1), "abcxy");
    EXPECT_EQ(Lookup(2, 1), "");
    Write({{3, 1, "", 0xFFFFFFFFu, 0xFFFF}});
    EXPECT_EQ(Lookup(3, 1), "");
}

TEST_F(CatalogueLookup, TrailingPieceShorterThanARecordEndsTheDirectory) {
    // A file cut inside its only record: nothing is read from it.
    std::string whole = Build({{9, 1, "nove"}});
    WriteFile(dir_ / "langua.ge", whole.substr(0, 5));
    EXPECT_EQ(Lookup(9, 1), "");
    // Behind the record of an empty text, the first 4 bytes of a record for 9 and no more.
    WriteFile(dir_ / "langua.ge", Build({{8, 1, "", 0}}) + std::string("\x09\x00\x01\x05", 4));
    EXPECT_EQ(Lookup(9, 1), "");
    EXPECT_EQ(Lookup(8, 1), "");
}

TEST_F(CatalogueLookup, TextBytesAreNeverTakenForDirectoryRecords) {
    // The text of message 1 is 18 bytes laid out like two records of message 999; a search for
    // 999 must stop where the texts begin instead of reading them as records.
    std::string fake = Build({{999, 1, "", 0, 3}, {999, 1, "", 0, 3}});
    ASSERT_EQ(fake.size(), 18u);
    Write({{1, 1, fake}, {2, 1, "due"}});
    EXPECT_EQ(Lookup(999, 1), "");
    EXPECT_EQ(Lookup(2, 1), "due");
    // A record whose offset points back into the directory does not end it.
    Write({{4, 1, "quattro", 0, 4}, {5, 1, "cinque"}});
    EXPECT_EQ(Lookup(5, 1), "cinque");
    EXPECT_EQ(Lookup(4, 1), std::string("\x04\x00\x01\x04", 4));
}

TEST_F(CatalogueLookup, LargeDirectorySpanningSeveralReadBlocks) {
    std::vector<Entry> entries;
    for (std::uint16_t n = 0; n < 3000; ++n) {
        entries.push_back({n, 1, "it" + std::to_string(n)});
        entries.push_back({n, 2, "en" + std::to_string(n)});
    }
    Write(entries);
    for (std::uint16_t n : {0, 454, 455, 456, 1999, 2999}) {
        EXPECT_EQ(Lookup(n, 1), "it" + std::to_string(n));
        EXPECT_EQ(Lookup(n, 2), "en" + std::to_string(n));
    }
    EXPECT_EQ(Lookup(3000, 1), "");
}

TEST_F(CatalogueLookup, MessageTextPtrCutsAtACharacterBoundary) {
    const std::string a131(131, 'a');
    const std::string a130(130, 'a');
    const std::string a129(129, 'a');
    Write({{1, 1, a131},
           {2, 1, a131 + "b"},
           {3, 1, a130 + "\xC3\xA9"},                           // é would end at byte 132
           {4, 1, a129 + "\xE2\x82\xAC"},                       // € would end at byte 132
           {5, 1, a129 + "\xC3\xA9"},                           // é ends exactly at byte 131
           {6, 1, std::string(128, 'a') + "\xF0\x9F\x98\x80"},  // 4 bytes to 132
           {7, 1, "corto"},
           {8, 1, a130 + "\x80\x80"}});  // stray bytes count one each
    Catalogue catalogue(dir_.Path(), 1);
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(1)), a131);
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(2)), a131);
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(3)), a130);
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(4)), a129);
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(5)), a129 + "\xC3\xA9");
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(6)), std::string(128, 'a'));
    EXPECT_EQ(std::string(catalogue.MessageTextPtr(8)), a130 + "\x80");
    // Every call overwrites the one buffer.
    const char* first = catalogue.MessageTextPtr(1);
    const char* second = catalogue.MessageTextPtr(7);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "corto");
    EXPECT_STREQ(catalogue.MessageTextPtr(99), "");
}

TEST(Utf8Prefix, KeepsWholeCharactersOnly) {
    EXPECT_EQ(kv::Utf8PrefixLength("", 10), 0u);
    EXPECT_EQ(kv::Utf8PrefixLength("abc", 0), 0u);
    EXPECT_EQ(kv::Utf8PrefixLength("abc", 2), 2u);
    EXPECT_EQ(kv::Utf8PrefixLength("\xC3\xA0\xC3\xA0", 3), 2u);
    EXPECT_EQ(kv::Utf8PrefixLength("\xC3\xA0\xC3\xA0", 4), 4u);
    // A lead byte whose sequence is cut short is a byte of its own.
    EXPECT_EQ(kv::Utf8PrefixLength("a\xE2\x82", 2), 2u);
    // Overlong and surrogate forms are not characters: each byte stands alone.
    EXPECT_EQ(kv::Utf8PrefixLength("\xC0\xAF", 1), 1u);
    EXPECT_EQ(kv::Utf8PrefixLength("\xED\xA0\x80", 2), 2u);
}

TEST(Hints, ShortNumbersAreMessageNumbers) {
    EXPECT_TRUE(kv::IsNumberedHint("1"));
    EXPECT_TRUE(kv::IsNumberedHint("101"));
    EXPECT_TRUE(kv::IsNumberedHint("007"));
    EXPECT_FALSE(kv::IsNumberedHint(""));
    EXPECT_FALSE(kv::IsNumberedHint("1000"));
    EXPECT_FALSE(kv::IsNumberedHint("1a"));
    EXPECT_FALSE(kv::IsNumberedHint("-1"));
    EXPECT_FALSE(kv::IsNumberedHint(" 12"));
    EXPECT_FALSE(kv::IsNumberedHint("Aggiungi file"));
}

TEST(Hints, NumberedHintsAreTranslatedOthersShownAsTheyStand) {
    TempDir dir;
    WriteFile(dir / "langua.ge", Build({{7, 1, "sette"}, {101, 1, "Avvia la scansione"}}));
    Catalogue catalogue(dir.Path(), 1);
    EXPECT_EQ(kv::HintText(catalogue, "101"), "Avvia la scansione");
    EXPECT_EQ(kv::HintText(catalogue, "007"), "sette");
    EXPECT_EQ(kv::HintText(catalogue, "102"), "");  // a number without text
    EXPECT_EQ(kv::HintText(catalogue, "Aggiungi file"), "Aggiungi file");
    EXPECT_EQ(kv::HintText(catalogue, "OK"), "OK");  // short, not a number: as it stands
    EXPECT_EQ(kv::HintText(catalogue, "1a"), "1a");
    EXPECT_EQ(kv::HintText(catalogue, ""), "");
}

TEST(Tags, ZeroAndBelowKeepTheCaptionLargerTagsWrapAt16Bits) {
    EXPECT_EQ(kv::MessageNumberOfTag(0), std::nullopt);
    EXPECT_EQ(kv::MessageNumberOfTag(-137), std::nullopt);
    EXPECT_EQ(kv::MessageNumberOfTag(137), 137);
    EXPECT_EQ(kv::MessageNumberOfTag(65535), 65535);
    EXPECT_EQ(kv::MessageNumberOfTag(65536), 0);
    EXPECT_EQ(kv::MessageNumberOfTag(65536 + 137), 137);
    EXPECT_EQ(kv::MessageNumberOfTag(3 * 65536 + 340), 340);
}

}  // namespace
