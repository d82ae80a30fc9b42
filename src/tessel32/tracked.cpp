#include "tessel32/tessel32.h"
namespace tessel32 {
void add_tracked_classes(nb::handle module) {
  module.attr("TrackedSeries") = nb::none();
  module.attr("TrackedDataFrame") = nb::none();
}
}
