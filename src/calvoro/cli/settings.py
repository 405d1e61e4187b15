"""--set PATH=VALUE: one more document, {PATH: VALUE}, merged after the
files."""
import argparse
import json

from .dotted import dotted_path
from .formats import STRICT_JSON, NotJson, value_error


def parse_setting(text):
    """(keys, value text) of PATH=VALUE."""
    keys = []
    i = 0
    while True:
        if text.startswith('"', i):
            try:
                key, i = json.decoder.scanstring(text, i + 1)
            except ValueError:
                raise ValueError("a quoted key is not a JSON string")
        else:
            end = i
            while end < len(text) and text[end] not in ".=":
                end += 1
            key, i = text[i:end], end
            if not key:
                raise ValueError("an empty key")
        keys.append(key)
        if text.startswith("=", i):
            return keys, text[i + 1:]
        if not text.startswith(".", i):
            raise ValueError("expected PATH=VALUE")
        i += 1


def setting_argument(text):
    """parse_setting as an argparse type: a bad one is a usage error."""
    try:
        keys, value = parse_setting(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError("%s in %r" % (exc, text))
    return keys, value


def setting_document(keys, value_text, allow_nan):
    """(label, {k1: {k2: ... VALUE}}) for one --set."""
    label = "--set " + dotted_path(keys)
    try:
        value = (json.loads(value_text) if allow_nan
                 else STRICT_JSON.decode(value_text))
    except (json.JSONDecodeError, NotJson):
        value = value_text
    except ValueError as exc:
        raise value_error(label, exc)
    for key in reversed(keys):
        value = {key: value}
    return label, value
