// SPDX-License-Identifier: Apache-2.0
// Bills as a wide-format shop prices them: computed units exact past 2^64 and empty where
// they have no value, a job's cost rounded once at the half by either rule, prices by
// several columns with ties refused, a minimum per job, a tax on each row. Every expected
// figure is worked out by hand in the comments beside it.
#include "tests/tools/cli_runner.h"
#include "tools/reports/unit_expression.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using spoolgate::Rounding;
using spoolgate::Uint128;

TEST(UnitExpressionTest, AQuotientRoundsAtTheHalfByEitherRule) {
  struct Case {
    uint64_t num, den, halfUp, halfEven;
  };
  const Case cases[] = {
      {125, 10, 13, 12},  // 12.5: up, and to the even 12
      {135, 10, 14, 14},  // 13.5: both to 14
      {5, 10, 1, 0},      // 0.5
      {15, 10, 2, 2},     // 1.5
      {124, 10, 12, 12},  {126, 10, 13, 13},
      {1, 3, 0, 0},       {2, 3, 1, 1},  // no half: the nearer
      {7, 2, 4, 4},       {9, 2, 5, 4},  // 3.5 and 4.5
  };
  for (const Case& c : cases) {
    EXPECT_EQ(uint64_t(spoolgate::RoundQuotient(c.num, c.den, Rounding::kHalfUp)), c.halfUp) << c.num << "/" << c.den;
    EXPECT_EQ(uint64_t(spoolgate::RoundQuotient(c.num, c.den, Rounding::kHalfEven)), c.halfEven) << c.num << "/" << c.den;
  }
  // Near 2^128 the half is found without doubling the remainder: (2^128 - 1) / 2 is
  // 2^127 - 1/2, and 2^127 - 1 is odd, so both rules give 2^127.
  Uint128 top = ~Uint128(0);
  EXPECT_TRUE(spoolgate::RoundQuotient(top, 2, Rounding::kHalfUp) == Uint128(1) << 127);
  EXPECT_TRUE(spoolgate::RoundQuotient(top, 2, Rounding::kHalfEven) == Uint128(1) << 127);
}

TEST(UnitExpressionTest, AMalformedExpressionIsNamedAtLoad) {
  sgtest::TempDir dir;
  sgtest::WriteLogLines(dir, {"2026-12-07T09:41:05.250,HOST,alice,a.plt,Wide Format,LPT1:,Admin,bond,mono,1,1000,125"});
  struct Case {
    const char* unit;
    const char* error;  // after "spoolgate: s.toml:3: "
  };
  const Case cases[] = {
      {"area = \"width_mm *\"", "area = \"width_mm *\": an operand is missing at the end"},
      {"area = \"(width_mm * length_mm\"", "area = \"(width_mm * length_mm\": a '(' is not closed"},
      {"area = \"width_mm length_mm\"", "area = \"width_mm length_mm\": an operator is missing before 'l'"},
      {"area = \"-width_mm\"", "area = \"-width_mm\": a sign before an operand (values are never below zero)"},
      {"area = \"width_mm * 18446744073709551616\"", "area = \"width_mm * 18446744073709551616\": a number past "
                                                     "18446744073709551615"},
      {"area = \"width_mm * paper\"", "area = \"width_mm * paper\": 'paper' is not a numeric column of the log or a "
                                      "name of one"},
      // A cycle through two units, named from the first of them in the file.
      {"area = \"twice + 1\"\ntwice = \"area * 2\"", "area = \"twice + 1\": a cycle of units, area -> twice -> area"},
      {"area = \"area + 1\"", "area = \"area + 1\": a cycle of units, area -> area"},
  };
  for (const Case& c : cases) {
    dir.Write("s.toml", std::string("[columns]\nwidth_mm = \"value_252\"\n") + c.unit +
                            "\nlength_mm = \"value_256\"\npaper = \"text_216\"\n");
    sgtest::CliResult r = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml"}, dir.path);
    EXPECT_EQ(r.status, 2) << c.unit;
    EXPECT_EQ(r.err, std::string("spoolgate: s.toml:3: ") + c.error + "\n") << c.unit;
  }
}

