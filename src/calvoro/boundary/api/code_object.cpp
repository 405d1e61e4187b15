// code_object.cpp: one constructor call per version, or replace() on the
// portable route.
#include "code_object.hpp"

#include "ref.hpp"

namespace calvoro::compat {

#if CALVORO_PORTABLE
// The constructor's signature is unstable across versions: start from an
// empty code object and let replace() fill in and check the rest.
PyObject *
new_code_object(int argcount, PyObject *varnames, PyObject *filename,
                PyObject *name, int firstlineno)
{
    const char *file_text = PyUnicode_AsUTF8(filename);
    const char *name_text = file_text ? PyUnicode_AsUTF8(name) : nullptr;
    if (!name_text) {
        return nullptr;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(file_text, name_text, firstlineno)));
    Ref replace =
        code ? Ref::steal(PyObject_GetAttrString(code.get(), "replace"))
             : Ref();
    Ref args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:i,s:n,s:O,s:i,s:y,s:y,s:y,s:i,s:(),s:()}", "co_argcount", argcount,
        "co_nlocals", PyTuple_GET_SIZE(varnames), "co_varnames", varnames,
        "co_flags", CO_OPTIMIZED | CO_NEWLOCALS, "co_code", "", "co_linetable",
        "", "co_exceptiontable", "", "co_stacksize", 0, "co_consts",
        "co_names"));
    if (!replace || !args || !kwargs) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), args.get(), kwargs.get());
}
#else
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
    // renamed into the unstable tier (gh-101101)
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, name, firstlineno, b, b);
#elif CALVORO_PY311
    // a qualified name and an exception table (bpo-44530)
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, name, firstlineno, b, b);
#elif CALVORO_PY38
    // positional-only parameters (bpo-37221)
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
#endif

}  // namespace calvoro::compat
