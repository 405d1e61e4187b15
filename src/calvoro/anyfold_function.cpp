// anyfold_function.cpp: anyfold's function type.
#include "anyfold_function.hpp"

#include <structmember.h>

#include <cstddef>

#include "boundary/api/code_object.hpp"
#include "boundary/module/binding.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/sync/locks.hpp"

namespace calvoro::anyfold {

namespace {

using compat::c_text;

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef *def;
    PyObject *name;      // str
    PyObject *qualname;  // str
    PyObject *module;    // any object, or nullptr after deletion
    PyObject *globals;
    PyObject *code;
    PyObject *doc;          // made from def->doc on first read
    PyObject *annotations;  // dict, or nullptr once cleared
    PyObject *defaults;     // tuple or nullptr
    PyObject *kwdefaults;   // dict or nullptr
    PyObject *dict;         // instance dict, made on first use
    PyObject *closure;      // always nullptr: reads as None
    PyObject *self;         // always nullptr: reads as None
    PyObject *weakreflist;
};

PyTypeObject function_type;

FunctionObject *
as_function(PyObject *obj)
{
    return reinterpret_cast<FunctionObject *>(obj);
}

// Stores a new reference to `value` (may be nullptr) in `slot`.
void
replace(PyObject **slot, PyObject *value)
{
    Py_XSETREF(*slot, Py_XNewRef(value));
}

PyObject *
or_none(PyObject *value)
{
    return Py_NewRef(value ? value : Py_None);
}

// The setter of an attribute that may hold None, read as its absence, or an
// object of one type (tested by `check`); `message` refuses anything else.
int
set_optional(PyObject **slot, PyObject *value, int (*check)(PyObject *),
             const char *message)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace(slot, value);
    return 0;
}

int
is_dict(PyObject *obj)
{
    return PyDict_Check(obj);
}

int
is_tuple(PyObject *obj)
{
    return PyTuple_Check(obj);
}

int
set_string(PyObject **slot, PyObject *value, const char *message)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace(slot, value);
    return 0;
}

PyObject *
function_get_name(PyObject *self, void *)
{
    return Py_NewRef(as_function(self)->name);
}

int
function_set_name(PyObject *self, PyObject *value, void *)
{
    return set_string(&as_function(self)->name, value,
                      "__name__ must be set to a string object");
}

PyObject *
function_get_qualname(PyObject *self, void *)
{
    return Py_NewRef(as_function(self)->qualname);
}

int
function_set_qualname(PyObject *self, PyObject *value, void *)
{
    return set_string(&as_function(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject *
function_get_doc(PyObject *self, void *)
{
    FunctionObject *f = as_function(self);
    if (!f->doc) {
        f->doc = PyUnicode_FromString(f->def->doc);
    }
    return Py_XNewRef(f->doc);
}

int
function_set_doc(PyObject *self, PyObject *value, void *)
{
    replace(&as_function(self)->doc, value ? value : Py_None);
    return 0;
}

PyObject *
function_get_annotations(PyObject *self, void *)
{
    FunctionObject *f = as_function(self);
    if (!f->annotations) {
        // never None: signature introspection needs a dict
        f->annotations = PyDict_New();
    }
    return Py_XNewRef(f->annotations);
}

int
function_set_annotations(PyObject *self, PyObject *value, void *)
{
    return set_optional(&as_function(self)->annotations, value, is_dict,
                        "__annotations__ must be set to a dict object");
}

PyObject *
function_get_defaults(PyObject *self, void *)
{
    return or_none(as_function(self)->defaults);
}

int
function_set_defaults(PyObject *self, PyObject *value, void *)
{
    return set_optional(&as_function(self)->defaults, value, is_tuple,
                        "__defaults__ must be set to a tuple object");
}

PyObject *
function_get_kwdefaults(PyObject *self, void *)
{
    return or_none(as_function(self)->kwdefaults);
}

int
function_set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    return set_optional(&as_function(self)->kwdefaults, value, is_dict,
                        "__kwdefaults__ must be set to a dict object");
}

PyObject *
function_get_dict(PyObject *self, void *)
{
    FunctionObject *f = as_function(self);
    if (!f->dict) {
        f->dict = PyDict_New();
    }
    return Py_XNewRef(f->dict);
}

int
function_set_dict(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError,
                        "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "setting function's dictionary to a non-dict");
        return -1;
    }
    replace(&as_function(self)->dict, value);
    return 0;
}

// Without the global lock two threads may make or replace an attribute at
// once: each getter and setter runs under the object's lock, which is no
// lock at all with the global one.
template <getter get>
PyObject *
locked_get(PyObject *self, void *closure)
{
    sync::ObjectGuard locked(self);
    return get(self, closure);
}

template <setter set>
int
locked_set(PyObject *self, PyObject *value, void *closure)
{
    sync::ObjectGuard locked(self);
    return set(self, value, closure);
}

PyGetSetDef function_getset[] = {
    {c_text("__name__"), locked_get<function_get_name>,
     locked_set<function_set_name>, nullptr, nullptr},
    {c_text("func_name"), locked_get<function_get_name>,
     locked_set<function_set_name>, nullptr, nullptr},
    {c_text("__qualname__"), locked_get<function_get_qualname>,
     locked_set<function_set_qualname>, nullptr, nullptr},
    {c_text("__doc__"), locked_get<function_get_doc>,
     locked_set<function_set_doc>, nullptr, nullptr},
    {c_text("func_doc"), locked_get<function_get_doc>,
     locked_set<function_set_doc>, nullptr, nullptr},
    {c_text("__annotations__"), locked_get<function_get_annotations>,
     locked_set<function_set_annotations>, nullptr, nullptr},
    {c_text("__defaults__"), locked_get<function_get_defaults>,
     locked_set<function_set_defaults>, nullptr, nullptr},
    {c_text("func_defaults"), locked_get<function_get_defaults>,
     locked_set<function_set_defaults>, nullptr, nullptr},
    {c_text("__kwdefaults__"), locked_get<function_get_kwdefaults>,
     locked_set<function_set_kwdefaults>, nullptr, nullptr},
    {c_text("__dict__"), locked_get<function_get_dict>,
     locked_set<function_set_dict>, nullptr, nullptr},
    {c_text("func_dict"), locked_get<function_get_dict>,
     locked_set<function_set_dict>, nullptr, nullptr},
    {},
};

#define CALVORO_MEMBER(name, field, flags) \
    {c_text(name), T_OBJECT, offsetof(FunctionObject, field), flags, nullptr}
PyMemberDef function_members[] = {
    CALVORO_MEMBER("__module__", module, 0),
    CALVORO_MEMBER("__globals__", globals, READONLY),
    CALVORO_MEMBER("func_globals", globals, READONLY),
    CALVORO_MEMBER("__code__", code, READONLY),
    CALVORO_MEMBER("func_code", code, READONLY),
    CALVORO_MEMBER("__closure__", closure, READONLY),
    CALVORO_MEMBER("func_closure", closure, READONLY),
    CALVORO_MEMBER("__self__", self, READONLY),
    {},
};
#undef CALVORO_MEMBER

// Pickled by reference: the global of this name in __module__.
PyObject *
function_reduce(PyObject *self, PyObject *)
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", compat::as_cfunction(function_reduce), METH_VARARGS,
     nullptr},
    {},
};

