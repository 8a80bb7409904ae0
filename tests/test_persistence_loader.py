"""NuvelGraph.load_json: the strict reader, the lenient walk, file access and
save-load round trips.

Cases live in tests/data/json, named by outcome: n_*.json is rejected with
the message in the tables below; y_NAME.json loads, and saving the loaded
graph gives the document in y_NAME.expected.json.
"""

import json
import math
import os
import random
from pathlib import Path

import pytest

from nuvel import NuvelGraph

DATA = Path(__file__).parent / "data" / "json"

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
    "n_control_character.json": (
        "control character (\\u0000-\\u001F) found while parsing a string", 1, 4),
    "n_line_feed_in_string.json": (
        "control character (\\u0000-\\u001F) found while parsing a string", 2, 0),
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
    "n_nul_in_string.json": (
        "control character (\\u0000-\\u001F) found while parsing a string", 1, 3),
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

LOADED = sorted(p.name[: -len(".expected.json")] for p in DATA.glob("y_*.expected.json"))


def saved_bytes(graph, tmp_path, name="saved.json"):
    path = tmp_path / name
    graph.save_json(str(path))
    return path.read_bytes()


def saved_document(graph, tmp_path):
    return json.loads(saved_bytes(graph, tmp_path))


def round_trip(graph, tmp_path):
    """Saves `graph` and loads the file: (the file's bytes, the loaded graph)."""
    first = saved_bytes(graph, tmp_path, "first.json")
    return first, NuvelGraph.load_json(str(tmp_path / "first.json"))


def load_text(tmp_path, text: bytes):
    path = tmp_path / "in.json"
    path.write_bytes(text)
    return NuvelGraph.load_json(str(path))


def test_every_data_file_has_an_outcome():
    names = {p.name for p in DATA.iterdir()}
    rejected = {n for n in names if n.startswith("n_")}
    assert rejected == set(SYNTAX_ERRORS) | set(GRAPH_ERRORS)
    loaded = {n for n in names if n.startswith("y_") and not n.endswith(".expected.json")}
    assert loaded == {f"{n}.json" for n in LOADED}


class TestSyntaxErrors:
    @pytest.mark.parametrize("name", sorted(SYNTAX_ERRORS))
    def test_error_row(self, name):
        text, line, column = SYNTAX_ERRORS[name]
        with pytest.raises(ValueError) as info:
            NuvelGraph.load_json(str(DATA / name))
        assert str(info.value) == f"{text} at line {line} column {column}"

    @pytest.mark.parametrize("opener, closer", [("[", "]"), ('{"k":', "}")])
    def test_127_levels_load_and_the_128th_fails(self, tmp_path, opener, closer):
        graph = load_text(tmp_path, ((opener * 127) + "1" + (closer * 127)).encode())
        assert graph.get_all_node_names() == []

        deep = "\n" + opener * 128 + "1" + closer * 128
        with pytest.raises(ValueError) as info:
            load_text(tmp_path, deep.encode())
        column = len(opener) * 127 + 1  # the bracket that opens level 128
        assert str(info.value) == f"recursion limit exceeded at line 2 column {column}"

    def test_depth_counts_open_containers_only(self, tmp_path):
        # 200 siblings at level 2 and closed levels never add up to the limit
        text = "[" + ",".join(["[[]]"] * 200) + "," + "[" * 126 + "]" * 126 + "]"
        assert load_text(tmp_path, text.encode()).get_all_node_names() == []

    def test_number_out_of_range_at_overflowing_exponent_digit(self, tmp_path):
        # an exponent beyond 32 bits gives up at its 10th digit
        with pytest.raises(ValueError, match="^number out of range at line 1 column 13$"):
            load_text(tmp_path, b"[1e99999999999999]")
        # while a zero or tiny number with such an exponent is just zero
        graph = load_text(tmp_path, b'{"nodes": [{"name": "a", "instance": 0e99999999999},'
                                    b' {"name": "b", "instance": 1e-99999999999}]}')
        assert [n["instance"] for n in saved_document(graph, tmp_path)["nodes"]] == [0.0, 0.0]

    def test_error_in_a_large_file_reports_its_line(self, tmp_path):
        # far beyond any read buffer, after many lines
        body = ",\n".join('{"name": "n%d"}' % i for i in range(20000))
        text = '{"nodes": [\n' + body + ",\n]}"
        with pytest.raises(ValueError, match="^trailing comma at line 20002 column 1$"):
            load_text(tmp_path, text.encode())


