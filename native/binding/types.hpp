// The classes and functions the module registers. Each class is created
// once per process from a type description; the factories return a new reference to
// the type (or nullptr with an exception set).
#pragma once

#include <Python.h>

#include <vector>

namespace qv::py {

PyObject* secret_box_type_new();
PyObject* hybrid_keypair_type_new();
PyObject* secret_stream_push_type_new();
PyObject* secret_stream_pull_type_new();
PyObject* entropy_pool_type_new();

// Module-level functions (static storage).
extern PyMethodDef seal_hybrid_def;
extern PyMethodDef harden_process_def;
extern PyMethodDef memory_status_def;
// {"version", "origin" ("bundled" or "system"), "debian_source" (str or None)}:
// the libcrypto in use, for `quorvex status`.
PyObject* libcrypto_info_new();

// Extra SecretBox methods from the keyed operations, appended to the class.
void add_secret_box_keyed_methods(std::vector<PyMethodDef>& methods);

}  // namespace qv::py
