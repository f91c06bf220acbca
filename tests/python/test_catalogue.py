"""Catalogues through the package, once answering natively and once in pure Python (the `api` fixture)."""

import collections
import dataclasses
import errno
import json
import os
import threading
import time

import pytest

from catalogue_cases import CASES, SCHEMA, SYNTAX, VALID, doc, formula, seed
from conftest import python_package

PURE = python_package()


@pytest.mark.parametrize("label, text, message, note", CASES, ids=[c[0] for c in CASES])
def test_bad_texts_raise_the_tables_errors(api, label, text, message, note):
    with pytest.raises(api.CatalogueError) as info:
        api.loads(text)
    assert str(info.value) == message
    if note is not SYNTAX:
        assert getattr(info.value, "__notes__", None) == (None if note is None else [note])
    else:  # the reader's own words, and its own place where it knows one
        assert len(info.value.__notes__) == 1
    assert isinstance(info.value, ValueError)


# Texts that are not JSON, with the pure twin's note: the json module's own place and words; NaN and
# Infinity, which the json module reads unless told not to, by name alone.
PURE_SYNTAX_NOTES = [
    ('{"a" 1}', "line 1, column 6: Expecting ':' delimiter"),
    ('{"a":\n  tru}', "line 2, column 3: Expecting value"),
    ('"abc', "line 1, column 1: Unterminated string starting at"),
    ("[1] 2", "line 1, column 5: Extra data"),
    ("{," + "[" * 70, "line 1, column 66: nesting deeper than 64 levels"),  # nesting is looked at first
    ('[1 "\\udc00"]', "line 1, column 5: a \\u escape names half a surrogate pair"),
    ('{"a": [-Infinity]}', "`-Infinity` is not JSON"),
    ('{"a": "\\ud800\\udc00", "b": NaN}', "`NaN` is not JSON"),
]


@pytest.mark.parametrize("text, note", PURE_SYNTAX_NOTES)
def test_the_pure_twin_says_where_the_json_module_stopped(text, note):
    with pytest.raises(PURE.CatalogueError) as info:
        PURE.loads(text)
    assert (str(info.value), info.value.__notes__) == (SCHEMA, [note])


def test_unreadable_files_raise_the_oserror_of_their_errno(api, tmp_path):
    missing, directory = tmp_path / "missing.json", tmp_path
    for path, error_type, code in [(missing, FileNotFoundError, errno.ENOENT), (directory, IsADirectoryError, errno.EISDIR)]:
        with pytest.raises(error_type) as info:
            api.load(path)
        assert (info.value.errno, info.value.filename) == (code, str(path))
        assert str(info.value) == f"[Errno {code}] {os.strerror(code)}: {str(path)!r}"
        assert info.value.__notes__ == [
            f"failed to load constants from `{path}`: {os.strerror(code)} (os error {code})"
        ]
    with pytest.raises(TypeError):
        api.load(b"bytes/are/not/a/path")


def test_a_file_loads_as_its_text_does(api, tmp_path):
    path = tmp_path / "c.json"
    path.write_bytes(VALID[-1].encode())
    loaded = api.load(path)
    assert loaded == api.loads(VALID[-1]) and loaded.source == str(path)
    out = tmp_path / "out.json"
    loaded.dump(str(out))
    assert api.load(out) == loaded and out.read_text(encoding="utf-8") == loaded.dumps()


EVERY_FIELD = VALID[-1]


