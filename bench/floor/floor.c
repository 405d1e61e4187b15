/* floor.c: the least an exact in-place merge can cost through the public
 * dict API, two ways.
 *
 * merge_inplace: one PyDict_SetDefault per key, PyDict_SetItem to replace.
 * merge_inplace_value_first: looks at the later value first; a key is
 * looked up only when that value is a dict, and every other value is
 * stored with PyDict_SetItem straight away. Most values of an override are
 * not dicts, so this pays one hash lookup per key where the other pays two
 * for every replaced key.
 *
 * Built for the benchmark only; no recursion guard, and plain data assumed
 * (no code can run during a lookup), which is why they are no contenders. */
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

static int
merge_value_first(PyObject *first, PyObject *second)
{
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(second, &position, &key, &value)) {
        int failed;
        if (PyDict_Check(value)) {
            PyObject *existing = PyDict_GetItemWithError(first, key);
            if (existing && PyDict_Check(existing)) {
                /* borrowed: held across the nested merge, as merge()
                 * holds them */
                Py_INCREF(existing);
                Py_INCREF(value);
                failed = merge_value_first(existing, value);
                Py_DECREF(existing);
                Py_DECREF(value);
                if (failed) {
                    return -1;
                }
                continue;
            }
            if (!existing && PyErr_Occurred()) {
                return -1;
            }
        }
        if (PyDict_SetItem(first, key, value) != 0) {
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

static PyObject *
merge_inplace_value_first(PyObject *self, PyObject *args)
{
    PyObject *first, *second;
    if (!PyArg_ParseTuple(args, "O!O!:merge_inplace_value_first",
                          &PyDict_Type, &first, &PyDict_Type, &second)) {
        return NULL;
    }
    if (merge_value_first(first, second) != 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"merge_inplace", merge_inplace, METH_VARARGS, NULL},
    {"merge_inplace_value_first", merge_inplace_value_first, METH_VARARGS,
     NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "calvoro_floor", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_calvoro_floor(void)
{
    PyObject *m = PyModule_Create(&module);
#ifdef Py_GIL_DISABLED
    /* Undeclared, the import would turn the GIL back on for the whole
     * process, and a free-threaded run would be timed with a GIL. The
     * merges hold borrowed references: one thread only, as the benchmark
     * calls them. */
    if (m && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return NULL;
    }
#endif
    return m;
}
