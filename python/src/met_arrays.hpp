#pragma once

// What the parts of the module pumak._core share: a failure that names the
// input at fault, the met series from numpy arrays, and text given back to
// Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "io/met_columns.hpp"
#include "records/model_state.hpp"

namespace pumak_python {

namespace py = pybind11;

// Bad input given in memory (a parameter value, a met column, a line of a
// results table): becomes pumak.InputError like a failure of the readers.
struct input_problem : std::runtime_error {
  input_problem(const std::string& message, std::string item_name, std::string file_name = {},
                std::int64_t line_number = 0)
      : std::runtime_error(message),
        item(std::move(item_name)),
        file(std::move(file_name)),
        line(line_number) {}
  std::string item;
  std::string file;
  std::int64_t line;
};

// Text from the model or the file system as str; bytes that are not UTF-8
// survive as surrogates, as os.fsdecode shows them.
inline py::str decoded(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                     "surrogateescape");
  if (s == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::str>(s);
}

template <class T>
inline void copy_column(const py::dict& met, const pumak::met_column& column, std::size_t hours,
                        std::vector<T>& series) {
  const std::string name(column.name);
  const py::str key(name);
  if (!met.contains(key)) {
    throw input_problem("met: no column " + name, name);
  }
  const py::handle value = met[key];
  const char* type = std::is_same_v<T, float> ? "float32" : "int32";
  if (!py::array_t<T>::check_(value)) {
    throw input_problem("met column " + name + ": expected a numpy array of " + type, name);
  }
  const auto array = py::reinterpret_borrow<py::array_t<T>>(value);
  if (array.ndim() != 1) {
    throw input_problem("met column " + name + ": expected one dimension, found " +
                            std::to_string(array.ndim()),
                        name);
  }
  const auto size = static_cast<std::size_t>(array.shape(0));
  if (size < hours) {
    throw input_problem("met column " + name + " holds " + std::to_string(size) +
                            " rows; n_days * 24 = " + std::to_string(hours) + " are needed",
                        name);
  }
  // Element 0 of a series is never used; the rows go to 1..hours.
  const auto rows = array.template unchecked<1>();
  series.assign(hours + 1, T{});
  for (std::size_t m = 0; m < hours; ++m) {
    series[m + 1] = rows(static_cast<py::ssize_t>(m));
  }
}

inline pumak::met_series series_from(const py::dict& met, std::size_t hours) {
  pumak::met_series series;
  for (const pumak::met_column& column : pumak::met_columns) {
    if (column.integer != nullptr) {
      copy_column(met, column, hours, series.*column.integer);
    } else {
      copy_column(met, column, hours, series.*column.real);
    }
  }
  return series;
}

}  // namespace pumak_python
