// memory_status() and harden_process().
#include <Python.h>

#include <optional>

#include "binding/boundary.hpp"
#include "binding/pyref.hpp"
#include "binding/types.hpp"
#include "crypto/libcrypto.hpp"
#include "memory/status.hpp"

namespace qv::py {

namespace {

PyObject* optional_int(const std::optional<std::uint64_t>& v) {
    if (!v) return Py_NewRef(Py_None);
    return PyLong_FromUnsignedLongLong(*v);
}

PyObject* optional_bool(const std::optional<bool>& v) {
    if (!v) return Py_NewRef(Py_None);
    return PyBool_FromLong(*v);
}

// Inserts `value` (a new reference, or null after a failed creation).
bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef v(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* memory_status(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const MemoryStatus s = qv::memory_status();
        PyRef d(PyDict_New());
        if (!d) return nullptr;
        PyObject* o = d.get();
        const bool ok = put(o, "platform", PyUnicode_FromString(s.platform)) &&
                        put(o, "backend", PyUnicode_FromString(s.backend)) &&
                        put(o, "guard_pages", PyBool_FromLong(s.guard_pages)) &&
                        put(o, "wipe_on_fork", PyBool_FromLong(s.wipe_on_fork)) &&
                        put(o, "page_size", PyLong_FromUnsignedLongLong(s.page_size)) &&
                        // The policy is fixed here if nothing needed it before.
                        put(o, "lock_policy", PyUnicode_FromString(lock_policy_name(lock_policy()))) &&
                        put(o, "live_secrets", PyLong_FromUnsignedLongLong(s.counters.live_secrets)) &&
                        put(o, "unlocked_allocations", PyLong_FromUnsignedLongLong(s.counters.unlocked_allocations)) &&
                        put(o, "last_lock_errno", PyLong_FromLong(s.counters.last_lock_errno)) &&
                        put(o, "memlock_soft", optional_int(s.memlock.soft)) &&
                        put(o, "memlock_hard", optional_int(s.memlock.hard)) &&
                        put(o, "ipc_lock_permitted", optional_bool(s.ipc_lock.permitted)) &&
                        put(o, "ipc_lock_effective", optional_bool(s.ipc_lock.effective));
        return ok ? d.release() : nullptr;
    });
}

PyObject* harden_process(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const HardenResult r = qv::harden_process();
        PyRef d(PyDict_New());
        if (!d) return nullptr;
        PyObject* o = d.get();
        const bool ok = put(o, "platform", PyUnicode_FromString(r.platform)) &&
                        put(o, "core_dumps_disabled", PyBool_FromLong(r.core_dumps_disabled)) &&
                        put(o, "ptrace_restricted", PyBool_FromLong(r.ptrace_restricted)) &&
                        put(o, "memlock_soft_raised", PyBool_FromLong(r.memlock_soft_raised)) &&
                        put(o, "memlock_soft", optional_int(r.memlock.soft)) &&
                        put(o, "memlock_hard", optional_int(r.memlock.hard));
        return ok ? d.release() : nullptr;
    });
}

}  // namespace

PyObject* libcrypto_info_new() {
    const evp::LibcryptoInfo info = evp::libcrypto_info();
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    PyObject* o = d.get();
    const bool ok = put(o, "version", PyUnicode_FromString(info.version)) &&
                    put(o, "origin", PyUnicode_FromString(info.bundled ? "bundled" : "system")) &&
                    put(o, "debian_source", info.debian_source ? PyUnicode_FromString(info.debian_source)
                                                               : Py_NewRef(Py_None));
    return ok ? d.release() : nullptr;
}

PyMethodDef memory_status_def = {
    "memory_status", memory_status, METH_NOARGS,
    "memory_status()\n--\n\n"
    "🇺🇸 What the enclave can and cannot guarantee right now, for logs and `quorvex status`.\n"
    "🇧🇷 O que o enclave pode e não pode garantir agora, para logs e `quorvex status`."};

PyMethodDef harden_process_def = {
    "harden_process", harden_process, METH_NOARGS,
    "harden_process()\n--\n\n"
    "🇺🇸 Applies every hardening step available on this platform; returns what took effect. Idempotent.\n"
    "🇧🇷 Aplica todo passo de hardening disponível nesta plataforma; devolve o que teve efeito. Idempotente."};

}  // namespace qv::py
