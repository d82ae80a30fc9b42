// (placeholder) rows for corvanti.wrapper.
#include "wrapper/wrapper.h"

namespace wrapper {
void register_rows(nb::module_& m) {}
}  // namespace wrapper
