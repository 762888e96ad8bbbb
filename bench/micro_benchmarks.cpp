// Micro-benchmarks of the three parts of a run: reading the met records,
// the hourly step, and formatting the results table. Each reports the time
// of one unit of work (a record, an hour, a row or a value); see README.md.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench/bench_support.hpp"
#include "io/metdata.hpp"
#include "io/results_table.hpp"
#include "model/result_row.hpp"
#include "model/hourly_step.hpp"
#include "model/model_variant.hpp"

namespace {

using namespace pumak;

constexpr int year_days = 365;
constexpr int year_hours = year_days * 24;

// Time per unit of work, shown as e.g. "per_record=412ns".
benchmark::Counter time_per(double units) {
  return benchmark::Counter(units, benchmark::Counter::kIsIterationInvariantRate |
                                       benchmark::Counter::kInvert);
}

// One year of records read from a file in the page cache with
// free_format_reader, 14 values a statement, into the series.
void BM_read_met_records(benchmark::State& bench) {
  const bench::temp_file file(bench::synthetic_met_text(year_days));
  met_series series;
  for (auto _ : bench) {
    file.rewind();
    bench::read_records(file.fd(), series, year_days);
    benchmark::DoNotOptimize(series.pressure.data());
    benchmark::ClobberMemory();
  }
  bench.counters["per_record"] = time_per(year_hours);
}
BENCHMARK(BM_read_met_records)->Unit(benchmark::kMillisecond);

// The whole met file reader as a program calls it: a ten-year file under
// ../data/met_lv3/, opened, the series sized, every record read.
void BM_metdata(benchmark::State& bench) {
  constexpr int days = 10 * year_days;
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "pumak-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    bench.SkipWithError("cannot create a temporary directory");
    return;
  }
  const fs::path root = pattern;
  fs::create_directories(root / "run");
  fs::create_directories(root / "data" / "met_lv3");
  {
    const std::string text = bench::synthetic_met_text(days);
    std::ofstream(root / "data" / "met_lv3" / "bench.txt", std::ios::binary) << text;
  }
  const fs::path previous = fs::current_path();
  fs::current_path(root / "run");
  text_field name;
  name.assign("bench.txt");
  const auto series = std::make_unique<met_series>();
  for (auto _ : bench) {
    metdata(*series, days, 24, name);
    benchmark::DoNotOptimize(series->pressure.data());
    benchmark::ClobberMemory();
  }
  fs::current_path(previous);
  fs::remove_all(root);
  bench.counters["per_record"] = time_per(days * 24.0);
}
BENCHMARK(BM_metdata)->Unit(benchmark::kMillisecond);

// One hour of the model: hourly_step over a year of prepared series, the
// carried state put back at the end of the year so that every pass is alike.
void BM_hourly_step(benchmark::State& bench) {
  const auto state = std::make_unique<model_state>();
  bench::prepare_state(*state, year_days);
  const run_parameters start = state->params;
  std::int32_t day = 1;
  std::int32_t hour = 1;
  for (auto _ : bench) {
    hourly_step(*state, metrun_variant, day, hour);
    benchmark::DoNotOptimize(state->hour);
    benchmark::ClobberMemory();
    if (++hour > 24) {
      hour = 1;
      if (++day > year_days) {
        day = 1;
        state->params = start;
      }
    }
  }
  bench.counters["per_hour"] = time_per(1.0);
}
BENCHMARK(BM_hourly_step);

// What a row is made of, kept for each hour of a year of steps.
struct row_inputs {
  hourly_quantities hour;
  float sd_calc;
  float cryoconite_depth;
};

std::vector<row_inputs> year_of_rows(model_state& state) {
  bench::prepare_state(state, year_days);
  std::vector<row_inputs> rows;
  rows.reserve(year_hours);
  for (std::int32_t day = 1; day <= year_days; ++day) {
    for (std::int32_t hour = 1; hour <= 24; ++hour) {
      hourly_step(state, metrun_variant, day, hour);
      rows.push_back({state.hour, state.params.sd_calc, state.params.cryoconite_depth});
    }
  }
  return rows;
}

// One row of the results table formatted by append_row into the table's
// buffer, which is written to /dev/null when it fills. The values are those
// of a year of hours; putting them in place costs a copy of ~150 bytes.
void BM_append_row(benchmark::State& bench) {
  const auto state = std::make_unique<model_state>();
  const std::vector<row_inputs> rows = year_of_rows(*state);
  results_table table;
  text_field null_device;
  null_device.assign("/dev/null");
  open_results(table, null_device);
  std::size_t i = 0;
  for (auto _ : bench) {
    const row_inputs& row = rows[i];
    state->hour = row.hour;
    state->params.sd_calc = row.sd_calc;
    state->params.cryoconite_depth = row.cryoconite_depth;
    state->m = static_cast<std::int32_t>(i + 1);
    state->hour_index = static_cast<std::int32_t>(i % 24 + 1);
    result_row values;
    make_row(*state, values);
    append_row(table, values);
    if (++i == rows.size()) {
      i = 0;
    }
  }
  close_results(table);
  bench.counters["per_row"] = time_per(1.0);
}
BENCHMARK(BM_append_row);

// One real formatted by format_real (std::to_chars, shortest round trip),
// over the 31 real columns of a year of rows: about a third are zeros.
void BM_format_real(benchmark::State& bench) {
  const auto state = std::make_unique<model_state>();
  std::vector<float> values;
  for (const row_inputs& row : year_of_rows(*state)) {
    const hourly_quantities& q = row.hour;
    for (const float v :
         {q.days_for_graph, row.sd_calc, q.nsr_ice, q.nlr_ice, q.sh_ice, q.lh_ice, q.melt_ice,
          q.nsr_cryo, q.nlr_cryo, q.sh_cryo, q.lh_cryo, q.melt_cryo, q.cryo_angle, q.solar_angle,
          q.nsr_cryo - q.nsr_ice, q.nlr_cryo - q.nlr_ice, q.sh_cryo - q.sh_ice,
          q.lh_cryo - q.lh_ice, q.melt_cryo - q.melt_ice, row.cryoconite_depth, q.sr_direct,
          q.sr_diffuse, q.src_direct, q.src_diffuse, q.t_direct, q.t_diffuse, q.k_direct,
          q.k_diffuse}) {
      values.push_back(v);
    }
  }
  std::array<char, 32> text{};
  std::size_t i = 0;
  for (auto _ : bench) {
    char* end = format_real(text.data(), values[i]);
    benchmark::DoNotOptimize(end);
    benchmark::ClobberMemory();
    if (++i == values.size()) {
      i = 0;
    }
  }
  bench.counters["per_value"] = time_per(1.0);
}
BENCHMARK(BM_format_real);

}  // namespace

BENCHMARK_MAIN();
