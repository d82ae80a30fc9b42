// (placeholder, being built) tracked_frame
#include "tessel32_dag/tracked.h"

namespace dag {
void register_tracked_frame(nb::module_& m) {}
}  // namespace dag
