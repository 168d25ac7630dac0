// Fuzz target: the message catalogue lookup over a hostile "langua.ge".
//
// Input: message number (2 bytes), language (2 bytes), then the catalogue file. The file is
// written to a scratch folder and looked up there through kv::Catalogue, as the program
// does; the texts must equal what the same lookup gives over the bytes held in memory, and
// the 132-byte buffer form must hold a prefix of the text cut at a character boundary.

#include <cstring>
#include <string>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_format.h"
#include "fuzz/fuzz_support.h"
#include "ui/hint_rules.h"

namespace {

// The text of `number` found by the directory search over the catalogue in memory.
std::string ExpectedText(std::string_view image, std::uint16_t number, std::uint16_t language) {
    kv::catalogue::ImageRecords records(image);
    std::optional<kv::catalogue::Record> record =
        kv::catalogue::FindRecord(records, number, language);
    if (!record) return {};
    return std::string(kv::catalogue::TextOf(image, *record));
}

void CheckLookup(kv::Catalogue& catalogue, std::string_view image, std::uint16_t number) {
    std::string text = catalogue.Text(number);
    KV_FUZZ_CHECK(text == ExpectedText(image, number, catalogue.Language()));

    std::string again = "left over";
    catalogue.GetMessageText(number, again);
    KV_FUZZ_CHECK(again == text);

    const char* buffer = catalogue.MessageTextPtr(number);
    std::size_t length = kv::Utf8PrefixLength(text, kv::Catalogue::kBufferSize - 1);
    KV_FUZZ_CHECK(length <= kv::Catalogue::kBufferSize - 1);
    KV_FUZZ_CHECK(std::memcmp(buffer, text.data(), length) == 0);
    KV_FUZZ_CHECK(buffer[length] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::fuzz::InputReader input(data, size);
    std::uint16_t number = input.U16();
    std::uint16_t language = input.U16();
    std::string_view image = input.Rest();

    kv::fuzz::ScratchDir dir;
    if (!dir.Ok() || !kv::fuzz::WriteBytes(dir / kv::catalogue::kFileName, image)) return 0;

    kv::Catalogue catalogue(dir.Path(), language);
    CheckLookup(catalogue, image, number);
    // The neighbours share the record groups that the search walks through.
    CheckLookup(catalogue, image, static_cast<std::uint16_t>(number + 1));
    // The language taken from the first record, so that texts are found more often.
    if (image.size() >= kv::catalogue::kRecordSize) {
        kv::catalogue::Record first =
            kv::catalogue::DecodeRecord(reinterpret_cast<const unsigned char*>(image.data()));
        catalogue.SetLanguage(first.language);
        CheckLookup(catalogue, image, first.number);
    }

    // A numbered hint is the text of its number; any other hint stays as it is.
    std::string hint = std::to_string(number % 1000);
    KV_FUZZ_CHECK(kv::HintText(catalogue, hint) == catalogue.Text(number % 1000));
    std::string long_hint(image.substr(0, 16));
    if (!kv::IsNumberedHint(long_hint))
        KV_FUZZ_CHECK(kv::HintText(catalogue, long_hint) == long_hint);
    return 0;
}
