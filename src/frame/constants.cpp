// Creation of the declared constants (see constants.hpp).
#include "frame/constants.hpp"

#include <cstring>
#include <iterator>

#include "frame/convert.hpp"

namespace frame {

namespace {
Str* g_str_head = nullptr;
Num* g_num_head = nullptr;
Const* g_const_head = nullptr;
Names* g_names_head = nullptr;
bool g_constants_ready = false;
}  // namespace

Str::Str(const char* text) : text_(text), next_(g_str_head) { g_str_head = this; }
Num::Num(const char* literal) : literal_(literal), next_(g_num_head) { g_num_head = this; }
Const::Const(Maker make) : make_(make), next_(g_const_head) { g_const_head = this; }
Names::Names(const char* const* names, Py_ssize_t n) : names_(names), n_(n), next_(g_names_head) {
  g_names_head = this;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    Py_INCREF(o);
    PyTuple_SET_ITEM(t, i++, o);
  }
  return t;
}

PyObject* name_set(const char* const* names, std::size_t n) {
  PyObject* set = PySet_New(nullptr);
  if (!set) return nullptr;
  for (std::size_t i = 0; i < n; i++) {
    PyObject* s = PyUnicode_InternFromString(names[i]);
    if (!s || PySet_Add(set, s) < 0) {
      Py_XDECREF(s);
      Py_DECREF(set);
      return nullptr;
    }
    Py_DECREF(s);
  }
  return set;
}

// Idempotent: the create slot and the execute slot both call it, and a
// constant made before a failure is kept for the retry.
int init_constants() {
  if (g_constants_ready) return 0;
  for (Str* s = g_str_head; s; s = s->next_) {
    if (s->obj_) continue;
    s->obj_ = PyUnicode_InternFromString(s->text_);
    if (!s->obj_) return -1;
  }
  for (Num* n = g_num_head; n; n = n->next_) {
    if (n->obj_) continue;
    if (std::strpbrk(n->literal_, ".eE")) {
      const double v = PyOS_string_to_double(n->literal_, nullptr, nullptr);
      if (v == -1.0 && PyErr_Occurred()) return -1;
      n->obj_ = PyFloat_FromDouble(v);
    } else {
      n->obj_ = PyLong_FromString(n->literal_, nullptr, 0);
    }
    if (!n->obj_) return -1;
  }
  for (Names* t = g_names_head; t; t = t->next_) {
    if (t->obj_) continue;
    PyObject* tuple = PyTuple_New(t->n_);
    if (!tuple) return -1;
    for (Py_ssize_t i = 0; i < t->n_; i++) {
      PyObject* s = PyUnicode_InternFromString(t->names_[i]);
      if (!s) {
        Py_DECREF(tuple);
        return -1;
      }
      PyTuple_SET_ITEM(tuple, i, s);
    }
    t->obj_ = tuple;
  }
  for (unsigned long i = 0; i < std::size(g_small_ints); i++) {
    if (g_small_ints[i]) continue;
    g_small_ints[i] = PyLong_FromUnsignedLong(i);
    if (!g_small_ints[i]) return -1;
  }
  // Built last: makers may use the strings and numbers above.
  for (Const* c = g_const_head; c; c = c->next_) {
    if (c->obj_) continue;
    c->obj_ = c->make_();
    if (!c->obj_) return -1;
  }
  g_constants_ready = true;
  return 0;
}

}  // namespace frame
