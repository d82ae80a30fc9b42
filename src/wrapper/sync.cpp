// (placeholder) sync for corvanti.wrapper.
#include "wrapper/wrapper.h"

namespace wrapper {
void register_sync(nb::module_& m) {}
}  // namespace wrapper
