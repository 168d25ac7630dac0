// The limits of the archive scan: nesting depth, bytes written to disk for one member, bytes
// decompressed in all for one top-level file. A member over a limit is not scanned and a plain
// line names it and the limit. The byte limits count what a member really produces, never what
// its headers claim.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/containers/compound_builder.h"
#include "tests/containers/zip_builder.h"
#include "tests/pipeline/pipeline_support.h"

namespace kv::test {
namespace {

using Texts = std::vector<std::string>;

const std::string kEicarName = "EICAR-Test-File";

class ArchiveLimitsTest : public PipelineTest {
protected:
    // The plain line of a member over a limit.
    std::string LimitLine(const std::string& member, std::uint16_t message,
                          const std::string& limit) const {
        return Line(member + " " + catalogue_.Text(message) + " (" + limit + ")", "", kind::Plain);
    }
    // outer.zip holding mid.zip holding inner.zip holding the test program and a document.
    std::string ThreeDeep() {
        const std::string inner =
            ZipFiles(dir_ / "inner.zip", {{"eicar.com", PaddedProgram(EicarString())}});
        const std::string mid = ZipFiles(dir_ / "mid.zip", {{"inner.zip", ReadFile(inner)},
                                                            {"mid.doc", "text " + EicarString()}});
        return ZipFiles(dir_ / "outer.zip", {{"mid.zip", ReadFile(mid)}});
    }
};

TEST_F(ArchiveLimitsTest, TheLimitTextsAreTheCataloguesAndNameTheLimit) {
    // English catalogue: the texts say what happened.
    EXPECT_NE(catalogue_.Text(276).find("nesting"), std::string::npos);
    EXPECT_NE(catalogue_.Text(277).find("extraction limit"), std::string::npos);
    EXPECT_NE(catalogue_.Text(278).find("total limit"), std::string::npos);
}

// Sets the uncompressed size in every local and central header of an archive that Info-ZIP
// wrote (no data descriptors, one disk).
std::string ClaimUncompressedSize(std::string zip, std::uint32_t claim) {
    auto get = [&zip](std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(zip[at + i]);
        return v;
    };
    auto put32 = [&zip](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(v >> (8 * i));
    };
    const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    EXPECT_NE(end, std::string::npos);
    if (end == std::string::npos) return zip;
    std::size_t central = get(end + 16, 4);
    for (std::uint32_t n = get(end + 10, 2); n > 0; --n) {
        EXPECT_EQ(zip.compare(central, 4, std::string("PK\x01\x02", 4)), 0);
        put32(central + 24, claim);
        const std::size_t local = get(central + 42, 4);
        EXPECT_EQ(zip.compare(local, 4, std::string("PK\x03\x04", 4)), 0);
        put32(local + 22, claim);
        central += 46 + get(central + 28, 2) + get(central + 30, 2) + get(central + 32, 2);
    }
    return zip;
}

// A program of `size` bytes with the marker that counts only near its end 100 bytes before it.
std::string TailMarked(std::size_t size) {
    std::string program(size, '\x90');
    program.replace(size - 100, 12, "KV-TAIL-MARK");
    return program;
}

TEST_F(ArchiveLimitsTest, ClaimedSizesDecideNothingTheProducedBytesDo) {
    const std::string nested_inner =
        ZipFiles(dir_ / "inner.zip", {{"eicar.com", PaddedProgram(EicarString())}});
    const struct {
        const char* name;
        FileList files;
        std::vector<std::string> zip_options;
        std::uint32_t claim;  // 0: the true sizes stay
        std::uint64_t total_limit;
        // Expected lines, given the archive's path.
        std::function<Texts(const std::string&)> expected;
    } cases[] = {
        {"program claiming 4 GiB",
         {{"eicar.com", PaddedProgram(EicarString())}},
         {},
         0xFFFFFFFF,
         ArchiveLimits::kDefaultMaxArchiveInflate,
         [](const std::string& zip) {
             return Texts{Line(zip, "", kind::InfectedArchive),
                          Line("eicar.com", kEicarName, kind::InfectedMember)};
         }},
        {"programs with a tail marker claiming 4 GiB",
         {{"one.com", TailMarked(20000)}, {"three.com", TailMarked(80000)}},
         {},
         0xFFFFFFFF,
         ArchiveLimits::kDefaultMaxArchiveInflate,
         [](const std::string& zip) {
             return Texts{Line(zip, "", kind::InfectedArchive),
                          Line("one.com", "Tail.Marker", kind::InfectedMember),
                          Line("three.com", "Tail.Marker", kind::InfectedMember)};
         }},
        {"stored program claiming 4 GiB - 1",
         {{"eicar.com", PaddedProgram(EicarString())}},
         {"-0"},
         0xFFFFFFFE,
         ArchiveLimits::kDefaultMaxArchiveInflate,
         [](const std::string& zip) {
             return Texts{Line(zip, "", kind::InfectedArchive),
                          Line("eicar.com", kEicarName, kind::InfectedMember)};
         }},
        {"document claiming 4 GiB",
         {{"eicar.doc", "plain " + EicarString()}},
         {},
         0xFFFFFFFF,
         ArchiveLimits::kDefaultMaxArchiveInflate,
         [](const std::string& zip) {
             return Texts{Line(zip + "-->eicar.doc", kEicarName, kind::InfectedFile),
                          Line(zip, "", kind::InfectedArchive)};
         }},
        {"nested archive claiming 4 GiB",
         {{"inner.zip", ReadFile(nested_inner)}},
         {"-0"},
         0xFFFFFFFF,
         ArchiveLimits::kDefaultMaxArchiveInflate,
         [](const std::string& zip) {
             return Texts{Line(zip + "-->inner.zip", "", kind::InfectedArchive),
                          Line("eicar.com", kEicarName, kind::InfectedMember),
                          Line(zip, "", kind::InfectedArchive)};
         }},
        {"small claim, output really past the total",
         {{"big.com", PaddedProgram("clean", 200000)}},
         {},
         100,
         64 * 1024,
         [this](const std::string& zip) {
             return Texts{LimitLine(zip + "-->big.com", 278, "64 KiB")};
         }},
        {"true claim, output really past the total",
         {{"big.com", PaddedProgram("clean", 200000)}},
         {},
         0,
         64 * 1024,
         [this](const std::string& zip) {
             return Texts{LimitLine(zip + "-->big.com", 278, "64 KiB")};
         }},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string zip = dir_ / ("claim" + std::to_string(index++) + ".zip");
        ZipFiles(zip, c.files, c.zip_options);
        if (c.claim != 0) WriteFile(zip, ClaimUncompressedSize(ReadFile(zip), c.claim));
        engine_.Limits.MaxArchiveInflate = c.total_limit;
        report_.ClearReportLines();
        Scan(zip);
        EXPECT_EQ(Lines(), c.expected(zip));
        EXPECT_EQ(TempFiles(), 0);
    }
}

TEST_F(ArchiveLimitsTest, ArchivesNestedDeeperThanTheLimitAreNotOpened) {
    const std::string outer = ThreeDeep();
    engine_.Limits.MaxDepth = 2;
    Scan(outer);
    // mid.zip is level 2; its document is still scanned, its archive would be level 3.
    EXPECT_EQ(Lines(), (Texts{LimitLine(outer + "-->mid.zip-->inner.zip", 276, "2"),
                              Line(outer + "-->mid.zip-->mid.doc", kEicarName, kind::InfectedFile),
                              Line(outer, "", kind::InfectedArchive)}));
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 2);

