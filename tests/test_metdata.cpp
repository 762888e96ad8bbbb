#include <gtest/gtest.h>

#include <string>

#include "io/metdata.hpp"
#include "io/run_failure.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

const char* const record_line = "2016 8 1 1 214 3.91 5.98 0.6208 100.00 48.08 243.77 317.16 0.1000 972.06\n";

// Reads `content` as the met file "site.txt" of a site layout.
met_series read_series(const std::string& content, std::int32_t n_days) {
  testing::site site;
  testing::write_file(site.met_dir() / "site.txt", content);
  const testing::scoped_chdir here(site.run());
  text_field name;
  name.assign("site.txt");
  met_series series;
  metdata(series, n_days, 24, name);
  return series;
}

std::string repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

TEST(MetFile, RecordsFillElementsOneToNDaysTimes24) {
  const std::string records = testing::met_records(3);
  const met_series s = read_series(records + "this line is never read\n", 3);
  ASSERT_EQ(s.doy.size(), 73u);
  EXPECT_EQ(s.doy[1], 190);
  EXPECT_EQ(s.obs_hour[1], 1);
  EXPECT_EQ(s.doy[72], 192);
  EXPECT_EQ(s.obs_hour[72], 24);
  EXPECT_EQ(s.pressure[72], 965.0f);
}

TEST(MetFile, CommasBlankLinesExtraColumnsAndSplitRecords) {
  std::string csv;
  for (int h = 1; h <= 24; ++h) {
    csv += "2016,8,1," + std::to_string(h) + ",214,3.91,5.98,0.6208,100,48.08,243.77,317.16,0.1,972.06,extra\n\n";
  }
  const met_series a = read_series(csv, 1);
  EXPECT_EQ(a.obs_hour[24], 24);
  EXPECT_EQ(a.sr[24], 100.0f);
  EXPECT_EQ(a.pressure[24], 972.06f);

  // A 13-value line takes its pressure from the next line, whose rest is skipped.
  const std::string split = "2016 8 1 1 214 3.91 5.98 0.6208 100.00 48.08 243.77 317.16 0.1000\n"
                            "955.5 junk junk\n" + repeat(record_line, 23);
  const met_series b = read_series(split, 1);
  EXPECT_EQ(b.pressure[1], 955.5f);
  EXPECT_EQ(b.pressure[2], 972.06f);
  EXPECT_EQ(b.pressure[24], 972.06f);
}

TEST(MetFile, NoDaysReadsNoRecordButTheFileMustExist) {
  EXPECT_EQ(read_series("not a record at all\n", 0).doy.size(), 1u);
  EXPECT_EQ(read_series("", -5).doy.size(), 1u);

  testing::site site;
  const testing::scoped_chdir here(site.run());
  text_field name;
  name.assign("absent.txt");
  met_series series;
  try {
    metdata(series, 0, 24, name);
    ADD_FAILURE() << "a missing met file was accepted";
  } catch (const run_failure& failure) {
    EXPECT_STREQ(failure.what(), "cannot open ../data/met_lv3/absent.txt: No such file or directory");
  }
  EXPECT_FALSE(std::filesystem::exists(site.met_dir() / "absent.txt"));
}

}  // namespace
}  // namespace pumak
