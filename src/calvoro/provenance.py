"""explain: a merge of several layers that tells which layer set each value
of the result, and which values of different types met on the way.

The fold is native (calvoro._merger), made by the Merger's own decisions;
this module checks the arguments and dresses the report.
"""
import collections

from calvoro.merger import Merger, _mappings

__all__ = ["Conflict", "Explanation", "explain"]


def _type_name(cls):
    if getattr(cls, "__module__", None) == "builtins":
        return cls.__qualname__
    return "%s.%s" % (cls.__module__, cls.__qualname__)


class Conflict(collections.namedtuple(
        "Conflict", "path first second first_type second_type outcome")):
    """Two values of different types that met under one key and were not
    merged deeper.

    path: the keys from the top, a tuple; first: the name of the last layer
    before `second` that held a value there; second: the layer that brought
    the later value; first_type, second_type: their types; outcome: what
    the merger did, "replace", "keep", or the join of lists, sets or
    tuples that it made ("append", "union", ...).
    """

    __slots__ = ()

    def __repr__(self):
        return ("Conflict(path=%r, first=%r, second=%r, first_type=%s, "
                "second_type=%s, outcome=%r)"
                % (self.path, self.first, self.second,
                   _type_name(self.first_type), _type_name(self.second_type),
                   self.outcome))


class Explanation(collections.namedtuple(
        "Explanation", "result origins conflicts")):
    """What explain() reports.

    result: the merged mapping, as the merger's merge_many makes it;
    origins: {path: name} for each leaf of the result (a value that is not
    a mapping, or an empty one), in the result's order, depth first; a
    list, set or tuple joined from several layers has the tuple of their
    names, in the layers' order; conflicts: a tuple of Conflict, in the
    order met.
    """

    __slots__ = ()


_RULE = Merger()


def explain(layers, names=None, merger=None):
    """Merge `layers` (a sequence of at least two mappings) as
    merger.merge_many(layers) does (merger: a calvoro.Merger, by default
    Merger()), changing none of them; return an Explanation of the result:
    which layer set each leaf, and the values of different types that met.

    names: one hashable label per layer (by default their indexes, 0, 1,
    ...), which the origins and conflicts give. A MergeConflict that the
    merger raises carries first_layer and second_layer, the names of the
    layers whose values conflicted.
    """
    if merger is None:
        merger = _RULE
    elif not isinstance(merger, Merger):
        raise TypeError("explain(): merger must be a calvoro.Merger, not %s"
                        % type(merger).__name__)
    try:
        layers = tuple(layers)
    except TypeError:
        raise TypeError("explain(): layers must be a sequence of mappings, "
                        "not %s" % type(layers).__name__) from None
    if len(layers) < 2:
        raise ValueError("explain(): layers must hold at least two "
                         "mappings, not %d" % len(layers))
    mappings = merger._options[0]
    for i, layer in enumerate(layers):
        if not isinstance(layer, mappings):
            raise TypeError("explain(): layers[%d] must be %s, not %s"
                            % (i, _mappings(mappings)[2],
                               type(layer).__name__))
    if names is None:
        names = tuple(range(len(layers)))
    else:
        try:
            names = tuple(names)
        except TypeError:
            raise TypeError("explain(): names must be a sequence of "
                            "labels, not %s" % type(names).__name__) from None
        if len(names) != len(layers):
            raise ValueError("explain(): names must give one name per "
                             "layer: %d names for %d layers"
                             % (len(names), len(layers)))
        for i, name in enumerate(names):
            try:
                hash(name)
            except TypeError:
                raise TypeError("explain(): names[%d] must be hashable, "
                                "not %s" % (i, type(name).__name__)) from None
    result, origins, conflicts = merger._explain(layers, names, Conflict)
    return Explanation(result, origins, tuple(conflicts))
