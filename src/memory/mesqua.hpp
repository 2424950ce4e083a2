// talvora.memory.mesqua: what the module's two source files share.  The
// object-reference classes (AtomicPointer, LockFreeStack) live in
// mesqua_refs.cpp; the module, counters, statistics and timer in mesqua.cpp.
#pragma once

#include "frame/frame.hpp"

namespace mesqua {

extern const frame::TypeDef ap_type;  // AtomicPointer
extern const frame::TypeDef st_type;  // LockFreeStack

}  // namespace mesqua
