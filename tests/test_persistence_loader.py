"""NuvelGraph.load_json: the strict reader and the lenient walk. Cases live
in tests/data/json: n_*.json is rejected with the message in the tables
below; y_NAME.json loads, and saving it gives y_NAME.expected.json.
"""

import json
import os
from pathlib import Path

import pytest

from nuvel import NuvelGraph

DATA = Path(__file__).parent / "data" / "json"

CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"
# file -> (text, line, column) of the ValueError "{text} at line {} column {}"
SYNTAX_ERRORS = {
    "n_empty.json": ("EOF while parsing a value", 1, 0),
    "n_whitespace_only.json": ("EOF while parsing a value", 2, 2),
    "n_eof_in_list.json": ("EOF while parsing a list", 1, 5),
    "n_eof_in_empty_object.json": ("EOF while parsing an object", 1, 1),
    "n_eof_after_key.json": ("EOF while parsing an object", 1, 4),
    "n_eof_after_colon.json": ("EOF while parsing a value", 1, 5),
    "n_eof_after_member.json": ("EOF while parsing an object", 1, 7),
    "n_eof_after_comma.json": ("EOF while parsing a value", 2, 0),
    "n_eof_in_string.json": ("EOF while parsing a string", 1, 5),
    "n_eof_in_escape.json": ("EOF while parsing a string", 1, 3),
    "n_eof_in_literal.json": ("EOF while parsing a value", 1, 4),
    "n_eof_after_minus.json": ("EOF while parsing a value", 1, 1),
    "n_eof_after_point.json": ("EOF while parsing a value", 1, 2),
    "n_eof_after_exponent_sign.json": ("EOF while parsing a value", 1, 3),
    "n_missing_colon.json": ("expected `:`", 1, 6),
    "n_missing_list_comma.json": ("expected `,` or `]`", 1, 4),
    "n_missing_object_comma.json": ("expected `,` or `}`", 1, 8),
    "n_value_glued_to_literal.json": ("expected `,` or `]`", 1, 6),
    "n_bad_literal.json": ("expected ident", 1, 5),
    "n_capitalised_literal.json": ("expected value", 1, 2),
    "n_nan.json": ("expected value", 1, 1),
    "n_single_quote.json": ("expected value", 1, 2),
    "n_byte_order_mark.json": ("expected value", 1, 1),
    "n_comment.json": ("expected value", 1, 1),
    "n_invalid_escape.json": ("invalid escape", 1, 4),
    "n_invalid_hex_escape.json": ("invalid escape", 1, 6),
    "n_leading_zero.json": ("invalid number", 1, 3),
    "n_minus_without_digit.json": ("invalid number", 1, 3),
    "n_point_without_digits.json": ("invalid number", 1, 4),
    "n_exponent_without_digits.json": ("invalid number", 1, 4),
    # the byte after the number reveals its end, so it is counted
    "n_number_out_of_range.json": ("number out of range", 1, 7),
    "n_negative_number_out_of_range.json": ("number out of range", 1, 6),
    "n_long_integer_out_of_range.json": ("number out of range", 1, 401),
    "n_out_of_range_before_line_feed.json": ("number out of range", 2, 0),
    # UTF-8 is checked when the closing quote is read
    "n_invalid_utf8.json": ("invalid unicode code point", 1, 6),
    "n_encoded_surrogate.json": ("invalid unicode code point", 1, 5),
    "n_truncated_utf8_before_escape.json": ("invalid unicode code point", 1, 5),
    "n_control_character.json": (CONTROL, 1, 4),
    "n_line_feed_in_string.json": (CONTROL, 2, 0),
    "n_key_not_string.json": ("key must be a string", 1, 2),
    "n_unquoted_key.json": ("key must be a string", 1, 9),
    "n_lone_trailing_surrogate.json": ("lone leading surrogate in hex escape", 1, 7),
    "n_leading_surrogate_then_other_escape.json": ("lone leading surrogate in hex escape", 1, 13),
    "n_leading_surrogate_then_text.json": ("unexpected end of hex escape", 1, 8),
    "n_leading_surrogate_then_other_backslash.json": ("unexpected end of hex escape", 1, 9),
    "n_trailing_comma_list.json": ("trailing comma", 1, 4),
    "n_trailing_comma_object.json": ("trailing comma", 1, 8),
    "n_leading_comma.json": ("expected value", 1, 2),
    "n_trailing_characters.json": ("trailing characters", 1, 4),
    "n_two_values.json": ("trailing characters", 1, 3),
    "n_nul_after_value.json": ("trailing characters", 1, 3),
    "n_nul_in_list.json": ("expected `,` or `]`", 1, 3),
    "n_nul_in_string.json": (CONTROL, 1, 3),
    "n_nul_as_value.json": ("expected value", 1, 1),
    "n_error_on_third_line.json": ("expected `:`", 3, 7),
}