def test_a_catalogue_is_a_read_only_mapping_in_byte_order(api):
    cat = api.loads(EVERY_FIELD, source="fields.json")
    names = [e["name"] for e in json.loads(EVERY_FIELD)["constants"]]
    assert list(cat) == cat.names() == sorted(names, key=lambda n: n.encode()) == list(cat.keys())
    assert cat.names() is not cat.names()
    assert len(cat) == len(names) and all(name in cat for name in names)
    assert [n in cat for n in ["", "A", 3, None, "\ud800", "a "]] == [False] * 6
    assert cat == dict(cat.items()) and cat != {} and cat == api.loads(cat.dumps())
    assert (cat.source, cat.description) == ("fields.json", "every field")
    assert repr(cat) == f"<Catalogue of {len(names)} entries from 'fields.json'>"
    assert cat.get("nothing") is None and cat.get("nothing", 7) == 7 and cat.get("a") is cat["a"]
    assert cat["a"] == api.Constant("a", 2.0, "m", 0.1, "Seed", None, (), "A thing")
    assert cat["f"] == api.Constant("f", 0.0, "m", None, "Pending", "a ** 2 / sqrt(b) - -c", ("a", "b", "c"),
                                    "F of a, b, c")
    assert cat["h"].dependencies == ("pi", "a") and cat["pi_user"].dependencies == ()
    assert cat.datasheet("g") == {"name": "g", "status": "Cached", "uncertainty": None, "units": "m", "value": 1.5}
    with pytest.raises(AttributeError):
        cat.extra = 1
    with pytest.raises(TypeError):
        hash(cat)


