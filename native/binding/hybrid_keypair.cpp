// Placeholder until the class's operations are bound.
#include "binding/placeholder.hpp"
#include "binding/types.hpp"

namespace qv::py {

namespace {
PyObject* g_type = nullptr;
}  // namespace

PyObject* hybrid_keypair_type_new() { return placeholder_type(g_type, "quorvex._secure.HybridKeyPair"); }

}  // namespace qv::py
