// (placeholder) http for corvanti.wrapper.
#include "wrapper/wrapper.h"

namespace wrapper {
void register_http(nb::module_& m) {}
}  // namespace wrapper
