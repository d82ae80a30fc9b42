// Logging through the module's own logger (logging.getLogger(<module name>)),
// with the standard lazy %-form: the format string and its arguments go to
// the logger unformatted, and nothing is built when the level is disabled.
#pragma once

#include <nanobind/nanobind.h>

namespace glue {
namespace nb = nanobind;

class Logger {
 public:
  enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

  /// Bind to `module.logger` when the module defines one, else to
  /// logging.getLogger(name). Holds a strong reference for the process's life.
  void bind(nb::handle module, const char* name);
  nb::handle logger() const { return logger_; }

  bool enabled(Level level) const;

  template <class... Args>
  void debug(const char* fmt, Args&&... args) const { emit(DEBUG, "debug", fmt, std::forward<Args>(args)...); }
  template <class... Args>
  void warning(const char* fmt, Args&&... args) const { emit(WARNING, "warning", fmt, std::forward<Args>(args)...); }
  template <class... Args>
  void error(const char* fmt, Args&&... args) const { emit(ERROR, "error", fmt, std::forward<Args>(args)...); }

 private:
  template <class... Args>
  void emit(Level level, const char* method, const char* fmt, Args&&... args) const {
    if (!enabled(level)) return;
    nb::handle(logger_).attr(method)(fmt, std::forward<Args>(args)...);
  }
  // Deliberately never released: modules are never unloaded, and a decref at
  // process exit would run after the interpreter is gone.
  PyObject* logger_ = nullptr;
};

}  // namespace glue
