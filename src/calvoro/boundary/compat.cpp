// compat.cpp: the version-specific constructors behind compat.hpp.
#include "compat.hpp"

#include "ref.hpp"

namespace calvoro::compat {

PyObject *
new_code_object(int argcount, PyObject *varnames, PyObject *filename,
                PyObject *name, int firstlineno)
{
    constexpr int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    if (!empty_bytes || !empty_tuple) {
        return nullptr;
    }
    PyObject *b = empty_bytes.get();
    PyObject *t = empty_tuple.get();
    // 3.11+ refuse an nlocals that differs from len(varnames)
    int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if CALVORO_PY312
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, name, firstlineno, b, b);
#elif CALVORO_PY311
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, name, firstlineno, b, b);
#elif CALVORO_PY38
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, firstlineno, b);
#else
    PyCodeObject *code =
        PyCode_New(argcount, 0, nlocals, 0, flags, b, t, t, varnames, t, t,
                   filename, name, firstlineno, b);
#endif
#if !CALVORO_PY311
    if (code) {
        // the constructor adds CO_NOFREE, which the flags do not claim
        code->co_flags &= ~CO_NOFREE;
    }
#endif
    return reinterpret_cast<PyObject *>(code);
}

}  // namespace calvoro::compat
