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
#include "docstrings.hpp"

namespace calvoro::tightfold {

namespace {

using boundary::FunctionIdentity;

boundary::ModuleRecord record = {
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
};
Constants constants;

// ---------------------------------------------------------------------------
// The core

constexpr const char *rmerge_name = "calvoro.tightfold._rmerge";
constexpr const char *merge_inplace_context =
    "calvoro.tightfold.merge_inplace";
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
    boundary::add_traceback_entry(record, rmerge_name, line);
    return false;
}

bool
not_iterable()
{
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return false;
}

using boundary::DictWalk;
using boundary::FusionWindow;

// Both dicts are exact dicts or None, held by the caller for the call;
// `descent` is the calling thread's. Each returns false with an exception
// set and, but for merge_nested, whose caller adds it, the level's
// traceback entry.

// Merges second_dict into first_dict; `window` is open on entry and closed
// by any code that runs. A refusal for depth adds no entry: the caller's
// call failed.
bool rmerge(PyObject *first_dict, PyObject *second_dict, FusionWindow &window,
            const Descent &descent);
// One key by the dictionary operations; any step may run Python code.
bool merge_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
               const Descent &descent);
// One plain key while the window is open: `value` is second_dict[key],
// from the walk.
bool merge_plain_key(PyObject *first_dict, PyObject *key, PyObject *value,
                     FusionWindow &window, const Descent &descent);
// Both values under `key` are dictionaries: fetches both again, tests their
// exact types, and merges one level deeper.
bool merge_nested(PyObject *first_dict, PyObject *second_dict, PyObject *key,
                  const Descent &descent);

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
    const bool fuse = boundary::fusable(first_dict, second_dict);
    DictWalk keys(second_dict);
    for (;;) {
        PyObject *key;
        PyObject *value;
        // hashing and comparing keys may have changed the dictionary
        switch (keys.next(&key, &value)) {
        case DictWalk::Step::error:
            return fail_rmerge(walk);
        case DictWalk::Step::end:
            return true;
        case DictWalk::Step::item:
            break;
        }
        bool merged;
        if (fuse && window.is_open() && boundary::is_plain_key(key)) {
            merged = merge_plain_key(first_dict, key, value, window, descent);
        }
        else {
            Ref held_key = Ref::new_ref(key);
            window.close();
            merged = merge_key(first_dict, second_dict, key, descent);
        }
        if (!merged) {
            return false;
        }
    }
}

enum class Holds { error, other, dictionary };

