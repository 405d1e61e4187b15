// merger_explain.cpp: explain's fold of the layers, a policy of the merge
// driver that decides each key as a Merger's core does and records, beside
// the result, where each value came from.
//
// A record is one of:
//     an int: the index of the layer whose value it is, the last layer
//         that held a value there too;
//     a tuple of ints: the layers a joined list, set or tuple came from,
//         the last of them its holder;
//     [origin, holder]: a value a later layer kept (its holder);
//     [origin, children, holder]: a mapping merged into, children the
//         records of its keys that are not its own origin.
// A mapping that a later layer added is that layer's own object until
// another layer merges into it; then it is copied, one level, so that no
// layer changes. Once every layer is in, a walk of the result turns the
// records into paths and names.
#include "merger_explain.hpp"

#include "boundary/merge/driver.hpp"
#include "boundary/merge/recursion.hpp"
#include "merger_keys.hpp"
#include "merger_module.hpp"
#include "merger_values.hpp"

#include <initializer_list>
#include <utility>

namespace calvoro::merger {

namespace {

using boundary::KeySource;
using boundary::NestedDicts;

namespace records {

bool
is_node(PyObject *r) noexcept
{
    return PyList_CheckExact(r) && PyList_GET_SIZE(r) == 3;
}

// int or tuple, borrowed
PyObject *
origin(PyObject *r) noexcept
{
    return PyList_CheckExact(r) ? PyList_GET_ITEM(r, 0) : r;
}

// int, borrowed
PyObject *
holder(PyObject *r) noexcept
{
    if (PyList_CheckExact(r)) {
        return PyList_GET_ITEM(r, PyList_GET_SIZE(r) - 1);
    }
    if (PyTuple_CheckExact(r)) {
        return PyTuple_GET_ITEM(r, PyTuple_GET_SIZE(r) - 1);
    }
    return r;
}

PyObject *
children(PyObject *node) noexcept
{
    return PyList_GET_ITEM(node, 1);
}

void
set_holder(PyObject *node, PyObject *index) noexcept
{
    PyObject *old = PyList_GET_ITEM(node, 2);
    PyList_SET_ITEM(node, 2, Py_NewRef(index));
    Py_DECREF(old);  // an int: runs no code
}

Ref
list_of(std::initializer_list<PyObject *> items)
{
    Ref list = Ref::steal(PyList_New(Py_ssize_t(items.size())));
    if (list) {
        Py_ssize_t i = 0;
        for (PyObject *item : items) {
            PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
        }
    }
    return list;
}

Ref
node(PyObject *origin, PyObject *holder)
{
    Ref children = Ref::steal(PyDict_New());
    return children ? list_of({origin, children.get(), holder}) : Ref();
}

Ref
kept(PyObject *origin, PyObject *holder)
{
    return list_of({origin, holder});
}

// the origin of a join of a value from `origin` with one from `index`
Ref
joined(PyObject *origin, PyObject *index)
{
    if (!PyTuple_CheckExact(origin)) {
        return Ref::steal(PyTuple_Pack(2, origin, index));
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(origin);
    Ref tuple = Ref::steal(PyTuple_New(n + 1));
    if (tuple) {
        for (Py_ssize_t i = 0; i < n; i++) {
            PyTuple_SET_ITEM(tuple.get(), i,
                             Py_NewRef(PyTuple_GET_ITEM(origin, i)));
        }
        PyTuple_SET_ITEM(tuple.get(), n, Py_NewRef(index));
    }
    return tuple;
}

// The record of `key` under `node`: its child, or the node's origin.
Ref
of_key(PyObject *node, PyObject *key)
{
    PyObject *found = PyDict_GetItemWithError(children(node), key);
    if (found) {
        return Ref::new_ref(found);
    }
    return PyErr_Occurred() ? Ref() : Ref::new_ref(origin(node));
}

}  // namespace records

// What the layers' names and indexes are, for the records and reports.
struct Layers {
    PyObject *names;    // tuple
    PyObject *indexes;  // tuple of ints 0..n-1
    PyTypeObject *conflict_class;

