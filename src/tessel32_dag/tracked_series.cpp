// (placeholder, being built) tracked_series
#include "tessel32_dag/tracked.h"

namespace dag {
void register_tracked_series(nb::module_& m) {}
}  // namespace dag
