// Initialisation of nuvel._core: a single-phase module, created at most once
// per process and refused in any interpreter but the first, holding the
// NuvelGraph class and __all__.
#include <atomic>
#include <cstdint>

#include "frame.h"
#include "graph_type.h"
#include "log_bridge.h"

namespace nuvel::binding {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;

/// Refuses every interpreter but the first one that imported the module.
bool check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    ensure_error_set();
    return false;
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "nuvel._core does not support sub-interpreters: it was already "
                    "initialised in another interpreter of this process");
    return false;
  }
  return true;
}

/// A new __all__ listing "NuvelGraph" (a module just created has none).
bool add_all(PyObject* module) {
  PyObject* all = PyList_New(0);
  if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
    Py_XDECREF(all);
    return false;
  }
  PyObject* name = PyUnicode_FromString("NuvelGraph");
  const bool appended = name != nullptr && PyList_Append(all, name) == 0;
  Py_XDECREF(name);
  Py_DECREF(all);
  if (!appended) {
    PyErr_Clear();
    raise_panic("could not append __name__ to __all__");
  }
  return appended;
}

int init_module(PyObject* module) {
  if (!install_logger()) return -1;
  PyObject* type = create_graph_type();
  if (type == nullptr) return -1;
  const int added = add_all(module) ? PyObject_SetAttrString(module, "NuvelGraph", type) : -1;
  Py_DECREF(type);
  return added;
}

}  // namespace
}  // namespace nuvel::binding

PyMODINIT_FUNC PyInit__core(void) {
  using namespace nuvel::binding;
  if (!check_interpreter()) return nullptr;
  if (the_module != nullptr) return Py_NewRef(the_module);
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (init_module(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  the_module = Py_NewRef(module);
  return module;
}
