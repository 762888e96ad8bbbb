// The library in process: the reading rules of parameter.ini and the met
// file, the reference runs through the programs and through simulate(), and
// the branches of the hourly step that no reference run takes.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <functional>
#include <sstream>

#include "driver/program_variants.hpp"
#include "io/free_format_reader.hpp"
#include "model/simulate.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

namespace fs = std::filesystem;

// A value as the bits it must match: NaN equal to NaN, +0 not -0.
std::uint64_t key(float value) { return std::isnan(value) ? ~std::uint64_t{0} : std::bit_cast<std::uint32_t>(value); }

// What reading `content` gives, in blocks of 16 bytes so that lines and
// tokens straddle blocks: statement after statement of one item for each
// letter of `shape` (l label, t text, i integer, r real; a real shows as
// its bits) until one fails, then where ("@line.item") and why it stopped.
std::string r(float value) { return std::to_string(key(value)) + " "; }
std::string at(std::int64_t line, std::size_t i, const std::string& why) { return "@" + std::to_string(line) + "." + std::to_string(i) + " " + why; }
std::string outcome(const std::string& content, std::string_view shape) {
  const testing::temp_dir dir;
  testing::write_file(dir.path / "in", content);
  const int fd = ::open((dir.path / "in").c_str(), O_RDONLY);
  free_format_reader reader(fd, 16);
  std::vector<text_field> t(shape.size());
  std::vector<std::int32_t> i(shape.size());
  std::vector<float> f(shape.size());
  std::vector<statement_item> items;  // "ltir" is the order of statement_item::kind
  for (std::size_t k = 0; k < shape.size(); ++k) {
    const statement_item all[] = {statement_item::label(), statement_item::text(t[k]), statement_item::integer(i[k]),
                                  statement_item::real(f[k])};
    items.push_back(all[std::string_view("ltir").find(shape[k])]);
  }
  std::string read;
  while (reader.read_statement(items)) {
    for (std::size_t k = 0; k < shape.size(); ++k) {
      const std::string all[] = {"", "[" + std::string(t[k].trimmed()) + "] ", std::to_string(i[k]) + " ", r(f[k])};
      read += all[std::string_view("ltir").find(shape[k])];
    }
  }
  ::close(fd);
  const statement_problem& p = reader.problem();
  return read + at(p.line, p.item, explain(p, items[p.item].type));
}

TEST(Reading, StatementsValuesAndWhereTheReadingStops) {
  const std::string ends = "the file ends before this value", n(128, 'n'), o(128, 'o');
  const std::string slash = "no value (a slash ended the statement before it)";
  const std::string null = "no value (an empty field between commas or before the first value)";
  const std::array<std::string, 3> cases[] = {
      {"a 1.5\nb,2.5\nc , 3.5\nd\t4.5\ne\t,\t5.5\n", "lr", r(1.5f) + r(2.5f) + r(3.5f) + r(4.5f) + r(5.5f) + at(5, 0, ends)},
      {"lat 79.91 degrees north, 7 / 8\nalbedo 0.15 'unclosed\n", "lr", r(79.91f) + r(0.15f) + at(2, 0, ends)},
      {"latitude\n\n   \n\t\n79.9 ignored\nch 0.002\n", "lr", r(79.9f) + r(0.002f) + at(6, 0, ends)},
      {"a 1.0\nthis comment\nb 2.0\n", "lr", r(1.0f) + at(2, 1, "expected a real, found \"comment\"")},
      {"a 1.5\r\nb 2.5\r\n\r\nc 3.5\r", "lr", r(1.5f) + r(2.5f) + r(3.5f) + at(4, 0, ends)},
      {",79.91\nlat, ,1\n", "lr", r(79.91f) + at(2, 1, null)},
      {"k_ice_1/m 1.0\n", "lr", at(1, 1, slash)},
      {"1 2\n3 99 99\n4 5 6\n7,\n,9\n", "iii", "1 2 3 4 5 6 " + at(5, 1, null)},
      {"1 2\n3\n\n", "iiii", at(3, 3, ends)},
      {"", "i", at(0, 0, ends)},
      {"x 30\nx +30\nx -7\nx 007\nx 2147483647\nx -2147483648\n", "li", "30 30 -7 7 2147483647 -2147483648 " + at(6, 0, ends)},
      {"'my site, 2016/08.txt' \"out \"\"x\"\".csv\"\nit's 'a''b'\n", "tt",
       "[my site, 2016/08.txt] [out \"x\".csv] [it's] [a'b] " + at(2, 0, ends)},
      {n + "nn " + o + "\ndata/x.txt out.csv\n", "tt", "[" + n + "] [" + o + "] " + at(2, 1, slash)},
      {"'site'txt out.csv\n", "tt", at(1, 0, "characters directly after the closing quote: \"'site'txt out.csv\"")},
  };
  for (const auto& [content, shape, expected] : cases) EXPECT_EQ(outcome(content, shape), expected) << content;

  // Reals are correctly rounded; what is not a number of the item's kind is refused.
  const std::pair<std::string, float> reals[] = {
      {"+.5", 0.5f}, {"-5.e-1", -0.5f}, {"1.5D2", 150.0f}, {"+2.5d-1", 0.25f}, {"-0", -0.0f}, {"16777217", 16777216.0f},
      {"16777219", 16777220.0f}, {"3.4028236e38", HUGE_VALF}, {"-1D400", -HUGE_VALF}, {"1e-40", 1e-40f}, {"-1e-50", -0.0f},
      {"1e-99999999999999", 0.0f}, {"+INFINITY", HUGE_VALF}, {"-inf", -HUGE_VALF}, {"NaN", NAN}, {"nan", NAN}};
  for (const auto& [token, value] : reals) EXPECT_EQ(outcome("x " + token + "\n", "lr"), r(value) + at(1, 0, ends));
  const std::array<std::string, 3> refused[] = {
      {"li", "10.0 10. 1e3 1d3 + - +-5 --5 12a 3*1 ten", "expected an integer, found "},
      {"lr", ". - -. e5 -.e5 1e 1.e 1e+ 1.2.3 1.0-3 5- 0x10 0x1p3 infinit nan(1) +nan -nan -NaN 1e5x 3*1.0",
       "expected a real, found "},
      {"li", "2147483648 -2147483649 99999999999999999999", "expected an integer within 32 bits, found "}};
  for (const auto& [shape, tokens, why] : refused) {
    std::istringstream words(tokens);
    for (std::string token; words >> token;) EXPECT_EQ(outcome("x " + token + "\n", shape), at(1, 1, why + "\"" + token + "\""));
  }
}

