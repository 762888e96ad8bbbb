// pumak._core: the model library for Python.
//
// Everything the package computes goes through here: reading a site's files
// with the programs' own readers, running the model on arrays, the solar
// geometry of the model and reading results tables back to single
// precision. The Python side prepares friendly inputs (column names, dtypes);
// this side trusts nothing it is given: every array is checked for its dtype,
// shape and length before the model sees it, and every parameter for its
// kind and range.
#include <unistd.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <thread>
#include <vector>

#include "driver/program_variants.hpp"
#include "io/met_columns.hpp"
#include "met_arrays.hpp"
#include "io/para.hpp"
#include "io/parameter_layout.hpp"
#include "io/real_parsing.hpp"
#include "io/results_table.hpp"
#include "io/run_failure.hpp"
#include "model/simulate.hpp"
#include "model/version.hpp"
#include "physics/routines.hpp"

namespace py = pybind11;

#ifdef PUMAK_HAS_ENSEMBLE_BINDING
// The ensemble engine's functions (python/src/ensemble_binding.cpp).
void bind_ensemble(py::module_& m);
#endif

// Reading a site's files statement by statement (python/src/scan_binding.cpp).
void bind_scan(py::module_& m);

namespace {

using pumak::column_kind;
using pumak::statement_item;
using pumak_python::decoded;
using pumak_python::input_problem;
using pumak_python::series_from;


// str as UTF-8 bytes, the inverse of decoded().
std::string encoded(const py::handle& text) {
  PyObject* b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
  if (b == nullptr) {
    throw py::error_already_set();
  }
  const auto bytes = py::reinterpret_steal<py::bytes>(b);
  return std::string(bytes);
}

std::string repr_of(const py::handle& value) {
  std::string text = py::repr(value);
  if (text.size() > 40) {
    text = text.substr(0, 40) + "...";
  }
  return text;
}

py::object none_or(bool present, py::object value) { return present ? value : py::none(); }

// Raises pumak.InputError (defined in Python, pumak/errors.py).
void raise_input_error(const std::string& message, py::object file, py::object line,
                       py::object item, py::object status) {
  try {
    const py::object error_type = py::module_::import("pumak.errors").attr("InputError");
    const py::object error = error_type(decoded(message), py::arg("file") = file,
                                        py::arg("line") = line, py::arg("item") = item,
                                        py::arg("status") = status);
    PyErr_SetObject(error_type.ptr(), error.ptr());
  } catch (const py::error_already_set&) {
    // The package is not importable (the module used on its own).
    PyErr_SetString(PyExc_ValueError, message.c_str());
  }
}

void translate(std::exception_ptr failure) {
  try {
    if (failure) {
      std::rethrow_exception(failure);
    }
  } catch (const pumak::run_failure& f) {
    raise_input_error(pumak::one_line(f.what()), none_or(!f.file().empty(), decoded(f.file())),
                      none_or(f.line() > 0, py::int_(f.line())),
                      none_or(!f.item().empty(), decoded(f.item())),
                      py::int_(static_cast<int>(f.status())));
  } catch (const input_problem& p) {
    raise_input_error(p.what(), none_or(!p.file.empty(), decoded(p.file)),
                      none_or(p.line > 0, py::int_(p.line)),
                      none_or(!p.item.empty(), decoded(p.item)), py::none());
  }
}

std::string path_argument(const std::string& path, const char* what) {
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(what) + " holds a NUL byte");
  }
  return path;
}

// ---- parameters ----------------------------------------------------------

// A Python number as the nearest single-precision value, as the reader
// rounds a decimal; beyond the range it is an infinity, as the reader reads
// 1e39. No bool, no text.
float real_item(const py::handle& value, std::string_view name) {
  if (PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) {
    throw input_problem("parameters: " + std::string(name) + ": expected a real, found " +
                            repr_of(value),
                        std::string(name));
  }
  const double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw input_problem("parameters: " + std::string(name) + ": expected a real, found " +
                            repr_of(value),
                        std::string(name));
  }
  // Halfway between the largest float and 2^128 rounds to infinity (ties to
  // even); below that the conversion is defined and rounds to nearest.
  constexpr double overflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
  if (std::isfinite(d) && std::fabs(d) >= overflow) {
    const float infinity = std::numeric_limits<float>::infinity();
    return std::signbit(d) ? -infinity : infinity;
  }
  return static_cast<float>(d);
}

