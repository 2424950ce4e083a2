// The shared extension-module frame: the one header a module includes.
//
// A module declares its functions, methods and classes as tables (names,
// parameters with defaults and annotations, docstrings) and writes typed C++
// bodies.  The frame generates the vectorcall trampolines that bind and
// convert arguments, coerce results and add traceback entries; it owns module
// creation and initialisation, the function type, type-object conventions,
// pickling refusal, properties, logging and calls into Python.
//
// Each extension module links its own copy of the frame (symbols are
// hidden), so the frame's state is per module.
#pragma once

#include "frame/compat.hpp"
#include "frame/constants.hpp"
#include "frame/containers.hpp"
#include "frame/convert.hpp"
#include "frame/declare.hpp"
#include "frame/dispatch.hpp"
#include "frame/locked.hpp"
#include "frame/module.hpp"
#include "frame/numbers.hpp"
#include "frame/pycall.hpp"
#include "frame/ref.hpp"
#include "frame/types.hpp"
