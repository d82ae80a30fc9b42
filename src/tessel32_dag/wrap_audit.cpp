// (placeholder, being built) wrap_audit
#include "tessel32_dag/tracked.h"

namespace dag {
void register_wrap_audit(nb::module_& m) {}
}  // namespace dag