    report_.ClearReportLines();
    engine_.Limits.MaxDepth = 1;
    Scan(outer);
    EXPECT_EQ(Lines(), (Texts{LimitLine(outer + "-->mid.zip", 276, "1")}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 0);

    // A value below 1 still opens the archive the walk hands over.
    report_.ClearReportLines();
    engine_.Limits.MaxDepth = 0;
    Scan(outer);
    EXPECT_EQ(Lines(), (Texts{LimitLine(outer + "-->mid.zip", 276, "1")}));

    report_.ClearReportLines();
    engine_.Limits.MaxDepth = 3;
    Scan(outer);
    EXPECT_EQ(Counter(ScanCounters::ArchivesOpened), 3);
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 2);
}

TEST_F(ArchiveLimitsTest, MembersLargerThanTheExtractionLimitAreNotWrittenToDisk) {
    engine_.Limits.MaxMemberSize = 64 * 1024;
    const std::string big_doc = "plain " + EicarString() + std::string(100000, ' ');
    ZipBuilder builder;
    builder.Add("big.doc", big_doc);
    builder.Add("small.doc", "plain " + EicarString());
    // A member whose directory entry claims 1000 bytes: its output is cut at the limit.
    ZipMember liar;
    liar.name = "liar.doc";
    liar.data = big_doc;
    liar.central_uncompressed = 1000;
    builder.Add(liar);
    // Programs are matched in memory: the extraction limit does not apply to them.
    builder.Add("big.com", PaddedProgram(EicarString(), 100000));
    WriteFile(dir_ / "big.zip", builder.Build());
    const std::string zip = dir_ / "big.zip";
    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{LimitLine(zip + "-->big.doc", 277, "64 KiB"),
                              Line(zip + "-->small.doc", kEicarName, kind::InfectedFile),
                              Line(zip, "", kind::InfectedArchive),
                              LimitLine(zip + "-->liar.doc", 277, "64 KiB"),
                              Line("big.com", kEicarName, kind::InfectedMember)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 2);
    // Nothing over the limit was ever on disk at once.
    EXPECT_LE(ui_.most_temp_files, 1);
}

TEST_F(ArchiveLimitsTest, TotalDecompressedBytesOfOneTopLevelFileAreBounded) {
    engine_.Limits.MaxArchiveInflate = 96 * 1024;
    const std::string zip =
        ZipFiles(dir_ / "total.zip", {{"m1.com", PaddedProgram("clean", 60000)},
                                      {"m2.com", PaddedProgram(EicarString(), 60000)},
                                      {"m3.com", PaddedProgram(EicarString(), 1000)}});
    Scan(zip);
    // m2's output passes what m1 left in its second block: the hit of its first block is
    // reported, then the total ends the file, so m3 is not read.
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("m2.com", kEicarName, kind::InfectedMember),
                              LimitLine(zip + "-->m2.com", 278, "96 KiB")}));
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 2);

    // Each top-level file has a budget of its own.
    WriteFile(dir_ / "tree/a.zip", ReadFile(zip));
    WriteFile(dir_ / "tree/b.zip", ReadFile(zip));
    Scan(dir_ / "tree/");
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 2);
}

