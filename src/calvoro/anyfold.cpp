// anyfold.cpp: recursive merging of any mapping-like objects through the
// generic object protocols.
//
// Every function reaches the others, and deepcopy, only through module
// attributes looked up at each use, so callers may rebind them. Failures
// pass on as exceptions with one traceback entry per function, at the line
// of the failing statement of the module's (notional) Python source.
#include "anyfold_function.hpp"
#include "boundary/binding.hpp"
#include "boundary/calls.hpp"
#include "boundary/dict_walk.hpp"
#include "boundary/fused.hpp"
#include "boundary/items.hpp"
#include "boundary/loading.hpp"
#include "boundary/plain_copy.hpp"
#include "boundary/recursion.hpp"
#include "boundary/traceback.hpp"

#include <utility>

namespace calvoro::anyfold {

namespace {

using boundary::FunctionIdentity;

boundary::ModuleRecord identity = {
    {
        "anyfold",
        "calvoro.anyfold",
        "init calvoro.anyfold",
        "src/calvoro/anyfold",
    },
    {},
};

// Made at import, held for the life of the process.
struct Constants {
    PyObject *first_dict;
    PyObject *second_dict;
    PyObject *dicts;
    PyObject *key;
    PyObject *consumer_dict;
    PyObject *i;
    PyObject *rmerge;
    PyObject *merge;
    PyObject *merge_inplace;
    PyObject *merge_many;
    PyObject *merge_many_inplace;
    PyObject *deepcopy;
    PyObject *return_;
    PyObject *mapping;
    PyObject *mutable_mapping;
    PyObject *sequence;
    PyObject *union_;
    PyObject *module_name;
    PyObject *length_error_args;
};
Constants constants;

// A new interned str held for the life of the process.
bool
intern(PyObject **slot, const char *text)
{
    if (!*slot) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr;
}

PyObject *
fail_at(const FunctionIdentity &function, int line)
{
    return boundary::fail_at(identity, function.qualified_name, line);
}

bool
fail_at_bool(const FunctionIdentity &function, int line)
{
    fail_at(function, line);
    return false;
}

// ---------------------------------------------------------------------------
// _rmerge

constexpr FunctionIdentity rmerge_function = {
    "_rmerge", "calvoro.anyfold._rmerge", 7};
namespace rmerge_line {
constexpr int walk = 14;
constexpr int test = 15;
constexpr int nested = 16;
constexpr int replace = 18;
}  // namespace rmerge_line

extern const FunctionDef rmerge_def;

using boundary::FusionWindow;

// What a merge level may assume: its fusion window, and whether, while the
// window has stayed open, the namespace was seen to hold plain keys only.
// Only Python code could add another key, so a lookup of _rmerge there
// still runs no code and need not be prepared again. Its value is looked
// up every time: a fused store into the namespace may rebind it.
struct Calm {
    FusionWindow window;
    bool plain_namespace = false;
};

bool rmerge(PyObject *first_dict, PyObject *second_dict, Calm *calm);

Ref
lookup_rmerge(Calm *calm)
{
    FusionWindow &window = calm->window;
    if (window.is_open() && calm->plain_namespace) {
        PyObject *callee =
            PyDict_GetItemWithError(identity.state.globals, constants.rmerge);
        if (callee) {
            return Ref::new_ref(callee);
        }
        // among plain keys the lookup cannot fail: the name is gone, and the
        // full lookup below says what it is bound to now
        assert(!PyErr_Occurred());
    }
    if (window.is_open() && !boundary::has_only_plain_keys(identity.state.globals)) {
        window.close();
    }
    Ref callee = boundary::lookup_global(identity, constants.rmerge, window);
    calm->plain_namespace = window.is_open();
    return callee;
}

// The nested merge: whatever _rmerge is bound to, with the two values.
// `known_first`/`known_second`, when given, are the values the caller has
// just read by fused fetches; they stand for fetching again only while
// nothing can have changed them.
bool
merge_nested(PyObject *first_dict, PyObject *second_dict, PyObject *key,
             Calm *calm, Ref known_first = Ref(), Ref known_second = Ref())
{
    using namespace rmerge_line;
    Ref callee = lookup_rmerge(calm);
    if (!callee) {
        return fail_at_bool(rmerge_function, nested);
    }
    const bool known = known_first && calm->window.is_open();
    if (!known) {
        calm->window.close();
    }
    Ref first_value = known ? std::move(known_first)
                            : boundary::item_for_key(first_dict, key);
    if (!first_value) {
        return fail_at_bool(rmerge_function, nested);
    }
    Ref second_value = known ? std::move(known_second)
                             : boundary::item_for_key(second_dict, key);
    if (!second_value) {
        return fail_at_bool(rmerge_function, nested);
    }
    if (!function_has_def(callee.get(), &rmerge_def)) {
        calm->window.close();
        Ref result = boundary::call_guarded(callee.get(), first_value.get(),
                                            second_value.get());
        return result || fail_at_bool(rmerge_function, nested);
    }
    // our own _rmerge: the same guarded call, without the tuple
    RecursionGuard guard(boundary::calling_where);
    Calm inner;
    inner.plain_namespace = calm->window.is_open() && calm->plain_namespace;
    if (!guard || !rmerge(first_value.get(), second_value.get(), &inner)) {
        return fail_at_bool(rmerge_function, nested);
    }
    calm->window.absorb(inner.window);
    // the nested merge may have left these the last references
    calm->window.release(first_value);
    calm->window.release(second_value);
    return true;
}

// Both values under `key` are dictionaries: -1 on error, else 0 or 1.
// Each fetched value is released at once; the nested merge fetches again.
int
both_dictionaries(PyObject *first_dict, PyObject *second_dict, PyObject *key)
{
    Ref value = boundary::item_for_key(first_dict, key);
    if (!value) {
        return -1;
    }
    if (!PyDict_Check(value.get())) {
        return 0;
    }
    value = boundary::item_for_key(second_dict, key);
    if (!value) {
        return -1;
    }
    return PyDict_Check(value.get()) ? 1 : 0;
}

// One key through the generic protocols, in the order and number of
// operations that a caller can observe. Any of them may run Python code.
bool
merge_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
          Calm *calm)
{
    using namespace rmerge_line;
    calm->window.close();
    int found = PySequence_Contains(first_dict, key);
    if (found < 0) {
        return fail_at_bool(rmerge_function, test);
    }
    if (found) {
        int dictionaries = both_dictionaries(first_dict, second_dict, key);
        if (dictionaries < 0) {
            return fail_at_bool(rmerge_function, test);
        }
        if (dictionaries) {
            return merge_nested(first_dict, second_dict, key, calm);
        }
    }
    Ref value = boundary::item_for_key(second_dict, key);
    if (!value || PyObject_SetItem(first_dict, key, value.get()) != 0) {
        return fail_at_bool(rmerge_function, replace);
    }
    return true;
}

// merge_key for exact dicts and a plain key while nothing can observe its
// lookups: contains, fetches and store are fused where the result is the
// same. `value` is second_dict[key], from the walk.
bool
merge_plain_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
                PyObject *value, Calm *calm)
{
    using namespace rmerge_line;
    using Store = FusionWindow::Store;
    Ref second_value = Ref::new_ref(value);
    PyObject *existing;
    Store stored = calm->window.store_unless_both_dicts(
        first_dict, key, second_value.get(), &existing);
    if (stored != Store::both_dicts) {
        return stored == Store::stored ||
               fail_at_bool(rmerge_function, replace);
    }
    return merge_nested(first_dict, second_dict, key, calm,
                        Ref::new_ref(existing), std::move(second_value));
}