// A Python integer (or numpy integer) within 32 bits; a float such as 10.0
// is refused, as the reader refuses "10.0".
std::int32_t integer_item(const py::handle& value, std::string_view name) {
  const std::string what = "parameters: " + std::string(name) + ": ";
  if (PyBool_Check(value.ptr())) {
    throw input_problem(what + "expected an integer, found " + repr_of(value), std::string(name));
  }
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw input_problem(what + "expected an integer, found " + repr_of(value), std::string(name));
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0 || v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    throw input_problem(what + "expected an integer within 32 bits, found " + repr_of(value),
                        std::string(name));
  }
  return static_cast<std::int32_t>(v);
}

void text_item(const py::handle& value, std::string_view name, pumak::text_field& field) {
  const std::string what = "parameters: " + std::string(name) + ": ";
  if (!PyUnicode_Check(value.ptr())) {
    throw input_problem(what + "expected a text, found " + repr_of(value), std::string(name));
  }
  const std::string text = encoded(value);
  if (text.size() > pumak::text_field::capacity) {
    throw input_problem(what + "longer than " + std::to_string(pumak::text_field::capacity) +
                            " bytes, which the programs would cut",
                        std::string(name));
  }
  if (text.find('\0') != std::string::npos) {
    throw input_problem(what + "a file name cannot hold a NUL byte", std::string(name));
  }
  field.assign(text);
}

// The series are sized from n_days: refuse a run they cannot hold, as the
// parameter reader does.
void check_run_length(const pumak::run_parameters& params) {
  if (params.n_days > pumak::max_run_days) {
    throw input_problem("parameters: n_days: " + std::to_string(params.n_days) +
                            " days exceed the longest run of " +
                            std::to_string(pumak::max_run_days) + " days (1000 years)",
                        "n_days");
  }
}

// The items of the variant's layout from a dict. Every item of the layout
// must be there, except the two file names when `need_texts` is false (a
// run in memory names no file); an unknown key is refused, so that a
// misspelt item cannot pass unnoticed. Items of the longer layout given to a
// fixed-forcing program are accepted and not used, as in the programs.
pumak::run_parameters parameters_from(const py::dict& values, const pumak::model_variant& variant,
                                      bool need_texts) {
  for (const auto& entry : values) {
    const std::string key = py::isinstance<py::str>(entry.first) ? encoded(entry.first) : std::string();
    if (pumak::find_parameter_item(key) == nullptr) {
      throw input_problem("parameters: no item called " + repr_of(entry.first), key);
    }
  }
  pumak::run_parameters params;
  const std::size_t n_items = pumak::items_in_layout(variant.parameter_statements);
  for (std::size_t i = 0; i < n_items; ++i) {
    const pumak::parameter_item& item = pumak::parameter_items[i];
    const py::str key(std::string(item.name));
    if (!values.contains(key)) {
      if (item.text != nullptr && !need_texts) {
        continue;
      }
      throw input_problem("parameters: " + std::string(item.name) + ": missing (" +
                              variant.program_name + " reads " +
                              std::to_string(n_items) + " items)",
                          std::string(item.name));
    }
    const py::handle value = values[key];
    if (item.text != nullptr) {
      text_item(value, item.name, params.*item.text);
    } else if (item.integer != nullptr) {
      params.*item.integer = integer_item(value, item.name);
    } else {
      params.*item.real = real_item(value, item.name);
    }
  }
  check_run_length(params);
  return params;
}

py::dict parameters_to_dict(const pumak::run_parameters& params, const pumak::model_variant& variant) {
  py::dict out;
  const std::size_t n_items = pumak::items_in_layout(variant.parameter_statements);
  for (std::size_t i = 0; i < n_items; ++i) {
    const pumak::parameter_item& item = pumak::parameter_items[i];
    const py::str key(std::string(item.name));
    if (item.text != nullptr) {
      out[key] = decoded((params.*item.text).trimmed());
    } else if (item.integer != nullptr) {
      out[key] = py::int_(params.*item.integer);
    } else {
      out[key] = py::float_(static_cast<double>(params.*item.real));
    }
  }
  return out;
}

// ---- met series ----------------------------------------------------------

template <class T>
py::array_t<T> from_series(const std::vector<T>& series, std::size_t hours) {
  py::array_t<T> out(static_cast<py::ssize_t>(hours));
  T* data = out.mutable_data();
  for (std::size_t m = 0; m < hours; ++m) {
    data[m] = series[m + 1];
  }
  return out;
}