TEST_F(ArchiveLimitsTest, NestedArchivesShareTheBudgetOfTheirTopLevelFile) {
    engine_.Limits.MaxArchiveInflate = 96 * 1024;
    const std::string inner =
        ZipFiles(dir_ / "inner.zip", {{"clean.com", PaddedProgram("clean", 60000)}});
    const std::string outer = ZipFiles(
        dir_ / "outer.zip",
        {{"inner.zip", ReadFile(inner)}, {"eicar.com", PaddedProgram(EicarString(), 60000)}});
    Scan(outer);
    // The test string lies in the first block, decoded before the budget ran out.
    EXPECT_EQ(Lines(), (Texts{Line(outer, "", kind::InfectedArchive),
                              Line("eicar.com", kEicarName, kind::InfectedMember),
                              LimitLine(outer + "-->eicar.com", 278, "96 KiB")}));
}

TEST_F(ArchiveLimitsTest, OutputThatRunsOutOfTheBudgetEndsTheWholeFile) {
    ZipBuilder builder;
    builder.Add("first.com", PaddedProgram(EicarString()));
    // Claims 1000 bytes and inflates to 200000: its first block already goes past what is
    // left, so it is never matched, and the hits of the member before it do not count for it.
    ZipMember liar;
    liar.name = "liar.com";
    liar.data = PaddedProgram("clean", 200000);
    liar.central_uncompressed = 1000;
    builder.Add(liar);
    builder.Add("after.com", PaddedProgram(EicarString()));
    const std::string inner = builder.Build();
    // As a top-level archive, and nested: the outer level stops as well.
    WriteFile(dir_ / "liar.zip", inner);
    ZipBuilder outer_builder;
    outer_builder.Add("nested.zip", inner);
    outer_builder.Add("later.com", PaddedProgram(EicarString()));
    WriteFile(dir_ / "outer.zip", outer_builder.Build());

    // 30000 bytes are left after the first member: less than the liar's first block.
    engine_.Limits.MaxArchiveInflate = 6000 + 30000;
    Scan(dir_ / "liar.zip");
    const std::string zip = dir_ / "liar.zip";
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("first.com", kEicarName, kind::InfectedMember),
                              LimitLine(zip + "-->liar.com", 278, "36000 B")}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);

    report_.ClearReportLines();
    const std::string outer = dir_ / "outer.zip";
    engine_.Limits.MaxArchiveInflate = inner.size() + 6000 + 30000;
    Scan(outer);
    const std::string limit = std::to_string(engine_.Limits.MaxArchiveInflate) + " B";
    EXPECT_EQ(Lines(), (Texts{Line(outer + "-->nested.zip", "", kind::InfectedArchive),
                              Line("first.com", kEicarName, kind::InfectedMember),
                              LimitLine(outer + "-->nested.zip-->liar.com", 278, limit),
                              Line(outer, "", kind::InfectedArchive)}));
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 2);
}

TEST_F(ArchiveLimitsTest, MoreThan65535MembersAreWalkedUpToTheMemberLimit) {
    // 70,000 files and the test program last, zipped by Info-ZIP: its end record's 16-bit
    // count is saturated and only the directory's size (from the Zip64 end record) tells
    // where the walk ends.
    const std::string src = dir_ / ".many/";
    for (int i = 0; i < 70000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "m%05d.txt", i);
        WriteFile(src + name, "x");
    }
    WriteFile(src + "zz.com", PaddedProgram(EicarString()));
    const std::string zip = dir_ / "many.zip";
    CommandResult r =
        RunCommand({"/bin/sh", "-c", "ls | LC_ALL=C sort | /usr/bin/zip -q -@ " + zip}, src);
    ASSERT_EQ(r.exit_code, 0) << r.err;

    Scan(zip);
    EXPECT_EQ(Lines(), (Texts{Line(zip, "", kind::InfectedArchive),
                              Line("zz.com", kEicarName, kind::InfectedMember)}));
    // The limit alone bounds the walk: just below the count, the last member is not reached.
    report_.ClearReportLines();
    engine_.Limits.MaxMembers = 70000;
    Scan(zip);
    EXPECT_EQ(Lines(), Texts{LimitLine(zip + "-->zz.com", 280, "70000")});
}

}  // namespace
}  // namespace kv::test
