// The ensemble engine against single runs, every member, hour and column to the
// bit whatever the thread count, and summaries against the columns they sum up.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>

#include "driver/program_variants.hpp"
#include "model/ensemble.hpp"
#include "model/simulate.hpp"

namespace pumak {
namespace {

constexpr float nan = __builtin_nanf("");

std::string golden_run(const std::string& site) { return PUMAK_SOURCE_DIR "/tests/data/golden/" + site + "/run"; }

bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a != a && b != b); }

// Every column of every member and hour as the engine gives them, as reals.
struct ensemble_out {
  std::vector<std::vector<float>> real{result_column_count};
  std::vector<std::vector<std::int32_t>> integer{result_column_count};
  std::vector<ensemble_summary> summaries;
  double at(std::size_t column, std::size_t i) const {
    return result_columns[column].kind == column_kind::real ? real[column][i] : integer[column][i];
  }
};

ensemble_out run(const std::vector<run_parameters>& members, const met_series& met,
                 const model_variant& variant, unsigned threads, bool columns = true) {
  ensemble_out out;
  std::vector<ensemble_column> wanted;
  const std::size_t n = members.size() * run_hours(members[0]);
  for (std::size_t c = 0; columns && c < result_column_count; ++c) {
    const bool real = result_columns[c].kind == column_kind::real;
    out.real[c].assign(real ? n : 0, 0.0f);
    out.integer[c].assign(real ? 0 : n, 0);
    wanted.push_back({c, real ? out.real[c].data() : nullptr, real ? nullptr : out.integer[c].data()});
  }
  out.summaries.resize(members.size());
  run_ensemble(members, met, variant, wanted, out.summaries, threads);
  return out;
}

// Summaries to the bit (no padding in the record).
bool same_summaries(const ensemble_out& a, const ensemble_out& b) {
  return std::memcmp(a.summaries.data(), b.summaries.data(), a.summaries.size() * sizeof(ensemble_summary)) == 0;
}

using change = std::function<void(run_parameters&)>;
const std::vector<std::pair<const char*, change>> member_changes{
    {"as read", [](run_parameters&) {}},
    {"floor: albedo_cryo", [](run_parameters& p) { p.albedo_cryo = 0.3f; }},
    {"floor: wide shallow hole", [](run_parameters& p) { p.cryoconite_diameter = 300.0f, p.cryoconite_depth = 20.0f; }},
    {"floor: no hole", [](run_parameters& p) { p.cryoconite_depth = 0.0f; }},
    {"floor: negative depth", [](run_parameters& p) { p.cryoconite_depth = -5.0f, p.sd_calc = -0.0f; }},
    {"floor: extinction", [](run_parameters& p) { p.k_ice_direct = 2.0f, p.k_ice_diffuse = 0.5f; }},
    {"floor: wall past the horizon", [](run_parameters& p) { p.fixed_cryo_angle = 95.0f; }},
    {"floor: NaN albedo", [](run_parameters& p) { p.albedo_cryo = nan; }},
    {"sky: albedo_ice", [](run_parameters& p) { p.albedo_ice = 0.6f; }},
    {"sky: ch and ta_offset", [](run_parameters& p) { p.ch = 0.003f, p.ta_offset = 1.5f; }},
    {"sky: latitude", [](run_parameters& p) { p.latitude = 45.0f; }},
    {"sky: all diffuse", [](run_parameters& p) { p.diffuse_mode = 3; }},
    {"sky: fixed sun", [](run_parameters& p) { p.fixed_solar_angle = 40.0f; }},
    {"sky: NaN ta_offset", [](run_parameters& p) { p.ta_offset = nan; }},
};

