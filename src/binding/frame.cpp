#include "frame.h"

#include <string>
#include <vector>

namespace nuvel::binding {
namespace {

constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

// The fetch/restore pair is the limited API's way to hold an exception on
// 3.10 and 3.11; later headers deprecate it in favour of calls 3.10 lacks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct FetchedError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;

  FetchedError() {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
  }
  ~FetchedError() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
  FetchedError(const FetchedError&) = delete;
  FetchedError& operator=(const FetchedError&) = delete;

  /// Hands the error back to the interpreter as the pending one.
  void restore() {
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
  }
};
#pragma GCC diagnostic pop

/// What the interpreter says when a failure left no exception to fetch.
constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";

PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "nuvel.PanicException",
        "An internal failure of nuvel: a broken invariant, an exhausted limit, or a dict\n"
        "argument that Python code changed while nuvel was reading it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

/// Raises `type` with `message`, whose bytes that are not UTF-8 become
/// replacement characters.
void raise_text(PyObject* type, std::string_view message) {
  if (type == nullptr) return;
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

/// str(error), or a fixed text when even that fails.
std::string message_of(PyObject* error) {
  PyObject* text = PyObject_Str(error);
  Py_ssize_t size = 0;
  const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  std::string message = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(size))
                                        : std::string("internal failure");
  if (utf8 == nullptr) PyErr_Clear();
  Py_XDECREF(text);
  return message;
}

/// Shows an exception with its traceback the way the interpreter shows an
/// uncaught one (sys.excepthook), and clears it. Unlike PyErr_Print this
/// never exits on SystemExit: Python code that the system calls on its own
/// account must not end the process.
void print_exception(FetchedError& error) {
  if (PyObject* hook = PySys_GetObject("excepthook")) {
    PyObject* shown = PyObject_CallFunctionObjArgs(
        hook, error.type, error.value,
        error.traceback != nullptr ? error.traceback : Py_None, nullptr);
    if (shown != nullptr) {
      Py_DECREF(shown);
      return;
    }
    PyErr_Clear();
  }
  PySys_WriteStderr("%s\n", message_of(error.value).c_str());
}

/// Prints the notice and the traceback of a PanicException that came back
/// out of Python code; returns its message.
std::string show_resumed_panic(FetchedError& error) {
  std::string message = message_of(error.value);
  PySys_WriteStderr("nuvel: an internal failure raised in Python code is resumed:\n");
  print_exception(error);
  return message;
}

/// A PanicException that came back out of Python code: show it, then go on
/// failing as an internal failure of the calling method.
void resume_panic(FetchedError& error) {
  const std::string message = show_resumed_panic(error);
  raise_panic(message);
}

bool raise_too_many_positional(const Params& params, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (params.required == params.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %u positional arguments but %zd %s given",
                 params.full_name, params.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %u to %u positional arguments but %zd %s given",
                 params.full_name, params.required, params.count, given, verb);
  }
  return false;
}

/// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_name_list(const Params& params, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (unsigned i = 0; i < params.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(params.names[i]);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) list += ',';
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  return list;
}

bool bind_keyword(const Params& params, PyObject* const* keywords, PyObject* keyword,
                  PyObject* value, PyObject** slots) {
  for (unsigned i = 0; i < params.count; ++i) {
    if (keyword == keywords[i] || PyUnicode_Compare(keyword, keywords[i]) == 0) {
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     params.full_name, params.names[i]);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", params.full_name,
               keyword);
  return false;
}

/// After positional and keyword binding: every required parameter is
/// filled, and None in an optional one means absent.
bool finish_binding(const Params& params, PyObject** slots) {
  unsigned missing = 0;
  for (unsigned i = 0; i < params.required; ++i) missing += slots[i] == nullptr ? 1 : 0;
  if (missing > 0) {
    PyErr_Format(PyExc_TypeError, "%s missing %u required positional %s: %s",
                 params.full_name, missing, missing == 1 ? "argument" : "arguments",
                 quoted_name_list(params, slots).c_str());
    return false;
  }
  for (unsigned i = params.required; i < params.count; ++i) {
    if (slots[i] == Py_None) slots[i] = nullptr;
  }
  return true;
}

/// The parameter names of `params` as interned strings, created once into
/// `cache`; null with an error set when one cannot be created.
PyObject* const* interned_names(const Params& params, PyObject** cache) {
  if (params.count == 0 || cache[params.count - 1] != nullptr) return cache;
  for (unsigned i = 0; i < params.count; ++i) {
    if (cache[i] == nullptr) {
      cache[i] = PyUnicode_InternFromString(params.names[i]);
      if (cache[i] == nullptr) return nullptr;
    }
  }
  return cache;
}

}  // namespace

