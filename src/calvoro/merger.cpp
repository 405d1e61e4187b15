// merger.cpp: calvoro._merger, the native side of calvoro.Merger.
//
// NativeMerger holds a Merger's options, validated by calvoro.Merger (its
// subclass) and handed over as codes, and has its four merge methods, so
// that a call reaches the core with no Python code in between. The merges
// raise every failure, as anyfold's do, and keep what was merged before it.
#include "boundary/copy/plain_copy.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/module/loading.hpp"
#include "merger_core.hpp"
#include "merger_explain.hpp"
#include "merger_module.hpp"
#include "merger_values.hpp"

#include <utility>

namespace calvoro::merger {

boundary::ModuleRecord record = {
    {
        "_merger",
        "calvoro._merger",
        "init calvoro._merger",
        "src/calvoro/_merger",
    },
    {},
};

Constants constants;

namespace {

using compat::c_text;

struct MergerObject {
    PyObject_HEAD
    Options options;
    PyObject *given;          // the options as calvoro.Merger took them
    PyObject *mappings;       // what options.mappings borrows, or nullptr
    PyObject *marker;         // what options.marker borrows, or nullptr
    PyObject *conflict_type;  // called to make a conflict
    PyObject *expected;       // str: what a mapping must be, for messages
};

PyTypeObject merger_type;

MergerObject *
as_merger(PyObject *obj)
{
    return reinterpret_cast<MergerObject *>(obj);
}

// ---------------------------------------------------------------------------
// Options

// The codes each option takes (Join's values), or -1.
constexpr int list_joins[] = {0, 1, 2, 3, 4, 5, 6, 7, -1};
constexpr int set_joins[] = {0, 1, 2, 8, 9, -1};
constexpr int tuple_joins[] = {0, 1, 2, 3, -1};
constexpr int conflict_joins[] = {1, 2, 10, -1};
constexpr int type_conflict_joins[] = {0, 1, 2, 10, -1};

bool
to_join(int code, const int *allowed, const char *option, Join *join)
{
    for (const int *a = allowed; *a >= 0; a++) {
        if (*a == code) {
            *join = static_cast<Join>(code);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "no such code of %s: %d", option, code);
    return false;
}

PyObject *
merger_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static char *keywords[] = {
        c_text("given"),          c_text("mappings"), c_text("lists"),
        c_text("sets"),           c_text("tuples"),   c_text("conflicts"),
        c_text("type_conflicts"), c_text("marker"),   c_text("copy"),
        c_text("conflict_type"),  c_text("expected"), nullptr,
    };
    PyObject *given;
    PyObject *mappings;
    int lists, sets, tuples, conflicts, type_conflicts, copy;
    PyObject *marker;
    PyObject *conflict_type;
    PyObject *expected;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "O!OiiiiiO!pOU:NativeMerger", keywords,
            &PyTuple_Type, &given, &mappings, &lists, &sets, &tuples,
            &conflicts, &type_conflicts, &PyTuple_Type, &marker, &copy,
            &conflict_type, &expected)) {
        return nullptr;
    }
    Options options = {};
    if (!to_join(lists, list_joins, "lists", &options.lists) ||
        !to_join(sets, set_joins, "sets", &options.sets) ||
        !to_join(tuples, tuple_joins, "tuples", &options.tuples) ||
        !to_join(conflicts, conflict_joins, "conflicts", &options.conflicts) ||
        !to_join(type_conflicts, type_conflict_joins, "type_conflicts",
                 &options.type_conflicts)) {
        return nullptr;
    }
    if (PyTuple_GET_SIZE(marker) > 1) {
        PyErr_SetString(PyExc_ValueError, "marker: one object, or none");
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    MergerObject *m = as_merger(self.get());
    m->given = Py_NewRef(given);
    m->mappings = mappings == Py_None ? nullptr : Py_NewRef(mappings);
    m->marker = PyTuple_GET_SIZE(marker)
                    ? Py_NewRef(PyTuple_GET_ITEM(marker, 0))
                    : nullptr;
    m->conflict_type = Py_NewRef(conflict_type);
    m->expected = Py_NewRef(expected);
    options.mappings = m->mappings;
    options.marker = m->marker;
    options.copy = copy != 0;
    options.settle();
    m->options = options;
    return self.release();
}

int
merger_traverse(PyObject *self, visitproc visit, void *arg)
{
    MergerObject *m = as_merger(self);
    Py_VISIT(m->given);
    Py_VISIT(m->mappings);
    Py_VISIT(m->marker);
    Py_VISIT(m->conflict_type);
    Py_VISIT(m->expected);
    return 0;
}

// No tp_clear: the options stay whole for as long as the object lives, as
// a tuple's items do; a cycle through it is broken at its other members.
void
merger_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    MergerObject *m = as_merger(self);
    Py_CLEAR(m->given);
    Py_CLEAR(m->mappings);
    Py_CLEAR(m->marker);
    Py_CLEAR(m->conflict_type);
    Py_CLEAR(m->expected);
    Py_TYPE(self)->tp_free(self);
}

