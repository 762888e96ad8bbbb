#include "model/ensemble.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/hour_terms.hpp"
#include "model/result_row.hpp"
#include "model/simulate.hpp"
#include "physics/const_init.hpp"

namespace pumak {
namespace {

// Hours computed together: the sky part of a block for a group of members,
// then each member's floor over the block.
constexpr std::size_t block_hours = 256;
static_assert(sizeof(result_value) == sizeof(float) && sizeof(result_value) == sizeof(std::int32_t));

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// Columns whose values stay right when a frozen hour leaves the floor's
// radiation out (floor_hour without when_frozen), and columns that do not
// read the extinction coefficients. A column not listed asks for all.
constexpr std::array<std::string_view, 22> without_floor_radiation{
    "days_for_graph", "month",     "day",      "hour",        "sd_obs",    "sd_calc",
    "nsr_ice",        "nlr_ice",   "sh_ice",   "lh_ice",      "melt_ice",  "sh_cryo",
    "lh_cryo",        "melt_cryo", "d_sh",     "d_lh",        "d_melt",    "cryoconite_depth",
    "sr",             "sr_direct", "sr_diffuse", "solar_angle"};
constexpr std::array<std::string_view, 2> extinction_columns{"k_direct", "k_diffuse"};

floor_detail detail_for(std::span<const ensemble_column> columns) {
  floor_detail detail{false, false};
  for (const ensemble_column& c : columns) {
    const std::string_view name = result_columns[c.column].name;
    if (std::find(without_floor_radiation.begin(), without_floor_radiation.end(), name) ==
        without_floor_radiation.end()) {
      detail.when_frozen = true;
    }
    if (std::find(extinction_columns.begin(), extinction_columns.end(), name) !=
        extinction_columns.end()) {
      detail.extinction = true;
    }
  }
  return detail;
}

// The fit of modelled to observed lowering, gathered hour by hour. The sums
// are taken about the first pair, so that they stay small.
struct lowering_fit {
  double first_calc = std::numeric_limits<double>::quiet_NaN();
  std::int64_t n = 0;
  double x0 = 0.0;
  double y0 = 0.0;
  double sx = 0.0;
  double sy = 0.0;
  double sxx = 0.0;
  double syy = 0.0;
  double sxy = 0.0;
  double sd = 0.0;
  double sdd = 0.0;
};

// `calc` is the hour's sd_calc, `observed` the observed lowering (NaN where
// there is none).
void add_hour(lowering_fit& f, float calc, double observed) {
  const double sd_calc = static_cast<double>(calc);
  if (std::isnan(f.first_calc) && std::isfinite(sd_calc)) {
    f.first_calc = sd_calc;
  }
  const double x = sd_calc - f.first_calc;
  if (!std::isfinite(x) || !std::isfinite(observed)) {
    return;
  }
  if (f.n == 0) {
    f.x0 = x;
    f.y0 = observed;
  }
  ++f.n;
  const double dx = x - f.x0;
  const double dy = observed - f.y0;
  const double d = x - observed;
  f.sx += dx;
  f.sy += dy;
  f.sxx += dx * dx;
  f.syy += dy * dy;
  f.sxy += dx * dy;
  f.sd += d;
  f.sdd += d * d;
}

void finish(const lowering_fit& f, ensemble_summary& s) {
  s.pairs = f.n;
  if (f.n == 0) {
    return;
  }
  const double n = static_cast<double>(f.n);
  s.bias = f.sd / n;
  s.rmse = std::sqrt(f.sdd / n);
  const double cxx = f.sxx - f.sx * f.sx / n;
  const double cyy = f.syy - f.sy * f.sy / n;
  const double cxy = f.sxy - f.sx * f.sy / n;
  // Fewer than two pairs or a constant series: no correlation.
  if (f.n >= 2 && cxx > 0.0 && cyy > 0.0) {
    s.correlation = std::clamp(cxy / std::sqrt(cxx * cyy), -1.0, 1.0);
  }
}

// One member's run.
struct member_run {
  std::size_t index = 0;  // in the ensemble
  floor_parameters floor;
  hole_geometry hole;
  float cryoconite_depth = 0.0f;
  float sd_calc = 0.0f;
  lowering_fit fit;
  double melt_cryo_sum = 0.0;
};

// Members that share the bare ice and the sun of every hour.
struct group_run {
  sky_parameters sky;
  sun_table* sun = nullptr;
  fixed_sun fixed;
  std::vector<member_run> members;
  double melt_ice_sum = 0.0;
};

// Groups that share the air of every hour.
struct air_run {
  float ta_offset = 0.0f;
  std::vector<group_run> groups;
};

// What the members of one thread share in an hour of the block: the record,
// the row's own columns and the observed lowering.
struct block_hour {
  met_record record;
  std::int32_t hour_index = 0;
  std::int32_t month = 0;
  std::int32_t day = 0;
  float sd_sensor = 0.0f;
  double observed = 0.0;  // sd_obs less its first finite value, or NaN
};

struct ensemble_run {
  std::span<const run_parameters> members;
  const met_series* met = nullptr;
  const model_variant* variant = nullptr;
  std::span<const ensemble_column> columns;
  std::span<ensemble_summary> summaries;
  std::size_t hours = 0;
  floor_detail detail;
};

// The work of one thread: members [first, last) of the ensemble.
class member_block {
 public:
  member_block(const ensemble_run& e, std::size_t first, std::size_t last);
  void run();

