// Module registration for tessel32 (placeholder until the module is built out).
#include <nanobind/nanobind.h>

NB_MODULE(tessel32, m) {}
