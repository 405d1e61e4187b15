"""calvoro.Merger in plain Python, written from its table of options: the
oracle of the tests where options multiply."""
import copy

NO_MARKER = object()

JOINS = {
    "append": lambda a, b: a + b,
    "prepend": lambda a, b: b + a,
    "append_unique": lambda a, b: _append_unique(a, b),
    "append_rp": lambda a, b: [x for x in a if x not in b] + b,
    "prepend_rp": lambda a, b: b + [x for x in a if x not in b],
    "union": lambda a, b: a | b,
    "intersect": lambda a, b: a & b,
}


def _append_unique(a, b):
    result = list(a)
    for x in b:
        if x not in result:
            result.append(x)
    return result


class Conflict(Exception):
    def __init__(self, path, first, second, of_types):
        Exception.__init__(self, path)
        self.path, self.first, self.second = path, first, second
        self.of_types = of_types


class Model:
    def __init__(self, mappings=dict, lists=None, sets=None, tuples=None,
                 conflicts="replace", type_conflicts=None, delete=NO_MARKER,
                 copy=False):
        self.mappings, self.lists, self.sets = mappings, lists, sets
        self.tuples, self.conflicts = tuples, conflicts
        self.type_conflicts, self.delete, self.copy = (
            type_conflicts, delete, copy)

    def is_mapping(self, value):
        return isinstance(value, self.mappings)

    def stripped(self, value):
        if not self.is_mapping(value):
            return value
        return {key: self.stripped(value[key]) for key in value
                if value[key] is not self.delete}

    def added(self, value):
        if self.delete is not NO_MARKER:
            value = self.stripped(value)
        return copy.deepcopy(value) if self.copy else value

    def mode(self, a, b):
        if self.lists and isinstance(a, list) and isinstance(b, list):
            return self.lists
        if (self.sets and isinstance(a, (set, frozenset))
                and isinstance(b, (set, frozenset))):
            return self.sets
        if self.tuples and isinstance(a, tuple) and isinstance(b, tuple):
            return self.tuples
        return self.conflicts

    def merge_inplace(self, first, second, path=()):
        for key in second:
            b = second[key]
            if self.delete is not NO_MARKER and b is self.delete:
                if key in first:
                    del first[key]
                continue
            if key not in first:
                first[key] = self.added(b)
                continue
            a = first[key]
            if self.is_mapping(a) and self.is_mapping(b):
                self.merge_inplace(a, b, path + (key,))
                continue
            of_types = (self.type_conflicts is not None
                        and type(a) is not type(b))
            mode = self.type_conflicts if of_types else self.mode(a, b)
            if mode == "error":
                raise Conflict(path + (key,), a, b, of_types)
            if mode == "replace":
                first[key] = self.added(b)
            elif mode != "keep":
                first[key] = JOINS[mode](
                    a, copy.deepcopy(b) if self.copy else b)

    def merge(self, first, second):
        result = copy.deepcopy(first)
        self.merge_inplace(result, second)
        return result

    def merge_many_inplace(self, mappings):
        for later in mappings[1:]:
            self.merge_inplace(mappings[0], later)

    def merge_many(self, mappings):
        result = copy.deepcopy(mappings[0])
        for later in mappings[1:]:
            self.merge_inplace(result, later)
        return result

    # explain: merge_many's fold over copies of the later layers, which
    # share and change as the layers would, with a record [origin, holder,
    # records of a mapping's keys] beside every value

    def explain(self, layers, names):
        layers = [copy.deepcopy(layers[0])] + copy.deepcopy(layers[1:])
        result = layers[0]
        records = self._records(result, 0)
        conflicts = []
        for i, layer in enumerate(layers[1:], 1):
            self._explain_into(result, records, layer, i, (), names,
                               conflicts)
        origins = {}
        self._leaves(result, records, (), names, origins)
        return result, origins, conflicts

    def _records(self, value, origin):
        if not self.is_mapping(value):
            return None
        return {key: [origin, origin, self._records(value[key], origin)]
                for key in value}

    def _explain_into(self, first, records, second, i, path, names,
                      conflicts):
        for key in second:
            b = second[key]
            if self.delete is not NO_MARKER and b is self.delete:
                if key in first:
                    del first[key]
                    del records[key]
                continue
            if key not in first:
                first[key] = self.added(b)
                records[key] = [i, i, self._records(first[key], i)]
                continue
            a, record = first[key], records[key]
            if self.is_mapping(a) and self.is_mapping(b):
                record[1] = i
                self._explain_into(a, record[2], b, i, path + (key,), names,
                                   conflicts)
                continue
            of_types = type(a) is not type(b)
            mode = (self.type_conflicts if of_types and self.type_conflicts
                    else self.mode(a, b))
            if of_types:
                conflicts.append((path + (key,), names[record[1]], names[i],
                                  type(a), type(b), mode))
            if mode == "error":
                error = Conflict(path + (key,), a, b, of_types)
                error.layers = names[record[1]], names[i]
                raise error
            if mode == "replace":
                first[key] = self.added(b)
                records[key] = [i, i, self._records(first[key], i)]
            elif mode == "keep":
                record[1] = i
            else:
                first[key] = JOINS[mode](
                    a, copy.deepcopy(b) if self.copy else b)
                origin = record[0]
                joined = origin if isinstance(origin, tuple) else (origin,)
                records[key] = [joined + (i,), i, None]

    def _leaves(self, mapping, records, path, names, origins):
        for key in mapping:
            value, (origin, _, below) = mapping[key], records[key]
            if self.is_mapping(value) and len(value):
                self._leaves(value, below, path + (key,), names, origins)
            elif isinstance(origin, tuple):
                origins[path + (key,)] = tuple(names[j] for j in origin)
            else:
                origins[path + (key,)] = names[origin]
