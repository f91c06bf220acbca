"""Where the twins may word a note apart: the one rule, read by the differential test and the twins fuzzer.

Both twins give the same results, exception types, str() and notes, except that a note that locates a
JSON syntax problem is each reader's own: the text is UTF-8 (one byte-order mark allowed) whose text is
not JSON (NaN and Infinity are not), and a note is not one of the text problems both readers check before
the syntax, which they word alike.
"""

import json
import re

# Problems of a text that both readers report at the same place in the same words, JSON or not.
TEXT_PROBLEM = re.compile(
    r"line \d+, column \d+: (?:invalid UTF-8|nesting deeper than 64 levels"
    r"|a \\u escape names half a surrogate pair|the text is longer than 4 GiB)"
)


class NotJson(Exception):
    pass


def reject(literal):
    raise NotJson(literal)


def is_not_json(data):
    """Whether `data` (str or bytes, one byte-order mark allowed) is UTF-8 whose text is not JSON;
    NaN and Infinity are not. Each twin checks UTF-8 first, so a text that is not UTF-8 is not one."""
    try:
        raw = data.encode("utf-8") if isinstance(data, str) else bytes(data)
        text = raw.removeprefix(b"\xef\xbb\xbf").decode("utf-8")
    except UnicodeError:
        return False
    try:
        json.loads(text, parse_constant=reject)
    except (json.JSONDecodeError, NotJson):
        return True
    except RecursionError:  # nested past the json module's own limit: both twins stop at 64 levels first
        return False
    return False


def notes_may_differ(data, notes):
    """Whether two one-note errors on `data` may word their notes apart."""
    return is_not_json(data) and not all(TEXT_PROBLEM.fullmatch(note[0]) for note in notes)