// The walk that iterating an exact dict makes, without the iterator:
// the same positions, and the same errors at the same steps when the
// merge changes the dictionary under it.
bool
walk_exact_dict(PyObject *first_dict, PyObject *second_dict, Calm *calm)
{
    using Step = boundary::DictWalk::Step;
    const bool fuse = boundary::fusable(first_dict, second_dict);
    boundary::DictWalk keys(second_dict);
    PyObject *key;
    PyObject *value;
    for (;;) {
        Step step = keys.next_counted(&key, &value);
        if (step != Step::item) {
            return step == Step::end ||
                   fail_at_bool(rmerge_function, rmerge_line::walk);
        }
        Ref held = Ref::new_ref(key);
        bool merged =
            fuse && calm->window.is_open() && boundary::is_plain_key(key)
                ? merge_plain_key(first_dict, second_dict, key, value, calm)
                : merge_key(first_dict, second_dict, key, calm);
        if (!merged) {
            return false;
        }
    }
}

// The caller holds both arguments for the whole call.
bool
rmerge(PyObject *first_dict, PyObject *second_dict, Calm *calm)
{
    assert(!PyErr_Occurred());
    assert(Py_REFCNT(first_dict) > 0 && Py_REFCNT(second_dict) > 0);
    if (PyList_CheckExact(second_dict) || PyTuple_CheckExact(second_dict)) {
        // by position, with the length read again before each step
        for (Py_ssize_t i = 0; i < Py_SIZE(second_dict); i++) {
            Ref key = boundary::item_at_index(second_dict, i);
            if (!key || !merge_key(first_dict, second_dict, key.get(), calm)) {
                return false;
            }
        }
        return true;
    }
    if (PyDict_CheckExact(second_dict)) {
        return walk_exact_dict(first_dict, second_dict, calm);
    }
    calm->window.close();
    Ref iterator = Ref::steal(PyObject_GetIter(second_dict));
    if (!iterator) {
        return fail_at_bool(rmerge_function, rmerge_line::walk);
    }
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!merge_key(first_dict, second_dict, key.get(), calm)) {
            return false;
        }
    }
    if (PyErr_Occurred()) {
        return fail_at_bool(rmerge_function, rmerge_line::walk);
    }
    return true;
}

