// The catalogue that ships in the program folder: every message the program uses, in Italian
// and English, with the Italian captions of the windows as they are drawn.

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_format.h"
#include "platform/files.h"
#include "tests/support/test_support.h"

namespace {

using kv::Catalogue;

constexpr std::uint16_t kItalian = 1;
constexpr std::uint16_t kEnglish = 2;

// Every message number the program looks up.
std::set<std::uint16_t> UsedNumbers() {
    std::set<std::uint16_t> numbers = {1,   2,   112, 136, 137, 138, 198, 199, 200, 201, 202,
                                       203, 206, 208, 209, 210, 211, 212, 222, 223, 224};
    auto range = [&](int from, int to) {
        for (int n = from; n <= to; ++n) numbers.insert(static_cast<std::uint16_t>(n));
    };
    range(101, 109);  // hints
    range(115, 125);  // menus
    range(127, 134);
    range(143, 157);  // captions, schedule dialog
    range(170, 184);  // schedule, path dialog, log viewer, report suffixes
    range(186, 195);  // report suffixes, banner, heading, summaries
    range(213, 221);  // hints
    range(258, 275);  // months, about window, hints
    range(276, 280);  // archive limits, signature database
    range(281, 281);  // internet mode: the watch bound
    range(282, 284);  // unread archives and members
    range(285, 285);  // report suffix: not treated
    range(286, 287);  // temporary files, unread members
    range(340, 344);  // tabs
    return numbers;
}

// The captions the windows carry in Italian.
const std::map<std::uint16_t, std::string>& ItalianCaptions() {
    static const std::map<std::uint16_t, std::string> captions = {
        {1, "&OK"},
        {2, "&Annulla"},
        {112, "-"},
        {115, "&File"},
        {116, "Avvia Scansione"},
        {117, "Stop Scansione"},
        {118, "&Mostra Setup"},
        {119, "&Esci"},
        {120, "&Report"},
        {121, "&Mostra Report"},
        {122, "&Salva su Logfile"},
        {123, "&Visualizza Logfile"},
        {124, "Allarga &finestra"},
        {125, "Stam&pa "},
        {127, "Mostra pa&nnello"},
        {128, "Attiva timer"},
        {129, "Modalit\xC3\xA0 Internet"},
        {130, "&Opzioni"},
        {131, "Controlla Zip Files"},
        {132, "&Help"},
        {133, "&Contenuti"},
        {134, "&About..."},
        {136, "Risorse da Controllare"},
        {137, "Scansione"},
        {138, "Esci"},
        {143, "Lista virus "},
        {144, "Aggiungi "},
        {145, "Rimuovi "},
        {146, "Aggiungi file"},
        {147, "Usa Timer"},
        {148, "Controllo automatico"},
        {149, "Giorno "},
        {150, "Domenica"},
        {151, "Lunedi"},
        {152, "Martedi"},
        {153, "Mercoledi"},
        {154, "Giovedi"},
        {155, "Venerdi"},
        {156, "Sabato"},
        {157, "Ogni Giorno"},
        {170, "Ora"},
        {171, "Minuti"},
        {172, "Path editor"},
        {173, "Path"},
        {175, "Opzioni"},
        {176, "Copia files infetti"},
        {177, "Muove  files infetti"},
        {178, "Elimina files"},
        {179, "Rinomina"},
        {180, "Pulisce"},
        {181, "Directory di destinazione"},
        {200, "Attiva modalit\xC3\xA0 internet"},
        {201, "Directory di download da controllare"},
        {202, "Aggiungi"},
        {203, "Rimuovi"},
        {206, "Controlla sotto cartelle"},
        {222, "Directory corrente "},
        {258, "Mese"},
        {259, "Gennaio"},
        {260, "Febbraio"},
        {261, "Marzo"},
        {262, "Aprile"},
        {263, "Maggio"},
        {264, "Giugno"},
        {265, "Luglio"},
        {266, "Agosto"},
        {267, "Settembre"},
        {268, "Ottobre"},
        {269, "Novembre"},
        {270, "Dicembre"},
        {271, "Ogni Mese"},
        {272, "-"},
        {340, "Setup"},
        {341, "Report"},
        {342, "Internet"},
        {343, "Viruslist"},
        {344, "Update"},
    };
    return captions;
}

class ShippedCatalogue : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::platform::FileExists(kv::test::ProgramDir() + "langua.ge"))
            << "build the kestravo_data target first";
    }
    std::string Text(std::uint16_t number, std::uint16_t language) {
        Catalogue catalogue(kv::test::ProgramDir(), language);
        return catalogue.Text(number);
    }
};

