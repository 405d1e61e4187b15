/* floor.c: the least an exact in-place merge can cost through the public
 * dict API: one PyDict_SetDefault per key, PyDict_SetItem to replace.
 * Built for the benchmark only; no recursion guard, and plain data assumed
 * (no code can run during a lookup), which is why it is no contender. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef PyDict_GET_SIZE
#define PyDict_GET_SIZE(dict) (((PyDictObject *)(dict))->ma_used)
#endif

static int
merge(PyObject *first, PyObject *second)
{
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(second, &position, &key, &value)) {
        Py_ssize_t before = PyDict_GET_SIZE(first);
        PyObject *existing = PyDict_SetDefault(first, key, value);
        int failed;
        if (!existing) {
            return -1;
        }
        if (PyDict_GET_SIZE(first) != before) {
            continue;
        }
        if (PyDict_Check(existing) && PyDict_Check(value)) {
            Py_INCREF(existing);
            Py_INCREF(value);
            failed = merge(existing, value);
            Py_DECREF(existing);
            Py_DECREF(value);
        }
        else {
            failed = PyDict_SetItem(first, key, value);
        }
        if (failed) {
            return -1;
        }
    }
    return 0;
}

static PyObject *
merge_inplace(PyObject *self, PyObject *args)
{
    PyObject *first, *second;
    if (!PyArg_ParseTuple(args, "O!O!:merge_inplace", &PyDict_Type, &first,
                          &PyDict_Type, &second)) {
        return NULL;
    }
    if (merge(first, second) != 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"merge_inplace", merge_inplace, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "calvoro_floor", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_calvoro_floor(void)
{
    return PyModule_Create(&module);
}
