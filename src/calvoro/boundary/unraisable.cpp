// unraisable.cpp: the two reports of a swallowed exception.
#include "unraisable.hpp"

#include "ref.hpp"

namespace calvoro::boundary {

void
report_unraisable(const char *context)
{
    assert(PyErr_Occurred());
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // both reports must show the very same exception object
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) {
        PyException_SetTraceback(value, traceback);
    }
    Ref keep_type = Ref::new_ref(type);
    Ref keep_value = Ref::new_ref(value);
    Ref keep_traceback = Ref::new_ref(traceback);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(1);

    Ref context_object = Ref::steal(PyUnicode_FromString(context));
    if (!context_object) {
        PyErr_Clear();
        context_object = Ref::new_ref(Py_None);
    }
    PyErr_Restore(keep_type.release(), keep_value.release(),
                  keep_traceback.release());
    PyErr_WriteUnraisable(context_object.get());
}

}  // namespace calvoro::boundary
