// Placeholder until the keyed operations are bound.
#include "binding/types.hpp"

namespace qv::py {

void add_secret_box_keyed_methods(std::vector<PyMethodDef>&) {}

}  // namespace qv::py