// What dict[key] holds; the value is not kept.
Holds
holds_dictionary(PyObject *dictionary, PyObject *key)
{
    Ref value = boundary::dict_item(dictionary, key);
    if (!value) {
        return Holds::error;
    }
    return PyDict_Check(value.get()) ? Holds::dictionary : Holds::other;
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
        Holds first_holds = holds_dictionary(first_dict, key);
        if (first_holds == Holds::error) {
            return fail_rmerge(first_test);
        }
        if (first_holds == Holds::dictionary) {
            Holds second_holds = holds_dictionary(second_dict, key);
            if (second_holds == Holds::error) {
                return fail_rmerge(second_test);
            }
            if (second_holds == Holds::dictionary) {
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

bool
merge_plain_key(PyObject *first_dict, PyObject *key, PyObject *value,
                FusionWindow &window, const Descent &descent)
{
    using Store = FusionWindow::Store;
    // no code runs before the store holds what it keeps, and the store
    // uses neither `key` nor `value` after a release that may run code
    PyObject *existing;
    switch (
        window.store_unless_both_dicts(first_dict, key, value, &existing)) {
    case Store::failed:
        return fail_rmerge(rmerge_line::replace);
    case Store::stored:
        return true;
    case Store::both_dicts:
        break;
    }
    Ref first_value = Ref::new_ref(existing);
    Ref second_value = Ref::new_ref(value);
    FusionWindow nested_window;
    bool merged =
        boundary::check_exact_value(first_value.get(), &PyDict_Type) &&
        boundary::check_exact_value(second_value.get(), &PyDict_Type) &&
        rmerge(first_value.get(), second_value.get(), nested_window, descent);
    if (!merged) {
        return fail_rmerge(rmerge_line::nested);
    }
    window.absorb(nested_window);
    // the nested merge may have left these the last references
    window.release(first_value);
    window.release(second_value);
    return true;
}

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

constexpr FunctionIdentity merge_function = {"merge",
                                             "calvoro.tightfold.merge", 25};
constexpr int merge_body_line = 34;

// A failure in the body shows the function twice: the line, then its
// definition.
PyObject *
fail_twice(const FunctionIdentity &function, int line)
{
    boundary::add_traceback_entry(record, function.qualified_name, line);
    return boundary::fail_at(record, function.qualified_name,
                             function.binding_line);
}

// A copy of `original` by the module's deepcopy, tested to be a dict.
Ref
deep_copy(PyObject *original)
{
    Ref deepcopy = boundary::lookup_global(record, constants.deepcopy);
    if (!deepcopy) {
        return Ref();
    }
    Ref copy = boundary::call_deepcopy(deepcopy.get(), original);
    if (copy && !boundary::check_exact_value(copy.get(), &PyDict_Type)) {
        return Ref();
    }
    return copy;
}

// Binds (first_dict, second_dict) of a public function and tests their
// types.
bool
bind_dicts(const FunctionIdentity &function, PyObject *args, PyObject *kwargs,
           boundary::HeldPair *dicts)
{
    return boundary::bind_held_pair(record, function, args, kwargs,
                                    constants.first_dict,
                                    constants.second_dict, dicts) &&
           boundary::check_exact_argument(dicts->first.get(), &PyDict_Type,
                                          "first_dict") &&
           boundary::check_exact_argument(dicts->second.get(), &PyDict_Type,
                                          "second_dict");
}

PyObject *
tightfold_merge(PyObject *, PyObject *args, PyObject *kwargs)
{
    boundary::HeldPair dicts;
    if (!bind_dicts(merge_function, args, kwargs, &dicts)) {
        return nullptr;
    }
    Ref copy = deep_copy(dicts.first.get());
    FusionWindow window;
    if (!copy || !rmerge(copy.get(), dicts.second.get(), window,
                         Descent::of_calling_thread())) {
        return fail_twice(merge_function, merge_body_line);
    }
    return copy.release();
}

PyDoc_STRVAR(
    merge_doc,
    "merge(dict first_dict, dict second_dict) -> dict\n" CALVORO_MERGE_DOC);

constexpr FunctionIdentity merge_inplace_function = {
    "merge_inplace", "calvoro.tightfold.merge_inplace", 38};

PyObject *
tightfold_merge_inplace(PyObject *, PyObject *args, PyObject *kwargs)
{
    boundary::HeldPair dicts;
    if (!bind_dicts(merge_inplace_function, args, kwargs, &dicts)) {
        return nullptr;
    }
    merge_inplace(dicts.first.get(), dicts.second.get());
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_inplace_doc,
             "merge_inplace(dict first_dict, dict second_dict) -> "
             "void\n" CALVORO_MERGE_INPLACE_DOC);

// Element i of the list, which must be an exact dict or None.
Ref
dict_element(PyObject *dicts, Py_ssize_t i)
{
    Ref element = boundary::item_at_index(dicts, i);
    if (element && !boundary::check_exact_value(element.get(), &PyDict_Type)) {
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

// Merges dicts[1], then dicts[2:len(dicts)] with the length read after the
// first merge, into consumer_dict, each element read when its turn comes.
// The merges report their own failures; an element that is not a dict
// stops the fold: returns its index, with TypeError set, or 0.
Py_ssize_t
fold(PyObject *consumer_dict, PyObject *dicts)
{
    Ref element = dict_element(dicts, 1);
    if (!element) {
        return 1;
    }
    merge_inplace(consumer_dict, element.get());
    const Py_ssize_t n = PyList_GET_SIZE(dicts);
    for (Py_ssize_t i = 2; i < n; i++) {
        element = dict_element(dicts, i);
        if (!element) {
            return i;
        }
        merge_inplace(consumer_dict, element.get());
    }
    return 0;
}

constexpr FunctionIdentity merge_many_function = {
    "merge_many", "calvoro.tightfold.merge_many", 50};
// The lines of its steps, as in anyfold's folds.
struct FoldLines {
    int none;
    int too_short;
    int copy;
    int second;
    int loop;
};
constexpr FoldLines merge_many_lines = {58, 59, 60, 62, 64};

PyObject *
tightfold_merge_many(PyObject *, PyObject *dicts_arg)
{
    const FoldLines &lines = merge_many_lines;
    const FunctionIdentity &function = merge_many_function;
    if (!boundary::check_exact_argument(dicts_arg, &PyList_Type, "dicts")) {
        return nullptr;
    }
    Ref dicts = Ref::new_ref(dicts_arg);
    if (dicts.get() == Py_None) {
        no_len();
        return fail_twice(function, lines.none);
    }
    if (PyList_GET_SIZE(dicts.get()) < 2) {
        boundary::raise_length_error();
        return fail_twice(function, lines.too_short);
    }
    Ref first = boundary::item_at_index(dicts.get(), 0);
    Ref consumer_dict = first ? deep_copy(first.get()) : Ref();
    if (!consumer_dict) {
        return fail_twice(function, lines.copy);
    }
    first = Ref();
    if (Py_ssize_t failed = fold(consumer_dict.get(), dicts.get())) {
        return fail_twice(function, failed == 1 ? lines.second : lines.loop);
    }
    return consumer_dict.release();
}

PyDoc_STRVAR(merge_many_doc,
             "merge_many(list dicts) -> dict\n" CALVORO_MERGE_MANY_DOC);

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
        boundary::raise_length_error();
        return report_and_return();
    }
    Ref first = dict_element(dicts.get(), 0);
    if (!first || fold(first.get(), dicts.get()) != 0) {
        return report_and_return();
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(
    merge_many_inplace_doc,
    "merge_many_inplace(list dicts) -> void\n" CALVORO_MERGE_MANY_INPLACE_DOC);

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
    using boundary::intern;
    Constants &c = constants;
    return intern(&c.first_dict, "first_dict") &&
           intern(&c.second_dict, "second_dict") &&
           intern(&c.deepcopy, "deepcopy");
}

int
body(PyObject *globals)
{
    constexpr int import_copy = 1;
    if (!boundary::make_length_error()) {
        return import_copy;
    }
    PyObject *const names[] = {constants.deepcopy};
    if (!boundary::import_from(record, "copy", names, 1)) {
        return import_copy;
    }
    boundary::learn_standard_deepcopy(
        PyDict_GetItem(globals, constants.deepcopy));
    return 0;
}

const boundary::ModuleHooks hooks = {prepare, make_names, body};

}  // namespace

}  // namespace calvoro::tightfold

CALVORO_MODINIT
PyInit_tightfold(void)
{
    using namespace calvoro::tightfold;
    return calvoro::boundary::ModuleDefinition<record, hooks,
                                               tightfold_methods>::init();
}
