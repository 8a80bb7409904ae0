// The one call frame that every NuvelGraph method goes through: binding of
// the Python arguments, the object check and borrow, conversion of each
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

/// The NuvelGraph type; created by create_graph_type() during module init.
PyTypeObject* graph_type();

inline constexpr std::size_t kMaxParams = 5;

/// Parameters of a method: every one positional-or-keyword; the first
/// `required` must be given, the rest default to None.
struct Params {
  const char* full_name;  ///< "NuvelGraph.add_edge()", used in binding messages
  std::array<const char*, kMaxParams> names;
  unsigned count;
  unsigned required;
};

enum class Borrow { Shared, Exclusive };

// ---------------------------------------------------------------------------
// Pieces of the frame (frame.cpp). Each returns false or nullptr with a
// Python exception set.

/// Binds vectorcall arguments to `slots` (borrowed references; absent or
/// None optional parameters left null). `keywords` holds the parameter
/// names as interned strings, for pointer comparison first.
bool bind_arguments(const Params& params, PyObject* const* keywords, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
/// Binding for a callable without parameters that receives a tuple and a
/// keyword dict (the constructor): any argument is refused.
bool refuse_arguments(const Params& params, PyObject* args, PyObject* kwargs);
/// Interned parameter names of `params`, created once.
PyObject* const* interned_names(const Params& params, PyObject** cache);

GraphObject* graph_from(PyObject* self);

/// Takes a borrow for the guard's lifetime; refuses at once when it
/// conflicts, with RuntimeError set.
class BorrowGuard {
 public:
  BorrowGuard(std::uintptr_t& counter, Borrow kind);
  ~BorrowGuard() { release(); }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

  bool held() const { return counter_ != nullptr; }
  void release();

 private:
  std::uintptr_t* counter_;
  Borrow kind_;
};

/// The metrics argument of set_module_data: the entries converted up to
/// the first failure, and the Python exception of that failure, which is
/// raised once the body has applied the entries before it.
struct MetricsArg : MetricUpdate {
  MetricsArg() = default;
  MetricsArg(const MetricsArg&) = delete;
  MetricsArg& operator=(const MetricsArg&) = delete;
  ~MetricsArg();

  PyObject* error_type = nullptr;
  PyObject* error_value = nullptr;
  PyObject* error_traceback = nullptr;
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
/// A list of names, or nothing for an absent or None argument.
bool to_native(PyObject* obj, std::optional<TextList>& out);
/// Fails only when `obj` is not a dict; a failing entry is kept in `out`.
bool to_native(PyObject* obj, MetricsArg& out);

/// Raises the Python exception held by a converted argument, if any.
template <class T>
bool restore_forwarded(T& /*argument*/) {
  return false;
}
bool restore_forwarded(MetricsArg& argument);

/// Turns the pending conversion error into the one the caller sees: a plain
/// TypeError gets the "argument '{}': " prefix, a PanicException resumes as
/// an internal failure, anything else passes through.
void remap_conversion_error(const char* param);

PyObject* to_python(Unit);
PyObject* to_python(bool value);
PyObject* to_python(double value);
PyObject* to_python(std::string_view text);
PyObject* to_python(const std::optional<std::string_view>& text);
PyObject* to_python(const NameList& names);
PyObject* to_python(const std::optional<double>& value);
PyObject* to_python(const ValueUnit& value);
/// A dict from event name to float, in the order of `values`.
PyObject* to_python(const EventValues& values);
/// A new NuvelGraph object that takes over `graph` (graph_type.cpp).
PyObject* to_python(NuvelGraphInner& graph);

void raise_pending(const PendingError& error);
void raise_panic(const char* message);
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

// ---------------------------------------------------------------------------
// The frame itself.

/// What the frame converts a body parameter of type T into.
template <class T>
struct BindingArg {
  using type = T;
};
template <>
struct BindingArg<MetricUpdate> {
  using type = MetricsArg;
};

template <class F>
struct BodyTraits;
template <class R, class G, class... A>
struct BodyTraits<Result<R> (*)(G&, A...)> {
  using Graph = G;
  using Args = std::tuple<typename BindingArg<std::remove_cvref_t<A>>::type...>;
};
/// A body without a graph (a static method).
template <class R, class... A>
struct StaticBodyTraits {
  using Args = std::tuple<typename BindingArg<std::remove_cvref_t<A>>::type...>;
};
template <class R, class... A>
StaticBodyTraits<R, A...> static_body_traits(Result<R> (*)(A...));

template <const Params& P, class Args, std::size_t... I>
bool convert_arguments(PyObject* const* slots, Args& out, std::index_sequence<I...>) {
  const auto convert = [](PyObject* obj, auto& value, const char* name) {
    if (to_native(obj, value)) return true;
    remap_conversion_error(name);
    return false;
  };
  return (convert(slots[I], std::get<I>(out), P.names[I]) && ...);
}

/// Raises the C++ exception being handled as PanicException, after
/// releasing the borrow. Call only from a catch block.
PyObject* raise_internal_failure(BorrowGuard& borrow) noexcept;

/// Steps 5 to 7 of a call: a pending error is raised after the borrow is
/// released; a result that cannot become a Python object is an internal
/// failure.
template <class R, class Args = std::tuple<>>
PyObject* finish(BorrowGuard& borrow, Result<R>& result, Args&& arguments = {}) {
  if (!result.ok()) {
    borrow.release();
    if (result.error().kind != ErrorKind::Forwarded) {
      raise_pending(result.error());
    } else if (!std::apply([](auto&... a) { return (restore_forwarded(a) || ...); },
                           arguments)) {
      raise_panic("a failed argument conversion left no exception");
    }
    return nullptr;
  }
  PyObject* out = to_python(result.value());
  borrow.release();
  if (out == nullptr) raise_panic_from_python_error();
  return out;
}

/// Entry of a method with arguments (METH_FASTCALL | METH_KEYWORDS).
template <Borrow B, const Params& P, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  using Traits = BodyTraits<decltype(Body)>;
  using Args = typename Traits::Args;
  static_assert(std::tuple_size_v<Args> <= kMaxParams);
  static_assert(B == Borrow::Exclusive || std::is_const_v<typename Traits::Graph>,
                "a body that changes the graph needs the exclusive borrow");

  static PyObject* keyword_cache[kMaxParams];
  PyObject* const* keywords = interned_names(P, keyword_cache);
  if (keywords == nullptr) return nullptr;
  PyObject* slots[kMaxParams] = {};
  if (!bind_arguments(P, keywords, args, nargs, kwnames, slots)) return nullptr;
  GraphObject* graph = graph_from(self);
  if (graph == nullptr) return nullptr;
  BorrowGuard borrow(graph->borrow, B);
  if (!borrow.held()) return nullptr;
  try {
    Args converted{};
    if (!convert_arguments<P>(slots, converted,
                              std::make_index_sequence<std::tuple_size_v<Args>>{})) {
      return nullptr;
    }
    auto result = std::apply([&](auto&... a) { return Body(graph->inner, a...); }, converted);
    return finish(borrow, result, converted);
  } catch (...) {
    return raise_internal_failure(borrow);
  }
}

/// Entry of a static method with arguments: no object, no borrow.
template <const Params& P, auto Body>
PyObject* static_method(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  using Args = typename decltype(static_body_traits(Body))::Args;
  static_assert(std::tuple_size_v<Args> <= kMaxParams);

  static PyObject* keyword_cache[kMaxParams];
  PyObject* const* keywords = interned_names(P, keyword_cache);
  if (keywords == nullptr) return nullptr;
  PyObject* slots[kMaxParams] = {};
  if (!bind_arguments(P, keywords, args, nargs, kwnames, slots)) return nullptr;
  std::uintptr_t unborrowed = 0;
  BorrowGuard no_borrow(unborrowed, Borrow::Shared);
  try {
    Args converted{};
    if (!convert_arguments<P>(slots, converted,
                              std::make_index_sequence<std::tuple_size_v<Args>>{})) {
      return nullptr;
    }
    auto result = std::apply([&](auto&... a) { return Body(a...); }, converted);
    return finish(no_borrow, result, converted);
  } catch (...) {
    return raise_internal_failure(no_borrow);
  }
}

/// Entry of a method without arguments (METH_NOARGS).
template <Borrow B, auto Body>
PyObject* method_noargs(PyObject* self, PyObject* /*unused*/) noexcept {
  GraphObject* graph = graph_from(self);
  if (graph == nullptr) return nullptr;
  BorrowGuard borrow(graph->borrow, B);
  if (!borrow.held()) return nullptr;
  try {
    auto result = Body(graph->inner);
    return finish(borrow, result);
  } catch (...) {
    return raise_internal_failure(borrow);
  }
}

}  // namespace nuvel::binding