    PyObject *
    name(PyObject *index) const noexcept
    {
        return PyTuple_GET_ITEM(names, PyLong_AsSsize_t(index));
    }
    // the name, or the tuple of names, of an origin
    Ref
    names_of(PyObject *origin) const
    {
        if (!PyTuple_CheckExact(origin)) {
            return Ref::new_ref(name(origin));
        }
        const Py_ssize_t n = PyTuple_GET_SIZE(origin);
        Ref tuple = Ref::steal(PyTuple_New(n));
        if (tuple) {
            for (Py_ssize_t i = 0; i < n; i++) {
                PyTuple_SET_ITEM(tuple.get(), i,
                                 Py_NewRef(name(PyTuple_GET_ITEM(origin, i))));
            }
        }
        return tuple;
    }
};

// A level entered: its record, and the key it was entered by (none for
// the top).
struct Entered {
    Entered(Ref &&record_, Ref &&key_)
        : record(std::move(record_)), key(std::move(key_))
    {
    }
    Ref record;
    Ref key;
};

// The keys from the top down to `key`, by the levels entered below it.
template <typename Level>
Ref
path_of(boundary::LevelStack<Level> &levels, PyObject *key)
{
    const Py_ssize_t above = Py_ssize_t(levels.depth()) - 1;
    Ref path = Ref::steal(PyTuple_New(above + 1));
    if (path) {
        Py_ssize_t i = above;
        PyTuple_SET_ITEM(path.get(), i, Py_NewRef(key));
        levels.each_from_top([&](Level &level) {
            if (level.key) {
                PyTuple_SET_ITEM(path.get(), --i, Py_NewRef(level.key.get()));
            }
        });
        assert(i == 0);
    }
    return path;
}

// Never runs: the levels do not fuse, since each step records.
struct RunPolicy {
    static constexpr bool counts_keys = true;
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
    bool
    stores(PyObject *) const noexcept
    {
        return false;
    }
    bool
    store(PyObject *, PyObject *, PyObject *)
    {
        return false;
    }
};

class Core {
  public:
    struct NoCall {};
    using Level = boundary::MergeLevel<Keys, NoCall>;
    using RunPolicy = merger::RunPolicy;

    static constexpr const char *where = too_deep_where;
    static constexpr int walk_line = failed::walk;
    static constexpr int replace_line = failed::step;
    static constexpr int nested_line = failed::nested;

    Core(const Options &options, PyObject *conflict_type, const Layers &layers,
         PyObject *conflicts) noexcept
        : options_(options),
          conflict_type_(conflict_type),
          layers_(layers),
          conflicts_(conflicts)
    {
    }

    // The layer about to be merged, under the root's record; false with
    // an exception set.
    bool
    begin_layer(Py_ssize_t index, PyObject *root)
    {
        index_ = PyTuple_GET_ITEM(layers_.indexes, index);
        while (!entered_.empty()) {
            entered_.pop();
        }
        return entered_.push(Ref::new_ref(root), Ref()) != nullptr;
    }

    static boundary::Fusion
    fusion_of(PyObject *, PyObject *) noexcept
    {
        return boundary::Fusion::none;
    }
    int
    start(Level &level)
    {
        return start_level(level);
    }
    int step(Level &level, PyObject *key, Ref &held, NestedDicts *nested);
    int
    nest_fused(Level &, PyObject *, PyObject *, PyObject *, Ref &,
               NestedDicts *) noexcept
    {
        assert(!"explain's levels do not fuse");
        return failed::step;
    }
    RunPolicy
    run_policy() noexcept
    {
        return RunPolicy{};
    }
    void
    drop_call(Level &) noexcept
    {
        // a failure to enter a level unwinds one level fewer
        if (entered_.depth() > 1) {
            entered_.pop();
        }
    }
    void
    add_entry(int) noexcept
    {
    }

  private:
    int merge_value(PyObject *first_mapping, PyObject *key, Ref existing,
                    Ref value, NestedDicts *nested);
    int descend(PyObject *first_mapping, PyObject *key, Ref existing,
                Ref value, Ref record, NestedDicts *nested);
    int put(PyObject *first_mapping, PyObject *key, PyObject *value);
    bool
    set_record(PyObject *key, PyObject *record)
    {
        return PyDict_SetItem(records::children(entered_.top().record.get()),
                              key, record) == 0;
    }
    bool note(PyObject *key, PyObject *record, PyObject *a, PyObject *b,
              Join join);
    int raise(PyObject *key, PyObject *record, PyObject *a, PyObject *b,
              bool of_types);