void raise_downcast_error(PyObject* obj, const char* kind) {
  PyObject* name =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  // A metaclass can answer with any object; "%U" below takes only a str.
  if (name != nullptr && !PyUnicode_Check(name)) {
    PyObject* text = PyObject_Str(name);
    Py_DECREF(name);
    name = text;
  }
  if (name == nullptr) {
    PyErr_Clear();
    name = PyUnicode_FromString("object");
    if (name == nullptr) return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, kind);
  Py_DECREF(name);
}

// ---- binding ---------------------------------------------------------------

bool bind_arguments(const Params& params, PyObject** keyword_cache, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  PyObject* const* keywords = interned_names(params, keyword_cache);
  if (keywords == nullptr) return false;
  if (nargs > static_cast<Py_ssize_t>(params.count)) {
    return raise_too_many_positional(params, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(params, keywords, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) {
      return false;
    }
  }
  return finish_binding(params, slots);
}

bool refuse_arguments(const Params& params, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > 0) return raise_too_many_positional(params, nargs);
  Py_ssize_t position = 0;
  PyObject* keyword = nullptr;
  PyObject* value = nullptr;
  if (kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value)) {
    return bind_keyword(params, nullptr, keyword, value, nullptr);
  }
  return true;
}

// ---- borrowing -------------------------------------------------------------

bool BorrowGuard::take(PyObject* self) {
  if (kind_ == Borrow::None) return true;
  // The method descriptors refuse any `self` that is not a NuvelGraph
  // before the frame runs.
  auto* graph = reinterpret_cast<GraphObject*>(self);
  std::uintptr_t& counter = graph->borrow;
  if (kind_ == Borrow::Shared) {
    if (counter == kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++counter;
  } else {
    if (counter != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    counter = kExclusive;
  }
  graph_ = graph;
  return true;
}

void BorrowGuard::release() {
  if (graph_ == nullptr) return;
  if (kind_ == Borrow::Shared) {
    --graph_->borrow;
  } else {
    graph_->borrow = 0;
  }
  graph_ = nullptr;
}

// ---- argument conversion ---------------------------------------------------

bool to_native(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_downcast_error(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_native(PyObject* obj, std::optional<std::string_view>& out) {
  if (obj == nullptr) {
    out.reset();
    return true;
  }
  return to_native(obj, out.emplace());
}

bool to_native(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred() != nullptr);
}

void remap_conversion_error(const char* param) {
  FetchedError error;
  if (error.value == nullptr) return ensure_error_set();
  if (Py_TYPE(error.value) == reinterpret_cast<PyTypeObject*>(panic_type())) {
    return resume_panic(error);
  }
  if (Py_TYPE(error.value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return error.restore();
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %S", param, error.value);
  if (message == nullptr) return;
  PyObject* remapped = PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
  Py_DECREF(message);
  if (remapped == nullptr) return;
  if (PyObject* cause = PyException_GetCause(error.value)) PyException_SetCause(remapped, cause);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  PyErr_Restore(Py_NewRef(PyExc_TypeError), remapped, nullptr);
#pragma GCC diagnostic pop
}

// ---- result conversion -----------------------------------------------------

PyObject* to_python(Done) { return Py_NewRef(Py_None); }

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(const std::optional<std::string_view>& text) {
  return text ? to_python(*text) : Py_NewRef(Py_None);
}

PyObject* to_python(const NameList& names) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* item = to_python(names[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// ---- raising ---------------------------------------------------------------

void ensure_error_set() {
  if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, kNoErrorSet);
}

void raise_pending(const PendingError& error) {
  raise_text(error.kind == ErrorKind::IO ? PyExc_OSError : PyExc_ValueError, error.message);
}

void raise_panic(std::string_view message) { raise_text(panic_type(), message); }

void raise_panic_from_python_error() { raise_panic(take_error_message()); }

std::string take_error_message() {
  if (PyErr_Occurred() == nullptr) return kNoErrorSet;
  FetchedError error;
  return message_of(error.value);
}

void print_error_or_resume_panic() {
  if (PyErr_Occurred() == nullptr) return;
  FetchedError error;
  if (Py_TYPE(error.value) == reinterpret_cast<PyTypeObject*>(panic_type())) {
    throw InternalError(show_resumed_panic(error));
  }
  print_exception(error);
}

void raise_internal_failure() noexcept {
  try {
    throw;
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("internal failure");
  }
}

}  // namespace nuvel::binding
