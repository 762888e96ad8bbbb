// pumak._core.scan_statements and met_file_path: a site's files read
// statement by statement with the programs' own reader, for pumak check.
// The reading rules live in io/free_format_reader; nothing here reads text.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "io/metdata.hpp"
#include "io/para.hpp"
#include "io/statement_scan.hpp"
#include "met_arrays.hpp"

namespace py = pybind11;

namespace {

using pumak::statement_item;
using pumak::statement_problem;
using pumak_python::decoded;

// A path given as str, bytes or os.PathLike, as the bytes the system takes.
std::string path_bytes(const py::handle& path, const char* what) {
  const py::object encoded = py::module_::import("os").attr("fsencode")(path);
  std::string bytes = encoded.cast<std::string>();
  if (bytes.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(what) + " holds a NUL byte");
  }
  return bytes;
}

statement_item::kind kind_named(const std::string& name) {
  constexpr std::string_view names[] = {"label", "text", "integer", "real"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    if (name == names[i]) {
      return static_cast<statement_item::kind>(i);
    }
  }
  throw std::invalid_argument("layouts: unknown kind '" + name +
                              "': expected label, text, integer or real");
}

const char* reason_name(statement_problem::reason why) {
  using reason = statement_problem::reason;
  switch (why) {
    case reason::none: return "none";
    case reason::ends_early: return "ends_early";
    case reason::null_value: return "null_value";
    case reason::slash: return "slash";
    case reason::unreadable: return "unreadable";
    case reason::out_of_range: return "out_of_range";
    case reason::unterminated_text: return "unterminated_text";
    case reason::after_quote: return "after_quote";
    case reason::line_too_long: return "line_too_long";
    case reason::read_error: return "read_error";
  }
  return "unknown";
}

template <typename T>
py::array_t<T> array_of(const std::vector<T>& values, std::size_t rows, std::size_t columns) {
  py::array_t<T> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows),
                                              static_cast<py::ssize_t>(columns)});
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

template <typename T>
py::array_t<T> vector_of(const std::vector<T>& values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::dict scan_statements(const py::object& path, const py::sequence& layouts, std::int64_t count,
                         bool texts) {
  std::vector<std::vector<statement_item::kind>> kinds;
  for (const py::handle layout : layouts) {
    auto& statement = kinds.emplace_back();
    for (const py::handle kind : layout.cast<py::sequence>()) {
      statement.push_back(kind_named(kind.cast<std::string>()));
    }
    if (statement.empty()) {
      throw std::invalid_argument("layouts: a statement needs at least one item");
    }
  }
  if (kinds.empty()) {
    throw std::invalid_argument("layouts: at least one statement layout is needed");
  }
  if (count < 0) {
    throw std::invalid_argument("count: must not be negative");
  }
  std::size_t width = 0;
  for (const auto& statement : kinds) {
    width = std::max(width, statement.size());
  }

  const std::string file = path_bytes(path, "path");
  std::vector<std::int64_t> first, last;
  std::vector<std::int32_t> on_first_line, integers;
  std::vector<float> reals;
  std::vector<std::uint8_t> valid;
  py::list value_texts, problems;
  py::dict rests;
  {
    // Status 2: bad input, as every refusal of a site file by the package.
    pumak::statement_scanner scanner(file, pumak::exit_parameter_file);
    pumak::scanned_statement s;
    for (std::int64_t n = 0; n < count; ++n) {
      const auto& layout = kinds[std::min(static_cast<std::size_t>(n), kinds.size() - 1)];
      if (!scanner.next(layout, s)) {
        break;
      }
      first.push_back(s.first_line);
      last.push_back(s.last_line);
      on_first_line.push_back(static_cast<std::int32_t>(s.values_on_first_line()));
      const std::size_t read = s.complete() ? layout.size() : s.problem.item;
      for (std::size_t i = 0; i < width; ++i) {
        const bool got = i < read && (layout[i] == statement_item::kind::integer ||
                                      layout[i] == statement_item::kind::real);
        valid.push_back(got ? 1 : 0);
        integers.push_back(got && layout[i] == statement_item::kind::integer ? s.integers[i] : 0);
        reals.push_back(got && layout[i] == statement_item::kind::real ? s.reals[i] : NAN);
      }
      if (texts) {
        py::list these;
        for (const auto& v : s.values) {
          these.append(v.null ? py::object(py::none()) : py::object(decoded(v.text)));
        }
        value_texts.append(these);
      }
      if (s.rest.find_first_not_of(" \t") != std::string::npos) {
        rests[py::int_(n)] = decoded(s.rest);
      }
      if (!s.complete()) {
        py::dict problem;
        problem["statement"] = n;
        problem["reason"] = reason_name(s.problem.why);
        problem["item"] = s.problem.item;
        problem["line"] = s.problem.line;
        problem["token"] = decoded(s.problem.token);
        problem["message"] = decoded(pumak::explain(s.problem, layout[s.problem.item]));
        problems.append(problem);
      }
    }
  }
  const std::size_t n = first.size();
  py::dict out;
  out["first"] = vector_of(first);
  out["last"] = vector_of(last);
  out["on_first_line"] = vector_of(on_first_line);
  out["integers"] = array_of(integers, n, width);
  out["reals"] = array_of(reals, n, width);
  out["valid"] = array_of(valid, n, width).attr("astype")("bool");
  out["texts"] = texts ? py::object(value_texts) : py::object(py::none());
  out["rest"] = rests;
  out["problems"] = problems;
  return out;
}

py::str met_file_path(const py::object& met_file, const py::object& run_dir) {
  pumak::text_field name;
  name.assign(path_bytes(met_file, "met_file"));
  return decoded(pumak::met_file_path(name, path_bytes(run_dir, "run_dir")));
}

}  // namespace

void bind_scan(py::module_& m) {
  m.def("scan_statements", &scan_statements, py::arg("path"), py::arg("layouts"), py::arg("count"),
        py::arg("texts") = true,
        "Reads at most `count` statements of the file at `path` with the programs' reader, "
        "statement k with the item kinds layouts[min(k, len(layouts) - 1)] ('label', 'text', "
        "'integer', 'real'), going on after a statement the programs would stop at. Returns a dict: "
        "first, last (int64 (n,): lines), on_first_line (int32 (n,): values on the first line), "
        "integers (int32 (n, width)), reals (float32 (n, width), NaN where not read), valid (bool "
        "(n, width): the item got a number), texts (per statement the value texts, None for a null "
        "value; None unless texts), rest ({statement: what follows its last value on the line}), "
        "problems (dicts of statement, reason, item, line, token, message). Refuses what is not a "
        "regular file (InputError).");
  m.def("met_file_path", &met_file_path, py::arg("met_file"), py::arg("run_dir"),
        "The met file's path exactly as the programs join it: run_dir/../data/met_lv3/ and the "
        "name as the program holds it (its first 128 bytes, trailing blanks removed), also for an "
        "absolute name.");
  m.attr("max_run_days") = pumak::max_run_days;
}
