// Containers in module bodies: unpacking a sequence into references, dicts
// built from pairs, and the error of len() on an object without a length.
#pragma once

#include <initializer_list>
#include <utility>

#include "frame/compat.hpp"
#include "frame/ref.hpp"

namespace frame {

// `a, b, ... = seq` for n targets, new references in `out`: exact tuples and
// lists are read in place, anything else is iterated up to n + 1 items.  The
// messages are the interpreter's: "too many values to unpack (expected n)"
// and, for too few, "need more than k value(s) to unpack".
bool unpack_iterable(PyObject* seq, Ref* out, Py_ssize_t n);
// The same after reading the whole sequence into a tuple; too few values
// raise "not enough values to unpack (expected n, got k)".
bool unpack_sequence(PyObject* seq, Ref* out, Py_ssize_t n);

// A new dict with the pairs in order; nullptr on error.
PyObject* dict_from(std::initializer_list<std::pair<PyObject*, PyObject*>> items);

// TypeError "object of type '%.200s' has no len()"; returns nullptr.
PyObject* raise_no_len(PyObject* o);

}  // namespace frame