// ---- functions of the module ---------------------------------------------

py::dict read_parameters(const std::string& run_dir, const std::string& program) {
  const pumak::model_variant& variant = pumak::variant_named(program);
  const pumak::run_parameters params =
      pumak::read_parameters(path_argument(run_dir, "run_dir"), variant);
  return parameters_to_dict(params, variant);
}

py::dict checked_parameters(const py::dict& parameters, const std::string& program) {
  const pumak::model_variant& variant = pumak::variant_named(program);
  return parameters_to_dict(parameters_from(parameters, variant, true), variant);
}

py::dict read_met(const std::string& run_dir, const py::dict& parameters) {
  // The met file needs two items: its name and n_days.
  pumak::run_parameters params;
  for (const char* name : {"met_file", "n_days"}) {
    if (!parameters.contains(name)) {
      throw input_problem("parameters: " + std::string(name) + ": missing", name);
    }
  }
  text_item(parameters["met_file"], "met_file", params.met_file);
  params.n_days = integer_item(parameters["n_days"], "n_days");
  check_run_length(params);
  const pumak::met_series series = pumak::read_met(path_argument(run_dir, "run_dir"), params);
  const std::size_t hours = pumak::run_hours(params);
  py::dict out;
  for (const pumak::met_column& column : pumak::met_columns) {
    const py::str key(std::string(column.name));
    if (column.integer != nullptr) {
      out[key] = from_series(series.*column.integer, hours);
    } else {
      out[key] = from_series(series.*column.real, hours);
    }
  }
  return out;
}

py::dict run(const py::dict& parameters, const py::dict& met, const std::string& program) {
  const pumak::model_variant& variant = pumak::variant_named(program);
  const auto state = std::make_unique<pumak::model_state>();
  state->params = parameters_from(parameters, variant, false);
  const std::size_t hours = pumak::run_hours(state->params);
  state->met = series_from(met, hours);

  // The results arrays are allocated before the run and filled row by row.
  py::dict out;
  std::array<void*, pumak::result_column_count> columns{};
  for (std::size_t c = 0; c < pumak::result_column_count; ++c) {
    const pumak::result_column& column = pumak::result_columns[c];
    const py::str key(std::string(column.name));
    if (column.kind == column_kind::integer) {
      py::array_t<std::int32_t> array(static_cast<py::ssize_t>(hours));
      columns[c] = array.mutable_data();
      out[key] = std::move(array);
    } else {
      py::array_t<float> array(static_cast<py::ssize_t>(hours));
      columns[c] = array.mutable_data();
      out[key] = std::move(array);
    }
  }

  {
    const py::gil_scoped_release unlocked;
    std::array<bool, pumak::result_column_count> integer{};
    for (std::size_t c = 0; c < pumak::result_column_count; ++c) {
      integer[c] = pumak::result_columns[c].kind == column_kind::integer;
    }
    pumak::start_run(*state);
    pumak::result_row row;
    std::size_t at = 0;
    pumak::run_started(*state, variant, [&](const pumak::model_state& hour) {
      pumak::make_row(hour, row);
      for (std::size_t c = 0; c < pumak::result_column_count; ++c) {
        if (integer[c]) {
          static_cast<std::int32_t*>(columns[c])[at] = row[c].integer;
        } else {
          static_cast<float*>(columns[c])[at] = row[c].real;
        }
      }
      ++at;
    });
  }
  return out;
}

py::array_t<float> solar_angle(const py::object& doy_object, const py::object& hour_object,
                               double latitude_degrees) {
  using int_array = py::array_t<std::int32_t>;
  if (!int_array::check_(doy_object) || !int_array::check_(hour_object) ||
      py::reinterpret_borrow<int_array>(doy_object).ndim() != 1 ||
      py::reinterpret_borrow<int_array>(hour_object).ndim() != 1) {
    throw std::invalid_argument("solar_angle: doy and hour must be one-dimensional int32 arrays");
  }
  const auto doy = py::reinterpret_borrow<int_array>(doy_object);
  const auto hour = py::reinterpret_borrow<int_array>(hour_object);
  if (doy.shape(0) != hour.shape(0)) {
    throw std::invalid_argument("solar_angle: doy holds " + std::to_string(doy.shape(0)) +
                                " values, hour " + std::to_string(hour.shape(0)));
  }
  const py::ssize_t n = doy.shape(0);
  py::array_t<float> out(n);
  float* angles = out.mutable_data();
  const auto days = doy.unchecked<1>();
  const auto hours = hour.unchecked<1>();
  const float latitude = real_item(py::float_(latitude_degrees), "latitude");
  {
    const py::gil_scoped_release unlocked;
    // The constants and the latitude in radians exactly as a run starts.
    const auto state = std::make_unique<pumak::model_state>();
    state->params.latitude = latitude;
    pumak::start_run(*state);
    const pumak::physical_constants& c = state->constants;
    for (py::ssize_t i = 0; i < n; ++i) {
      float s_toa = 0.0f;
      pumak::toprad(days(i), hours(i), c.pi, c.solar_constant, state->params.latitude, s_toa,
                    angles[i]);
    }
  }
  return out;
}

