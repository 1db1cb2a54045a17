// Placeholder until the classes' operations are bound.
#include "binding/placeholder.hpp"
#include "binding/types.hpp"

namespace qv::py {

namespace {
PyObject* g_push = nullptr;
PyObject* g_pull = nullptr;
}  // namespace

PyObject* secret_stream_push_type_new() { return placeholder_type(g_push, "quorvex._secure.SecretStreamPush"); }
PyObject* secret_stream_pull_type_new() { return placeholder_type(g_pull, "quorvex._secure.SecretStreamPull"); }

}  // namespace qv::py
