#include "log_bridge.h"

#include <initializer_list>

#include "frame.h"
#include "result.h"

namespace nuvel::binding {

const CacheNode* CacheNode::child(std::string_view segment) const {
  for (const auto& [name, node] : children) {
    if (name == segment) return node;
  }
  return nullptr;
}

namespace {

using log::Level;
using log::LevelFilter;

/// Neither the facade nor the bridge configures per-target overrides, so
/// the target filter is always this one.
constexpr LevelFilter kTopFilter = LevelFilter::Debug;

bool passes(Level level, LevelFilter filter) {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

long python_level(Level level) {
  switch (level) {
    case Level::Error: return 40;
    case Level::Warn: return 30;
    case Level::Info: return 20;
    case Level::Debug: return 10;
    case Level::Trace: return 5;
  }
  return 5;
}

/// Calls `visit` on each "::"-separated segment of `target`, in order, while
/// it returns true.
template <class Visit>
void for_each_segment(std::string_view target, Visit&& visit) {
  for (;;) {
    const std::size_t cut = target.find("::");
    if (!visit(target.substr(0, cut)) || cut == std::string_view::npos) return;
    target.remove_prefix(cut + 2);
  }
}

/// The node of `target` under `root`, or null when a segment is missing.
const CacheNode* find(const CacheNode& root, std::string_view target) {
  const CacheNode* node = &root;
  for_each_segment(target, [&](std::string_view segment) {
    node = node->child(segment);
    return node != nullptr;
  });
  return node;
}

/// A copy of `root` in which the node of `target` holds `entry`: the nodes
/// along the path are new, every other subtree is shared with `root`.
const CacheNode* with_entry(const CacheNode& root, std::string_view target,
                            CacheNode::Entry entry) {
  std::vector<std::string_view> segments;
  for_each_segment(target, [&](std::string_view segment) {
    segments.push_back(segment);
    return true;
  });
  // old[i] is the existing node at depth i, null past the end of the path.
  std::vector<const CacheNode*> old{&root};
  for (const std::string_view segment : segments) {
    old.push_back(old.back() != nullptr ? old.back()->child(segment) : nullptr);
  }
  const auto copy_of = [](const CacheNode* node) {
    return node != nullptr ? new CacheNode(*node) : new CacheNode();
  };
  CacheNode* node = copy_of(old.back());
  node->entry = entry;
  for (std::size_t i = segments.size(); i-- > 0;) {
    CacheNode* parent = copy_of(old[i]);
    auto& children = parent->children;
    auto slot = children.begin();
    while (slot != children.end() && slot->first != segments[i]) ++slot;
    if (slot == children.end()) {
      children.emplace_back(std::string(segments[i]), node);
    } else {
      slot->second = node;
    }
    node = parent;
  }
  return node;
}

/// "nuvel_core::aggregate" -> "nuvel_core.aggregate"
std::string python_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

/// The compile-time path from "src/" on ("src/core/methods.cpp"), so that
/// records do not name the build machine's checkout.
std::string_view source_path(const char* file) {
  const std::string_view path(file);
  const std::size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

/// An owned reference, released on every way out.
class Ref {
 public:
  explicit Ref(PyObject* owned = nullptr) : obj_(owned) {}
  ~Ref() { Py_XDECREF(obj_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_;
};

/// An argument object that the interpreter just created; failing to create
/// one is an internal failure.
PyObject* created(PyObject* obj) {
  if (obj == nullptr) throw InternalError(take_error_message());
  return obj;
}

PyObject* new_text(std::string_view text) {
  return created(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                      "replace"));
}

/// Holds the interpreter lock for its lifetime (normally already held by
/// the calling method, in which case this only counts).
class GilGuard {
 public:
  GilGuard() : state_(PyGILState_Ensure()) {}
  ~GilGuard() { PyGILState_Release(state_); }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

// ---------------------------------------------------------------------------
// Python calls

/// Interned names of the Python methods the bridge calls.
struct MethodNames {
  PyObject* get_logger;
  PyObject* is_enabled_for;
  PyObject* make_record;
  PyObject* handle;
};

const MethodNames& method_names() {
  // Created on first use under the interpreter lock; kept for the process.
  static const MethodNames names{
      created(PyUnicode_InternFromString("getLogger")),
      created(PyUnicode_InternFromString("isEnabledFor")),
      created(PyUnicode_InternFromString("makeRecord")),
      created(PyUnicode_InternFromString("handle")),
  };
  return names;
}

/// logger.isEnabledFor(level): 1 or 0, or -1 with the Python error pending.
int is_enabled_for(PyObject* logger, PyObject* level) {
  Ref answer(PyObject_CallMethodObjArgs(logger, method_names().is_enabled_for, level, nullptr));
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

/// Step 6 of a record: ask the logger, then make the record and hand it
/// over. Python errors are printed and cleared (or resumed, for a panic).
void deliver(PyObject* logger, PyObject* name, Level level, std::string_view message,
             const char* file, std::uint32_t line) {
  const Ref number(created(PyLong_FromLong(python_level(level))));
  const int enabled = is_enabled_for(logger, number.get());
  if (enabled <= 0) {
    if (enabled < 0) print_error_or_resume_panic();
    return;
  }
  const Ref text(new_text(message));
  const Ref path(file != nullptr ? new_text(source_path(file)) : Py_NewRef(Py_None));
  const Ref lineno(created(PyLong_FromUnsignedLong(line)));
  const Ref no_args(created(PyTuple_New(0)));
  const Ref record(PyObject_CallMethodObjArgs(logger, method_names().make_record, name,
                                              number.get(), path.get(), lineno.get(),
                                              text.get(), no_args.get(), Py_None, nullptr));
  if (!record) return print_error_or_resume_panic();
  const Ref handled(
      PyObject_CallMethodObjArgs(logger, method_names().handle, record.get(), nullptr));
  if (!handled) print_error_or_resume_panic();
}

/// The most verbose level the logger enables now; Trace when asking fails.
LevelFilter filter_of(PyObject* logger) {
  for (const Level level : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
    const Ref number(created(PyLong_FromLong(python_level(level))));
    const int enabled = is_enabled_for(logger, number.get());
    if (enabled < 0) {
      print_error_or_resume_panic();
      return LevelFilter::Trace;
    }
    if (enabled == 1) return static_cast<LevelFilter>(level);
  }
  return LevelFilter::Off;
}

}  // namespace

// ---------------------------------------------------------------------------
// Logger

Logger::Logger(PyObject* logging)
    : logging_(logging), cache_(new CacheNode()) {}

Logger::~Logger() { Py_XDECREF(logging_); }

bool Logger::enabled(Level level, std::string_view target) const {
  if (!passes(level, kTopFilter)) return false;
  const CacheNode* node = find(*cache_.load(std::memory_order_acquire), target);
  return node == nullptr || !node->entry || passes(level, node->entry->filter);
}

void Logger::log(Level level, std::string_view target, std::string_view message,
                 const char* file, std::uint32_t line) {
  std::optional<CacheNode::Entry> cached;
  if (const CacheNode* node = find(*cache_.load(std::memory_order_acquire), target)) {
    cached = node->entry;
  }
  if (!passes(level, kTopFilter) || (cached && !passes(level, cached->filter))) return;

  const GilGuard gil;
  const Ref name(new_text(python_name(target)));
  if (cached) {
    deliver(cached->logger, name.get(), level, message, file, line);
    return;
  }
  Ref logger(PyObject_CallMethodObjArgs(logging_, method_names().get_logger, name.get(), nullptr));
  if (!logger) return print_error_or_resume_panic();
  deliver(logger.get(), name.get(), level, message, file, line);
  const LevelFilter filter = filter_of(logger.get());
  publish(target, logger.release(), filter);
}

void Logger::publish(std::string_view target, PyObject* logger, LevelFilter filter) {
  const CacheNode* root = cache_.load(std::memory_order_acquire);
  const CacheNode* updated = nullptr;
  do {
    updated = with_entry(*root, target, {logger, filter});
  } while (!cache_.compare_exchange_weak(root, updated, std::memory_order_acq_rel,
                                         std::memory_order_acquire));
}

// ---------------------------------------------------------------------------
// Installation

bool install_logger() {
  PyObject* logging = PyImport_ImportModule("logging");
  if (logging == nullptr) {
    const std::string message = "Failed to initialize python logging: " + take_error_message();
    raise_panic(message.c_str());
    return false;
  }
  std::unique_ptr<Logger> logger;
  try {
    logger = std::make_unique<Logger>(logging);
  } catch (const std::exception& failure) {
    Py_DECREF(logging);
    raise_panic(failure.what());
    return false;
  }
  // A second installation (an import retried after a later failure) keeps
  // the first sink; this one is dropped with its reference to `logging`.
  static_cast<void>(log::install(std::move(logger), kTopFilter));
  return true;
}

}  // namespace nuvel::binding
