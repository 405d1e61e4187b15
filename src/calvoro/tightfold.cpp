// tightfold.cpp: recursive merging of exact dicts and lists.
//
// Arguments must be exactly dict or list (or None); the core works on
// dictionaries with the dictionary operations themselves, one level of
// nesting after another in a loop. A failure inside an in-place merge is
// reported as unraisable and swallowed, so the in-place functions never raise
// after their argument tests.
#include "boundary/module/binding.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/merge/driver.hpp"
#include "boundary/merge/fused.hpp"
#include "boundary/module/items.hpp"
#include "boundary/module/loading.hpp"
#include "boundary/copy/plain_copy.hpp"
#include "boundary/merge/recursion.hpp"
#include "boundary/module/traceback.hpp"
#include "boundary/module/unraisable.hpp"
#include "docstrings.hpp"

#include <utility>

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

void
add_rmerge_entry(int line)
{
    boundary::add_traceback_entry(record, rmerge_name, line);
}

bool
fail_rmerge(int line)
{
    add_rmerge_entry(line);
    return false;
}

bool
not_iterable()
{
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return false;
}

using boundary::FusionWindow;
using boundary::NestedDicts;

// What a run of unicode-table levels does here: nothing more than the steps.
struct RunPolicy {
    static constexpr bool counts_keys = false;
    static constexpr bool holds_key = false;
    static constexpr bool holds_callee = false;
    static constexpr bool screens_stores = false;
    bool
    descends(PyObject *, PyObject **) noexcept
    {
        return true;
    }
    void
    may_have_run() noexcept
    {
    }
};

// The core: exact dicts by the dictionary operations, each nested merge a
// level of the loop, counted against the recursion limit as a Python call.
struct Core {
    struct NoCall {};
    using Level = boundary::MergeLevel<boundary::DictKeys, NoCall>;
    using RunPolicy = tightfold::RunPolicy;

    static constexpr const char *where = too_deep_where;
    static constexpr int walk_line = rmerge_line::walk;
    static constexpr int replace_line = rmerge_line::replace;
    static constexpr int nested_line = rmerge_line::nested;

    static boundary::Fusion
    fusion_of(PyObject *first_dict, PyObject *second_dict)
    {
        return boundary::level_fusion(first_dict, second_dict);
    }
    int
    start(Level &) noexcept
    {
        return 0;
    }
    int
    step(Level &level, PyObject *key, Ref &, NestedDicts *nested)
    {
        return generic_step(level, key, nested);
    }
    // Both values must be exact dicts.
    static int nest_fused(Level &, PyObject *, PyObject *existing,
                          PyObject *value, Ref &, NestedDicts *nested);
    RunPolicy
    run_policy() noexcept
    {
        return RunPolicy();
    }
    void
    drop_call(Level &) noexcept
    {
    }
    void
    add_entry(int line)
    {
        add_rmerge_entry(line);
    }

    // One key by the dictionary operations; any of them may run Python
    // code.
    static int generic_step(Level &level, PyObject *key, NestedDicts *nested);
};

// Merges second_dict into first_dict, both exact dicts or None, held by the
// caller; false with an exception set and the levels' traceback entries.
// The guard counts the first level; entered from Python code, it also
// keeps the native stack from running out.
bool
rmerge(PyObject *first_dict, PyObject *second_dict)
{
    assert(!PyErr_Occurred());
    RecursionGuard guard(too_deep_where);
    if (!guard) {
        return false;
    }
    if (second_dict == Py_None) {
        not_iterable();
        return fail_rmerge(rmerge_line::walk);
    }
    Core core;
    return boundary::MergeDriver<Core>(core, guard.thread_state())
        .merge(first_dict, second_dict);
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

// dict[key], which must be an exact dict.
Ref
nested_dict(PyObject *dictionary, PyObject *key)
{
    Ref value = boundary::dict_item(dictionary, key);
    if (value && !boundary::check_exact_value(value.get(), &PyDict_Type)) {
        return Ref();
    }
    return value;
}

int
Core::generic_step(Level &level, PyObject *borrowed_key, NestedDicts *nested)
{
    using namespace rmerge_line;
    level.window.close();
    level.key = Ref::new_ref(borrowed_key);
    PyObject *key = level.key.get();
    PyObject *first_dict = level.first.get();
    PyObject *second_dict = level.second.get();
    if (first_dict == Py_None) {
        not_iterable();
        return contains;
    }
    int found = PyDict_Contains(first_dict, key);
    if (found < 0) {
        return contains;
    }
    if (found) {
        Holds first_holds = holds_dictionary(first_dict, key);
        if (first_holds == Holds::error) {
            return first_test;
        }
        if (first_holds == Holds::dictionary) {
            Holds second_holds = holds_dictionary(second_dict, key);
            if (second_holds == Holds::error) {
                return second_test;
            }
            if (second_holds == Holds::dictionary) {
                // both fetched again, as the nested call's arguments
                nested->first = nested_dict(first_dict, key);
                if (nested->first) {
                    nested->second = nested_dict(second_dict, key);
                }
                if (!nested->second) {
                    nested->first = Ref();
                    return rmerge_line::nested;
                }
                return 0;
            }
        }
    }
    Ref value = boundary::dict_item(second_dict, key);
    if (!value || PyDict_SetItem(first_dict, key, value.get()) != 0) {
        return replace;
    }
    level.key = Ref();
    return 0;
}

int
Core::nest_fused(Level &, PyObject *, PyObject *existing, PyObject *value,
                 Ref &, NestedDicts *nested)
{
    Ref first_value = Ref::new_ref(existing);
    Ref second_value = Ref::new_ref(value);
    if (!boundary::check_exact_value(first_value.get(), &PyDict_Type) ||
        !boundary::check_exact_value(second_value.get(), &PyDict_Type)) {
        return rmerge_line::nested;
    }
    nested->first = std::move(first_value);
    nested->second = std::move(second_value);
    nested->shares_window = true;
    return 0;
}

// The in-place merge that never raises: a failure is reported.
void
merge_inplace(PyObject *first_dict, PyObject *second_dict)
{
    if (!rmerge(first_dict, second_dict)) {
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
    if (!copy || !rmerge(copy.get(), dicts.second.get())) {
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
