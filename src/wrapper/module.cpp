// Module registration for corvanti.wrapper.
#include "wrapper/wrapper.h"

NB_MODULE(wrapper, m) {
  wrapper::register_serialize(m);
  wrapper::register_http(m);
  wrapper::register_rows(m);
  wrapper::register_sync(m);
  wrapper::register_registry(m);
  wrapper::register_predict(m);
}
