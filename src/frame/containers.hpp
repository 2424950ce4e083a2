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

// For a dict built often with the same keys.  `dict_shape` makes, for a
// Const, the shape of such dicts from the pairs in order, where a nullptr
// value marks a key filled per dict and any other value is fixed.
// `dict_like` copies the shape's template, whose table has its final size
// and the keys' hashes in place, and gives the filled keys `values` in
// order: the dict dict_from would build from all the pairs.
PyObject* dict_shape(std::initializer_list<std::pair<PyObject*, PyObject*>> pairs);
PyObject* dict_like(PyObject* shape, std::initializer_list<PyObject*> values);

// TypeError "object of type '%.200s' has no len()"; returns nullptr.
PyObject* raise_no_len(PyObject* o);

}  // namespace frame
