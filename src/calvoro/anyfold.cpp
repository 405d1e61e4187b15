// anyfold.cpp: recursive merging of any mapping-like objects through the
// generic object protocols: the module, its public functions and their
// definitions. The recursive core is in anyfold_rmerge.cpp.
//
// Every function reaches the others, and deepcopy, only through module
// attributes looked up at each use, so callers may rebind them. Failures
// pass on as exceptions with one traceback entry per function, at the line
// of the failing statement of the module's (notional) Python source.
#include "anyfold_module.hpp"
#include "docstrings.hpp"
#include "boundary/module/binding.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/module/items.hpp"
#include "boundary/module/loading.hpp"
#include "boundary/copy/plain_copy.hpp"

#include <utility>

namespace calvoro::anyfold {

boundary::ModuleRecord record = {
    {
        "anyfold",
        "calvoro.anyfold",
        "init calvoro.anyfold",
        "src/calvoro/anyfold",
    },
    {},
};

Constants constants;

namespace {

using boundary::FunctionIdentity;

// ---------------------------------------------------------------------------
// merge, merge_inplace

constexpr FunctionIdentity merge_function = {"merge", "calvoro.anyfold.merge",
                                             22};
constexpr int merge_body_line = 31;

// The body of merge and merge_inplace: _rmerge(first_dict, second_dict),
// or with `copy` _rmerge(deepcopy(first_dict), second_dict), each name
// looked up when its turn comes. A failure gets the entry of the body's
// one line.
Ref
call_rmerge(const FunctionIdentity &function, int line, PyObject *args,
            PyObject *kwargs, bool copy)
{
    boundary::HeldPair dicts;
    if (!boundary::bind_held_pair(record, function, args, kwargs,
                                  constants.first_dict, constants.second_dict,
                                  &dicts)) {
        return Ref();
    }
    Ref rmerge = boundary::lookup_global(record, constants.rmerge);
    if (!rmerge) {
        fail_at(function, line);
        return Ref();
    }
    Ref deepcopy;
    Ref copied;
    if (copy) {
        deepcopy = boundary::lookup_global(record, constants.deepcopy);
        copied = deepcopy ? boundary::call_deepcopy(deepcopy.get(),
                                                    dicts.first.get())
                          : Ref();
        if (!copied) {
            fail_at(function, line);
            return Ref();
        }
    }
    PyObject *first = copy ? copied.get() : dicts.first.get();
    Ref result =
        boundary::call_guarded(rmerge.get(), first, dicts.second.get());
    if (!result) {
        fail_at(function, line);
    }
    return result;
}

PyObject *
anyfold_merge(PyObject *args, PyObject *kwargs)
{
    return call_rmerge(merge_function, merge_body_line, args, kwargs, true)
        .release();
}

PyDoc_STRVAR(merge_doc,
             "merge(first_dict: Mapping, second_dict: Mapping) -> "
             "Mapping\n" CALVORO_MERGE_DOC);

const FunctionDef merge_def = {"merge", CallForm::pair, anyfold_merge, nullptr,
                               merge_doc};

constexpr FunctionIdentity merge_inplace_function = {
    "merge_inplace", "calvoro.anyfold.merge_inplace", 34};
constexpr int merge_inplace_body_line = 44;

PyObject *
anyfold_merge_inplace(PyObject *args, PyObject *kwargs)
{
    if (!call_rmerge(merge_inplace_function, merge_inplace_body_line, args,
                     kwargs, false)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_inplace_doc,
             "merge_inplace(first_dict: MutableMapping, second_dict: "
             "Mapping) -> None\n" CALVORO_MERGE_INPLACE_DOC);

const FunctionDef merge_inplace_def = {"merge_inplace", CallForm::pair,
                                       anyfold_merge_inplace, nullptr,
                                       merge_inplace_doc};

// ---------------------------------------------------------------------------
// merge_many, merge_many_inplace

// One merge step: merge_inplace(consumer_dict, dicts[i]), looked up anew.
bool
merge_step(PyObject *consumer_dict, PyObject *dicts, Py_ssize_t i)
{
    Ref merge_inplace =
        boundary::lookup_global(record, constants.merge_inplace);
    if (!merge_inplace) {
        return false;
    }
    Ref element = boundary::item_at_index(dicts, i);
    if (!element) {
        return false;
    }
    return bool(boundary::call_guarded(merge_inplace.get(), consumer_dict,
                                       element.get()));
}

struct FoldLines {
    int length;
    int too_short;
    int first;
    int second_step;
    int second_length;
    int loop;
};

// Steps common to both folds, once consumer_dict is known.
PyObject *
fold_rest(const FunctionIdentity &function, const FoldLines &lines,
          PyObject *consumer_dict, PyObject *dicts)
{
    if (!merge_step(consumer_dict, dicts, 1)) {
        return fail_at(function, lines.second_step);
    }
    Py_ssize_t m = PyObject_Size(dicts);
    if (m < 0) {
        return fail_at(function, lines.second_length);
    }
    for (Py_ssize_t i = 2; i < m; i++) {
        if (!merge_step(consumer_dict, dicts, i)) {
            return fail_at(function, lines.loop);
        }
    }
    return consumer_dict;
}

// The length test of both folds; false with the error's entry added.
bool
check_length(const FunctionIdentity &function, const FoldLines &lines,
             PyObject *dicts)
{
    Py_ssize_t n = PyObject_Size(dicts);
    if (n < 0) {
        return fail_at_bool(function, lines.length);
    }
    if (n < 2) {
        boundary::raise_length_error();
        return fail_at_bool(function, lines.too_short);
    }
    return true;
}

// The body of both folds: consumer_dict is dicts[0], or with `copy`
// deepcopy(dicts[0]), and the rest of the list is merged into it.
Ref
fold(const FunctionIdentity &function, const FoldLines &lines,
     PyObject *dicts_arg, bool copy)
{
    Ref dicts = Ref::new_ref(dicts_arg);
    if (!check_length(function, lines, dicts.get())) {
        return Ref();
    }
    Ref deepcopy;
    if (copy) {
        deepcopy = boundary::lookup_global(record, constants.deepcopy);
        if (!deepcopy) {
            fail_at(function, lines.first);
            return Ref();
        }
    }
    Ref first = boundary::item_at_index(dicts.get(), 0);
    Ref consumer_dict =
        copy && first ? boundary::call_deepcopy(deepcopy.get(), first.get())
                      : std::move(first);
    if (!consumer_dict) {
        fail_at(function, lines.first);
        return Ref();
    }
    first = Ref();
    if (!fold_rest(function, lines, consumer_dict.get(), dicts.get())) {
        return Ref();
    }
    return consumer_dict;
}

constexpr FunctionIdentity merge_many_function = {
    "merge_many", "calvoro.anyfold.merge_many", 47};
constexpr FoldLines merge_many_lines = {55, 56, 57, 59, 60, 61};

PyObject *
anyfold_merge_many(PyObject *dicts)
{
    return fold(merge_many_function, merge_many_lines, dicts, true).release();
}

PyDoc_STRVAR(merge_many_doc,
             "merge_many(dicts: Sequence[MutableMapping]) -> "
             "Mapping\n" CALVORO_MERGE_MANY_DOC);

const FunctionDef merge_many_def = {"merge_many", CallForm::single, nullptr,
                                    anyfold_merge_many, merge_many_doc};

constexpr FunctionIdentity merge_many_inplace_function = {
    "merge_many_inplace", "calvoro.anyfold.merge_many_inplace", 65};
constexpr FoldLines merge_many_inplace_lines = {73, 74, 76, 77, 78, 79};

PyObject *
anyfold_merge_many_inplace(PyObject *dicts)
{
    if (!fold(merge_many_inplace_function, merge_many_inplace_lines, dicts,
              false)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_many_inplace_doc,
             "merge_many_inplace(dicts: Sequence[MutableMapping]) -> "
             "None\n" CALVORO_MERGE_MANY_INPLACE_DOC);

const FunctionDef merge_many_inplace_def = {
    "merge_many_inplace", CallForm::single, nullptr,
    anyfold_merge_many_inplace, merge_many_inplace_doc};

// ---------------------------------------------------------------------------
// Module body

namespace body_line {
constexpr int import_copy = 1;
constexpr int import_typing = 2;
constexpr int all_line = 4;
}  // namespace body_line

const Constants &c = constants;

// The module's definition statements, in the order of its source; one
// block per statement, laid out by hand: name, line and argument count,
// then the variable names, then the annotations.
// clang-format off
Definition definitions[] = {
    {&rmerge_def, 7, 2,
     {&c.first_dict, &c.second_dict, &c.key}, 3,
     {{&c.first_dict, &c.union_, {&c.mutable_mapping, &c.mapping}, 2},
      {&c.second_dict, &c.mapping, {}, 0},
      {&c.return_, &c.mapping, {}, 0}}, 3,
     nullptr},
    {&merge_def, 22, 2,
     {&c.first_dict, &c.second_dict}, 2,
     {{&c.first_dict, &c.mapping, {}, 0},
      {&c.second_dict, &c.mapping, {}, 0},
      {&c.return_, &c.mapping, {}, 0}}, 3,
     nullptr},
    {&merge_inplace_def, 34, 2,
     {&c.first_dict, &c.second_dict}, 2,
     {{&c.first_dict, &c.mutable_mapping, {}, 0},
      {&c.second_dict, &c.mapping, {}, 0},
      {&c.return_, nullptr, {}, 0}}, 3,
     nullptr},
    {&merge_many_def, 47, 1,
     {&c.dicts, &c.consumer_dict, &c.i}, 3,
     {{&c.dicts, &c.sequence, {&c.mutable_mapping}, 1},
      {&c.return_, &c.mapping, {}, 0}}, 2,
     nullptr},
    {&merge_many_inplace_def, 65, 1,
     {&c.dicts, &c.consumer_dict, &c.i}, 3,
     {{&c.dicts, &c.sequence, {&c.mutable_mapping}, 1},
      {&c.return_, nullptr, {}, 0}}, 2,
     nullptr},
};
// clang-format on

bool
make_names()
{
    using boundary::intern;
    Constants &k = constants;
    return intern(&k.first_dict, "first_dict") &&
           intern(&k.second_dict, "second_dict") &&
           intern(&k.dicts, "dicts") && intern(&k.key, "key") &&
           intern(&k.consumer_dict, "consumer_dict") && intern(&k.i, "i") &&
           intern(&k.rmerge, "_rmerge") && intern(&k.merge, "merge") &&
           intern(&k.merge_inplace, "merge_inplace") &&
           intern(&k.merge_many, "merge_many") &&
           intern(&k.merge_many_inplace, "merge_many_inplace") &&
           intern(&k.deepcopy, "deepcopy") && intern(&k.return_, "return") &&
           intern(&k.mapping, "Mapping") &&
           intern(&k.mutable_mapping, "MutableMapping") &&
           intern(&k.sequence, "Sequence") && intern(&k.union_, "Union") &&
           intern(&k.module_name, "calvoro.anyfold");
}

bool
make_constants()
{
    if (!boundary::make_length_error()) {
        return false;
    }
    for (Definition &definition : definitions) {
        if (!make_code(record, definition)) {
            return false;
        }
    }
    return true;
}

Ref
make_all()
{
    PyObject *const names[] = {c.merge, c.merge_inplace, c.merge_many,
                               c.merge_many_inplace};
    Ref all = Ref::steal(PyList_New(4));
    if (all) {
        for (int i = 0; i < 4; i++) {
            PyList_SET_ITEM(all.get(), i, Py_NewRef(names[i]));
        }
    }
    return all;
}

int
body(PyObject *globals)
{
    using namespace body_line;
    if (!make_constants()) {
        return import_copy;
    }
    PyObject *const copy_names[] = {c.deepcopy};
    if (!boundary::import_from(record, "copy", copy_names, 1)) {
        return import_copy;
    }
    boundary::learn_standard_deepcopy(PyDict_GetItem(globals, c.deepcopy));
    PyObject *const typing_names[] = {c.mapping, c.mutable_mapping, c.sequence,
                                      c.union_};
    if (!boundary::import_from(record, "typing", typing_names, 4)) {
        return import_typing;
    }
    Ref all = make_all();
    if (!all || PyDict_SetItemString(globals, "__all__", all.get()) != 0) {
        return all_line;
    }
    for (const Definition &definition : definitions) {
        if (!define(record, definition, c.module_name)) {
            return definition.line;
        }
    }
    namespace_watched = internals::watch_dict(globals);
    return 0;
}

const boundary::ModuleHooks hooks = {function_type_ready, make_names, body};

// Every function is a definition statement, none comes from the table.
PyMethodDef anyfold_methods[] = {
    {},
};

}  // namespace

}  // namespace calvoro::anyfold

CALVORO_MODINIT
PyInit_anyfold(void)
{
    using namespace calvoro::anyfold;
    return calvoro::boundary::ModuleDefinition<record, hooks,
                                               anyfold_methods>::init();
}
