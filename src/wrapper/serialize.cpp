// (placeholder) serialize for corvanti.wrapper.
#include "wrapper/wrapper.h"

namespace wrapper {
void register_serialize(nb::module_& m) {}
}  // namespace wrapper
