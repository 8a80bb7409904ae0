#include "log_bridge.h"

#include <initializer_list>

#include "frame.h"
#include "result.h"

namespace nuvel::binding {
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

// ---- Python calls ----------------------------------------------------------

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

/// Asks the logger whether it takes the record's level; if so, makes the
/// record and hands it over. Python errors are printed and cleared (or
/// resumed, for a panic).
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

// ---- logger ----------------------------------------------------------------

Logger::Logger(PyObject* logging) : logging_(logging) {}

Logger::~Logger() {
  for (const auto& [target, entry] : cache_) Py_DECREF(entry.logger);
  Py_XDECREF(logging_);
}

const Logger::Entry* Logger::cached(std::string_view target) const {
  const auto found = cache_.find(target);
  return found != cache_.end() ? &found->second : nullptr;
}

bool Logger::enabled(Level level, std::string_view target) const {
  if (!passes(level, kTopFilter)) return false;
  const Entry* entry = cached(target);
  return entry == nullptr || passes(level, entry->filter);
}

void Logger::log(Level level, std::string_view target, std::string_view message,
                 const char* file, std::uint32_t line) {
  if (!enabled(level, target)) return;
  const Ref name(new_text(python_name(target)));
  if (const Entry* entry = cached(target)) {
    deliver(entry->logger, name.get(), level, message, file, line);
    return;
  }
  Ref logger(PyObject_CallMethodObjArgs(logging_, method_names().get_logger, name.get(), nullptr));
  if (!logger) return print_error_or_resume_panic();
  deliver(logger.get(), name.get(), level, message, file, line);
  const LevelFilter filter = filter_of(logger.get());
  // A handler may have logged to this target meanwhile and cached it.
  if (cached(target) == nullptr) cache_.emplace(target, Entry{logger.release(), filter});
}

// ---- installation ----------------------------------------------------------

bool install_logger() {
  PyObject* logging = PyImport_ImportModule("logging");
  if (logging == nullptr) {
    const std::string message = "Failed to initialize python logging: " + take_error_message();
    raise_panic(message);
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
