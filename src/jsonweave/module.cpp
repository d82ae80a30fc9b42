// Module registration for jsonweave (placeholder until the module is built out).
#include <nanobind/nanobind.h>

NB_MODULE(jsonweave, m) {}
