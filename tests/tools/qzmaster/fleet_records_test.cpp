// The fleet service's record lines: each kind writes and reads back the same, and damaged lines
// are refused.
#include "qzmaster/fleet_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/case_name.h"

namespace {

struct LineCase {
    const char* name;
    const char* line;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

std::string lineCaseName(const ::testing::TestParamInfo<LineCase>& p) {
    return qztest::caseName(p.index, p.param.name);
}

const LineCase kGood[] = {
    {"ServerAdded",
     "S\talpha\t"
     "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
     "\t1765432100"},
    {"CutOff", "C\talpha\t1\t1765432100"},
    {"Ban",
     "B\t7\talpha\t1a\t0123456789ABCDEF0123456789ABCDEF\t1765432100\t0\t10.0.0.5\tconsole\t"
     "1765432101\tMr Cheater"},
    {"BanWithEmptyName",
     "B\t8\talpha\tff\tABC\t1765432100\t30\t?\tweb:alice@10.0.0.9\t1765432101\t"},
    {"Lift", "L\t7\tcli:ops\t1765432200"},
    {"Unban", "U\tbravo\t2b\tABC\t0\t1765432200\tfleet\t-"},
    {"UnbanOfOwnBansWithEpoch", "U\tbravo\t9f00aa55:2b\tABC\t0\t1765432200\town\t3,17"},
    {"BanWithEpoch",
     "B\t9\talpha\t5eed0001:1a\tABC\t1765432100\t0\t?\tconsole\t1765432101\t\xf6rg\xe9"},
    {"MasterStart", "E\t12"},
    {"NewChange", "N\t4096"},
    {"HighWater", "H\talpha\t1765432100123456"},
    {"Interest", "I\tABC\tcharlie\t1765432100"},
    {"Address", "A\talpha\t127.0.0.1:27960"},
    {"ServerChanged", "V\talpha"},
};

class GoodRecord : public ::testing::TestWithParam<LineCase> {};

TEST_P(GoodRecord, ReadsAndWritesBackTheSameLine) {
    qzm::FleetRecord r;
    const char* line = GetParam().line;
    ASSERT_TRUE(qzm::parseRecord(line, strlen(line), &r));
    EXPECT_EQ(qzm::formatRecord(r), std::string(line) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, GoodRecord, ::testing::ValuesIn(kGood), lineCaseName);

TEST(FleetRecords, AnUnbanWrittenBeforeScopesReadsAsAFleetWideLiftOfNothingKnown) {
    qzm::FleetRecord r;
    const char* line = "U\tbravo\t2b\tABC\t0\t1765432200";
    ASSERT_TRUE(qzm::parseRecord(line, strlen(line), &r));
    EXPECT_STREQ(r.scope, "fleet");
    EXPECT_STREQ(r.lifted, "-");
    EXPECT_EQ(r.reportId, 0x2bu);
    EXPECT_EQ(r.epoch, 0u);
}

TEST(FleetRecords, ReportIdsKeepTheirEpoch) {
    uint64_t epoch = 0, id = 0;
    ASSERT_TRUE(qzm::parseReportId("5eed0001:1a", 11, &epoch, &id));
    EXPECT_EQ(epoch, 0x5eed0001u);
    EXPECT_EQ(id, 0x1au);
    EXPECT_EQ(qzm::reportIdText(epoch, id), "5eed0001:1a");
    EXPECT_EQ(qzm::reportIdText(0, id), "1a");
    EXPECT_FALSE(qzm::parseReportId("5eed0001:", 9, &epoch, &id));
    EXPECT_FALSE(qzm::parseReportId(":1a", 3, &epoch, &id));
}

const LineCase kBad[] = {
    {"Empty", ""},
    {"UnknownKind", "X\talpha"},
    {"KindOfTwoLetters", "SS\talpha"},
    {"ShortSecret", "S\talpha\t0123\t1"},
    {"UpperCaseSecret",
     "S\talpha\t0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef\t1"},
    {"ServerIdWithBlank", "C\tal pha\t1\t1"},
    {"ServerIdTooLong", "V\tabcdefghijabcdefghijabcdefghijabc"},
    {"CutOffFlagTwo", "C\talpha\t2\t1"},
    {"BanIdZero", "B\t0\talpha\t1\tABC\t1\t0\t?\tconsole\t1\tx"},
    {"BanGuidWithDash", "B\t1\talpha\t1\tAB-C\t1\t0\t?\tconsole\t1\tx"},
    {"BanNegativeLength", "B\t1\talpha\t1\tABC\t1\t-5\t?\tconsole\t1\tx"},
    {"BanNameWithQuote", "B\t1\talpha\t1\tABC\t1\t0\t?\tconsole\t1\tsay \"hi\""},
    {"BanFieldMissing", "B\t1\talpha\t1\tABC\t1\t0\t?\tconsole\t1"},
    {"BanFieldExtra", "B\t1\talpha\t1\tABC\t1\t0\t?\tconsole\t1\tx\ty"},
    {"BanReportIdNotHex", "B\t1\talpha\tzz\tABC\t1\t0\t?\tconsole\t1\tx"},
    {"BanAddressWithBlank", "B\t1\talpha\t1\tABC\t1\t0\t1 2\tconsole\t1\tx"},
    {"LiftWithoutWho", "L\t7\t\t1"},
    {"HighWaterNegative", "H\talpha\t-1"},
    {"HighWaterTooLong", "H\talpha\t123456789012345678901"},
    {"TimeNotANumber", "I\tABC\tcharlie\tsoon"},
    {"LineEndInside", "V\talpha\nV\tbravo"},
    {"NulInside", "V\tal\0pha"},
};

class BadRecord : public ::testing::TestWithParam<LineCase> {};

TEST_P(BadRecord, IsRefused) {
    qzm::FleetRecord r;
    const LineCase& c = GetParam();
    size_t n = strcmp(c.name, "NulInside") == 0 ? 9 : strlen(c.line);
    EXPECT_FALSE(qzm::parseRecord(c.line, n, &r));
}

INSTANTIATE_TEST_SUITE_P(Damaged, BadRecord, ::testing::ValuesIn(kBad), lineCaseName);

TEST(FleetRecords, ALineLongerThanAnyRecordIsRefused) {
    std::string line = "V\t" + std::string(600, 'a');
    qzm::FleetRecord r;
    EXPECT_FALSE(qzm::parseRecord(line.data(), line.size(), &r));
}

TEST(FleetRecords, NamesAreCleanedOfQuotesAndControlCharactersAndCut) {
    std::string out;
    qzm::cleanName(std::string("a\"b\tc\x01") + std::string(100, 'x'), &out);
    EXPECT_EQ(out.substr(0, 6), "a'b?c?");
    EXPECT_EQ(out.size(), qzm::kNameMax);
}

}  // namespace
