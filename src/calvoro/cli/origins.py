"""--explain: which input set each leaf of the result."""
from .document import ESCAPE_SURROGATES
from .dotted import dotted_path


def _encode_label(label):
    # a file name given in bytes that are not UTF-8 is written back as such
    try:
        return label.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return label.encode("utf-8", "backslashreplace")


def explain(sources, sort_keys=False, ensure_ascii=False):
    """UTF-8 lines 'dotted.path<TAB>label' for each leaf of the merged
    result.

    Follows the merge rule over the sources before they are merged (merging
    in place changes the later documents' nested objects).
    """
    tree = {}   # key -> [label, subtree or None]

    def add(tree, doc, label):
        for key, value in doc.items():
            node = tree.get(key)
            if node is not None and node[1] is not None \
                    and isinstance(value, dict):
                add(node[1], value, label)
            else:
                tree[key] = new(value, label)

    def new(value, label):
        if isinstance(value, dict):
            return [label, {k: new(v, label) for k, v in value.items()}]
        return [label, None]

    def walk(tree, path, lines):
        for key in (sorted(tree) if sort_keys else tree):
            label, sub = tree[key]
            if sub:
                walk(sub, path + [key], lines)
            else:
                lines += [
                    dotted_path(path + [key], ensure_ascii).encode(
                        "utf-8", ESCAPE_SURROGATES),
                    b"\t", _encode_label(label), b"\n"]

    for label, doc in sources:
        add(tree, doc, label)
    lines = []
    walk(tree, [], lines)
    return b"".join(lines)