TEST(Ensemble, MembersAreSingleRunsBitForBit) {
  for (const auto& [site, name] : {std::pair{"kpc_l_deep", "metrun"}, {"fixed_a_kpc_l", "fixed_a"}, {"fixed_b_lat45", "fixed_b"}}) {
    const model_variant& variant = variant_named(name);
    const std::string dir = golden_run(site);
    const run_parameters base = read_parameters(dir, variant);
    const met_series met = read_met(dir, base);
    std::vector<run_parameters> members;
    for (const auto& [what, apply] : member_changes) apply(members.emplace_back(base));
    const std::size_t hours = run_hours(base);
    const ensemble_out two = run(members, met, variant, 2);
    for (std::size_t k = 0; k < members.size(); ++k) {
      std::size_t h = 0;
      simulate(members[k], met, variant, [&](const model_state& state) {
        result_row row;
        make_row(state, row);
        for (std::size_t c = 0; c < result_column_count; ++c) {
          const double single = result_columns[c].kind == column_kind::real ? row[c].real : row[c].integer;
          ASSERT_TRUE(same(single, two.at(c, k * hours + h)))
              << site << ", " << member_changes[k].first << ": hour " << h + 1 << " " << result_columns[c].name;
        }
        ++h;
      });
    }
    for (const unsigned threads : {1u, 3u, 0u}) {
      const ensemble_out other = run(members, met, variant, threads);
      for (std::size_t c = 0; c < result_column_count; ++c) {
        ASSERT_EQ(other.real[c].size(), two.real[c].size());  // empty for the integer columns
        EXPECT_TRUE(two.real[c].empty() || std::memcmp(other.real[c].data(), two.real[c].data(), two.real[c].size() * 4) == 0)
            << threads << " threads";
        EXPECT_EQ(other.integer[c], two.integer[c]) << threads << " threads";
      }
      EXPECT_TRUE(same_summaries(other, two)) << threads << " threads";
    }
    EXPECT_TRUE(same_summaries(run(members, met, variant, 2, false), two)) << "summary only";
  }
}

TEST(Ensemble, SummaryIsTheStatisticsOfTheColumns) {
  const std::string dir = golden_run("kpc_l_deep");
  const run_parameters base = read_parameters(dir, metrun_variant);
  met_series met = read_met(dir, base);
  met.sd_sensor[1] = nan;  // the observed lowering starts at the second hour
  std::vector<run_parameters> members(3, base);
  members[1].albedo_ice = 0.7f;
  members[2].sd_calc = nan;  // no modelled lowering at all
  const ensemble_out out = run(members, met, metrun_variant, 2);
  const std::size_t hours = run_hours(base);
  for (std::size_t k = 0; k < members.size(); ++k) {
    const auto relative = [&](std::size_t column) {  // less the first finite value
      std::vector<double> v(hours);
      for (std::size_t h = 0; h < hours; ++h) v[h] = out.at(column, k * hours + h);
      const auto at = std::find_if(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
      for (double first = at == v.end() ? std::nan("") : *at; double& x : v) x -= first;
      return v;
    };
    const std::vector<double> calc = relative(result_column_index("sd_calc")), obs = relative(result_column_index("sd_obs"));
    std::vector<double> x, y;
    double ice = 0, cryo = 0;
    for (std::size_t h = 0; h < hours; ++h) {
      if (std::isfinite(calc[h]) && std::isfinite(obs[h])) x.push_back(calc[h]), y.push_back(obs[h]);
      ice += out.at(result_column_index("melt_ice"), k * hours + h);
      cryo += out.at(result_column_index("melt_cryo"), k * hours + h);
    }
    const ensemble_summary& s = out.summaries[k];
    EXPECT_EQ(s.pairs, static_cast<std::int64_t>(x.size()));
    EXPECT_EQ(x.size(), k == 2 ? 0 : hours - 1);
    const double n = static_cast<double>(x.size());
    double bias = 0, square = 0, mx = 0, my = 0, cxy = 0, cxx = 0, cyy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) bias += (x[i] - y[i]) / n, square += (x[i] - y[i]) * (x[i] - y[i]) / n, mx += x[i] / n, my += y[i] / n;
    for (std::size_t i = 0; i < x.size(); ++i) cxy += (x[i] - mx) * (y[i] - my), cxx += (x[i] - mx) * (x[i] - mx), cyy += (y[i] - my) * (y[i] - my);
    EXPECT_TRUE(k == 2 ? std::isnan(s.bias) : std::fabs(s.bias - bias) < 1e-12) << k;
    EXPECT_TRUE(k == 2 ? std::isnan(s.rmse) : std::fabs(s.rmse - std::sqrt(square)) < 1e-12) << k;
    EXPECT_TRUE(k == 2 ? std::isnan(s.correlation) : std::fabs(s.correlation - cxy / std::sqrt(cxx * cyy)) < 1e-9) << k;
    EXPECT_NEAR(s.melt_ice_total, ice, 1e-9 * ice);
    EXPECT_NEAR(s.melt_cryo_total, cryo, 1e-9 * cryo);
    EXPECT_TRUE(same(s.final_sd_calc, out.at(result_column_index("sd_calc"), (k + 1) * hours - 1)));
    EXPECT_TRUE(same(s.final_depth, out.at(result_column_index("cryoconite_depth"), (k + 1) * hours - 1)));
  }
}

}  // namespace
}  // namespace pumak