    const Options &options_;
    PyObject *const conflict_type_;
    const Layers &layers_;
    PyObject *const conflicts_;
    PyObject *index_ = nullptr;
    boundary::LevelStack<Entered> entered_;
};

int
Core::step(Level &level, PyObject *key, Ref &held, NestedDicts *nested)
{
    level.window.close();
    Ref value =
        walked_value(level.second.get(), key, held, level.keys.walked());
    if (!value) {
        return failed::step;
    }
    PyObject *first_mapping = level.first.get();
    if (value.get() == options_.marker) {
        // a deleted key's stale record is never read: only a value added
        // again brings the key back, with a record of its own
        return discard(first_mapping, held.get()) ? 0 : failed::step;
    }
    Ref existing;
    switch (lookup(first_mapping, held.get(), &existing)) {
    case Found::error:
        return failed::step;
    case Found::no:
        return put(first_mapping, held.get(), value.get());
    case Found::yes:
        break;
    }
    return merge_value(first_mapping, held.get(), std::move(existing),
                       std::move(value), nested);
}

int
Core::merge_value(PyObject *first_mapping, PyObject *key, Ref existing,
                  Ref value, NestedDicts *nested)
{
    PyObject *a = existing.get();
    PyObject *b = value.get();
    Found both = is_mapping(options_, a);
    if (both == Found::yes) {
        both = is_mapping(options_, b);
    }
    if (both == Found::error) {
        return failed::step;
    }
    const bool of_types = Py_TYPE(a) != Py_TYPE(b);
    const Join join = both == Found::yes ? Join::none
                      : of_types && options_.type_conflicts != Join::none
                          ? options_.type_conflicts
                          : options_.join_of(a, b);
    if (both == Found::no && !of_types && join == Join::replace) {
        // the most common step needs no record of what it replaces
        return put(first_mapping, key, b);
    }
    // held: the lookup may run the key's code, which may merge again
    const Ref node = Ref::new_ref(entered_.top().record.get());
    Ref record = records::of_key(node.get(), key);
    if (!record) {
        return failed::step;
    }
    if (both == Found::yes) {
        return descend(first_mapping, key, std::move(existing),
                       std::move(value), std::move(record), nested);
    }
    if (of_types && !note(key, record.get(), a, b, join)) {
        return failed::step;
    }
    switch (join) {
    case Join::none:
    case Join::replace:
        return put(first_mapping, key, b);
    case Join::keep:
        if (records::is_node(record.get())) {
            records::set_holder(record.get(), index_);
            return 0;
        }
        record = records::kept(records::origin(record.get()), index_);
        return record && set_record(key, record.get()) ? 0 : failed::step;
    case Join::error:
        return raise(key, record.get(), a, b, of_types);
    case Join::append:
    case Join::prepend:
    case Join::append_unique:
    case Join::append_rp:
    case Join::prepend_rp:
    case Join::union_:
    case Join::intersect:
        break;
    }
    Ref result = joined(options_, join, a, b);
    if (!result || !store(first_mapping, key, result.get())) {
        return failed::step;
    }
    record = records::joined(records::origin(record.get()), index_);
    return record && set_record(key, record.get()) ? 0 : failed::step;
}

int
Core::descend(PyObject *first_mapping, PyObject *key, Ref existing, Ref value,
              Ref record, NestedDicts *nested)
{
    if (!records::is_node(record.get())) {
        PyObject *origin = records::origin(record.get());
        // the first layer's is a copy, and so is a value added as a new
        // object; any other is a later layer's own
        const bool owned = origin == PyTuple_GET_ITEM(layers_.indexes, 0) ||
                           options_.copy || options_.marker;
        if (!owned) {
            existing = shallow_copy(existing.get());
            if (!existing || !store(first_mapping, key, existing.get())) {
                return failed::step;
            }
        }
        record = records::node(origin, records::holder(record.get()));
        if (!record || !set_record(key, record.get())) {
            return failed::step;
        }
    }
    records::set_holder(record.get(), index_);
    if (!entered_.push(std::move(record), Ref::new_ref(key))) {
        return failed::step;
    }
    nested->first = std::move(existing);
    nested->second = std::move(value);
    return 0;
}

int
Core::put(PyObject *first_mapping, PyObject *key, PyObject *value)
{
    Ref result = options_.marker || options_.copy ? added(options_, value)
                                                  : Ref::new_ref(value);
    return result && store(first_mapping, key, result.get()) &&
                   set_record(key, index_)
               ? 0
               : failed::step;
}

// One conflict of types, as the report lists it.
bool
Core::note(PyObject *key, PyObject *record, PyObject *a, PyObject *b,
           Join join)
{
    Ref path = path_of(entered_, key);
    if (!path) {
        return false;
    }
    // the record class is a tuple's subclass: made as tuple.__new__ makes
    // one, its items set before anything can see it, none of its code run
    PyTypeObject *type = layers_.conflict_class;
    Ref conflict = Ref::steal(type->tp_alloc(type, 6));
    if (!conflict) {
        return false;
    }
    PyObject *const fields[] = {
        path.release(),
        Py_NewRef(layers_.name(records::holder(record))),
        Py_NewRef(layers_.name(index_)),
        Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(a))),
        Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(b))),
        Py_NewRef(constants.outcomes[int(join)]),
    };
    for (int i = 0; i < 6; i++) {
        PyTuple_SET_ITEM(conflict.get(), i, fields[i]);
    }
    return conflict && PyList_Append(conflicts_, conflict.get()) == 0;
}