PyObject *
anyfold_rmerge(PyObject *args, PyObject *kwargs)
{
    boundary::PairArguments bound;
    if (!boundary::bind_pair_arguments(args, kwargs, rmerge_function.name,
                                       constants.first_dict,
                                       constants.second_dict, &bound)) {
        return fail_at(rmerge_function, rmerge_function.binding_line);
    }
    // the keyword mapping may be the caller's, and change during the merge
    Ref first_dict = Ref::new_ref(bound.first);
    Ref second_dict = Ref::new_ref(bound.second);
    Calm calm;
    if (!rmerge(first_dict.get(), second_dict.get(), &calm)) {
        return nullptr;
    }
    return first_dict.release();
}

PyDoc_STRVAR(rmerge_doc,
             "_rmerge(first_dict: Union[MutableMapping, Mapping], "
             "second_dict: Mapping) -> Mapping\n"
             "\n"
             "    Recursive merging utility\n"
             "\n"
             "    :param first_dict: first dict to merge, used as result\n"
             "    :param second_dict: dict to merge with\n"
             "    ");

const FunctionDef rmerge_def = {"_rmerge", CallForm::pair, anyfold_rmerge,
                                nullptr, rmerge_doc};

// ---------------------------------------------------------------------------
// merge, merge_inplace

constexpr FunctionIdentity merge_function = {
    "merge", "calvoro.anyfold.merge", 22};
constexpr int merge_body_line = 31;

PyObject *
anyfold_merge(PyObject *args, PyObject *kwargs)
{
    boundary::PairArguments bound;
    if (!boundary::bind_pair_arguments(args, kwargs, merge_function.name,
                                       constants.first_dict,
                                       constants.second_dict, &bound)) {
        return fail_at(merge_function, merge_function.binding_line);
    }
    Ref first_dict = Ref::new_ref(bound.first);
    Ref second_dict = Ref::new_ref(bound.second);
    // the order of _rmerge(deepcopy(first_dict), second_dict)
    Ref rmerge = boundary::lookup_global(identity, constants.rmerge);
    if (!rmerge) {
        return fail_at(merge_function, merge_body_line);
    }
    Ref deepcopy = boundary::lookup_global(identity, constants.deepcopy);
    if (!deepcopy) {
        return fail_at(merge_function, merge_body_line);
    }
    Ref copy = boundary::call_deepcopy(deepcopy.get(), first_dict.get());
    if (!copy) {
        return fail_at(merge_function, merge_body_line);
    }
    Ref result = boundary::call_guarded(rmerge.get(), copy.get(),
                                        second_dict.get());
    if (!result) {
        return fail_at(merge_function, merge_body_line);
    }
    return result.release();
}

PyDoc_STRVAR(merge_doc,
             "merge(first_dict: Mapping, second_dict: Mapping) -> Mapping\n"
             "\n"
             "    Merge 2 dicts recursively.\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "    :param first_dict: first dict to merge\n"
             "    :param second_dict: second dict to merge\n"
             "    :return: merged dict\n"
             "    ");