PyObject *
function_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    const FunctionDef *def = as_function(self)->def;
    switch (def->form) {
    case CallForm::pair:
        return def->call_pair(args, kwargs);
    case CallForm::single:
        PyObject *arg =
            boundary::bind_single_argument(args, kwargs, def->name);
        return arg ? def->call_single(arg) : nullptr;
    }
    return nullptr;
}

PyObject *
function_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (!obj || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *
function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<calvoro_function %U at %p>",
                                as_function(self)->qualname, self);
}

int
function_traverse(PyObject *self, visitproc visit, void *arg)
{
    FunctionObject *f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    return 0;
}

int
function_clear(PyObject *self)
{
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    return 0;
}

void
function_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
}

}  // namespace

bool
function_type_ready()
{
    PyTypeObject &t = function_type;
    if (t.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    // filled field by field: the record's tail differs between versions
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "calvoro_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&t) == 0;
}

Ref
function_new(const FunctionDef *def, PyObject *module_name, PyObject *globals,
             PyObject *code, PyObject *annotations)
{
    Ref name = Ref::steal(PyUnicode_FromString(def->name));
    if (!name) {
        return Ref();
    }
    FunctionObject *f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) {
        return Ref();
    }
    f->def = def;
    f->name = Py_NewRef(name.get());
    f->qualname = name.release();
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    f->code = Py_NewRef(code);
    f->doc = nullptr;
    f->annotations = Py_NewRef(annotations);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    f->closure = nullptr;
    f->self = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject *>(f));
}

bool
function_has_def(PyObject *obj, const FunctionDef *def)
{
    return Py_TYPE(obj) == &function_type && as_function(obj)->def == def;
}

// ---------------------------------------------------------------------------
// Definition statements

namespace {

// The value of an annotation, its names looked up in evaluation order.
Ref
evaluate(boundary::ModuleRecord &module, const Annotation &annotation)
{
    if (!annotation.generic) {
        return Ref::new_ref(Py_None);
    }
    Ref generic = boundary::lookup_global(module, *annotation.generic);
    if (!generic || annotation.nargs == 0) {
        return generic;
    }
    Ref args[2];
    for (int i = 0; i < annotation.nargs; i++) {
        args[i] = boundary::lookup_global(module, *annotation.args[i]);
        if (!args[i]) {
            return Ref();
        }
    }
    Ref index =
        annotation.nargs == 1
            ? Ref::new_ref(args[0].get())
            : Ref::steal(PyTuple_Pack(2, args[0].get(), args[1].get()));
    if (!index) {
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(generic.get(), index.get()));
}

}  // namespace

bool
make_code(boundary::ModuleRecord &module, Definition &definition)
{
    if (definition.code) {
        return true;
    }
    Ref varnames = Ref::steal(PyTuple_New(definition.nvarnames));
    if (!varnames) {
        return false;
    }
    for (int i = 0; i < definition.nvarnames; i++) {
        PyTuple_SET_ITEM(varnames.get(), i,
                         Py_NewRef(*definition.varnames[i]));
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(definition.def->name));
    if (!name) {
        return false;
    }
    definition.code = compat::new_code_object(
        definition.argcount, varnames.get(), module.state.filename, name.get(),
        definition.line);
    return definition.code != nullptr;
}

bool
define(boundary::ModuleRecord &module, const Definition &definition,
       PyObject *module_name)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return false;
    }
    for (int i = 0; i < definition.nannotations; i++) {
        const Annotation &annotation = definition.annotations[i];
        Ref value = evaluate(module, annotation);
        if (!value || PyDict_SetItem(annotations.get(), *annotation.key,
                                     value.get()) != 0) {
            return false;
        }
    }
    PyObject *globals = module.state.globals;
    Ref function = function_new(definition.def, module_name, globals,
                                definition.code, annotations.get());
    Ref name = Ref::steal(PyUnicode_InternFromString(definition.def->name));
    return function && name &&
           PyDict_SetItem(globals, name.get(), function.get()) == 0;
}

}  // namespace calvoro::anyfold