 private:
  void read_block(std::size_t start, std::size_t n);
  void run_group(group_run& g, std::size_t start, std::size_t n);
  void write_summaries() const;

  const ensemble_run& e_;
  physical_constants c_;
  std::vector<air_run> airs_;
  std::map<std::uint32_t, std::unique_ptr<sun_table>> suns_;  // by latitude
  double first_observed_ = std::numeric_limits<double>::quiet_NaN();
  // The hours of the block: what all members share; the hours of the
  // current air group, into which each of its groups writes the bare ice and
  // the sun and then each of its members the hole and floor (each part
  // writes all of its own quantities, so nothing of another group or member
  // is read); and the staged column values.
  std::vector<block_hour> block_ = std::vector<block_hour>(block_hours);
  std::vector<hourly_quantities> quantities_ = std::vector<hourly_quantities>(block_hours);
  std::vector<hour_terms> terms_ = std::vector<hour_terms>(block_hours);
  std::vector<result_value> staged_;
};

member_block::member_block(const ensemble_run& e, std::size_t first, std::size_t last) : e_(e) {
  std::map<std::uint32_t, std::size_t> air_of;
  std::map<std::array<std::uint32_t, 6>, std::size_t> group_of;  // within its air
  for (std::size_t i = first; i < last; ++i) {
    run_parameters p = e.members[i];
    const_init(c_.solar_constant, c_.pi, c_.t_melt, c_.sigma, c_.l_vap, c_.l_fus, c_.emissivity,
               c_.cp_air, c_.p_std, c_.rho_ice, c_.rho_water, c_.dt, p.latitude);
    const auto [a, new_air] = air_of.try_emplace(bits_of(p.ta_offset), airs_.size());
    if (new_air) {
      airs_.push_back(air_run{p.ta_offset, {}});
    }
    air_run& air = airs_[a->second];
    const sky_parameters sky = sky_parameters_of(p, *e.variant);
    // A fixed sun applies from 0 degrees up; every other value leaves toprad's.
    const float fixed = sky.fixed_solar_angle >= 0.0f ? sky.fixed_solar_angle : -1.0f;
    const std::array<std::uint32_t, 6> key{bits_of(p.ta_offset), bits_of(sky.latitude),
                                           bits_of(sky.albedo_ice), bits_of(sky.ch),
                                           static_cast<std::uint32_t>(sky.diffuse_mode),
                                           bits_of(fixed)};
    const auto [g, new_group] = group_of.try_emplace(key, air.groups.size());
    if (new_group) {
      std::unique_ptr<sun_table>& sun = suns_[bits_of(sky.latitude)];
      if (!sun) {
        sun = std::make_unique<sun_table>();
      }
      air.groups.push_back(group_run{sky, sun.get(), {}, {}, 0.0});
    }
    member_run member;
    member.index = i;
    member.floor = floor_parameters_of(p, *e.variant);
    member.cryoconite_depth = p.cryoconite_depth;
    member.sd_calc = p.sd_calc;
    air.groups[g->second].members.push_back(member);
  }
}

void member_block::run() {
  for (std::size_t start = 0; start < e_.hours; start += block_hours) {
    const std::size_t n = std::min(block_hours, e_.hours - start);
    read_block(start, n);
    for (air_run& air : airs_) {
      for (std::size_t h = 0; h < n; ++h) {
        air_hour(block_[h].record, air.ta_offset, c_, quantities_[h], terms_[h]);
      }
      for (group_run& g : air.groups) {
        run_group(g, start, n);
      }
    }
  }
  write_summaries();
}

// The records of hours start + 1 .. start + n, and the observed lowering.
void member_block::read_block(std::size_t start, std::size_t n) {
  const met_series& met = *e_.met;
  const hourly_quantities none{};  // sd_obs reads the record alone
  for (std::size_t h = 0; h < n; ++h) {
    const std::size_t m = start + h + 1;
    block_hour& b = block_[h];
    b.record = record_at(met, m, e_.variant->forcing);
    b.hour_index = static_cast<std::int32_t>((m - 1) % 24 + 1);
    b.month = met.month[m];
    b.day = met.day[m];
    b.sd_sensor = met.sd_sensor[m];
    const row_source row{&none, b.hour_index, b.month, b.day, b.sd_sensor, 0.0f, 0.0f, 0.0f};
    const double observed = static_cast<double>(row_value(result_column_index("sd_obs"), row).real);
    if (std::isnan(first_observed_) && std::isfinite(observed)) {
      first_observed_ = observed;
    }
    b.observed = observed - first_observed_;
  }
}

void member_block::run_group(group_run& g, std::size_t start, std::size_t n) {
  for (std::size_t h = 0; h < n; ++h) {
    sky_hour(block_[h].record, block_[h].hour_index, g.sky, c_, *g.sun, g.fixed, quantities_[h],
             terms_[h]);
  }
  // Hour by hour, each member in turn: the members' carried states are
  // independent chains that the processor can run side by side. Column
  // values go to the staging area first, member by member.
  const std::size_t members = g.members.size();
  staged_.resize(e_.columns.size() * members * block_hours);
  for (std::size_t h = 0; h < n; ++h) {
    hourly_quantities& q = quantities_[h];
    const block_hour& b = block_[h];
    g.melt_ice_sum += static_cast<double>(q.melt_ice);  // the same for every member
    for (std::size_t k = 0; k < members; ++k) {
      member_run& r = g.members[k];
      floor_hour(terms_[h], r.floor, c_, e_.detail, r.hole, q, r.cryoconite_depth, r.sd_calc);
      r.melt_cryo_sum += static_cast<double>(q.melt_cryo);
      add_hour(r.fit, r.sd_calc, b.observed);
      const row_source row{&q,          b.hour_index, b.month,   b.day,
                           b.sd_sensor, b.record.sr,  r.sd_calc, r.cryoconite_depth};
      for (std::size_t j = 0; j < e_.columns.size(); ++j) {
        staged_[(j * members + k) * block_hours + h] = row_value(e_.columns[j].column, row);
      }
    }
  }
  // Each member's hours of the block are one run of its rows.
  for (std::size_t j = 0; j < e_.columns.size(); ++j) {
    const ensemble_column& column = e_.columns[j];
    for (std::size_t k = 0; k < members; ++k) {
      const result_value* from = &staged_[(j * members + k) * block_hours];
      const std::size_t at = g.members[k].index * e_.hours + start;
      // The staged values hold the column's kind, which has the size and
      // representation of its buffer's elements.
      void* to = column.real != nullptr ? static_cast<void*>(column.real + at)
                                        : static_cast<void*>(column.integer + at);
      std::memcpy(to, from, n * sizeof(result_value));
    }
  }
}

void member_block::write_summaries() const {
  if (e_.summaries.empty()) {
    return;
  }
  for (const air_run& air : airs_) {
    for (const group_run& g : air.groups) {
      for (const member_run& r : g.members) {
        ensemble_summary& s = e_.summaries[r.index];
        s = ensemble_summary{};
        s.final_sd_calc = r.sd_calc;
        s.final_depth = r.cryoconite_depth;
        s.melt_ice_total = g.melt_ice_sum;
        s.melt_cryo_total = r.melt_cryo_sum;
        finish(r.fit, s);
      }
    }
  }
}

void check(const ensemble_run& e) {
  for (const run_parameters& p : e.members) {
    if (p.n_days != e.members.front().n_days) {
      throw std::invalid_argument("ensemble: every member must run the same n_days (" +
                                  std::to_string(e.members.front().n_days) + " and " +
                                  std::to_string(p.n_days) + " given)");
    }
  }
  check_series_length(*e.met, e.hours);
  if (!e.summaries.empty() && e.summaries.size() != e.members.size()) {
    throw std::invalid_argument("ensemble: " + std::to_string(e.summaries.size()) +
                                " summaries for " + std::to_string(e.members.size()) + " members");
  }
  for (const ensemble_column& c : e.columns) {
    if (c.column >= result_column_count) {
      throw std::invalid_argument("ensemble: no result column " + std::to_string(c.column));
    }
    const bool real = result_columns[c.column].kind == column_kind::real;
    if ((real ? c.real == nullptr : c.integer == nullptr) || (c.real != nullptr && c.integer != nullptr)) {
      throw std::invalid_argument("ensemble: column " + std::string(result_columns[c.column].name) +
                                  " needs one buffer of " + (real ? "float" : "int32") + " values");
    }
  }
}

}  // namespace

void run_ensemble(std::span<const run_parameters> members, const met_series& met,
                  const model_variant& variant, std::span<const ensemble_column> columns,
                  std::span<ensemble_summary> summaries, unsigned threads) {
  if (members.empty()) {
    return;
  }
  const ensemble_run e{members, &met, &variant, columns, summaries, run_hours(members.front()),
                       detail_for(columns)};
  check(e);

  if (threads == 0) {
    threads = std::max(1u, std::thread::hardware_concurrency());
  }
  const std::size_t n_threads = std::min<std::size_t>(threads, members.size());
  const auto bound = [&](std::size_t t) { return t * members.size() / n_threads; };
  std::vector<std::exception_ptr> failures(n_threads);
  const auto work = [&](std::size_t t) {
    try {
      member_block(e, bound(t), bound(t + 1)).run();
    } catch (...) {
      failures[t] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(n_threads - 1);
  for (std::size_t t = 1; t < n_threads; ++t) {
    workers.emplace_back(work, t);
  }
  work(0);
  for (std::thread& worker : workers) {
    worker.join();
  }
  for (const std::exception_ptr& failure : failures) {
    if (failure) {
      std::rethrow_exception(failure);
    }
  }
}

}  // namespace pumak