@pytest.mark.parametrize(
    "name, error, message, notes",
    [
        ("pi_usr", KeyError, "constant `pi_usr` not found in registry", ["did you mean 'pi_user'?"]),
        ("A", KeyError, "constant `A` not found in registry", ["did you mean 'a'?"]),
        ("nothing_close", KeyError, "constant `nothing_close` not found in registry", None),
        ("", ValueError, "name must be non-empty", None),
        (3, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'", None),
    ],
)
def test_lookups_fail_as_constant_does(api, name, error, message, notes):
    cat = api.loads(EVERY_FIELD)
    for lookup in (cat.derive, cat.derived, cat.datasheet, cat.budget):
        with pytest.raises(error) as info:
            lookup(name)
        assert info.value.args == (message,) and getattr(info.value, "__notes__", None) == notes
    with pytest.raises(UnicodeEncodeError):
        cat.derive("\ud800")


# key, then what cat[key] raises: KeyError's argument and notes. cat.get(key) gives the default for each.
MISSING_KEYS = [
    ("pi_usr", "constant `pi_usr` not found in registry", ["did you mean 'pi_user'?"]),
    ("", "constant `` not found in registry", None),
    ("\ud800", "constant `\ud800` not found in registry", None),
    (3, 3, None),
    (None, None, None),
    (("a",), ("a",), None),
    (b"a", b"a", None),
]


@pytest.mark.parametrize("key, argument, notes", MISSING_KEYS, ids=[repr(k[0]) for k in MISSING_KEYS])
def test_a_missing_key_is_a_keyerror_as_in_any_mapping(api, key, argument, notes):
    cat = api.loads(EVERY_FIELD)
    with pytest.raises(KeyError) as info:
        cat[key]
    assert type(info.value) is KeyError and info.value.args == (argument,)
    assert getattr(info.value, "__notes__", None) == notes
    assert cat.get(key) is None and cat.get(key, cat) is cat and key not in cat
    # So a ChainMap over a catalogue finds what the catalogue lacks further on.
    assert collections.ChainMap(cat, {key: "found"})[key] == "found"


@pytest.mark.parametrize(
    "text, found",
    [
        ("F OF", ["f"]), ("ε", ["ε₀"]), ("PI", ["pi", "pi_user"]), ("", None), ("zzz", []),
        ("a thing", ["a"]), ("Ε₀", ["ε₀"]),
    ],
)
def test_find_compares_casefolded_names_and_descriptions(api, text, found):
    cat = api.loads(EVERY_FIELD)
    assert cat.find(text) == (cat.names() if found is None else found)
    catalogue = api.loads(doc(seed("Straße"), seed("kelvin", description="\u212a scale")))
    assert catalogue.find("STRASSE") == ["Straße"] and catalogue.find("k scale") == ["kelvin"]


RECORD_CASES = [
    (lambda C: [1], "entry 0: must be a Constant, not a number"),
    (lambda C: [C("", 1.0, "", None, "Seed", None, ())], "entry 0: `name` must not be empty"),
    (lambda C: [C("a", "1", "", None, "Seed", None, ())], "entry 0 (`a`): `value` must be a number, not a string"),
    (lambda C: [C("a", float("nan"), "", None, "Seed", None, ())], "entry 0 (`a`): `value` must be finite, not nan"),
    (lambda C: [C("a", 10**400, "", None, "Seed", None, ())], "entry 0 (`a`): `value` is too large for a double"),
    (lambda C: [C("a", 1.0, b"m", None, "Seed", None, ())], "entry 0 (`a`): `units` must be a string, not a bytes object"),
    (lambda C: [C("a", 1.0, "", -1, "Seed", None, ())], "entry 0 (`a`): `uncertainty` must not be negative"),
    (lambda C: [C("a", 1.0, "", None, "seed", None, ())],
     "entry 0 (`a`): `status` must be Seed, Cached, Pending or External, not `seed`"),
    (lambda C: [C("a", 1.0, "", None, "Seed", None, "a")],
     "entry 0 (`a`): `dependencies` must be an array of strings, not a string"),
    (lambda C: [C("a", 1.0, "", None, "Seed", None, ("\ud800",))],
     "entry 0 (`a`): item 0 of `dependencies` holds a lone surrogate"),
    (lambda C: [C("a", 1.0, "", None, "Pending", "2", ())], "entry 0 (`a`): a `Pending` entry takes no `value`"),
    (lambda C: [C("a", 1.0, "", None, "Seed", None, ()), C("a", 2.0, "", None, "Seed", None, ())],
     "entry 1 (`a`): duplicate name, first at entry 0"),
]


@pytest.mark.parametrize("entries, note", RECORD_CASES)
def test_records_validate_as_files_do(api, entries, note):
    with pytest.raises(api.CatalogueError) as info:
        api.Catalogue(entries(api.Constant), source="mine")
    assert (str(info.value), info.value.__notes__) == ("invalid JSON schema in `mine`", [note])


def test_records_round_trip_and_take_their_default_dependencies(api):
    cat = api.loads(EVERY_FIELD)
    again = api.Catalogue(cat.values())
    assert again == cat and again.source == "<records>" and api.loads(again.dumps()) == again
    made = api.Catalogue([api.Constant("a", 2, "m", None, "Seed", None, ()),
                          api.Constant("f", 0.0, "m", None, "Pending", "a * a", ())])
    assert made["a"].value == 2.0 and type(made["a"].value) is float and made["f"].dependencies == ("a",)
    with pytest.raises(TypeError):
        api.Catalogue(3)


def test_the_built_in_catalogue_is_a_catalogue(api):
    assert isinstance(api.constants, api.Catalogue)
    assert api.constants.derive("topo_gen_check") == api.derive("topo_gen_check") == 3.0
    assert api.loads(api.constants.dumps()) == api.constants


def test_nothing_deep_exhausts_the_stack(api):
    deep = "-" * 100_000 + "1"
    with pytest.raises(api.CatalogueError, match="nesting deeper than 256 levels at offset 256"):
        api.loads(doc(formula("f", deep)))
    n = 100_000
    chain = api.loads(doc(seed("x0", 1.0, uncertainty=0.5), *(formula(f"x{i}", f"x{i - 1} + 1") for i in range(1, n))))
    assert chain.derive(f"x{n - 1}") == float(n)
    assert chain.derived(f"x{n - 1}").uncertainty == 0.5
    ring = [formula(f"r{i}", f"r{(i + 1) % n}") for i in range(n)]
    with pytest.raises(api.CatalogueError, match="cyclic derivation involving `r0`"):
        api.loads(doc(*ring))


def test_other_threads_run_while_a_catalogue_loads(api):
    if api.implementation != "native":
        pytest.skip("the pure twin holds the interpreter lock, as pure Python does")
    text = doc(*(seed(f"s{i}", float(i)) for i in range(300_000))).encode()
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        start = time.perf_counter()
        api.loads(text)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    # Ticks landed while the call was under way, not only at its edges.
    inside = [t for t in ticks if start + (end - start) * 0.2 < t < start + (end - start) * 0.8]
    assert len(inside) > 100


def test_readers_on_many_threads_see_one_catalogue(api):
    cat = api.loads(doc(seed("a", 2.0, uncertainty=0.1), *(formula(f"f{i}", f"a * {i}") for i in range(200))))
    expected = {f"f{i}": dataclasses.astuple(cat.derived(f"f{i}")) for i in range(200)}
    fresh = api.loads(cat.dumps())
    results = []

    def read():
        results.append({n: dataclasses.astuple(fresh.derived(n)) for n in expected} == expected)

    threads = [threading.Thread(target=read) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 8


def test_the_shipped_schema_accepts_what_loads_and_refuses_bad_shapes():
    from importlib import resources

    import jsonschema

    schema = json.loads(resources.files("ostrelin").joinpath("catalogue.schema.json").read_text(encoding="utf-8"))
    validator = jsonschema.Draft202012Validator(schema)
    for text in VALID:
        validator.validate(json.loads(text.decode("utf-8-sig") if isinstance(text, bytes) else text.lstrip("\ufeff")))
    # What a schema can see: not repeated keys (a reader keeps one), numbers past a double, or names across entries.
    shapes = [case for case in CASES if case[2] == SCHEMA and case[3] not in (None, SYNTAX) and not case[3].startswith("line ")
              and not any(word in case[3] for word in ("repeated", "too large", "duplicate"))]
    assert len(shapes) > 20
    for label, text, _, _ in shapes:
        assert not validator.is_valid(json.loads(text)), label


@pytest.mark.parametrize("how", ["str", "bytes", "file"])
def test_one_leading_byte_order_mark_is_skipped_however_the_text_comes(api, how, tmp_path):
    plain = doc(seed("a", 2.0, description="\ufeff inside stays"))
    with_mark = {"str": "\ufeff" + plain, "bytes": b"\xef\xbb\xbf" + plain.encode(), "file": tmp_path / "bom.json"}[how]
    if how == "file":
        with_mark.write_bytes(b"\xef\xbb\xbf" + plain.encode())
    cat = api.load(with_mark) if how == "file" else api.loads(with_mark)
    assert cat == api.loads(plain) and cat["a"].description == "\ufeff inside stays"
    assert cat.dumps() == api.loads(plain).dumps()


def test_a_budget_breaks_ties_in_byte_order_of_the_names(api):
    # Equal shares come in byte order whatever the file's order: "z" (0x7a) before "é" (0xc3).
    entries = [seed(name, 1.0, uncertainty=0.5) for name in ("é", "z", "b", "a")]
    cat = api.loads(doc(*entries, seed("big", 1.0, uncertainty=2.0), formula("s", "é + z + b + big + a")))
    assert cat.budget("s") == [("big", 2.0), ("a", 0.5), ("b", 0.5), ("z", 0.5), ("é", 0.5)]


def test_names_sharing_long_prefixes_list_in_byte_order_alone_and_over_a_base(api):
    below = ["abcdefgh", "abcdefgh\x00", "abcdefg", "é", "abcdefgh\x01x", "\x00", "a\x00b"]
    above = ["abcdefghi", "abcdefgi", "z", "abcdefgh\x00\x00", "a", "abcdefgh\x7f"]
    base = api.loads(doc(*(seed(name) for name in below)))
    cat = api.loads(doc(*(seed(name) for name in above)), base=base)
    assert base.names() == sorted(below, key=lambda n: n.encode())
    assert cat.names() == sorted(below + above, key=lambda n: n.encode())
    fresh = api.loads(doc(*(seed(name) for name in above)), base=api.loads(doc(*(seed(name) for name in below))))
    assert fresh.names() == cat.names()  # the base's listing made here, not before
