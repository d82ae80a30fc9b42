// (placeholder) predict for corvanti.wrapper.
#include "wrapper/wrapper.h"

namespace wrapper {
void register_predict(nb::module_& m) {}
}  // namespace wrapper