// ---- results tables --------------------------------------------------------

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (blank(text.back()) || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string shown(std::string_view text) {
  std::string cut(text.substr(0, 40));
  return "\"" + pumak::escaped(cut, [](unsigned char b) { return b >= 0x20 && b < 0x7f; }) +
         (text.size() > 40 ? "...\"" : "\"");
}

// The results table in `data` (the bytes of the file `file`) as 34 arrays.
// The header must be the model's header; every row must hold 34 values of
// their columns' kinds. Blank lines are passed over.
py::dict parse_results(const py::bytes& data_object, const std::string& file) {
  const std::string_view data(PyBytes_AS_STRING(data_object.ptr()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(data_object.ptr())));
  std::vector<std::string_view> lines;
  std::vector<std::int64_t> numbers;
  std::size_t start = 0;
  std::int64_t number = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string_view::npos) {
      end = data.size();
    }
    ++number;
    const std::string_view line = data.substr(start, end - start);
    if (!trimmed(line).empty()) {
      lines.push_back(line);
      numbers.push_back(number);
    }
    start = end + 1;
  }
  if (lines.empty()) {
    throw input_problem(file + ": empty, not a results table", "", file);
  }

  const auto fields_of = [](std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (;;) {
      const std::size_t comma = line.find(',', from);
      fields.push_back(trimmed(line.substr(from, comma == std::string_view::npos ? line.npos : comma - from)));
      if (comma == std::string_view::npos) {
        return fields;
      }
      from = comma + 1;
    }
  };

  std::string_view header_line = lines[0];
  if (header_line.substr(0, 3) == "\xEF\xBB\xBF") {  // a byte-order mark some editors add
    header_line.remove_prefix(3);
  }
  const std::vector<std::string_view> header = fields_of(header_line);
  constexpr std::size_t n_columns = pumak::result_column_count;
  for (std::size_t c = 0; c < n_columns; ++c) {
    const std::string_view expected = pumak::result_columns[c].name;
    if (c >= header.size() || header[c] != expected) {
      throw input_problem(file + ":" + std::to_string(numbers[0]) +
                              ": not a results table: column " + std::to_string(c + 1) +
                              " of the header should be " + std::string(expected) +
                              (c < header.size() ? ", found " + shown(header[c]) : ", the line ends"),
                          std::string(expected), file, numbers[0]);
    }
  }
  if (header.size() != n_columns) {
    throw input_problem(file + ":" + std::to_string(numbers[0]) +
                            ": not a results table: the header holds " +
                            std::to_string(header.size()) + " columns, not " +
                            std::to_string(n_columns),
                        "", file, numbers[0]);
  }

  const std::size_t n_rows = lines.size() - 1;
  py::dict out;
  std::array<void*, n_columns> columns{};
  for (std::size_t c = 0; c < n_columns; ++c) {
    const py::str key(std::string(pumak::result_columns[c].name));
    if (pumak::result_columns[c].kind == column_kind::integer) {
      py::array_t<std::int32_t> array(static_cast<py::ssize_t>(n_rows));
      columns[c] = array.mutable_data();
      out[key] = std::move(array);
    } else {
      py::array_t<float> array(static_cast<py::ssize_t>(n_rows));
      columns[c] = array.mutable_data();
      out[key] = std::move(array);
    }
  }
  std::vector<std::string_view> fields;
  std::string scratch;
  for (std::size_t r = 0; r < n_rows; ++r) {
    const std::string_view line = lines[r + 1];
    const std::int64_t line_number = numbers[r + 1];
    const std::string where = file + ":" + std::to_string(line_number) + ": ";
    fields = fields_of(line);
    if (fields.size() != n_columns) {
      throw input_problem(where + "holds " + std::to_string(fields.size()) + " values, the header " +
                              std::to_string(n_columns),
                          "", file, line_number);
    }
    for (std::size_t c = 0; c < n_columns; ++c) {
      const pumak::result_column& column = pumak::result_columns[c];
      bool ok;
      if (column.kind == column_kind::integer) {
        ok = pumak::parse_integer(fields[c], static_cast<std::int32_t*>(columns[c])[r]) ==
             pumak::number_status::ok;
      } else {
        // The model's own reader: correctly rounded to single precision from
        // the decimal itself, so every value the writer wrote reads back to
        // the same bits.
        ok = pumak::parse_real(fields[c], static_cast<float*>(columns[c])[r], scratch) ==
             pumak::number_status::ok;
      }
      if (!ok) {
        throw input_problem(where + std::string(column.name) + ": expected " +
                                (column.kind == column_kind::integer ? "an integer" : "a real") +
                                ", found " + shown(fields[c]),
                            std::string(column.name), file, line_number);
      }
    }
  }
  return out;
}

