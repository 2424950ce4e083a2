// Creation of the declared constants (see constants.hpp).
#include "frame/constants.hpp"

namespace frame {

namespace {
Str* g_str_head = nullptr;
Num* g_num_head = nullptr;
bool g_constants_ready = false;
}  // namespace

Str::Str(const char* text) : text_(text), next_(g_str_head) { g_str_head = this; }
Num::Num(double v) : is_float_(true), d_(v), i_(0), next_(g_num_head) { g_num_head = this; }
Num::Num(long long v) : is_float_(false), d_(0), i_(v), next_(g_num_head) { g_num_head = this; }

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
    n->obj_ = n->is_float_ ? PyFloat_FromDouble(n->d_) : PyLong_FromLongLong(n->i_);
    if (!n->obj_) return -1;
  }
  g_constants_ready = true;
  return 0;
}

}  // namespace frame
