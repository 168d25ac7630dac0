// The limits of the archive scan: nesting depth, bytes written to disk for one member, bytes
// decompressed in all for one top-level file. A member over a limit is not scanned and a plain
// line names it and the limit.
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
    // m2 does not fit in what m1 left; m3 does.
    EXPECT_EQ(Lines(), (Texts{LimitLine(zip + "-->m2.com", 278, "96 KiB"),
                              Line(zip, "", kind::InfectedArchive),
                              Line("m3.com", kEicarName, kind::InfectedMember)}));
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
    EXPECT_EQ(Lines(), (Texts{LimitLine(outer + "-->eicar.com", 278, "96 KiB")}));
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

}  // namespace
}  // namespace kv::test