// The shop's columns: copies, the print's width and length in mm, the department, the
// paper and the colour mode.
const char* const kColumns = R"([columns]
copies = "value_248"
width_mm = "value_252"
length_mm = "value_256"
department = "text_200"
paper = "text_216"
colour = "text_240"
area_m2 = "width_mm * length_mm * copies / 1000000"
)";

// Four jobs: 0.125 m², 3 x 0.125 = 0.375 m², 0.145 m² of bond in mono, and 1 m² of
// glossy in colour.
void WriteShopLog(const sgtest::TempDir& dir) {
  sgtest::WriteLogLines(dir, {
      "2026-12-07T09:00:00.000,HOST,alice,a.plt,Wide Format,LPT1:,Admin,bond,mono,1,1000,125",
      "2026-12-07T10:00:00.000,HOST,bob,b.plt,Wide Format,LPT1:,Admin,bond,mono,3,1000,125",
      "2026-12-07T11:00:00.000,HOST,bob,c.plt,Wide Format,LPT1:,Civil,bond,mono,1,1000,145",
      "2026-12-08T12:00:00.000,HOST,carol,d.plt,Wide Format,LPT1:,Civil,glossy,colour,1,1000,1000",
  });
}

sgtest::CliResult Summary(const sgtest::TempDir& dir, const std::string& settings, std::vector<std::string> args) {
  dir.Write("s.toml", settings);
  std::vector<std::string> all = {"log", "summary", dir.path, "--settings", "s.toml"};
  all.insert(all.end(), args.begin(), args.end());
  return sgtest::RunCli(all, dir.path);
}

