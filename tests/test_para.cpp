#include <gtest/gtest.h>

#include <string>

#include "io/para.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

using testing::parameter_file;

// The plain parameter file with its line for `item` replaced by `line`.
std::string with_line(const std::string& item, const std::string& line, int statements = 16) {
  std::string text = parameter_file({}, statements);
  const std::size_t start = text.find("\n" + item + " ") + 1;
  return text.replace(start, text.find('\n', start) - start, line);
}

// Reads `content` as "parameter.ini" in a temporary working directory.
run_parameters read_parameters(const std::string& content, int statements = 16) {
  testing::temp_dir dir;
  testing::write_file(dir.path() / "parameter.ini", content);
  const testing::scoped_chdir here(dir.path());
  run_parameters p;
  para(p, statements);
  return p;
}

TEST(ParameterFile, PlainLayoutFillsEveryItemInOrder) {
  const run_parameters p = read_parameters(
      "kpc_l.txt results_kpc_l.csv\nlat 79.91\nalbedo_cryo 0.15\nalbedo_ice 0.51\nta_offset -0.5\n"
      "diameter 100.0\ndepth 150\nsd_calc 0.25\nch 0.002\nn_days 30\ndiffuse_mode 3\nunused 7\n"
      "k_ice_direct 1.3\nk_ice_diffuse 0.9\nfixed_solar_angle -1.0\nfixed_cryo_angle 45\n"
      "lines after the last statement are never read: / , ''\n");
  EXPECT_EQ(p.met_file.trimmed(), "kpc_l.txt");
  EXPECT_EQ(p.out_file.trimmed(), "results_kpc_l.csv");
  EXPECT_EQ(p.latitude, 79.91f);
  EXPECT_EQ(p.albedo_cryo, 0.15f);
  EXPECT_EQ(p.albedo_ice, 0.51f);
  EXPECT_EQ(p.ta_offset, -0.5f);
  EXPECT_EQ(p.cryoconite_diameter, 100.0f);
  EXPECT_EQ(p.cryoconite_depth, 150.0f);
  EXPECT_EQ(p.sd_calc, 0.25f);
  EXPECT_EQ(p.ch, 0.002f);
  EXPECT_EQ(p.n_days, 30);
  EXPECT_EQ(p.diffuse_mode, 3);
  EXPECT_EQ(p.item_13, 7.0f);
  EXPECT_EQ(p.k_ice_direct, 1.3f);
  EXPECT_EQ(p.k_ice_diffuse, 0.9f);
  EXPECT_EQ(p.fixed_solar_angle, -1.0f);
  EXPECT_EQ(p.fixed_cryo_angle, 45.0f);
}

TEST(ParameterFile, LabelsAreNeverCompared) {
  std::string renamed = parameter_file();
  for (const char* label : {"latitude", "albedo_ice", "n_days", "fixed_cryo_angle"}) {
    renamed.replace(renamed.find(label), std::string(label).size(), "x");
  }
  const run_parameters a = read_parameters(parameter_file());
  const run_parameters b = read_parameters(renamed);
  EXPECT_EQ(a.latitude, b.latitude);
  EXPECT_EQ(a.albedo_ice, b.albedo_ice);
  EXPECT_EQ(a.n_days, b.n_days);
  EXPECT_EQ(a.fixed_cryo_angle, b.fixed_cryo_angle);
}

TEST(ParameterFile, QuotedNamesAndLabelsMayHoldBlanks) {
  std::string text = with_line("latitude", "'latitude in degrees' 78");
  text.replace(0, text.find('\n'), "'my site.txt' \"my results.csv\"");
  const run_parameters p = read_parameters(text);
  EXPECT_EQ(p.met_file.trimmed(), "my site.txt");
  EXPECT_EQ(p.out_file.trimmed(), "my results.csv");
  EXPECT_EQ(p.latitude, 78.0f);  // an integer is a real
}

TEST(ParameterFile, FixedFormingLayoutStopsAfterThirteenStatements) {
  const run_parameters p = read_parameters(parameter_file({}, 13) + "junk that is never read\n", 13);
  EXPECT_EQ(p.k_ice_direct, 1.0f);
  // A 16-statement file reads the same for the short layout.
  EXPECT_EQ(read_parameters(parameter_file(), 13).k_ice_direct, 1.0f);
}

}  // namespace
}  // namespace pumak
