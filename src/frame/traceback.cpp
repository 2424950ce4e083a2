// Traceback entries named by a function's fully qualified name, and the
// entry a locked section adds for its running call (Call).
//
// An entry is an empty code object (made once per function) plus a frame, added
// with PyTraceBack_Here.  Only failure paths come here; when the entry itself
// cannot be made, the original exception is kept and the entry is lost.
#include "frame/internal.hpp"

#include <frameobject.h>  // PyFrame_New

namespace frame {

namespace {

PyObject* new_code(const char* fullname) {
  return reinterpret_cast<PyObject*>(PyCode_NewEmpty(detail::source_name(), fullname, 0));
}

// Adds an entry to the pending error, with the code object `code_of()`
// returns; when the entry cannot be made, the error stays as it is.
template <class F>
void add_entry(F code_of) {
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  Ref code = code_of();
  Ref frame(code && detail::g_globals
                ? reinterpret_cast<PyObject*>(PyFrame_New(
                      PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), detail::g_globals, nullptr))
                : nullptr);
  PyErr_Clear();
  PyErr_Restore(et, ev, etb);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace

namespace detail {

void add_traceback_name(const char* fullname) {
  add_entry([&] { return Ref(new_code(fullname)); });
}

void add_traceback(Runtime& rt) {
  add_entry([&] {
    PyObject* code = published(rt.tb_code);
    if (!code) {
      const char* fullname = PyUnicode_AsUTF8(rt.fullname);
      code = fullname ? publish(rt.tb_code, new_code(fullname)) : nullptr;
    }
    return Ref::borrow(code);
  });
}

}  // namespace detail

namespace {

// The traceback of the pending error (borrowed: the error holds it), or nullptr.
PyObject* pending_traceback() {
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  PyErr_Restore(et, ev, etb);
  return etb;
}

}  // namespace

void Call::add_traceback() const {
  if (!s_) return;
  PyObject* head = pending_traceback();
  if (head && head == s_->entry) return;
  detail::add_traceback(*s_->rt);
  PyObject* added = pending_traceback();
  if (added == head) return;  // the entry could not be made
  Py_XINCREF(added);
  Py_XSETREF(s_->entry, added);
}

}  // namespace frame
