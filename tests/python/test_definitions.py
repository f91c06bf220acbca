"""Rules written once per language: the package's copy of each, checked against the C++ header that defines it.

The headers are read as text: src/catalogue/file_format.hpp (the file format's words),
src/json/json_document.hpp (the longest text), src/catalogue_module/catalogue_text.hpp (messages the
twins share word for word).
"""

import dataclasses
import json
import re
from importlib import resources
from pathlib import Path

import ostrelin
from ostrelin import _input, _lookup, _pycatalogue

SRC = Path(__file__).resolve().parents[2] / "src"


def cpp_constant(header, name):
    """The value of `inline constexpr ... name = value;` in `header`, as Python reads the literal."""
    text = (SRC / header).read_text(encoding="utf-8")
    found = re.search(rf"\b{name}(?:\[\])? = (.+?);", text, re.S)
    assert found, f"{name} not in {header}"
    literal = found.group(1).strip()
    if literal.startswith("{"):  # an array of strings or of integers
        return [json.loads(item) for item in re.findall(r'"[^"]*"|-?\d+', literal)]
    if literal.startswith('"'):
        return json.loads(" ".join(re.findall(r'"(?:[^"\\]|\\.)*"', literal)).replace('" "', ""))
    return int(literal, 0)


def test_the_file_formats_words_are_the_headers():
    schema = json.loads(resources.files(ostrelin).joinpath("catalogue.schema.json").read_text(encoding="utf-8"))
    entry_fields = cpp_constant("catalogue/file_format.hpp", "kEntryFields")
    assert cpp_constant("catalogue/file_format.hpp", "kFormatName") == _input.FORMAT == schema["properties"]["format"]["const"]
    versions = cpp_constant("catalogue/file_format.hpp", "kFormatVersions")
    assert versions == list(_input.VERSIONS) == schema["properties"]["version"]["enum"] == [1, 2]
    assert cpp_constant("catalogue/file_format.hpp", "kMaxJsonDepth") == _input.MAX_JSON_DEPTH
    assert entry_fields == [field.name for field in dataclasses.fields(ostrelin.Constant)]
    assert sorted(entry_fields) == sorted(schema["$defs"]["entry"]["properties"])
    assert cpp_constant("catalogue/file_format.hpp", "kTopFields") == list(schema["properties"])
    assert list(_input.STATUSES) == schema["$defs"]["entry"]["properties"]["status"]["enum"]
    # The statuses' names are the C++ enumerators', in their order (a status's text is its name).
    enum = re.search(r"enum class ConstantStatus[^{]*\{([^}]*)\}", (SRC / "registry/constant.hpp").read_text())
    assert enum and [item.split("=")[0].strip() for item in enum.group(1).split(",")] == list(_input.STATUSES)
    assert cpp_constant("json/json_document.hpp", "kMaxJsonText") == _input.MAX_TEXT_BYTES


def test_the_messages_the_twins_share_are_the_headers():
    header = "catalogue_module/catalogue_text.hpp"
    assert cpp_constant(header, "kBuiltAlready") == _pycatalogue.BUILT_ALREADY
    assert cpp_constant(header, "kMissingKey").replace("%U", "{}") == _lookup.missing_key("{}")
    assert cpp_constant(header, "kEmptyLookupName") == _lookup.EMPTY_NAME
    assert cpp_constant("json/json_document.hpp", "kTextTooLong") in str(_pycatalogue._too_long("x").__notes__)
