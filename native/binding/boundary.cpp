#include "binding/boundary.hpp"

#include <string>

#include "binding/pyref.hpp"

namespace qv::py {

namespace {

PyObject* g_panic = nullptr;
PyObject* g_secure_error = nullptr;

constexpr const char kSecureErrorDoc[] =
    "\xF0\x9F\x87\xBA\xF0\x9F\x87\xB8 Raised by the native enclave: locking, key material or authentication failed. "
    "\xF0\x9F\x87\xA7\xF0\x9F\x87\xB7 Lan\xC3\xA7" "ada pelo enclave nativo: travamento, material de chave ou "
    "autentica\xC3\xA7\xC3\xA3o falhou.";

// str() of the exception currently set (cleared), for wrapping it.
std::string take_exception_text() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t(type), v(value), b(tb);
    std::string text;
    if (v) {
        PyRef s(PyObject_Str(v.get()));
        if (s) {
            Py_ssize_t n = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n);
            if (utf8 != nullptr) text.assign(utf8, static_cast<std::size_t>(n));
        }
    }
    PyErr_Clear();
    return text;
}

}  // namespace

PyObject* panic_exception() { return g_panic; }
PyObject* secure_error() { return g_secure_error; }

int ensure_panic_exception() {
    if (g_panic != nullptr) return 0;
    g_panic = PyErr_NewExceptionWithDoc(
        "quorvex._secure.PanicException",
        "An internal fault of the native enclave, caught before it could crash the interpreter.",
        PyExc_BaseException, nullptr);
    return g_panic == nullptr ? -1 : 0;
}

int ensure_secure_error() {
    if (g_secure_error != nullptr) return 0;
    PyRef base;
    {
        PyRef errors(PyImport_ImportModule("quorvex.errors"));
        if (errors) base = PyRef(PyObject_GetAttrString(errors.get(), "CryptoError"));
    }
    if (base && !PyType_Check(base.get())) {
        PyErr_SetString(PyExc_TypeError, "quorvex.errors.CryptoError is not a class");
    }
    if (PyErr_Occurred()) {
        const std::string why = take_exception_text();
        raise_panic(("failed to import exception quorvex.errors.CryptoError: " + why).c_str());
        return -1;
    }
    PyObject* cls = PyErr_NewExceptionWithDoc("quorvex._secure.SecureError", kSecureErrorDoc, base.get(), nullptr);
    if (cls == nullptr) {
        PyErr_Clear();
        raise_panic("Failed to initialize new exception type.");
        return -1;
    }
    g_secure_error = cls;
    return 0;
}

PyObject* raise(const Error& error) {
    const std::string message = render(error);
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    if (g_secure_error == nullptr) return raise_panic("SecureError is not initialised");
    PyErr_SetObject(g_secure_error, text.get());
    return nullptr;
}

PyObject* raise_panic(const char* text) {
    PyErr_SetString(g_panic != nullptr ? g_panic : PyExc_SystemError, text);
    return nullptr;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
}

}  // namespace qv::py
