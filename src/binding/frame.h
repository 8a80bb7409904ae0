// The one call frame that every NuvelGraph method goes through: binding of
// the Python arguments, the borrow of the graph object, conversion of each
// argument in parameter order, the body, result conversion, and the raising
// of failures. Nothing in a body or a conversion ever unwinds into Python: a
// C++ exception becomes PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "explain.h"
#include "graph.h"
#include "methods.h"
#include "result.h"

namespace nuvel::binding {

/// The Python NuvelGraph object: one store and its borrow counter
/// (0 free, 1.. shared borrows held, all ones exclusively borrowed).
struct GraphObject {
  PyObject_HEAD
  NuvelGraphInner inner;
  std::uintptr_t borrow;
};

inline constexpr std::size_t kMaxParams = 5;

/// An owned reference, released on every way out (C++ exceptions included).
class Ref {
 public:
  explicit Ref(PyObject* owned = nullptr) : obj_(owned) {}
  ~Ref() { Py_XDECREF(obj_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  void reset(PyObject* owned) { Py_XDECREF(std::exchange(obj_, owned)); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_;
};

/// Parameters of a method: every one positional-or-keyword; the first
/// `required` must be given, the rest default to None.
struct Params {
  const char* full_name;  ///< "NuvelGraph.add_edge()", used in binding messages
  std::array<const char*, kMaxParams> names;
  unsigned count;
  unsigned required;
};

/// Parameters of a method without arguments.
inline constexpr Params kNoParams{"", {}, 0, 0};

/// How a method holds the graph object for the call: shared (queries),
/// exclusive (changes), or not at all (the static loader).
enum class Borrow { None, Shared, Exclusive };

// ---- pieces of the frame ---------------------------------------------------
// Defined in frame.cpp; each returns false or nullptr with a Python
// exception set.

/// Binds vectorcall arguments to `slots` (borrowed references; absent or
/// None optional parameters left null). `keyword_cache` receives the
/// parameter names as interned strings on first use, so that keywords
/// compare by pointer first.
bool bind_arguments(const Params& params, PyObject** keyword_cache, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
/// Binding for a callable without parameters that receives a tuple and a
/// keyword dict (the constructor): any argument is refused.
bool refuse_arguments(const Params& params, PyObject* args, PyObject* kwargs);

/// Holds a borrow of the graph object from take() until release() or
/// destruction; Borrow::None holds nothing.
class BorrowGuard {
 public:
  explicit BorrowGuard(Borrow kind) : kind_(kind) {}
  ~BorrowGuard() { release(); }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

  /// Borrows `self`, a NuvelGraph; refuses at once when the borrow
  /// conflicts, with RuntimeError set.
  bool take(PyObject* self);
  NuvelGraphInner& graph() const { return graph_->inner; }
  void release();

 private:
  GraphObject* graph_ = nullptr;
  Borrow kind_;
};

/// The metrics argument of set_module_data: a dict (borrowed for the call),
/// whose entries the body converts one by one.
struct MetricsDict {
  PyObject* dict = nullptr;
};

/// `'{type}' object cannot be converted to '{kind}'` as a TypeError.
void raise_downcast_error(PyObject* obj, const char* kind);

bool to_native(PyObject* obj, std::string_view& out);
bool to_native(PyObject* obj, std::optional<std::string_view>& out);
bool to_native(PyObject* obj, double& out);
// In convert.cpp: the container kinds.
bool to_native(PyObject* obj, TextPairs& out);
bool to_native(PyObject* obj, OrderedMap<std::string>& out);
bool to_native(PyObject* obj, OrderedMap<double>& out);
bool to_native(PyObject* obj, TextList& out);
/// Only checks that `obj` is a dict.
bool to_native(PyObject* obj, MetricsDict& out);
/// A list of names, or nothing for an absent or None argument.
bool to_native(PyObject* obj, std::optional<TextList>& out);

/// The body of set_module_data, in the binding because it converts the
/// entries of `metrics`: each is converted and written before the next is
/// read, once the node is known. A failing entry leaves the ones before it
/// written; its Python error stays pending (ErrorKind::Forwarded).
Result<Done> set_module_data(NuvelGraphInner& graph, std::string_view node_name,
                             MetricsDict metrics, double instance, TextList& tags);

/// Turns the pending conversion error into the one the caller sees: a plain
/// TypeError gets the "argument '{}': " prefix, a PanicException resumes as
/// an internal failure, anything else passes through.
void remap_conversion_error(const char* param);

PyObject* to_python(Done);
PyObject* to_python(bool value);
PyObject* to_python(double value);
PyObject* to_python(std::string_view text);
PyObject* to_python(const std::optional<std::string_view>& text);
PyObject* to_python(const NameList& names);
PyObject* to_python(const std::optional<double>& value);
PyObject* to_python(const ValueUnit& value);
/// A dict from event name to float, in the order of `values`.
PyObject* to_python(const EventValues& values);
/// The results of the methods that explain a model, as dicts and lists of
/// the shapes in _core.pyi.
PyObject* to_python(const ModelFacts& facts);
PyObject* to_python(const Problems& problems);
PyObject* to_python(const Breakdown& breakdown);
/// A new NuvelGraph object that takes over `graph` (graph_type.cpp).
PyObject* to_python(NuvelGraphInner& graph);

/// For a C API call that reported failure: SystemError "attempted to fetch
/// exception but none was set" unless it left an error pending.
void ensure_error_set();
void raise_pending(const PendingError& error);
void raise_panic(std::string_view message);
/// Re-raises the pending Python error as PanicException with its text.
void raise_panic_from_python_error();

/// Takes the pending Python error and returns its text (str of the
/// exception); the error is cleared.
std::string take_error_message();
/// For Python code that the system calls on its own account (logging
/// handlers): the pending error is printed with its traceback to stderr and
/// cleared, except a PanicException, which is shown after a notice and
/// resumed by throwing InternalError with its message. Does nothing when no
/// error is pending.
void print_error_or_resume_panic();

// ---- the frame -------------------------------------------------------------

/// The parameters of a body after its graph (all of them for a static
/// body), as the tuple the frame converts the arguments into.
template <Borrow B, class F>
struct BodyTraits;
template <Borrow B, class R, class G, class... A>
  requires(B != Borrow::None)
struct BodyTraits<B, Result<R> (*)(G&, A...)> {
  static_assert(B == Borrow::Exclusive || std::is_const_v<G>,
                "a body that changes the graph needs the exclusive borrow");
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};
template <class R, class... A>
struct BodyTraits<Borrow::None, Result<R> (*)(A...)> {
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};

template <const Params& P, class Args, std::size_t... I>
bool convert_arguments(PyObject* const* slots, Args& out, std::index_sequence<I...>) {
  [[maybe_unused]] const auto convert = [](PyObject* obj, auto& value, const char* name) {
    if (to_native(obj, value)) return true;
    remap_conversion_error(name);
    return false;
  };
  return (convert(slots[I], std::get<I>(out), P.names[I]) && ...);
}

/// Raises the C++ exception being handled as PanicException. Call only
/// from a catch block.
void raise_internal_failure() noexcept;

/// The end of a call: the result as a new Python object, or null with the
/// body's pending error raised; either way the borrow is released first. A
/// result that cannot become a Python object is an internal failure.
template <class R>
PyObject* finish(BorrowGuard& borrow, Result<R>& result) {
  if (!result.ok()) {
    borrow.release();
    if (result.error().kind != ErrorKind::Forwarded) {
      raise_pending(result.error());
    } else if (PyErr_Occurred() == nullptr) {
      raise_panic("a failed argument conversion left no exception");
    }
    return nullptr;
  }
  PyObject* out = to_python(result.value());
  borrow.release();
  if (out == nullptr) raise_panic_from_python_error();
  return out;
}

/// The frame of every method (METH_FASTCALL | METH_KEYWORDS, and
/// METH_STATIC with Borrow::None): binds the arguments, takes the borrow,
/// converts the arguments in parameter order (the first failure ends the
/// call), runs the body, converts its result, releases the borrow and
/// raises the pending error. A C++ exception from any step becomes
/// PanicException.
template <Borrow B, const Params& P, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  using Args = typename BodyTraits<B, decltype(Body)>::Args;
  static_assert(std::tuple_size_v<Args> == P.count);

  static PyObject* keyword_cache[kMaxParams];
  PyObject* slots[kMaxParams] = {};
  BorrowGuard borrow(B);
  PyObject* out = nullptr;
  try {
    Args converted{};
    if (bind_arguments(P, keyword_cache, args, nargs, kwnames, slots) && borrow.take(self) &&
        convert_arguments<P>(slots, converted,
                             std::make_index_sequence<std::tuple_size_v<Args>>{})) {
      auto result = std::apply(
          [&](auto&... a) {
            if constexpr (B == Borrow::None) {
              return Body(a...);
            } else {
              return Body(borrow.graph(), a...);
            }
          },
          converted);
      out = finish(borrow, result);
    }
  } catch (...) {
    borrow.release();
    raise_internal_failure();
  }
  return out;
}

/// A method without arguments (METH_NOARGS): the interpreter itself
/// refuses any argument.
template <Borrow B, auto Body>
PyObject* method_noargs(PyObject* self, PyObject* /*unused*/) noexcept {
  return method<B, kNoParams, Body>(self, nullptr, 0, nullptr);
}

}  // namespace nuvel::binding
