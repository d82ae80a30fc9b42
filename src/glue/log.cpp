// Module loggers.
#include "glue/log.h"

#include "glue/errors.h"

namespace glue {

void Logger::bind(nb::handle module, const char* name) {
  nb::object lg;
  if (module.is_valid() && nb::hasattr(module, "logger")) {
    lg = module.attr("logger");
  } else {
    lg = nb::module_::import_("logging").attr("getLogger")(name);
  }
  logger_ = lg.release().ptr();
}

bool Logger::enabled(Level level) const {
  if (!logger_) return false;
  nb::object r = nb::handle(logger_).attr("isEnabledFor")((int) level);
  int t = PyObject_IsTrue(r.ptr());
  if (t < 0) raise_current();
  return t == 1;
}

}  // namespace glue