int
Core::raise(PyObject *key, PyObject *record, PyObject *a, PyObject *b,
            bool of_types)
{
    Ref path = path_of(entered_, key);
    if (!path) {
        return failed::step;
    }
    Ref error = conflict_error(conflict_type_, of_types, path.get(), a, b);
    if (!error ||
        PyObject_SetAttr(error.get(), constants.first_layer,
                         layers_.name(records::holder(record))) != 0 ||
        PyObject_SetAttr(error.get(), constants.second_layer,
                         layers_.name(index_)) != 0) {
        return failed::step;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                    error.get());
    return failed::step;
}

// One mapping of the result being walked for its leaves' origins.
struct Walked {
    Walked(Ref &&mapping_, Ref &&record_, Ref &&key_, bool on_path_)
        : mapping(std::move(mapping_)),
          record(std::move(record_)),
          key(std::move(key_)),
          on_path(on_path_),
          keys(mapping.get())
    {
    }
    Ref mapping;
    // a node, or the record of every value below
    Ref record;
    // the key it was met under, none for the top
    Ref key;
    // whether its id is in OnPath
    bool on_path;
    KeySource keys;
};

// Whether `value` is a mapping with keys, which the walk goes into.
Found
has_keys(const Options &options, PyObject *value)
{
    const Found found = is_mapping(options, value);
    if (found != Found::yes) {
        return found;
    }
    const Py_ssize_t size = PyDict_CheckExact(value) ? PyDict_GET_SIZE(value)
                                                     : PyObject_Size(value);
    return size < 0 ? Found::error : size ? Found::yes : Found::no;
}

// The mappings of the walk's levels, by id: one met again below itself is
// a leaf there. Only a mapping that more than its parent and the walk refer
// to can be met again (a mapping below it would refer to it), so only
// those are kept.
class OnPath {
  public:
    static bool
    may_return(PyObject *mapping) noexcept
    {
        return Py_REFCNT(mapping) > 2;
    }

    explicit
    operator bool() const noexcept
    {
        return bool(ids_);
    }
    // Whether `mapping` is on the path; -1 with an exception set.
    int
    holds(PyObject *mapping)
    {
        Ref id = Ref::steal(PyLong_FromVoidPtr(mapping));
        return id ? PySet_Contains(ids_.get(), id.get()) : -1;
    }
    bool
    add(PyObject *mapping)
    {
        Ref id = Ref::steal(PyLong_FromVoidPtr(mapping));
        return id && PySet_Add(ids_.get(), id.get()) == 0;
    }
    bool
    discard(PyObject *mapping)
    {
        Ref id = Ref::steal(PyLong_FromVoidPtr(mapping));
        return id && PySet_Discard(ids_.get(), id.get()) >= 0;
    }

