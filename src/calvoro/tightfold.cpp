// tightfold.cpp: recursive merging of exact dicts and lists.
//
// Arguments must be exactly dict or list (or None); the core works on
// dictionaries with the dictionary operations themselves and calls itself
// directly. A failure inside an in-place merge is reported as unraisable
// and swallowed, so the in-place functions never raise after their
// argument tests.
#include "boundary/binding.hpp"
#include "boundary/calls.hpp"
#include "boundary/dict_walk.hpp"
#include "boundary/fused.hpp"
#include "boundary/items.hpp"
#include "boundary/loading.hpp"
#include "boundary/plain_copy.hpp"
#include "boundary/recursion.hpp"
#include "boundary/traceback.hpp"
#include "boundary/unraisable.hpp"

namespace calvoro::tightfold {

namespace {

using boundary::FunctionIdentity;

boundary::ModuleRecord identity = {
    {
        "tightfold",
        "calvoro.tightfold",
        "init calvoro.tightfold",
        "src/calvoro/tightfold",
    },
    {},
};

// Made at import, held for the life of the process.
struct Constants {
    PyObject *first_dict;
    PyObject *second_dict;
    PyObject *deepcopy;
    PyObject *length_error_args;
};
Constants constants;

bool
intern(PyObject **slot, const char *text)
{
    if (!*slot) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr;
}

// ---------------------------------------------------------------------------
// The core

constexpr const char *rmerge_name = "calvoro.tightfold._rmerge";
constexpr const char *merge_inplace_context = "calvoro.tightfold.merge_inplace";
// Nesting deeper than the recursion limit or the native stack allows ends in
// RecursionError.
constexpr const char *too_deep_where = " while merging dictionaries";

namespace rmerge_line {
constexpr int walk = 13;
constexpr int contains = 15;
constexpr int first_test = 16;
constexpr int second_test = 17;
constexpr int nested = 19;
constexpr int replace = 21;
}  // namespace rmerge_line

bool
fail_rmerge(int line)
{
    boundary::add_traceback_entry(identity, rmerge_name, line);
    return false;
}

bool
not_iterable()
{
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return false;
}

using boundary::FusionWindow;

bool rmerge(PyObject *first_dict, PyObject *second_dict,
            FusionWindow &window, const Descent &descent);

// Both values are dictionaries: fetch both again, test their exact types,
// and merge one level deeper.
bool
merge_nested(PyObject *first_dict, PyObject *second_dict, PyObject *key,
             const Descent &descent)
{
    Ref first_value = boundary::dict_item(first_dict, key);
    if (!first_value ||
        !boundary::check_exact_value(first_value.get(), &PyDict_Type)) {
        return false;
    }
    Ref second_value = boundary::dict_item(second_dict, key);
    if (!second_value ||
        !boundary::check_exact_value(second_value.get(), &PyDict_Type)) {
        return false;
    }
    FusionWindow nested;
    return rmerge(first_value.get(), second_value.get(), nested, descent);
}

// -1 on error, else whether dict[key] is a dictionary; the value is not kept.
int
holds_dictionary(PyObject *dictionary, PyObject *key)
{
    Ref value = boundary::dict_item(dictionary, key);
    if (!value) {
        return -1;
    }
    return PyDict_Check(value.get()) ? 1 : 0;
}

bool
merge_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
          const Descent &descent)
{
    using namespace rmerge_line;
    if (first_dict == Py_None) {
        not_iterable();
        return fail_rmerge(contains);
    }
    int found = PyDict_Contains(first_dict, key);
    if (found < 0) {
        return fail_rmerge(contains);
    }
    if (found) {
        int first_is_dict = holds_dictionary(first_dict, key);
        if (first_is_dict < 0) {
            return fail_rmerge(first_test);
        }
        if (first_is_dict) {
            int second_is_dict = holds_dictionary(second_dict, key);
            if (second_is_dict < 0) {
                return fail_rmerge(second_test);
            }
            if (second_is_dict) {
                return merge_nested(first_dict, second_dict, key, descent) ||
                       fail_rmerge(nested);
            }
        }
    }
    Ref value = boundary::dict_item(second_dict, key);
    if (!value || PyDict_SetItem(first_dict, key, value.get()) != 0) {
        return fail_rmerge(replace);
    }
    return true;
}

// merge_key for a plain key while nothing can observe its lookups, which
// are fused: `value` is second_dict[key], from the walk.
bool
merge_plain_key(PyObject *first_dict, PyObject *key, PyObject *value,
                FusionWindow &window, const Descent &descent)
{
    using namespace rmerge_line;
    using Store = FusionWindow::Store;
    PyObject *existing;
    // no code runs before the store holds what it keeps, and the store
    // uses neither `key` nor `value` after a release that may run code
    Store stored =
        window.store_unless_both_dicts(first_dict, key, value, &existing);
    if (stored != Store::both_dicts) {
        return stored == Store::stored || fail_rmerge(replace);
    }
    Ref first_value = Ref::new_ref(existing);
    Ref second_value = Ref::new_ref(value);
    FusionWindow nested_window;
    bool merged =
        boundary::check_exact_value(first_value.get(), &PyDict_Type) &&
        boundary::check_exact_value(second_value.get(), &PyDict_Type) &&
        rmerge(first_value.get(), second_value.get(), nested_window,
               descent);
    if (!merged) {
        return fail_rmerge(nested);
    }
    window.absorb(nested_window);
    // the nested merge may have left these the last references
    window.release(first_value);
    window.release(second_value);
    return true;
}

// Both arguments are exact dicts or None, held by the caller for the call;
// `window` is open on entry and closed by any code that runs; `descent` is
// the calling thread's. A refusal for depth adds no entry: the caller's
// call failed.
bool
rmerge(PyObject *first_dict, PyObject *second_dict, FusionWindow &window,
       const Descent &descent)
{
    using namespace rmerge_line;
    assert(!PyErr_Occurred() && window.is_open());
    assert(Py_REFCNT(first_dict) > 0 && Py_REFCNT(second_dict) > 0);
    RecursionGuard guard(too_deep_where, descent);
    if (!guard) {
        return false;
    }
    if (second_dict == Py_None) {
        not_iterable();
        return fail_rmerge(walk);
    }
    using Step = boundary::DictWalk::Step;
    const bool fuse = boundary::fusable(first_dict, second_dict);
    boundary::DictWalk keys(second_dict);
    PyObject *key;
    PyObject *value;
    for (;;) {
        // hashing and comparing keys may have changed the dictionary
        Step step = keys.next(&key, &value);
        if (step != Step::item) {
            return step == Step::end || fail_rmerge(walk);
        }
        bool merged;
        if (fuse && window.is_open() && boundary::is_plain_key(key)) {
            merged =
                merge_plain_key(first_dict, key, value, window, descent);
        } else {
            Ref held_key = Ref::new_ref(key);
            window.close();
            merged = merge_key(first_dict, second_dict, key, descent);
        }
        if (!merged) {
            return false;
        }
    }
}

// The in-place merge that never raises: a failure is reported.
void
merge_inplace(PyObject *first_dict, PyObject *second_dict)
{
    FusionWindow window;
    if (!rmerge(first_dict, second_dict, window,
                Descent::of_calling_thread())) {
        assert(PyErr_Occurred());
        boundary::report_unraisable(merge_inplace_context);
    }
}

// ---------------------------------------------------------------------------
// Entry points

constexpr FunctionIdentity merge_function = {
    "merge", "calvoro.tightfold.merge", 25};
constexpr int merge_body_line = 34;

// A failure in the body shows the function twice: the line, then its
// definition.
PyObject *
fail_twice(const FunctionIdentity &function, int line)
{
    boundary::add_traceback_entry(identity, function.qualified_name, line);
    return boundary::fail_at(identity, function.qualified_name,
                             function.binding_line);
}

// A copy of `original` by the module's deepcopy, tested to be a dict.
Ref
deep_copy(PyObject *original)
{
    Ref deepcopy = boundary::lookup_global(identity, constants.deepcopy);
    if (!deepcopy) {
        return Ref();
    }
    Ref copy = boundary::call_deepcopy(deepcopy.get(), original);
    if (copy && !boundary::check_exact_value(copy.get(), &PyDict_Type)) {
        return Ref();
    }
    return copy;
}

bool
bind_dicts(const FunctionIdentity &function, PyObject *args,
           PyObject *kwargs, boundary::PairArguments *bound)
{
    if (!boundary::bind_pair_arguments(args, kwargs, function.name,
                                       constants.first_dict,
                                       constants.second_dict, bound)) {
        boundary::add_traceback_entry(identity, function.qualified_name,
                                      function.binding_line);
        return false;
    }
    return boundary::check_exact_argument(bound->first, &PyDict_Type,
                                          "first_dict") &&
           boundary::check_exact_argument(bound->second, &PyDict_Type,
                                          "second_dict");
}

PyObject *
tightfold_merge(PyObject *, PyObject *args, PyObject *kwargs)
{
    boundary::PairArguments bound;
    if (!bind_dicts(merge_function, args, kwargs, &bound)) {
        return nullptr;
    }
    Ref first_dict = Ref::new_ref(bound.first);
    Ref second_dict = Ref::new_ref(bound.second);
    Ref copy = deep_copy(first_dict.get());
    FusionWindow window;
    if (!copy ||
        !rmerge(copy.get(), second_dict.get(), window,
                Descent::of_calling_thread())) {
        return fail_twice(merge_function, merge_body_line);
    }
    return copy.release();
}

PyDoc_STRVAR(merge_doc,
             "merge(dict first_dict, dict second_dict) -> dict\n"
             "\n"
             "    Merge 2 dicts recursively.\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "    :param first_dict: first dict to merge\n"
             "    :param second_dict: second dict to merge\n"
             "    :return: merged dict\n"
             "    ");

constexpr FunctionIdentity merge_inplace_function = {
    "merge_inplace", "calvoro.tightfold.merge_inplace", 38};

PyObject *
tightfold_merge_inplace(PyObject *, PyObject *args, PyObject *kwargs)
{
    boundary::PairArguments bound;
    if (!bind_dicts(merge_inplace_function, args, kwargs, &bound)) {
        return nullptr;
    }
    Ref first_dict = Ref::new_ref(bound.first);
    Ref second_dict = Ref::new_ref(bound.second);
    merge_inplace(first_dict.get(), second_dict.get());
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_inplace_doc,
             "merge_inplace(dict first_dict, dict second_dict) -> void\n"
             "\n"
             "    Merge 2 dicts recursively.\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "\n"
             "    First dict will contain merged version, faster in general.\n"
             "    :param first_dict: first dict to merge, will contain merged "
             "version\n"
             "    :param second_dict: second dict to merge\n"
             "    ");

// Element i of the list, which must be an exact dict or None.
Ref
dict_element(PyObject *dicts, Py_ssize_t i)
{
    Ref element = boundary::item_at_index(dicts, i);
    if (element &&
        !boundary::check_exact_value(element.get(), &PyDict_Type)) {
        return Ref();
    }
    return element;
}

bool
no_len()
{
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return false;
}

constexpr FunctionIdentity merge_many_function = {
    "merge_many", "calvoro.tightfold.merge_many", 50};
namespace merge_many_line {
constexpr int none = 58;
constexpr int too_short = 59;
constexpr int copy = 60;
constexpr int second = 62;
constexpr int loop = 64;
}  // namespace merge_many_line

PyObject *
tightfold_merge_many(PyObject *, PyObject *dicts_arg)
{
    using namespace merge_many_line;
    const FunctionIdentity &function = merge_many_function;
    if (!boundary::check_exact_argument(dicts_arg, &PyList_Type, "dicts")) {
        return nullptr;
    }
    Ref dicts = Ref::new_ref(dicts_arg);
    if (dicts.get() == Py_None) {
        no_len();
        return fail_twice(function, none);
    }
    if (PyList_GET_SIZE(dicts.get()) < 2) {
        boundary::raise_own_exception(constants.length_error_args);
        return fail_twice(function, too_short);
    }
    Ref first = boundary::item_at_index(dicts.get(), 0);
    Ref consumer_dict = first ? deep_copy(first.get()) : Ref();
    if (!consumer_dict) {
        return fail_twice(function, copy);
    }
    first = Ref();
    Ref element = dict_element(dicts.get(), 1);
    if (!element) {
        return fail_twice(function, second);
    }
    merge_inplace(consumer_dict.get(), element.get());
    const Py_ssize_t n = PyList_GET_SIZE(dicts.get());
    for (Py_ssize_t i = 2; i < n; i++) {
        element = dict_element(dicts.get(), i);
        if (!element) {
            return fail_twice(function, loop);
        }
        merge_inplace(consumer_dict.get(), element.get());
    }
    return consumer_dict.release();
}

PyDoc_STRVAR(merge_many_doc,
             "merge_many(list dicts) -> dict\n"
             "\n"
             "    Merge list of dicts.\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "    :param dicts: list of dicts\n"
             "    :return: merged dict\n"
             "    ");

constexpr const char *merge_many_inplace_context =
    "calvoro.tightfold.merge_many_inplace";

PyObject *
report_and_return()
{
    boundary::report_unraisable(merge_many_inplace_context);
    Py_RETURN_NONE;
}

PyObject *
tightfold_merge_many_inplace(PyObject *, PyObject *dicts_arg)
{
    if (!boundary::check_exact_argument(dicts_arg, &PyList_Type, "dicts")) {
        return nullptr;
    }
    Ref dicts = Ref::new_ref(dicts_arg);
    if (dicts.get() == Py_None) {
        no_len();
        return report_and_return();
    }
    if (PyList_GET_SIZE(dicts.get()) < 2) {
        boundary::raise_own_exception(constants.length_error_args);
        return report_and_return();
    }
    Ref first = dict_element(dicts.get(), 0);
    if (!first) {
        return report_and_return();
    }
    Ref element = dict_element(dicts.get(), 1);
    if (!element) {
        return report_and_return();
    }
    merge_inplace(first.get(), element.get());
    const Py_ssize_t n = PyList_GET_SIZE(dicts.get());
    for (Py_ssize_t i = 2; i < n; i++) {
        element = dict_element(dicts.get(), i);
        if (!element) {
            return report_and_return();
        }
        merge_inplace(first.get(), element.get());
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_many_inplace_doc,
             "merge_many_inplace(list dicts) -> void\n"
             "\n"
             "    Merge list of dicts inplace\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "\n"
             "    :param dicts: list of dicts\n"
             "    ");

// ---------------------------------------------------------------------------
// Module

constexpr char merge_many_name[] = "merge_many";
constexpr char merge_many_inplace_name[] = "merge_many_inplace";

PyMethodDef tightfold_methods[] = {
    {"merge", compat::as_cfunction(tightfold_merge),
     METH_VARARGS | METH_KEYWORDS, merge_doc},
    {"merge_inplace", compat::as_cfunction(tightfold_merge_inplace),
     METH_VARARGS | METH_KEYWORDS, merge_inplace_doc},
    boundary::single_argument_method<tightfold_merge_many, merge_many_name>(
        merge_many_doc),
    boundary::single_argument_method<tightfold_merge_many_inplace,
                                     merge_many_inplace_name>(
        merge_many_inplace_doc),
    {},
};

bool
prepare()
{
    return true;
}

bool
make_names()
{
    Constants &c = constants;
    return intern(&c.first_dict, "first_dict") &&
           intern(&c.second_dict, "second_dict") &&
           intern(&c.deepcopy, "deepcopy");
}

int
body(PyObject *globals)
{
    constexpr int import_copy = 1;
    if (!constants.length_error_args) {
        constants.length_error_args =
            Py_BuildValue("(s)", "List len should be at least 2");
        if (!constants.length_error_args) {
            return import_copy;
        }
    }
    PyObject *const names[] = {constants.deepcopy};
    if (!boundary::import_from(identity, "copy", names, 1)) {
        return import_copy;
    }
    boundary::learn_standard_deepcopy(
        PyDict_GetItem(globals, constants.deepcopy));
    return 0;
}

const boundary::ModuleHooks hooks = {prepare, make_names, body};

PyObject *
tightfold_create(PyObject *spec, PyModuleDef *def)
{
    return boundary::create_module(identity, spec, def);
}

int
tightfold_exec(PyObject *module)
{
    return boundary::exec_module(identity, module, hooks);
}

PyModuleDef_Slot tightfold_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(tightfold_create)},
    {Py_mod_exec, reinterpret_cast<void *>(tightfold_exec)},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {},
};

PyModuleDef tightfold_module = {
    PyModuleDef_HEAD_INIT,
    "tightfold",        /* m_name */
    nullptr,            /* m_doc */
    0,                  /* m_size */
    tightfold_methods,  /* m_methods */
    tightfold_slots,    /* m_slots */
    nullptr,            /* m_traverse */
    nullptr,            /* m_clear */
    nullptr,            /* m_free */
};

}  // namespace

}  // namespace calvoro::tightfold

CALVORO_MODINIT
PyInit_tightfold(void)
{
    return PyModuleDef_Init(&calvoro::tightfold::tightfold_module);
}
