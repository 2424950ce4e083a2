// Traceback entries named by a function's fully qualified name.
//
// An entry is an empty code object (cached per record) plus a frame, added
// with PyTraceBack_Here.  Only failure paths come here; when the entry itself
// cannot be made, the original exception is kept and the entry is lost.
#include "frame/internal.hpp"

#include <frameobject.h>  // PyFrame_New

namespace frame {

namespace {

void traceback_with(PyCodeObject*& cache, const char* fullname) {
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  if (!cache && fullname) cache = PyCode_NewEmpty(detail::source_name(), fullname, 0);
  PyFrameObject* f = nullptr;
  if (cache && detail::g_globals) f = PyFrame_New(PyThreadState_Get(), cache, detail::g_globals, nullptr);
  if (!cache || !f) {
    PyErr_Clear();
    PyErr_Restore(et, ev, etb);
    return;
  }
  PyErr_Restore(et, ev, etb);
  PyTraceBack_Here(f);
  Py_DECREF(f);
}

}  // namespace

namespace detail {

void add_traceback_name(const char* fullname) {
  PyCodeObject* code = nullptr;
  traceback_with(code, fullname);
  Py_XDECREF(code);
}

void add_traceback(const FuncDef& d) {
  if (!d.sig.fullname) {
    add_traceback_name(d.name);
    return;
  }
  traceback_with(d.sig.tb_code, PyUnicode_AsUTF8(d.sig.fullname));
}

}  // namespace detail
}  // namespace frame