# file -> the whole ValueError message of a well-formed file that is not a graph
GRAPH_ERRORS = {
    "n_node_without_name.json": 'nodes[3] has no string member "name"',
    "n_node_name_not_string.json": 'nodes[0] has no string member "name"',
    "n_node_not_object.json": 'nodes[0] has no string member "name"',
    "n_edge_without_target.json": 'edges[0] has no string member "target"',
    "n_edge_without_endpoints.json": 'edges[1] has no string member "source"',
    "n_edge_source_not_string.json": 'edges[0] has no string member "source"',
    "n_node_error_before_edge_error.json": 'nodes[1] has no string member "name"',
    "n_edge_unknown_source.json": "Node 'x' not found",
    "n_edge_unknown_target.json": "Node 'y' not found",
}

REJECTED = {name: f"{text} at line {line} column {column}" for name, (text, line, column) in SYNTAX_ERRORS.items()}
REJECTED.update(GRAPH_ERRORS)
LOADED = sorted(p.name[: -len(".expected.json")] for p in DATA.glob("y_*.expected.json"))


def load_text(tmp_path, text: bytes):
    path = tmp_path / "in.json"
    path.write_bytes(text)
    return NuvelGraph.load_json(str(path))


DEEP = {"[": "]", '{"k":': "}"}
# Generated documents: (text, the ValueError message); 127 levels load (y_depth_127_*)
TEXT_ERRORS = [(f"\n{o * 128}1{c * 128}", f"recursion limit exceeded at line 2 column {len(o) * 127 + 1}")
               for o, c in DEEP.items()] + [
    ("[1e99999999999999]", "number out of range at line 1 column 13"),  # at the exponent's 10th digit
    ('{"nodes": [\n' + ",\n".join('{"name": "n%d"}' % i for i in range(20000)) + ",\n]}",
     "trailing comma at line 20002 column 1"),  # far beyond any read buffer
]


REJECTED_CASES = [pytest.param(name, None, REJECTED[name], id=name) for name in sorted(REJECTED)] + [
    pytest.param(None, text, message, id=f"generated{i}") for i, (text, message) in enumerate(TEXT_ERRORS)]


@pytest.mark.parametrize("name, text, message", REJECTED_CASES)
def test_rejected(tmp_path, name, text, message):
    with pytest.raises(ValueError) as info:
        if text is None:
            NuvelGraph.load_json(str(DATA / name))
        else:
            load_text(tmp_path, text.encode())
    assert str(info.value) == message


@pytest.mark.parametrize("name", LOADED)
def test_loaded_document(name, tmp_path):
    graph = NuvelGraph.load_json(str(DATA / f"{name}.json"))
    expected = json.loads((DATA / f"{name}.expected.json").read_text(encoding="utf-8"))
    graph.save_json(str(tmp_path / "saved.json"))
    assert json.loads((tmp_path / "saved.json").read_bytes()) == expected


def test_maps_are_filled_in_key_byte_order(tmp_path):
    text = (b'{"nodes": [{"name": "m", "metrics": {"e": {"wr": {"value": 1, "unit": "pJ"},'
            b' "rd": {"value": 2, "unit": "pJ"}, "Zz": {"value": 3, "unit": "pJ"},'
            b' "\xc3\xa9": {}, "ab": {}}}}]}')
    graph = load_text(tmp_path, text)
    with pytest.raises(ValueError) as info:
        graph.query_module_metric("e", "m")
    assert str(info.value).endswith("legal values: ['Zz', 'ab', 'rd', 'wr', '\u00e9'].")
    assert graph.query_module_metric("e", "m", "rd") == {"value": 2.0, "unit": "pJ"}


def test_file_without_size():
    # /proc files report size 0; the whole content is still read
    if not os.path.exists("/proc/self/cmdline"):
        pytest.skip("no /proc")
    with pytest.raises(ValueError, match="^expected value at line 1 column 1$"):
        NuvelGraph.load_json("/proc/self/cmdline")