// ---- tables ----------------------------------------------------------------

const char* kind_name(statement_item::kind kind) {
  switch (kind) {
    case statement_item::kind::text:
      return "text";
    case statement_item::kind::integer:
      return "integer";
    case statement_item::kind::real:
      return "real";
    case statement_item::kind::label:
      break;
  }
  return "label";
}

py::str text(std::string_view s) { return decoded(s); }

// Writes `size` bytes to `fd`; returns 0 or the errno.
int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return wrote < 0 ? errno : EIO;
    }
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return 0;
}

// The results table as the programs write it, byte for byte, written to the
// open file `fd`: the header and one row per hour, formatted by the
// programs' own formatter a block at a time. With more than one core the
// second half of the rows is formatted on a second thread while the first
// is formatted and written, as the programs do.
void write_results(const py::dict& columns, int fd) {
  std::array<const void*, pumak::result_column_count> data{};
  py::ssize_t hours = -1;
  std::vector<py::array> kept;
  for (std::size_t c = 0; c < pumak::result_column_count; ++c) {
    const pumak::result_column& column = pumak::result_columns[c];
    const py::str key(std::string(column.name));
    if (!columns.contains(key)) {
      throw std::invalid_argument("write_results: no column " + std::string(column.name));
    }
    py::array array;
    if (column.kind == column_kind::integer) {
      array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(columns[key]);
    } else {
      array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(columns[key]);
    }
    if (!array || array.ndim() != 1) {
      throw std::invalid_argument("write_results: column " + std::string(column.name) +
                                  " is not one-dimensional numbers");
    }
    if (hours >= 0 && array.shape(0) != hours) {
      throw std::invalid_argument("write_results: column " + std::string(column.name) + " holds " +
                                  std::to_string(array.shape(0)) + " values, the first " +
                                  std::to_string(hours));
    }
    hours = array.shape(0);
    data[c] = array.data();
    kept.push_back(std::move(array));
  }
  const std::string header = pumak::results_header() + '\n';
  const auto count = static_cast<std::size_t>(hours);
  static constexpr std::size_t block = 4096;
  // Formats rows [from, to) block by block and hands each block's text to `put`.
  const auto format_range = [&data](std::size_t from, std::size_t to, const auto& put) {
    std::vector<pumak::result_row> rows(std::min(block, to - from));
    pumak::text_buffer text;
    for (std::size_t first = from; first < to; first += block) {
      const std::size_t n = std::min(block, to - first);
      for (std::size_t c = 0; c < pumak::result_column_count; ++c) {
        if (pumak::result_columns[c].kind == column_kind::integer) {
          const auto* values = static_cast<const std::int32_t*>(data[c]) + first;
          for (std::size_t r = 0; r < n; ++r) {
            rows[r][c].integer = values[r];
          }
        } else {
          const auto* values = static_cast<const float*>(data[c]) + first;
          for (std::size_t r = 0; r < n; ++r) {
            rows[r][c].real = values[r];
          }
        }
      }
      pumak::format_rows(rows.data(), n, text);
      if (!put(text.data.get(), text.size)) {
        return;
      }
    }
  };
  int error = 0;
  {
    const py::gil_scoped_release unlocked;
    const std::size_t middle = count > block && std::thread::hardware_concurrency() > 1 ? count / 2 : count;
    std::string second_half;
    std::thread second;
    if (middle < count) {
      second = std::thread([&] {
        format_range(middle, count, [&second_half](const char* text, std::size_t size) {
          second_half.append(text, size);
          return true;
        });
      });
    }
    const auto put = [fd, &error](const char* text, std::size_t size) {
      error = write_all(fd, text, size);
      return error == 0;
    };
    if (put(header.data(), header.size())) {
      format_range(0, middle, put);
    }
    if (second.joinable()) {
      second.join();
    }
    if (error == 0) {
      put(second_half.data(), second_half.size());
    }
  }
  if (error != 0) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
}

