// Module registration for tessel32_dag (placeholder until the module is built out).
#include <nanobind/nanobind.h>

NB_MODULE(tessel32_dag, m) {}