const FunctionDef merge_def = {"merge", CallForm::pair, anyfold_merge,
                               nullptr, merge_doc};

constexpr FunctionIdentity merge_inplace_function = {
    "merge_inplace", "calvoro.anyfold.merge_inplace", 34};
constexpr int merge_inplace_body_line = 44;

PyObject *
anyfold_merge_inplace(PyObject *args, PyObject *kwargs)
{
    boundary::PairArguments bound;
    if (!boundary::bind_pair_arguments(
            args, kwargs, merge_inplace_function.name, constants.first_dict,
            constants.second_dict, &bound)) {
        return fail_at(merge_inplace_function,
                       merge_inplace_function.binding_line);
    }
    Ref first_dict = Ref::new_ref(bound.first);
    Ref second_dict = Ref::new_ref(bound.second);
    Ref rmerge = boundary::lookup_global(identity, constants.rmerge);
    if (!rmerge) {
        return fail_at(merge_inplace_function, merge_inplace_body_line);
    }
    Ref result = boundary::call_guarded(rmerge.get(), first_dict.get(),
                                        second_dict.get());
    if (!result) {
        return fail_at(merge_inplace_function, merge_inplace_body_line);
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_inplace_doc,
             "merge_inplace(first_dict: MutableMapping, second_dict: "
             "Mapping) -> None\n"
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
        boundary::lookup_global(identity, constants.merge_inplace);
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
        boundary::raise_own_exception(constants.length_error_args);
        return fail_at_bool(function, lines.too_short);
    }
    return true;
}

constexpr FunctionIdentity merge_many_function = {
    "merge_many", "calvoro.anyfold.merge_many", 47};
constexpr FoldLines merge_many_lines = {55, 56, 57, 59, 60, 61};

PyObject *
anyfold_merge_many(PyObject *dicts_arg)
{
    const FoldLines &lines = merge_many_lines;
    Ref dicts = Ref::new_ref(dicts_arg);
    if (!check_length(merge_many_function, lines, dicts.get())) {
        return nullptr;
    }
    Ref deepcopy = boundary::lookup_global(identity, constants.deepcopy);
    if (!deepcopy) {
        return fail_at(merge_many_function, lines.first);
    }
    Ref first = boundary::item_at_index(dicts.get(), 0);
    if (!first) {
        return fail_at(merge_many_function, lines.first);
    }
    Ref consumer_dict = boundary::call_deepcopy(deepcopy.get(), first.get());
    if (!consumer_dict) {
        return fail_at(merge_many_function, lines.first);
    }
    first = Ref();
    if (!fold_rest(merge_many_function, lines, consumer_dict.get(),
                   dicts.get())) {
        return nullptr;
    }
    return consumer_dict.release();
}

PyDoc_STRVAR(merge_many_doc,
             "merge_many(dicts: Sequence[MutableMapping]) -> Mapping\n"
             "\n"
             "    Merge list of dicts.\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "    :param dicts: list of dicts\n"
             "    :return: merged dict\n"
             "    ");

const FunctionDef merge_many_def = {"merge_many", CallForm::single, nullptr,
                                    anyfold_merge_many, merge_many_doc};

constexpr FunctionIdentity merge_many_inplace_function = {
    "merge_many_inplace", "calvoro.anyfold.merge_many_inplace", 65};
constexpr FoldLines merge_many_inplace_lines = {73, 74, 76, 77, 78, 79};