// Where a results table first differs from `rows` (every value read back by
// its column's kind), or "".
std::string difference(const std::string& table, const std::vector<result_row>& rows) {
  if (table.substr(0, table.find('\n')) != results_header()) return "the header";
  const char *at = table.data() + table.find('\n') + 1, *const end = table.data() + table.size();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < result_column_count; ++c, ++at) {
      const std::string where = "row " + std::to_string(r + 1) + ", " + std::string(result_columns[c].name);
      const bool real = result_columns[c].kind == column_kind::real;
      result_value value{};
      const auto [next, ec] = real ? std::from_chars(at, end, value.real) : std::from_chars(at, end, value.integer);
      if (ec != std::errc() || *next != (c + 1 < result_column_count ? ',' : '\n')) return where + " unreadable";
      if (real ? key(value.real) != key(rows[r][c].real) : value.integer != rows[r][c].integer) return where;
      at = next;
    }
  }
  return at == end ? "" : "more rows";
}

TEST(ReferenceRuns, ProgramsAndMemoryGiveTheExpectedBits) {
  const fs::path source = PUMAK_SOURCE_DIR;
  const auto expected = [](const fs::path& site) { return testing::read_file(site / "expected/results.csv"); };
  // name, site (run/ and data/met_lv3/), program, expected table, change to the site
  using reference = std::tuple<std::string, fs::path, std::string, std::string, std::function<void(const fs::path& run)>>;
  std::vector<reference> runs{{"example", source / "example", "metrun", testing::read_file(source / "tests/data/example_results_kpc_l.csv"), nullptr}};
  for (const auto& site : fs::directory_iterator(testing::golden(""))) {
    if (!site.is_directory()) continue;
    const std::string program = testing::read_file(site.path() / "program");
    runs.emplace_back(site.path().filename(), site, program.substr(0, program.find('\n')), expected(site), nullptr);
  }
  ASSERT_GE(runs.size(), 5u);
  // An experiment keeps its built-in extinction and reads a 16-statement file as its own 13.
  runs.emplace_back("fixed_a, k_ice_direct 17.5", testing::golden("fixed_a_kpc_l"), "fixed_a", expected(testing::golden("fixed_a_kpc_l")),
                    [](const fs::path& run) { testing::replace_line(run / "parameter.ini", 13, "k 17.5\nk 3\nangle 10\nangle 20"); });
  runs.emplace_back("n_days -3: the header alone, no record read", testing::golden("lat28_summer"), "metrun", results_header() + "\n",
                    [](const fs::path& run) {
                      testing::replace_line(run / "parameter.ini", 10, "n_days -3");
                      testing::write_file(run / "../data/met_lv3/syn28.txt", "not a record\n");
                    });
  for (const auto& [name, site, program, table, change] : runs) {
    SCOPED_TRACE(name);
    const testing::temp_dir dir;
    testing::copy_site(site, dir.path);
    const fs::path run = dir.path / "run";
    if (change) change(run);
    // Lines past the last statement and past the last record are never read.
    for (const auto& file : fs::recursive_directory_iterator(dir.path)) {
      if (file.is_regular_file()) testing::write_file(file, testing::read_file(file) + "never read: / , '\n");
    }
    const model_variant& variant = variant_named(program);
    const run_parameters params = read_parameters(run, variant);
    testing::write_file(run / params.out_file.trimmed(), std::string(1 << 20, 'x') + "\n");  // an earlier, longer table
    std::vector<result_row> rows;
    simulate(params, read_met(run, params), variant, [&rows](const model_state& s) { make_row(s, rows.emplace_back()); });
    EXPECT_EQ(difference(table, rows), "") << "in memory";
    EXPECT_EQ(testing::run(program, run).seen(), "0||");
    EXPECT_EQ(difference(testing::read_file(run / params.out_file.trimmed()), rows), "") << "the program";
  }
}

