// Shared declarations of the tessel32 module's files.
#pragma once

#include <cstdint>
#include <vector>

#include "glue/glue.h"

namespace tessel32 {
namespace nb = nanobind;

/// Objects the module keeps for its whole life (never released: modules are
/// never unloaded).
struct ModuleState {
  PyObject* module = nullptr;
  PyObject* tracker_type = nullptr;   // ProvenanceTracker
  PyObject* decoded_type = nullptr;   // DecodedProvenance (a namedtuple)
  PyObject* datetime_type = nullptr;  // datetime.datetime
  PyObject* date_type = nullptr;      // datetime.date
  // interned attribute names
  PyObject* s_name_to_id = nullptr;
  PyObject* s_id_to_name = nullptr;
  PyObject* s_protected_ids = nullptr;
  PyObject* s_next_pair_id = nullptr;
  glue::Logger log;
};
extern ModuleState g;

// ---- argument conversion (values.cpp) ------------------------------------
/// A provenance argument: an int (or an object with __index__) in 0..2**32-1.
uint32_t arg_prov(PyObject* v, const char* name);
/// An op code argument: an int or OpCode member in 0..2**31-1.
uint32_t arg_op(PyObject* v, const char* name);
/// Pair ids from an iterable (each 1..2**32-1).
std::vector<uint32_t> arg_ids(PyObject* ids);
/// Python int from uint32.
nb::object py_u32(uint32_t v);

// ---- entity hashing (hash.cpp) -----------------------------------------------
uint32_t hash_entity(PyObject* label);
/// The same for an int label held as a C integer ("i" + its hex form).
uint32_t hash_entity_i64(int64_t label);

// ---- registry (registry.cpp) ---------------------------------------------------
struct Registry {
  nb::object name_to_id;  // dict (table, column) -> id
  nb::object id_to_name;  // dict id -> (table, column)
  nb::object protected_ids;  // set of ids
};
Registry registry_of(PyObject* self);
void registry_init(PyObject* self);
nb::object registry_register(PyObject* self, PyObject* table, PyObject* column, bool prot);
nb::object registry_lookup(PyObject* self, PyObject* table, PyObject* column);  // null if absent
/// The (possible) source pair ids of a value: exact for modes 0-2, the
/// registered ids that the Bloom filter may contain in mode 3. Sorted.
std::vector<uint32_t> value_pairs(PyObject* self, uint32_t p, bool& exact);

// ---- classes -----------------------------------------------------------------
nb::object make_tracker_class(nb::handle module);
void add_tracked_classes(nb::handle module);

}  // namespace tessel32