PyObject *
merger_get_options(PyObject *self, void *)
{
    return Py_NewRef(as_merger(self)->given);
}

// ---------------------------------------------------------------------------
// Merges

// Whether `obj` passes the mapping test; else TypeError, naming the
// method and the argument (`name`, or mappings[index] when not null).
bool
check_mapping(PyObject *self, PyObject *obj, const char *method,
              const char *name, Py_ssize_t index = -1)
{
    MergerObject *m = as_merger(self);
    const Found found = is_mapping(m->options, obj);
    if (found != Found::no) {
        return found == Found::yes;
    }
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%.100s.%s(): %s must be %U, not %.200s",
                     type_name(self), method, name, m->expected,
                     type_name(obj));
    }
    else {
        PyErr_Format(
            PyExc_TypeError, "%.100s.%s(): %s[%zd] must be %U, not %.200s",
            type_name(self), method, name, index, m->expected, type_name(obj));
    }
    return false;
}

// check_mapping of each item of the tuple `mappings`, named name[index].
bool
check_each(PyObject *self, PyObject *mappings, const char *method,
           const char *name)
{
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mappings); i < n; i++) {
        if (!check_mapping(self, PyTuple_GET_ITEM(mappings, i), method, name,
                           i)) {
            return false;
        }
    }
    return true;
}

bool
merge_pair(PyObject *self, PyObject *first_mapping, PyObject *second_mapping)
{
    MergerObject *m = as_merger(self);
    return merge_into(m->options, m->conflict_type, first_mapping,
                      second_mapping);
}

char *pair_keywords[] = {c_text("first"), c_text("second"), nullptr};

// Binds (first, second) and tests both; held, as a keyword mapping may be
// the caller's and change.
bool
bind_pair(PyObject *self, PyObject *args, PyObject *kwargs, const char *format,
          const char *method, Ref *first, Ref *second)
{
    PyObject *first_mapping;
    PyObject *second_mapping;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, pair_keywords,
                                     &first_mapping, &second_mapping)) {
        return false;
    }
    *first = Ref::new_ref(first_mapping);
    *second = Ref::new_ref(second_mapping);
    return check_mapping(self, first->get(), method, "first") &&
           check_mapping(self, second->get(), method, "second");
}

PyObject *
merger_merge(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Ref first;
    Ref second;
    if (!bind_pair(self, args, kwargs, "OO:merge", "merge", &first, &second)) {
        return nullptr;
    }
    Ref result = deep_copy(first.get());
    if (!result || !merge_pair(self, result.get(), second.get())) {
        return nullptr;
    }
    return result.release();
}

PyDoc_STRVAR(merge_doc,
             "merge($self, /, first, second)\n"
             "--\n\n"
             "Merge `second` into a deep copy of `first`, as the options "
             "say; return the copy.");