TEST(PricingTest, EachJobIsRoundedOnceAtTheHalfAndRowsAddUpToTheirTotal) {
  sgtest::TempDir dir;
  WriteShopLog(dir);
  // 1 EUR per m²: 0.125, 0.375, 0.145 and 1.000 EUR before rounding. Half up: 0.13,
  // 0.38, 0.15, 1.00; half to even: 0.12, 0.38, 0.14, 1.00. Bob's row is the sum of his
  // rounded jobs (0.53 or 0.52), not his 0.52 m² rounded once (0.52 by both rules).
  const std::string prices = std::string(kColumns) + "[[price]]\nper.area_m2 = \"1\"\n";
  sgtest::CliResult up = Summary(dir, "currency = \"EUR\"\n" + prices,
                                 {"--by", "user", "--sum", "area_m2", "--cost", "--csv", "--total"});
  ASSERT_EQ(up.status, 0) << up.err;
  EXPECT_EQ(up.out, "user,jobs,area_m2,cost EUR\r\nalice,1,0.125000,0.13\r\nbob,2,0.520000,0.53\r\n"
                    "carol,1,1.000000,1.00\r\ntotal,4,1.645000,1.66\r\n");
  sgtest::CliResult even = Summary(dir, "currency = \"EUR\"\nrounding = \"half-even\"\n" + prices,
                                   {"--by", "user", "--cost", "--csv", "--total"});
  ASSERT_EQ(even.status, 0) << even.err;
  EXPECT_EQ(even.out, "user,jobs,cost EUR\r\nalice,1,0.12\r\nbob,2,0.52\r\ncarol,1,1.00\r\ntotal,4,1.64\r\n");
  // A price finer than the bill: 12.375 EUR per m² of 0.125 m² is 1.546875, 1.55 a job.
  sgtest::CliResult fine = Summary(dir, std::string(kColumns) + "[[price]]\nper.area_m2 = \"12.375\"\n",
                                   {"--by", "user", "--cost", "--csv"});
  ASSERT_EQ(fine.status, 0) << fine.err;
  // alice 1.546875 -> 1.55; bob 4.640625 -> 4.64 and 1.794375 -> 1.79: 6.43; carol 12.38
  EXPECT_EQ(fine.out, "user,jobs,cost\r\nalice,1,1.55\r\nbob,2,6.43\r\ncarol,1,12.38\r\n");
  // A plain column priced finer than the bill: 1.25 cents a mm of length is 1.5625,
  // 1.5625, 1.8125 and 12.5 EUR, each job rounded: bob 1.56 + 1.81 = 3.37 (his 270 mm
  // at once would be 3.375, 3.38).
  sgtest::CliResult plain = Summary(dir, std::string(kColumns) + "[[price]]\nper.length_mm = \"0.0125\"\n",
                                    {"--by", "user", "--cost", "--csv"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, "user,jobs,cost\r\nalice,1,1.56\r\nbob,2,3.37\r\ncarol,1,12.50\r\n");
  // The listing prices each line as the summary does.
  dir.Write("s.toml", std::string(kColumns) + "[[price]]\nper.area_m2 = \"12.375\"\n");
  sgtest::CliResult listed = sgtest::RunCli({"log", "show", dir.path, "--settings", "s.toml", "--cost", "--json"},
                                            dir.path);
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::vector<std::string> costs;
  nlohmann::json jobs = nlohmann::json::parse(listed.out)["jobs"];
  for (const auto& job : jobs) costs.push_back(job["cost"]);
  EXPECT_EQ(costs, (std::vector<std::string>{"1.55", "4.64", "1.79", "12.38"}));
}

TEST(PricingTest, AMinimumRaisesAJobAndTheTaxIsRoundedOnceOnEachRowsNet) {
  sgtest::TempDir dir;
  WriteShopLog(dir);
  // Jobs at 1 EUR/m², half up, raised to 0.20: 0.20, 0.38, 0.20; glossy at 2.50/m² with
  // its own tax of 7 %: 2.50. Admin: net 0.58, tax 0.1102 -> 0.11, gross 0.69. Civil:
  // net 2.70, tax 0.20 x 19 % + 2.50 x 7 % = 0.213 -> 0.21, gross 2.91. Total: net
  // 3.28, tax 0.3232 -> 0.32, gross 3.60.
  const std::string settings = "currency = \"EUR\"\nminimum = \"0.20\"\nvat = \"19\"\n" + std::string(kColumns) +
                               "[[price]]\nper.area_m2 = \"1\"\n[[price]]\npaper = \"glossy\"\nper.area_m2 = \"2.5\"\n"
                               "vat = \"7\"\n";
  sgtest::CliResult csv = Summary(dir, settings, {"--by", "department", "--cost", "--csv", "--total"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "department,jobs,net EUR,tax EUR,gross EUR\r\nAdmin,2,0.58,0.11,0.69\r\nCivil,2,2.70,0.21,2.91\r\n"
                     "total,4,3.28,0.32,3.60\r\n");
  sgtest::CliResult json = Summary(dir, settings, {"--by", "department", "--cost", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  nlohmann::json total = nlohmann::json::parse(json.out)["total"];
  EXPECT_EQ(total["cost"], "3.28");
  EXPECT_EQ(total["tax"], "0.32");
  EXPECT_EQ(total["gross"], "3.60");
  sgtest::CliResult text = Summary(dir, settings, {"--cost"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("  cost 3.28 EUR  tax 0.32 EUR  gross 3.60 EUR\n"), std::string::npos) << text.out;
  // The page shows the three columns and the total's.
  dir.Write("s.toml", settings);
  sgtest::CliResult page = sgtest::RunCli({"log", "report", dir.path, "--settings", "s.toml", "--cost", "--html", "-"},
                                          dir.path);
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("<th>net EUR</th><th>tax EUR</th><th>gross EUR</th>"), std::string::npos);
  EXPECT_NE(page.out.find("cost 3.28 EUR, tax 0.32 EUR, gross 3.60 EUR."), std::string::npos);
  // A minimum finer than the bill is refused: it is charged as written.
  sgtest::CliResult fine = Summary(dir, "minimum = \"0.205\"\n" + std::string(kColumns), {});
  EXPECT_EQ(fine.status, 2);
  EXPECT_EQ(fine.err, "spoolgate: s.toml:1: minimum = \"0.205\": more than 2 decimals (a minimum is charged as "
                      "written: in the bill's places, decimals = N)\n");
}

TEST(PricingTest, APriceNamingMoreColumnsWinsAndATieIsRefusedOrWarned) {
  sgtest::TempDir dir;
  WriteShopLog(dir);
  // Bond in mono at 2/m², in mono for Civil at 4/m², glossy at 5/m² (names compared
  // without case): 0.25, 0.75 for Admin; 0.58, 5.00 for Civil.
  const std::string chosen = std::string(kColumns) +
                             "[[price]]\nper.area_m2 = \"1\"\n"
                             "[[price]]\npaper = \"BOND\"\ncolour = \"mono\"\nper.area_m2 = \"2\"\n"
                             "[[price]]\npaper = \"bond\"\ncolour = \"Mono\"\ndepartment = \"civil\"\nper.area_m2 = \"4\"\n"
                             "[[price]]\npaper = \"glossy\"\nper.area_m2 = \"5\"\n";
  sgtest::CliResult r = Summary(dir, chosen, {"--by", "department", "--cost", "--csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "department,jobs,cost\r\nAdmin,2,1.00\r\nCivil,2,5.58\r\n");
  // Bond in mono, and bond for Admin: both name two columns, and Admin's bond in mono
  // matches both. Refused, naming the lines (the [[price]] tables at 11 and 15).
  const std::string tie = std::string(kColumns) +
                          "[[price]]\nper.area_m2 = \"1\"\n"
                          "[[price]]\npaper = \"bond\"\ncolour = \"mono\"\nper.area_m2 = \"2\"\n"
                          "[[price]]\npaper = \"bond\"\ndepartment = \"Admin\"\nper.area_m2 = \"3\"\n";
  sgtest::CliResult refused = Summary(dir, tie, {"--cost"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err.rfind("spoolgate: s.toml:15: the prices of lines 11 and 15 name as many columns and both "
                              "match a job that has the values of both", 0), 0u)
      << refused.err;
  // The same with another value of a shared column is no tie: no job has both.
  std::string apart = tie;
  apart.replace(apart.rfind("paper = \"bond\""), 14, "paper = \"matt\"");
  EXPECT_EQ(Summary(dir, apart, {"--cost"}).status, 0);
  // A file that prices by one column besides printer and computer keeps the first of
  // two such prices, and says so: every job here is on Wide Format, so at 2/m².
  const std::string earlier = std::string(kColumns) +
                              "[[price]]\nper.area_m2 = \"1\"\n"
                              "[[price]]\nprinter = \"Wide Format\"\nper.area_m2 = \"2\"\n"
                              "[[price]]\npaper = \"bond\"\nper.area_m2 = \"3\"\n";
  sgtest::CliResult warned = Summary(dir, earlier, {"--by", "department", "--cost", "--csv"});
  ASSERT_EQ(warned.status, 0) << warned.err;
  // Admin 0.50 m², Civil 1.145 m² at 2: 1.00 and 0.29 + 2.00.
  EXPECT_EQ(warned.out, "department,jobs,cost\r\nAdmin,2,1.00\r\nCivil,2,2.29\r\n");
  EXPECT_EQ(warned.err, "spoolgate: warning: s.toml:14: the prices of lines 11 and 14 name as many columns and both "
                        "match a job that has the values of both; such a job takes the first, line 11\n");
}

TEST(PricingTest, AUnitPastTwoToTheSixtyFourIsExactOrRefusedAndOneWithoutAValueIsCounted) {
  sgtest::TempDir dir;
  // 2^32 mm by 2^32 mm, 2 copies: 2^65 mm² = 36893488147419103232, past 2^64 on the way;
  // in m² 36893488147419.103232, to two places 36893488147419.10. A job of no copies
  // (a division by zero below) and one whose copies are empty.
  sgtest::WriteLogLines(dir, {
      "2026-12-07T09:00:00.000,HOST,alice,a.plt,Wide Format,LPT1:,Admin,bond,mono,2,4294967296,4294967296",
      "2026-12-07T10:00:00.000,HOST,bob,b.plt,Wide Format,LPT1:,Admin,bond,mono,0,1000,500",
      "2026-12-07T11:00:00.000,HOST,bob,c.plt,Wide Format,LPT1:,Admin,bond,mono,,1000,700",
  });
  const std::string columns = std::string(kColumns) + "per_copy = \"length_mm / copies\"\n";
  sgtest::CliResult big = Summary(dir, columns + "[places]\narea_m2 = 2\nper_copy = 1\n",
                                  {"--by", "user", "--sum", "area_m2", "--sum", "per_copy", "--csv"});
  ASSERT_EQ(big.status, 0) << big.err;
  // alice: 4294967296 / 2 = 2147483648 mm a copy; bob: 500 / 0 and 700 / (empty) have none.
  EXPECT_EQ(big.out, "user,jobs,area_m2,per_copy\r\nalice,1,36893488147419.10,2147483648.0\r\nbob,2,0.00,0.0\r\n");
  EXPECT_EQ(big.err, "2 jobs have no value for a computed unit (an empty or non-numeric operand, a division by zero "
                     "or a value below zero): it counts as nothing for them, as SQL counts a NULL\n");
  // At its six places the area passes 2^64-1 millionths: refused, naming where the unit
  // is defined and the job's values.
  sgtest::CliResult refused = Summary(dir, columns, {"--sum", "area_m2"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "spoolgate: s.toml:8: area_m2 passes 18446744073709551615 in units of its 6 places for a "
                         "job of width_mm 4294967296, length_mm 4294967296, copies 2\n");
  // A value below zero has none either: 500 - 1000.
  sgtest::CliResult below = Summary(dir, std::string(kColumns) + "left = \"length_mm - width_mm\"\n",
                                    {"--by", "user", "--sum", "left", "--csv"});
  ASSERT_EQ(below.status, 0) << below.err;
  EXPECT_EQ(below.out, "user,jobs,left\r\nalice,1,0\r\nbob,2,0\r\n");
  EXPECT_NE(below.err.find("2 jobs have no value"), std::string::npos) << below.err;
}

}  // namespace

namespace {

TEST(PricingTest, TheWideFormatExampleGivesTheBillItsDocumentShows) {
  sgtest::TempDir dir;
  // Seven jobs: department, colour mode, paper, copies, width and length.
  sgtest::WriteLogLines(dir, {
      "2026-11-03T09:12:44.120,PRINT-01,anna,site plan.plt,Wide Format,LPT1:,Planning,mono,bond,1,914,1189",
      "2026-11-03T10:40:02.310,PRINT-01,anna,elevations.plt,Wide Format,LPT1:,Planning,mono,matt,2,841,1189",
      "2026-11-05T14:03:19.007,PRINT-01,ben,poster.plt,Wide Format,LPT1:,Marketing,colour,photo,1,914,1500",
      "2026-11-20T16:25:51.480,PRINT-01,ben,banner.plt,Wide Format,LPT1:,Marketing,colour,matt,3,610,2000",
      "2026-12-01T08:01:33.900,PRINT-01,carla,detail.plt,Wide Format,LPT1:,Survey,mono,bond,1,297,420",
      "2026-12-02T11:47:05.650,PRINT-01,carla,survey map.plt,Wide Format,LPT1:,Survey,colour,photo,1,594,841",
      "2026-12-04T15:30:12.004,PRINT-01,anna,render.plt,Wide Format,LPT1:,Planning,colour,matt,1,841,1000",
  });
  sgtest::CliResult r = sgtest::RunCli({"log", "summary", dir.path, "--settings", SPOOLGATE_EXAMPLES
                                        "/wide-format-prices.toml", "--cost", "--by", "department", "--csv", "--total"},
                                       dir.path);
  ASSERT_EQ(r.status, 0) << r.err;
  // Planning: 1.086746 m² of bond at 4.50 (4.89), 1.999898 of matt in mono at 6.875
  // (13.75), 0.841 of matt in colour at 12.375 (10.41). Marketing: its own photo price,
  // 1.371 at 19.9 (27.28), and 3.66 of matt in colour (45.29). Survey: 0.12474 of bond
  // raised to the minimum (2.00), 0.499554 of photo at 24.90 (12.44). Tax at 19 %.
  EXPECT_EQ(r.out, "department,jobs,net EUR,tax EUR,gross EUR\r\nMarketing,2,72.57,13.79,86.36\r\n"
                   "Planning,3,29.05,5.52,34.57\r\nSurvey,2,14.44,2.74,17.18\r\ntotal,7,116.06,22.05,138.11\r\n");
}

}  // namespace