// One line a branch: lat28_summer with one input changed, and one value of
// the row of one hour of day 1.
TEST(HourlyStep, BranchesTheReferenceRunsNeverTake) {
  const std::string site = testing::golden("lat28_summer") / "run";
  const run_parameters params = read_parameters(site, metrun_variant);
  const met_series met = read_met(site, params);
  const std::tuple<const char*, std::function<void(run_parameters&, met_series&)>, int, std::size_t, float> cases[] = {
      {"air at -2 C: over water", [](auto&, auto& s) { s.ta_obs[12] = -2.0f; }, 12, result_column_index("lh_ice"), -30.83274f},
      {"air below -2 C: over ice", [](auto&, auto& s) { s.ta_obs[12] = -2.0000002f; }, 12, result_column_index("lh_ice"), -32.590065f},
      {"a sun beyond the zenith", [](auto& q, auto& s) { q.latitude = -23, s.doy[12] = 1; }, 12, result_column_index("solar_angle"), 0.0f},
      {"cloud reference 0 at night", [](auto&, auto& s) { s.ta_obs[23] = -20.7037201f; }, 23, result_column_index("sr_direct"), -0.0f},
      {"diffuse mode 2", [](auto& q, auto&) { q.diffuse_mode = 2; }, 12, result_column_index("sr_direct"), 513.9f},
      {"diffuse mode 3", [](auto& q, auto&) { q.diffuse_mode = 3; }, 12, result_column_index("sr_diffuse"), 513.9f},
      {"diffuse mode 7 is parameterised", [](auto& q, auto&) { q.diffuse_mode = 7; }, 12, result_column_index("sr_direct"), 166.67213f},
      {"no hole at depth -0", [](auto& q, auto&) { q.cryoconite_depth = -0.0f; }, 1, result_column_index("cryo_angle"), 1.5707964f},
      {"equal angles: through the ice", [](auto& q, auto&) { q.fixed_solar_angle = q.fixed_cryo_angle = 30; }, 12,
       result_column_index("t_direct"), 0.58533275f},
      {"fixed_cryo_angle 0", [](auto& q, auto&) { q.fixed_cryo_angle = 0.0f; }, 12, result_column_index("cryo_angle"), 0.0f},
      {"fixed_solar_angle 0", [](auto& q, auto&) { q.fixed_solar_angle = 0.0f; }, 24, result_column_index("solar_angle"), 0.0f},
      {"fixed_solar_angle NaN", [](auto& q, auto&) { q.fixed_solar_angle = NAN; }, 12, result_column_index("solar_angle"), 0.2629865f},
      {"a hole melting away ends at 0", [](auto& q, auto& s) { q.cryoconite_depth = 0.01f, s.ta_obs[1] = 8, s.lw_up[1] = 316; }, 1,
       result_column_index("cryoconite_depth"), 0.0f},
      {"NaN surface temperature", [](auto&, auto& s) { s.lw_up[3] = -10.0f; }, 12, result_column_index("cryoconite_depth"), NAN},
      {"a NaN depth is no hole", [](auto&, auto& s) { s.lw_up[3] = -10.0f; }, 12, result_column_index("cryo_angle"), 1.5707964f},
  };
  for (const auto& [what, change, hour, column, expected] : cases) {
    run_parameters q = params;
    met_series s = met;
    change(q, s);
    result_row row{};
    simulate(q, s, metrun_variant, [&, hour = hour](const model_state& state) {
      if (state.m == hour) make_row(state, row);
    });
    EXPECT_EQ(key(row[column].real), key(expected)) << what << ": " << row[column].real;
  }
}

}  // namespace
}  // namespace pumak