PyObject *
merger_merge_inplace(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Ref first;
    Ref second;
    if (!bind_pair(self, args, kwargs, "OO:merge_inplace", "merge_inplace",
                   &first, &second) ||
        !merge_pair(self, first.get(), second.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_inplace_doc,
             "merge_inplace($self, /, first, second)\n"
             "--\n\n"
             "Merge `second` into `first` itself, as the options say; "
             "return None.");

char *many_keywords[] = {c_text("mappings"), nullptr};

// The mappings of merge_many*, as a tuple of at least two that pass the
// mapping test.
Ref
bind_many(PyObject *self, PyObject *args, PyObject *kwargs, const char *format,
          const char *method)
{
    PyObject *mappings;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, many_keywords,
                                     &mappings)) {
        return Ref();
    }
    if (!Py_TYPE(mappings)->tp_iter && !PySequence_Check(mappings)) {
        PyErr_Format(PyExc_TypeError,
                     "%.100s.%s(): mappings must be an iterable of "
                     "mappings, not %.200s",
                     type_name(self), method, type_name(mappings));
        return Ref();
    }
    // a tuple of its own: a list may change while it is merged
    Ref all = Ref::steal(PySequence_Tuple(mappings));
    if (!all) {
        return Ref();
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(all.get());
    if (n < 2) {
        PyErr_Format(PyExc_ValueError,
                     "%.100s.%s(): mappings must hold at least two "
                     "mappings, not %zd",
                     type_name(self), method, n);
        return Ref();
    }
    if (!check_each(self, all.get(), method, "mappings")) {
        return Ref();
    }
    return all;
}

// Merges mappings[1:] into consumer, one after another.
bool
fold(PyObject *self, PyObject *consumer, PyObject *mappings)
{
    for (Py_ssize_t i = 1, n = PyTuple_GET_SIZE(mappings); i < n; i++) {
        if (!merge_pair(self, consumer, PyTuple_GET_ITEM(mappings, i))) {
            return false;
        }
    }
    return true;
}

PyObject *
merger_merge_many(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Ref mappings = bind_many(self, args, kwargs, "O:merge_many", "merge_many");
    if (!mappings) {
        return nullptr;
    }
    Ref result = deep_copy(PyTuple_GET_ITEM(mappings.get(), 0));
    if (!result || !fold(self, result.get(), mappings.get())) {
        return nullptr;
    }
    return result.release();
}

PyDoc_STRVAR(merge_many_doc,
             "merge_many($self, /, mappings)\n"
             "--\n\n"
             "Merge the mappings, left to right, into a deep copy of the "
             "first; return the copy.");

PyObject *
merger_merge_many_inplace(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Ref mappings = bind_many(self, args, kwargs, "O:merge_many_inplace",
                             "merge_many_inplace");
    if (!mappings ||
        !fold(self, PyTuple_GET_ITEM(mappings.get(), 0), mappings.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_many_inplace_doc,
             "merge_many_inplace($self, /, mappings)\n"
             "--\n\n"
             "Merge the mappings, left to right, into the first; return "
             "None.");

PyObject *
merger_explain(PyObject *self, PyObject *args)
{
    PyObject *layers;
    PyObject *names;
    PyObject *record_class;
    if (!PyArg_ParseTuple(args, "O!O!O!:_explain", &PyTuple_Type, &layers,
                          &PyTuple_Type, &names, &PyType_Type,
                          &record_class)) {
        return nullptr;
    }
    PyTypeObject *record_type = reinterpret_cast<PyTypeObject *>(record_class);
    if (!PyType_IsSubtype(record_type, &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError,
                        "_explain(): record_class must be a tuple's subclass");
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(layers);
    if (n < 2 || PyTuple_GET_SIZE(names) != n) {
        PyErr_SetString(PyExc_ValueError,
                        "_explain(): at least two layers, and a name each");
        return nullptr;
    }
    if (!check_each(self, layers, "_explain", "layers")) {
        return nullptr;
    }
    MergerObject *m = as_merger(self);
    return explain_layers(m->options, m->conflict_type, layers, names,
                          record_type)
        .release();
}

PyDoc_STRVAR(explain_doc,
             "_explain($self, layers, names, record_class, /)\n"
             "--\n\n"
             "(result, origins, conflicts) of the layers (a tuple of "
             "mappings) named by `names`, each conflict a record_class: "
             "calvoro.explain's native part.");

// ---------------------------------------------------------------------------
// The type

constexpr int method_flags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef merger_methods[] = {
    {"merge", compat::as_cfunction(merger_merge), method_flags, merge_doc},
    {"merge_inplace", compat::as_cfunction(merger_merge_inplace), method_flags,
     merge_inplace_doc},
    {"merge_many", compat::as_cfunction(merger_merge_many), method_flags,
     merge_many_doc},
    {"merge_many_inplace", compat::as_cfunction(merger_merge_many_inplace),
     method_flags, merge_many_inplace_doc},
    {"_explain", merger_explain, METH_VARARGS, explain_doc},
    {},
};

PyGetSetDef merger_getset[] = {
    {c_text("_options"), merger_get_options, nullptr,
     c_text("the options as given, in the order of calvoro.Merger's"),
     nullptr},
    {},
};

PyDoc_STRVAR(merger_doc,
             "The options and merges of calvoro.Merger, which validates "
             "the options.");

bool
merger_type_ready()
{
    PyTypeObject &t = merger_type;
    if (t.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    t.tp_name = "calvoro._merger.NativeMerger";
    t.tp_basicsize = sizeof(MergerObject);
    t.tp_dealloc = merger_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = merger_doc;
    t.tp_traverse = merger_traverse;
    t.tp_methods = merger_methods;
    t.tp_getset = merger_getset;
    t.tp_new = merger_new;
    return PyType_Ready(&t) == 0;
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef module_methods[] = {
    {},
};

bool
make_names()
{
    static constexpr const char *outcomes[] = {
        "replace", "replace",       "keep",      "append",
        "prepend", "append_unique", "append_rp", "prepend_rp",
        "union",   "intersect",     "error",
    };
    static_assert(sizeof outcomes / sizeof *outcomes ==
                  sizeof constants.outcomes / sizeof *constants.outcomes);
    for (int i = 0; i < int(sizeof outcomes / sizeof *outcomes); i++) {
        if (!boundary::intern(&constants.outcomes[i], outcomes[i])) {
            return false;
        }
    }
    return boundary::intern(&constants.deepcopy, "deepcopy") &&
           boundary::intern(&constants.copy, "copy") &&
           boundary::intern(&constants.first_layer, "first_layer") &&
           boundary::intern(&constants.second_layer, "second_layer");
}

int
body(PyObject *globals)
{
    constexpr int import_copy = 1;
    constexpr int define_type = 2;
    PyObject *const names[] = {constants.deepcopy, constants.copy};
    if (!boundary::import_from(record, "copy", names, 2)) {
        return import_copy;
    }
    boundary::learn_standard_deepcopy(
        PyDict_GetItem(globals, constants.deepcopy));
    // copy=True copies value by value
    boundary::check_standard_by_version();
    if (PyDict_SetItemString(globals, "NativeMerger",
                             reinterpret_cast<PyObject *>(&merger_type)) !=
        0) {
        return define_type;
    }
    return 0;
}

const boundary::ModuleHooks hooks = {merger_type_ready, make_names, body};

}  // namespace

}  // namespace calvoro::merger

CALVORO_MODINIT
PyInit__merger(void)
{
    using namespace calvoro::merger;
    return calvoro::boundary::ModuleDefinition<record, hooks,
                                               module_methods>::init();
}