py::list result_column_table() {
  py::list out;
  for (const pumak::result_column& c : pumak::result_columns) {
    py::dict row;
    row["name"] = text(c.name);
    row["kind"] = c.kind == column_kind::integer ? "integer" : "real";
    row["unit"] = text(c.unit);
    row["long_name"] = text(c.long_name);
    row["standard_name"] = text(c.standard_name);
    out.append(row);
  }
  return out;
}

py::list parameter_item_table() {
  py::list out;
  for (const pumak::parameter_item& item : pumak::parameter_items) {
    py::dict row;
    row["name"] = text(item.name);
    row["kind"] = kind_name(item.kind);
    row["statement"] = item.statement;
    row["unit"] = text(item.unit);
    row["meaning"] = text(item.meaning);
    out.append(row);
  }
  return out;
}

py::list met_column_table() {
  py::list out;
  for (const pumak::met_column& c : pumak::met_columns) {
    py::dict row;
    row["name"] = text(c.name);
    row["kind"] = kind_name(c.kind);
    row["unit"] = text(c.unit);
    row["meaning"] = text(c.meaning);
    out.append(row);
  }
  return out;
}

py::dict program_layout(const std::string& program) {
  const pumak::model_variant& variant = pumak::variant_named(program);
  py::dict out;
  out["program"] = variant.program_name;
  out["statements"] = variant.parameter_statements;
  out["items"] = pumak::items_in_layout(variant.parameter_statements);
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The pumak model core: site files, runs in memory, solar geometry, results tables.";
  py::register_exception_translator(translate);

  m.attr("version") = pumak::pumak_version;
  m.def("read_parameters", &read_parameters, py::arg("run_dir"), py::arg("program"),
        "parameter.ini of run_dir (bytes of a path; empty: the working directory) in the program's "
        "layout, as a dict of its items; latitude in degrees.");
  m.def("read_met", &read_met, py::arg("run_dir"), py::arg("parameters"),
        "The n_days * 24 records of the met file that parameters (met_file, n_days) name, read "
        "from run_dir as a program started there reads it, as a dict of int32 and float32 arrays.");
  m.def("run", &run, py::arg("parameters"), py::arg("met"), py::arg("program"),
        "A run in memory: parameters as read_parameters gives them, met a dict of the 14 columns "
        "(int32 / float32 arrays of at least n_days * 24 rows). Returns the 34 result columns.");
  m.def("checked_parameters", &checked_parameters, py::arg("parameters"), py::arg("program"),
        "The items of the program's layout as the model holds them (reals rounded to single "
        "precision); refuses what a run would refuse.");
  m.def("solar_angle", &solar_angle, py::arg("doy"), py::arg("hour"), py::arg("latitude_degrees"),
        "The model's solar zenith angle (rad) for int32 arrays of day of year and hour (1..24).");
  m.def("parse_results", &parse_results, py::arg("data"), py::arg("file"),
        "The bytes of a results table as its 34 columns, each value to the bit.");
  m.def("write_results", &write_results, py::arg("columns"), py::arg("fd"),
        "Writes the results table as the programs write it (header and rows), byte for byte, to the open file fd.");
  m.def("result_columns", &result_column_table, "The 34 result columns, in header order.");
  m.def("parameter_items", &parameter_item_table, "The 17 items of parameter.ini, in file order.");
  m.def("met_columns", &met_column_table, "The 14 columns of the met file, in file order.");
  m.def("program_layout", &program_layout, py::arg("program"),
        "The full name of a program and the statements and items of its parameter.ini.");

  bind_scan(m);

#ifdef PUMAK_HAS_ENSEMBLE_BINDING
  // ---- the ensemble engine's functions join here ----
  bind_ensemble(m);
#endif
}
