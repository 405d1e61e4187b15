// unraisable.cpp: the two reports of a swallowed exception.
#include "unraisable.hpp"

#include "../api/ref.hpp"

namespace calvoro::boundary {

void
report_unraisable(const char *context)
{
    assert(PyErr_Occurred());
    // both reports must show the very same exception object, normalized
    // and with its traceback
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetRaisedException(Py_XNewRef(exc.get()));
    PyErr_PrintEx(1);

    Ref context_object = Ref::steal(PyUnicode_FromString(context));
    if (!context_object) {
        PyErr_Clear();
        context_object = Ref::new_ref(Py_None);
    }
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(context_object.get());
}

}  // namespace calvoro::boundary
