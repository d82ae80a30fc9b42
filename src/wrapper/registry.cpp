// (placeholder) registry for corvanti.wrapper.
#include "wrapper/wrapper.h"

namespace wrapper {
void register_registry(nb::module_& m) {}
}  // namespace wrapper