  private:
    Ref ids_ = Ref::steal(PySet_New(nullptr));
};

// {path: names} for each leaf of `result`, in its order, depth first.
Ref
origins_of(const Options &options, const Layers &layers, PyObject *result,
           PyObject *root)
{
    using Step = KeySource::Step;
    Ref origins = Ref::steal(PyDict_New());
    OnPath on_path;
    boundary::LevelStack<Walked> walk;
    // the top, which no parent refers to, is kept whatever it says
    if (!origins || !on_path || !on_path.add(result) ||
        !walk.push(Ref::new_ref(result), Ref::new_ref(root), Ref(), true)) {
        return Ref();
    }
    bool started = false;
    while (!walk.empty()) {
        Walked &level = walk.top();
        if (!started) {
            started = true;
            if (!level.keys.start()) {
                return Ref();
            }
        }
        PyObject *key;
        Ref held;
        PyObject *walked = nullptr;
        switch (level.keys.next(&key, &held, &walked)) {
        case Step::error:
            return Ref();
        case Step::end:
            if (level.on_path && !on_path.discard(level.mapping.get())) {
                return Ref();
            }
            walk.pop();
            continue;
        case Step::item:
            break;
        }
        Ref value = walked_value(level.mapping.get(), key, held, walked);
        if (!value) {
            return Ref();
        }
        Ref record = records::is_node(level.record.get())
                         ? records::of_key(level.record.get(), held.get())
                         : Ref::new_ref(level.record.get());
        if (!record) {
            return Ref();
        }
        const Found inner = has_keys(options, value.get());
        const bool kept =
            inner == Found::yes && OnPath::may_return(value.get());
        const int again = kept ? on_path.holds(value.get()) : 0;
        if (inner == Found::error || again < 0) {
            return Ref();
        }
        if (inner == Found::yes && !again) {
            if ((kept && !on_path.add(value.get())) ||
                !walk.push(std::move(value), std::move(record),
                           std::move(held), kept)) {
                return Ref();
            }
            started = false;
            continue;
        }
        Ref path = path_of(walk, held.get());
        Ref names =
            path ? layers.names_of(records::origin(record.get())) : Ref();
        if (!names || PyDict_SetItem(origins.get(), path.get(), names.get())) {
            return Ref();
        }
    }
    return origins;
}

}  // namespace

Ref
explain_layers(const Options &options, PyObject *conflict_type,
               PyObject *layers, PyObject *names, PyTypeObject *record_class)
{
    assert(!PyErr_Occurred());
    const Py_ssize_t n = PyTuple_GET_SIZE(layers);
    Ref indexes = Ref::steal(PyTuple_New(n));
    if (!indexes) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *index = PyLong_FromSsize_t(i);
        if (!index) {
            return Ref();
        }
        PyTuple_SET_ITEM(indexes.get(), i, index);
    }
    const Layers named = {names, indexes.get(), record_class};
    Ref root = records::node(PyTuple_GET_ITEM(indexes.get(), 0),
                             PyTuple_GET_ITEM(indexes.get(), 0));
    Ref conflicts = Ref::steal(PyList_New(0));
    Ref result =
        root && conflicts ? deep_copy(PyTuple_GET_ITEM(layers, 0)) : Ref();
    if (!result) {
        return Ref();
    }
    {
        RecursionGuard guard(too_deep_where);
        if (!guard) {
            return Ref();
        }
        Core core(options, conflict_type, named, conflicts.get());
        for (Py_ssize_t i = 1; i < n; i++) {
            if (!core.begin_layer(i, root.get()) ||
                !boundary::MergeDriver<Core>(core, guard.thread_state())
                     .merge(result.get(), PyTuple_GET_ITEM(layers, i))) {
                return Ref();
            }
        }
    }
    Ref origins = origins_of(options, named, result.get(), root.get());
    if (!origins) {
        return Ref();
    }
    return Ref::steal(
        PyTuple_Pack(3, result.get(), origins.get(), conflicts.get()));
}

}  // namespace calvoro::merger
