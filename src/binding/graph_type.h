// The NuvelGraph type object and the construction of its instances.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "graph.h"

namespace nuvel::binding {

/// Creates the NuvelGraph type on first use and keeps it for the
/// interpreter's lifetime; returns a new reference to it.
PyObject* create_graph_type();

/// A new NuvelGraph object of `type` that owns `inner`, unborrowed.
PyObject* new_graph_object(PyTypeObject* type, NuvelGraphInner&& inner);

}  // namespace nuvel::binding