PyObject *
anyfold_merge_many_inplace(PyObject *dicts_arg)
{
    const FoldLines &lines = merge_many_inplace_lines;
    Ref dicts = Ref::new_ref(dicts_arg);
    if (!check_length(merge_many_inplace_function, lines, dicts.get())) {
        return nullptr;
    }
    Ref consumer_dict = boundary::item_at_index(dicts.get(), 0);
    if (!consumer_dict) {
        return fail_at(merge_many_inplace_function, lines.first);
    }
    if (!fold_rest(merge_many_inplace_function, lines, consumer_dict.get(),
                   dicts.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(merge_many_inplace_doc,
             "merge_many_inplace(dicts: Sequence[MutableMapping]) -> None\n"
             "\n"
             "    Merge list of dicts inplace\n"
             "    If more than one given dict defines the same key,\n"
             "    then the one that is later in the argument sequence takes "
             "precedence.\n"
             "\n"
             "    :param dicts: list of dicts\n"
             "    ");

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

// What a definition statement needs beyond its FunctionDef.
struct Definition {
    const FunctionDef *def;
    int line;
    PyObject *const *varnames[3];
    int nvarnames;
    int argcount;
    PyObject *code;
};

Definition definitions[] = {
    {&rmerge_def, 7,
     {&constants.first_dict, &constants.second_dict, &constants.key}, 3, 2,
     nullptr},
    {&merge_def, 22, {&constants.first_dict, &constants.second_dict}, 2, 2,
     nullptr},
    {&merge_inplace_def, 34, {&constants.first_dict, &constants.second_dict},
     2, 2, nullptr},
    {&merge_many_def, 47,
     {&constants.dicts, &constants.consumer_dict, &constants.i}, 3, 1,
     nullptr},
    {&merge_many_inplace_def, 65,
     {&constants.dicts, &constants.consumer_dict, &constants.i}, 3, 1,
     nullptr},
};

bool
make_names()
{
    Constants &c = constants;
    return intern(&c.first_dict, "first_dict") &&
           intern(&c.second_dict, "second_dict") &&
           intern(&c.dicts, "dicts") && intern(&c.key, "key") &&
           intern(&c.consumer_dict, "consumer_dict") && intern(&c.i, "i") &&
           intern(&c.rmerge, "_rmerge") && intern(&c.merge, "merge") &&
           intern(&c.merge_inplace, "merge_inplace") &&
           intern(&c.merge_many, "merge_many") &&
           intern(&c.merge_many_inplace, "merge_many_inplace") &&
           intern(&c.deepcopy, "deepcopy") && intern(&c.return_, "return") && intern(&c.mapping, "Mapping") &&
           intern(&c.mutable_mapping, "MutableMapping") &&
           intern(&c.sequence, "Sequence") && intern(&c.union_, "Union") &&
           intern(&c.module_name, "calvoro.anyfold");
}

bool
make_code_objects()
{
    for (Definition &d : definitions) {
        if (d.code) {
            continue;
        }
        Ref varnames = Ref::steal(PyTuple_New(d.nvarnames));
        if (!varnames) {
            return false;
        }
        for (int i = 0; i < d.nvarnames; i++) {
            PyObject *name = *d.varnames[i];
            Py_INCREF(name);
            PyTuple_SET_ITEM(varnames.get(), i, name);
        }
        Ref name = Ref::steal(PyUnicode_InternFromString(d.def->name));
        if (!name) {
            return false;
        }
        d.code = compat::new_code_object(d.argcount, varnames.get(),
                                         identity.state.filename, name.get(),
                                         d.line);
        if (!d.code) {
            return false;
        }
    }
    return true;
}

bool
make_constants()
{
    if (!constants.length_error_args) {
        constants.length_error_args =
            Py_BuildValue("(s)", "List len should be at least 2");
        if (!constants.length_error_args) {
            return false;
        }
    }
    return make_code_objects();
}

// An annotation as the definition line writes it: None, a name, or a
// generic subscripted with one name or a pair of names.
struct Annotation {
    PyObject *const *key;
    PyObject *const *generic;  // nullptr: the None constant
    PyObject *const *args[2];
    int nargs;                 // 0: the generic name alone
};

struct Signature {
    const FunctionDef *def;
    Annotation annotations[3];
    int count;
};

const Constants &k = constants;
const Signature signatures[] = {
    {&rmerge_def,
     {{&k.first_dict, &k.union_, {&k.mutable_mapping, &k.mapping}, 2},
      {&k.second_dict, &k.mapping, {}, 0},
      {&k.return_, &k.mapping, {}, 0}},
     3},
    {&merge_def,
     {{&k.first_dict, &k.mapping, {}, 0},
      {&k.second_dict, &k.mapping, {}, 0},
      {&k.return_, &k.mapping, {}, 0}},
     3},
    {&merge_inplace_def,
     {{&k.first_dict, &k.mutable_mapping, {}, 0},
      {&k.second_dict, &k.mapping, {}, 0},
      {&k.return_, nullptr, {}, 0}},
     3},
    {&merge_many_def,
     {{&k.dicts, &k.sequence, {&k.mutable_mapping}, 1},
      {&k.return_, &k.mapping, {}, 0}},
     2},
    {&merge_many_inplace_def,
     {{&k.dicts, &k.sequence, {&k.mutable_mapping}, 1},
      {&k.return_, nullptr, {}, 0}},
     2},
};

// The value of an annotation, its names looked up in evaluation order.
Ref
evaluate(const Annotation &annotation)
{
    if (!annotation.generic) {
        return Ref::new_ref(Py_None);
    }
    Ref generic = boundary::lookup_global(identity, *annotation.generic);
    if (!generic || annotation.nargs == 0) {
        return generic;
    }
    Ref args[2];
    for (int i = 0; i < annotation.nargs; i++) {
        args[i] = boundary::lookup_global(identity, *annotation.args[i]);
        if (!args[i]) {
            return Ref();
        }
    }
    Ref index = annotation.nargs == 1
                    ? Ref::new_ref(args[0].get())
                    : Ref::steal(PyTuple_Pack(2, args[0].get(),
                                              args[1].get()));
    if (!index) {
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(generic.get(), index.get()));
}

// One definition statement: annotations, function object, binding.
bool
define(const Definition &definition, const Signature &signature,
       PyObject *globals)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return false;
    }
    for (int i = 0; i < signature.count; i++) {
        const Annotation &annotation = signature.annotations[i];
        Ref value = evaluate(annotation);
        if (!value || PyDict_SetItem(annotations.get(), *annotation.key,
                                     value.get()) != 0) {
            return false;
        }
    }
    Ref function = function_new(definition.def, constants.module_name,
                                globals, definition.code, annotations.get());
    Ref name = Ref::steal(PyUnicode_InternFromString(definition.def->name));
    return function && name &&
           PyDict_SetItem(globals, name.get(), function.get()) == 0;
}

Ref
make_all()
{
    PyObject *const names[] = {constants.merge, constants.merge_inplace,
                               constants.merge_many,
                               constants.merge_many_inplace};
    Ref all = Ref::steal(PyList_New(4));
    if (all) {
        for (int i = 0; i < 4; i++) {
            Py_INCREF(names[i]);
            PyList_SET_ITEM(all.get(), i, names[i]);
        }
    }
    return all;
}

int
body(PyObject *globals)
{
    using namespace body_line;
    const Constants &c = constants;
    if (!make_constants()) {
        return import_copy;
    }
    PyObject *const copy_names[] = {c.deepcopy};
    if (!boundary::import_from(identity, "copy", copy_names, 1)) {
        return import_copy;
    }
    boundary::learn_standard_deepcopy(PyDict_GetItem(globals, c.deepcopy));
    PyObject *const typing_names[] = {c.mapping, c.mutable_mapping,
                                      c.sequence, c.union_};
    if (!boundary::import_from(identity, "typing", typing_names, 4)) {
        return import_typing;
    }
    Ref all = make_all();
    if (!all || PyDict_SetItemString(globals, "__all__", all.get()) != 0) {
        return all_line;
    }
    for (size_t i = 0; i < sizeof definitions / sizeof definitions[0]; i++) {
        if (!define(definitions[i], signatures[i], globals)) {
            return definitions[i].line;
        }
    }
    return 0;
}

bool
prepare()
{
    return function_type_ready();
}

const boundary::ModuleHooks hooks = {prepare, make_names, body};

PyObject *
anyfold_create(PyObject *spec, PyModuleDef *def)
{
    return boundary::create_module(identity, spec, def);
}

int
anyfold_exec(PyObject *module)
{
    return boundary::exec_module(identity, module, hooks);
}

PyMethodDef anyfold_methods[] = {
    {},
};

PyModuleDef_Slot anyfold_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(anyfold_create)},
    {Py_mod_exec, reinterpret_cast<void *>(anyfold_exec)},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {},
};

PyModuleDef anyfold_module = {
    PyModuleDef_HEAD_INIT,
    "anyfold",        /* m_name */
    nullptr,          /* m_doc */
    0,                /* m_size */
    anyfold_methods,  /* m_methods */
    anyfold_slots,    /* m_slots */
    nullptr,          /* m_traverse */
    nullptr,          /* m_clear */
    nullptr,          /* m_free */
};

}  // namespace

}  // namespace calvoro::anyfold

CALVORO_MODINIT
PyInit_anyfold(void)
{
    return PyModuleDef_Init(&calvoro::anyfold::anyfold_module);
}
