// Number arithmetic and formatting in module bodies, with Python's own
// semantics: guarded ratios and percentages, and float formatting.
#pragma once

#include "frame/compat.hpp"

namespace frame {

// `part / whole` in Python arithmetic when `whole > 0`, else 0.0.
PyObject* ratio_or_zero(PyObject* part, PyObject* whole);

// `part / whole * 100.0` in Python arithmetic when `whole > 0`, else 0.0.
PyObject* percent_or_zero(PyObject* part, PyObject* whole);

// Python's f"{value:.1f}%" for any object.
PyObject* format_percent(PyObject* value);

// Formats a double like Python's format(x, ".1f") (code 'f', precision 1).
PyObject* format_float(double x, char code, int precision);

}  // namespace frame
