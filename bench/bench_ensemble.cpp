// The ensemble engine: member-hours per second over the ten-year synthetic
// record, by thread count, by what the members share and by what is kept.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <vector>

#include "bench/bench_support.hpp"
#include "model/ensemble.hpp"
#include "model/model_variant.hpp"
#include "records/result_columns.hpp"

namespace {

using namespace pumak;

constexpr int record_days = 3650;
constexpr std::size_t member_count = 64;

// What the members keep besides the summary.
enum kept : int {
  summary_only = 0,     // memory independent of the run length
  three_columns = 1,    // sd_calc, cryoconite_depth, melt_cryo for every hour
  floor_columns = 2,    // nsr_cryo and k_direct: the floor's radiation every hour
};

// Members differ in the hole and its floor; with `own_sky` each has its own
// albedo_ice as well, so that no two share the sky part of an hour.
std::vector<run_parameters> members_of(const run_parameters& site, bool own_sky) {
  std::vector<run_parameters> members(member_count, site);
  for (std::size_t i = 0; i < member_count; ++i) {
    const float x = static_cast<float>(i) / static_cast<float>(member_count);
    run_parameters& p = members[i];
    p.albedo_cryo = 0.1f + 0.3f * x;
    p.cryoconite_diameter = 60.0f + 140.0f * x;
    p.cryoconite_depth = 300.0f - 250.0f * x;
    p.k_ice_direct = 0.8f + 0.7f * x;
    p.k_ice_diffuse = 1.5f - 0.7f * x;
    if (own_sky) {
      p.albedo_ice = 0.4f + 0.2f * x;
    }
  }
  return members;
}

void BM_ensemble(benchmark::State& bench) {
  const unsigned threads = static_cast<unsigned>(bench.range(0));
  const bool own_sky = bench.range(1) != 0;
  const auto what = static_cast<kept>(bench.range(2));

  const auto state = std::make_unique<model_state>();
  bench::prepare_state(*state, record_days);
  run_parameters site = state->params;
  site.latitude = 79.91f;  // prepare_state's site, in degrees as read
  const std::vector<run_parameters> members = members_of(site, own_sky);
  const std::size_t hours = static_cast<std::size_t>(record_days) * 24;

  std::vector<std::size_t> wanted;
  if (what == three_columns) {
    wanted = {result_column_index("sd_calc"), result_column_index("cryoconite_depth"),
              result_column_index("melt_cryo")};
  } else if (what == floor_columns) {
    wanted = {result_column_index("nsr_cryo"), result_column_index("k_direct")};
  }
  std::vector<std::vector<float>> buffers;
  std::vector<ensemble_column> columns;
  for (const std::size_t c : wanted) {
    buffers.emplace_back(member_count * hours);
    columns.push_back({c, buffers.back().data(), nullptr});
  }
  std::vector<ensemble_summary> summaries(member_count);

  for (auto _ : bench) {
    run_ensemble(members, state->met, metrun_variant, columns, summaries, threads);
    benchmark::DoNotOptimize(summaries.data());
    benchmark::ClobberMemory();
  }
  bench.counters["member_hours"] = benchmark::Counter(
      static_cast<double>(member_count * hours), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ensemble)
    ->ArgNames({"threads", "own_sky", "kept"})
    ->ArgsProduct({{1, 2}, {0, 1}, {summary_only, three_columns, floor_columns}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
