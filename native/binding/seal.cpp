// Placeholder until the hybrid seal is bound.
#include "binding/boundary.hpp"
#include "binding/types.hpp"

namespace qv::py {

namespace {
PyObject* seal_hybrid(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return raise(Error::unsupported("seal_hybrid"));
}
}  // namespace

PyMethodDef seal_hybrid_def = {
    "seal_hybrid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seal_hybrid)),
    METH_FASTCALL | METH_KEYWORDS, "seal_hybrid(x25519_public, mlkem768_public, plaintext, aad)\n--\n\n"};

}  // namespace qv::py