class TestLenientWalk:
    @pytest.mark.parametrize("name", LOADED)
    def test_loaded_document(self, name, tmp_path):
        graph = NuvelGraph.load_json(str(DATA / f"{name}.json"))
        expected = json.loads((DATA / f"{name}.expected.json").read_text(encoding="utf-8"))
        assert saved_document(graph, tmp_path) == expected

    def test_later_duplicate_name_takes_the_edges(self):
        graph = NuvelGraph.load_json(str(DATA / "y_duplicate_node_names.json"))
        assert graph.get_all_node_names() == ["a", "b", "a"]
        assert graph.get_performance_path("a") == "new"
        assert graph.get_leaf_names() == ["a", "b"]  # the older a has no edge
        assert graph.get_out_neighbors("a") == ["b"]

    def test_tags_reach_tag_queries(self):
        graph = NuvelGraph.load_json(str(DATA / "y_node_members.json"))
        assert graph.get_tag_modules("b") == ["m\n\u00e9\U0001F600"]
        assert graph.get_tag_modules("c") == []

    def test_maps_are_filled_in_key_byte_order(self, tmp_path):
        text = (b'{"nodes": [{"name": "m", "metrics": {"e": {"wr": {"value": 1, "unit": "pJ"},'
                b' "rd": {"value": 2, "unit": "pJ"}, "Zz": {"value": 3, "unit": "pJ"},'
                b' "\xc3\xa9": {}, "ab": {}}}}]}')
        graph = load_text(tmp_path, text)
        with pytest.raises(ValueError) as info:
            graph.query_module_metric("e", "m")
        assert str(info.value).endswith("legal values: ['Zz', 'ab', 'rd', 'wr', '\u00e9'].")
        assert graph.query_module_metric("e", "m", "rd") == {"value": 2.0, "unit": "pJ"}

    @pytest.mark.parametrize("name", sorted(GRAPH_ERRORS))
    def test_malformed_graph(self, name):
        with pytest.raises(ValueError) as info:
            NuvelGraph.load_json(str(DATA / name))
        assert str(info.value) == GRAPH_ERRORS[name]


