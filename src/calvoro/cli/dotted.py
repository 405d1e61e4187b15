"""Dotted paths: how messages, --set and --explain name a place in a
document."""
import json
import re

_BARE_KEY = re.compile(r'[^."=\s\x00-\x1f\x7f\ud800-\udfff]+\Z')

# whether a text holds a character that no bare key holds
has_unbare = re.compile(r'[."=\s\x00-\x1f\x7f\ud800-\udfff]').search


def dotted_path(keys, ensure_ascii=False, text=""):
    """The keys as a dotted path, after `text` (a dotted path of the keys
    above them); a key that is not bare is a JSON string."""
    for key in keys:
        if isinstance(key, int):
            text += "[%d]" % key        # an array index, in error messages
            continue
        if text:
            text += "."
        text += key if _BARE_KEY.match(key) else json.dumps(
            key, ensure_ascii=ensure_ascii)
    return text
