// pumak._core.ensemble: the ensemble engine for Python.
//
// The members' parameters pass through the module's own checked_parameters,
// so that a member is refused or rounded exactly as a single run's
// parameters are; the met columns must already be int32 and float32 arrays
// (pumak.model.met_arrays makes them so). The engine runs with the GIL
// released, into arrays allocated here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/program_variants.hpp"
#include "io/met_columns.hpp"
#include "io/parameter_layout.hpp"
#include "model/ensemble.hpp"
#include "model/simulate.hpp"
#include "met_arrays.hpp"

namespace py = pybind11;

namespace {

// A member's parameters as the model holds them: checked_parameters of the
// module gives each item rounded as the reader rounds it, or raises.
pumak::run_parameters member_of(const py::handle& values, const py::object& checked,
                                const std::string& program, const pumak::model_variant& variant) {
  py::dict given(py::reinterpret_borrow<py::object>(values));
  for (const char* name : {"met_file", "out_file"}) {  // a run in memory names no file
    if (!given.contains(name)) {
      given[name] = "";
    }
  }
  const auto items = checked(given, program).cast<py::dict>();
  pumak::run_parameters params;
  for (std::size_t i = 0; i < pumak::items_in_layout(variant.parameter_statements); ++i) {
    const pumak::parameter_item& item = pumak::parameter_items[i];
    const py::handle value = items[py::str(std::string(item.name))];
    if (item.integer != nullptr) {
      params.*item.integer = value.cast<std::int32_t>();
    } else if (item.real != nullptr) {
      params.*item.real = static_cast<float>(value.cast<double>());  // exact: a float's value
    }
  }
  return params;
}

std::size_t column_named(const std::string& name) {
  for (std::size_t c = 0; c < pumak::result_column_count; ++c) {
    if (pumak::result_columns[c].name == name) {
      return c;
    }
  }
  throw std::invalid_argument("ensemble: no result column " + name + "; the columns are " +
                              pumak::results_header());
}

}  // namespace

void bind_ensemble(py::module_& m) {
  const py::object checked = m.attr("checked_parameters");
  m.def(
      "ensemble",
      [checked](const py::dict& met, const py::sequence& parameters, const std::string& program,
                const std::vector<std::string>& columns, std::optional<unsigned> threads,
                bool summary_only) {
        const pumak::model_variant& variant = pumak::variant_named(program);
        if (summary_only && !columns.empty()) {
          throw std::invalid_argument("ensemble: summary_only keeps no columns");
        }
        if (threads && *threads == 0) {
          throw std::invalid_argument("ensemble: threads must be at least 1");
        }
        std::vector<pumak::run_parameters> members;
        for (const py::handle values : parameters) {
          members.push_back(member_of(values, checked, program, variant));
        }
        const std::size_t hours = members.empty() ? 0 : pumak::run_hours(members.front());
        const pumak::met_series series = pumak_python::series_from(met, hours);

        py::dict out;
        const auto shape = std::vector<py::ssize_t>{static_cast<py::ssize_t>(members.size()),
                                                    static_cast<py::ssize_t>(hours)};
        std::vector<pumak::ensemble_column> wanted;
        for (const std::string& name : columns) {
          const std::size_t c = column_named(name);
          if (out.contains(name)) {
            throw std::invalid_argument("ensemble: column " + name + " named twice");
          }
          if (pumak::result_columns[c].kind == pumak::column_kind::real) {
            py::array_t<float> values(shape);
            wanted.push_back({c, values.mutable_data(), nullptr});
            out[py::str(name)] = std::move(values);
          } else {
            py::array_t<std::int32_t> values(shape);
            wanted.push_back({c, nullptr, values.mutable_data()});
            out[py::str(name)] = std::move(values);
          }
        }
        std::vector<pumak::ensemble_summary> summaries(members.size());
        {
          const py::gil_scoped_release unlocked;
          pumak::run_ensemble(members, series, variant, wanted, summaries, threads.value_or(0));
        }
        for (const pumak::ensemble_summary_field& field : pumak::ensemble_summary_fields) {
          const auto fill = [&](auto member_pointer) {
            using value = std::remove_cvref_t<decltype(summaries[0].*member_pointer)>;
            py::array_t<value> values(static_cast<py::ssize_t>(members.size()));
            for (std::size_t k = 0; k < members.size(); ++k) {
              values.mutable_data()[k] = summaries[k].*member_pointer;
            }
            out[py::str(std::string(field.name))] = std::move(values);
          };
          if (field.single != nullptr) {
            fill(field.single);
          } else if (field.real != nullptr) {
            fill(field.real);
          } else {
            fill(field.count);
          }
        }
        return out;
      },
      py::arg("met"), py::arg("parameters"), py::arg("program"), py::arg("columns") = std::vector<std::string>{},
      py::arg("threads") = py::none(), py::arg("summary_only") = false,
      "Runs one member per parameter dict over met (a dict of the 14 columns as int32 / float32 "
      "arrays of at least n_days * 24 rows; every member shares n_days). Returns the named result "
      "columns as (members, hours) arrays and the summary, one array per entry of "
      "ensemble_summaries(). threads: the engine's threads (default: the machine's).");
  m.def(
      "ensemble_summaries",
      [] {
        py::list out;
        for (const pumak::ensemble_summary_field& field : pumak::ensemble_summary_fields) {
          py::dict row;
          row["name"] = std::string(field.name);
          row["units"] = std::string(field.unit);
          row["long_name"] = std::string(field.long_name);
          out.append(row);
        }
        return out;
      },
      "The summary variables of ensemble(): name, units and long_name of each.");
}