class TestFileAccess:
    @pytest.mark.parametrize("name, message", [
        ("absent.json", "No such file or directory (os error 2)"),
        ("f/g.json", "Not a directory (os error 20)"),
        pytest.param("locked.json", "Permission denied (os error 13)",
                     marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")),
    ])
    def test_open_fails(self, tmp_path, name, message):
        for made in ("f", "locked.json"):
            (tmp_path / made).write_text("{}")
        (tmp_path / "locked.json").chmod(0)
        with pytest.raises(OSError) as info:
            NuvelGraph.load_json(str(tmp_path / name))
        assert type(info.value) is OSError and str(info.value) == message

    def test_directory_is_a_read_error(self, tmp_path):
        with pytest.raises(ValueError) as info:
            NuvelGraph.load_json(str(tmp_path))
        assert str(info.value) == "Is a directory (os error 21)"

    @pytest.mark.parametrize("path", ["a\0b.json", "\0", "x.json\0"])
    def test_nul_in_path(self, path):
        with pytest.raises(OSError) as info:
            NuvelGraph.load_json(path)
        assert str(info.value) == "file name contained an unexpected NUL byte"

    def test_path_must_be_str(self, tmp_path):
        (tmp_path / "g.json").write_text("{}")
        with pytest.raises(TypeError):
            NuvelGraph.load_json(tmp_path / "g.json")
        with pytest.raises(TypeError):
            NuvelGraph.load_json(b"g.json")

    def test_relative_path_and_keyword(self, tmp_path, monkeypatch):
        (tmp_path / "g.json").write_bytes((DATA / "y_minimal_node.json").read_bytes())
        monkeypatch.chdir(tmp_path)
        assert NuvelGraph.load_json(path="g.json").get_all_node_names() == ["a"]

    def test_file_without_size(self):
        # /proc files report size 0; the whole content is still read
        if not os.path.exists("/proc/self/cmdline"):
            pytest.skip("no /proc")
        with pytest.raises(ValueError, match="at line 1 column"):
            NuvelGraph.load_json("/proc/self/cmdline")


def rich_graph():
    g = NuvelGraph()
    g.add_node("wl")
    g.add_node("ev", "perf/ev")
    g.add_node("m1", "perf/m1")
    g.add_node("m2")
    for src, dst in [("wl", "ev"), ("ev", "m1"), ("ev", "m2")]:
        g.add_edge(src, dst)
    g.init_metrics({"zeta": "s", "alpha": "ns"})
    g.set_module_data("m1", {"zeta": {"value": 0.1 + 0.2, "unit": "s"},
                             "energy": {"wr": {"value": 3.0, "unit": "pJ"},
                                        "rd": {"value": 2.5, "unit": "pJ"}},
                             "empty": {}}, 2, ["cache", "l1", "cache"])
    g.set_module_data("m2", {"alpha": {"value": -0.0, "unit": ""}}, 1e-6, [])
    g.set_edge_count("ev", "m1", 4)
    g.set_edge_aggregation("ev", "m1", "sequential")
    g.set_edge_operation("ev", "m1", {"energy": "rd", "zeta": "x"})
    g.set_edge_factor("ev", "m2", {"alpha": 0.5, "Beta": 1e300})
    g.set_node_specified_metric("ev", "zeta", 5e-324, "s")
    g.set_node_specified_metric("ev", "alpha", 1.7976931348623157e308, "ns\t\"q\"")
    g.add_node("ev\n\u00e9\x01/")
    g.add_edge("ev\n\u00e9\x01/", "m1")
    return g


class TestRoundTrip:
    def test_save_load_save_is_identical(self, tmp_path):
        first, loaded = round_trip(rich_graph(), tmp_path)
        assert saved_bytes(loaded, tmp_path) == first

    def test_duplicate_names_round_trip(self, tmp_path):
        g = NuvelGraph()
        for name in ["a", "x", "a", "y"]:
            g.add_node(name)
        g.add_edge("a", "y")  # from the later a
        first, loaded = round_trip(g, tmp_path)
        assert saved_bytes(loaded, tmp_path) == first

    def test_edges_of_both_duplicates_merge_into_the_later(self, tmp_path):
        g = NuvelGraph()
        g.add_node("a")
        g.add_node("x")
        g.add_edge("a", "x")
        g.set_edge_count("a", "x", 2)
        g.add_node("a")
        g.add_edge("a", "x")
        g.set_edge_count("a", "x", 3)
        _, loaded = round_trip(g, tmp_path)
        edges = saved_document(loaded, tmp_path)["edges"]
        assert [(e["source"], e["target"], e["count"]) for e in edges] == [("a", "x", 3.0)]
        assert loaded.get_leaf_names() == ["a", "x"]

    def test_non_finite_numbers_are_written_null_and_read_as_defaults(self, tmp_path):
        nan, inf = math.nan, math.inf
        g = NuvelGraph()
        g.add_node("e")
        g.add_node("m")
        g.add_edge("e", "m")
        g.set_module_data("m", {"lat": {"value": nan, "unit": "ns"}, "en": {"rd": {"value": -inf, "unit": "pJ"}}},
                          inf, [])
        g.set_edge_count("e", "m", nan)
        g.set_edge_factor("e", "m", {"lat": -inf})
        g.set_node_specified_metric("e", "lat", inf, "ns")

        def expect(doc, number, single):
            (edge,), (e, m) = doc["edges"], doc["nodes"]
            assert [edge["count"], edge["factor"], m["instance"]] == [number, {"lat": number}, number]
            lat, rd = {"unit": "ns", "value": single}, {"unit": "pJ", "value": single}
            assert (m["metrics"], e["specified_metrics"]) == ({"en": {"rd": rd}, "lat": lat}, {"lat": lat})

        first, loaded = round_trip(g, tmp_path)
        expect(json.loads(first), None, None)
        expect(saved_document(loaded, tmp_path), 1.0, 0.0)
        second, again = round_trip(loaded, tmp_path)
        assert saved_bytes(again, tmp_path) == second

    def test_doubles_read_back_exactly(self, tmp_path):
        rng = random.Random(20240611)
        values = [rng.uniform(-1e6, 1e6) for _ in range(300)]
        values += [math.ldexp(rng.random(), rng.randint(-1074, 1023)) for _ in range(300)]
        values += [2.0 ** 53, 2.0 ** 53 + 2, 1e16, 1e-6, 0.1, 5e-324, 2.2250738585072014e-308]
        g = NuvelGraph()
        for i, v in enumerate(values):
            g.add_node(f"n{i}")
            g.set_node_specified_metric(f"n{i}", "v", v, "")
        _, loaded = round_trip(g, tmp_path)
        back = [loaded.get_node_specified_metric(f"n{i}", "v") for i in range(len(values))]
        assert back == values