TEST_F(ShippedCatalogue, HoldsExactlyTheUsedMessagesInBothLanguages) {
    const std::string image = kv::test::ReadFile(kv::test::ProgramDir() + "langua.ge");
    std::map<std::uint16_t, std::set<int>> found;
    kv::catalogue::ImageRecords records(image);
    kv::catalogue::Record record;
    while (records.Next(record)) found[record.number].insert(record.language);

    const std::set<std::uint16_t> used = UsedNumbers();
    for (std::uint16_t number : used) {
        EXPECT_EQ(found[number], (std::set<int>{kItalian, kEnglish})) << "message " << number;
        for (std::uint16_t language : {kItalian, kEnglish}) {
            std::string text = Text(number, language);
            EXPECT_FALSE(text.empty()) << "message " << number << " language " << language;
            // Callers that go through the 132-byte buffer never lose a part of a text.
            EXPECT_LE(text.size(), Catalogue::kBufferSize - 1) << "message " << number;
        }
    }
    for (const auto& [number, languages] : found) {
        EXPECT_TRUE(used.count(number)) << "message " << number << " is not used";
    }
}

TEST_F(ShippedCatalogue, ItalianCaptionsAreThoseOfTheWindows) {
    for (const auto& [number, caption] : ItalianCaptions()) {
        EXPECT_EQ(Text(number, kItalian), caption) << "message " << number;
    }
    EXPECT_EQ(Text(137, kEnglish), "Scan");
    EXPECT_EQ(Text(138, kEnglish), "Exit");
}

TEST_F(ShippedCatalogue, ReportWordsFitWhereTheyAreShown) {
    for (std::uint16_t language : {kItalian, kEnglish}) {
        // The tray tip holds 63 bytes: the busy text, and the infections label with a count.
        EXPECT_LE(Text(210, language).size(), 63u);
        EXPECT_LE(Text(209, language).size() + 10, 63u);
        // The summary labels stand left of the count column and carry no stray blanks.
        for (std::uint16_t label : {191, 192, 193, 194, 209}) {
            std::string text = Text(label, language);
            EXPECT_LE(text.size(), 18u) << "message " << label;
            EXPECT_NE(text.back(), ' ') << "message " << label;
        }
        // The report suffixes are appended after one blank, so they bring none of their own.
        for (std::uint16_t suffix :
             {182, 183, 184, 186, 187, 190, 208, 224, 276, 277, 278, 282, 283, 284, 287}) {
            std::string text = Text(suffix, language);
            EXPECT_NE(text.front(), ' ') << "message " << suffix;
            EXPECT_NE(text.back(), ' ') << "message " << suffix;
        }
    }
}

TEST_F(ShippedCatalogue, DateFormatIsAStrftimePattern) {
    std::tm when = {};
    when.tm_year = 2031 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 24;
    when.tm_hour = 7;
    when.tm_min = 5;
    when.tm_sec = 9;
    for (std::uint16_t language : {kItalian, kEnglish}) {
        std::string pattern = Text(212, language);
        ASSERT_NE(pattern.find('%'), std::string::npos);
        char buffer[128];
        std::size_t n = std::strftime(buffer, sizeof buffer, pattern.c_str(), &when);
        std::string shown(buffer, n);
        EXPECT_NE(shown.find("2031"), std::string::npos) << shown;
        EXPECT_NE(shown.find("12"), std::string::npos) << shown;
        EXPECT_NE(shown.find("24"), std::string::npos) << shown;
        EXPECT_NE(shown.find("07"), std::string::npos) << shown;
        EXPECT_NE(shown.find("05"), std::string::npos) << shown;
        EXPECT_NE(shown.find("09"), std::string::npos) << shown;
    }
    EXPECT_EQ(Text(212, kItalian), "%d/%m/%Y %H:%M:%S");
}

}  // namespace
