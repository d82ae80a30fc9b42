// Umbrella header of the glue layer: the only code that knows raw C-API idioms.
//
// Layering: the pure C++ cores (src/*/core) know nothing of Python; the module
// files use these helpers to talk to CPython; nothing else includes Python.h
// directly.
#pragma once

#include "glue/errors.h"
#include "glue/args.h"
#include "glue/log.h"
#include "glue/pyclass.h"
#include "glue/refs.h"
