"""--explain: which input set each leaf of the result."""
from .document import ESCAPE_SURROGATES
from .dotted import dotted_path
from .modes import conflict_error


def _encode_label(label):
    # a file name given in bytes that are not UTF-8 is written back as such
    try:
        return label.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return label.encode("utf-8", "backslashreplace")


def explain(sources, sort_keys=False, ensure_ascii=False, modes=None):
    """UTF-8 lines 'dotted.path<TAB>label' for each leaf of the merged
    result.

    Follows the merge rule, or the Merger of `modes`, over the sources
    before they are merged (merging in place changes the later documents'
    nested objects). A joined array names the last input joined into it.
    """
    lists, conflicts, strict, deletes = modes or (None, "replace", False,
                                                  False)

    def add(tree, doc, label, path):
        for key, value in doc.items():
            if deletes and value is None:
                tree.pop(key, None)
                continue
            node = tree.get(key)
            if node is None:
                tree[key] = new(value, label)
                continue
            if node[1] is not None and isinstance(value, dict):
                node[3] = label
                add(node[1], value, label, path + [key])
                continue
            if strict and type(node[2]) is not type(value):
                raise conflict_error(path + [key], node[2], node[3], value,
                                     label)
            mode = conflicts
            if lists and isinstance(node[2], list) \
                    and isinstance(value, list):
                mode = lists
            if mode == "replace":
                tree[key] = new(value, label)
            elif mode == "keep":
                node[3] = label
            else:
                node[0] = node[3] = label

    def new(value, label, strip=deletes):
        # [the input that set it, subtree or None, value, the last input
        # that had a value there]; the last is what a conflict names, as
        # the merge's own conflicts can tell it
        if isinstance(value, dict):
            return [label, {k: new(v, label, strip) for k, v in value.items()
                            if not (strip and v is None)}, value, label]
        return [label, None, value, label]

    def walk(tree, path, lines):
        for key in (sorted(tree) if sort_keys else tree):
            label, sub = tree[key][:2]
            if sub:
                walk(sub, path + [key], lines)
            else:
                lines += [
                    dotted_path(path + [key], ensure_ascii).encode(
                        "utf-8", ESCAPE_SURROGATES),
                    b"\t", _encode_label(label), b"\n"]

    # the first input's nulls are values: only a later one deletes
    tree = new(sources[0][1], sources[0][0], False)[1]
    for label, doc in sources[1:]:
        add(tree, doc, label, [])
    lines = []
    walk(tree, [], lines)
    return b"".join(lines)
