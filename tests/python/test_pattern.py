"""The Pattern type: its refusals, attributes and the values they carry."""

import copy
import gc
import math
import pickle
import unittest
import weakref

import difral

from helpers import load_text

Pattern = difral.Pattern
IMMUTABLE_TYPE = 1 << 8
BASE_TYPE = 1 << 10


def three_columns():
    return load_text("10 100 3\n10.02 120 4\n")


class PatternType(unittest.TestCase):
    def test_names_and_docs(self):
        self.assertEqual(Pattern.__module__, "builtins")
        self.assertEqual(Pattern.__name__, "Pattern")
        self.assertEqual(Pattern.__qualname__, "Pattern")
        self.assertEqual(Pattern.__doc__, "Represents a diffraction pattern with "
                                          "position, intensity, and optional error.")
        docs = {"x": "The x-axis values (e.g., 2-theta or Q).",
                "y": "The y-axis values (intensity).",
                "e": "The uncertainty/error values, if available."}
        for name, doc in docs.items():
            with self.subTest(name):
                self.assertEqual(getattr(Pattern, name).__doc__, doc)

    def test_shape_of_the_type(self):
        self.assertEqual(Pattern.__bases__, (object,))
        self.assertEqual(Pattern.__flags__ & (IMMUTABLE_TYPE | BASE_TYPE), 0)
        self.assertIs(type(three_columns()), Pattern)

    def test_default_representation(self):
        pattern = three_columns()
        self.assertRegex(repr(pattern), r"^<builtins\.Pattern object at 0x[0-9a-f]+>$")

    def test_instances_are_not_tracked_by_gc(self):
        self.assertFalse(gc.is_tracked(three_columns()))

    def test_refusals(self):
        pattern = three_columns()

        def assign_x():
            pattern.x = []

        def delete_y():
            del pattern.y

        def assign_e():
            pattern.e = None

        def set_other():
            pattern.other = 1

        def subclass():
            class Sub(Pattern):
                pass

        cases = [
            ("instantiate", lambda: Pattern(), TypeError),
            ("instantiate with arguments", lambda: Pattern([1.0], [2.0]), TypeError),
            ("__new__", lambda: Pattern.__new__(Pattern), TypeError),
            ("subclass", subclass, TypeError),
            ("assign x", assign_x, AttributeError),
            ("delete y", delete_y, AttributeError),
            ("assign e", assign_e, AttributeError),
            ("new attribute", set_other, AttributeError),
            ("instance dict", lambda: pattern.__dict__, AttributeError),
            ("weak reference", lambda: weakref.ref(pattern), TypeError),
            ("copy", lambda: copy.copy(pattern), TypeError),
            ("deepcopy", lambda: copy.deepcopy(pattern), TypeError),
            ("pickle", lambda: pickle.dumps(pattern), TypeError),
        ]
        for label, call, error in cases:
            with self.subTest(label):
                self.assertRaises(error, call)
        self.assertEqual(pattern.x, [10.0, 10.02])


class Attributes(unittest.TestCase):
    def test_every_read_builds_a_new_list(self):
        pattern = three_columns()
        for name in ("x", "y", "e"):
            with self.subTest(name):
                first = getattr(pattern, name)
                self.assertIsNot(first, getattr(pattern, name))
                self.assertEqual(first, getattr(pattern, name))
                self.assertIs(type(first), list)
                self.assertTrue(all(type(v) is float for v in first))

    def test_changing_a_returned_list_changes_nothing(self):
        pattern = three_columns()
        for name in ("x", "y", "e"):
            with self.subTest(name):
                values = getattr(pattern, name)
                expected = list(values)
                values.append(1.0)
                values[0] = -1.0
                del values[1]
                self.assertEqual(getattr(pattern, name), expected)

    def test_lists_outlive_the_pattern(self):
        pattern = three_columns()
        x, e = pattern.x, pattern.e
        del pattern
        gc.collect()
        self.assertEqual(x, [10.0, 10.02])
        self.assertEqual(e, [3.0, 4.0])

    def test_values_are_not_shared_between_reads(self):
        pattern = load_text("1e300 2\n")
        self.assertIsNot(pattern.x[0], pattern.x[0])

    def test_e_present_or_absent(self):
        cases = [
            ("two columns", "10 100\n10.02 120\n", None),
            ("three columns", "10 100 3\n10.02 120 4\n", [3.0, 4.0]),
            ("one row short of e", "10 100 3\n10.02 120\n", None),
            ("empty", "", None),
            ("comments only", "# a\n! b\n\n", None),
        ]
        for label, text, e in cases:
            with self.subTest(label):
                pattern = load_text(text)
                self.assertEqual(pattern.e, e)
                self.assertEqual(len(pattern.x), len(pattern.y))
                if e is not None:
                    self.assertEqual(len(pattern.e), len(pattern.x))

    def test_empty_pattern(self):
        pattern = load_text("x y\n# nothing\n")
        self.assertEqual((pattern.x, pattern.y, pattern.e), ([], [], None))

    def test_long_pattern(self):
        rows = 200_000
        pattern = load_text("".join(f"{i} {2 * i}\n" for i in range(rows)))
        y = pattern.y
        self.assertEqual(len(y), rows)
        self.assertEqual(y[-1], 2.0 * (rows - 1))


class Values(unittest.TestCase):
    def test_special_values_round_trip(self):
        pattern = load_text("nan inf -inf\n-NaN INFINITY -0.0\n1e400 -1e-400 NAN\n")
        x, y, e = pattern.x, pattern.y, pattern.e
        self.assertTrue(math.isnan(x[0]) and math.isnan(x[1]))
        self.assertEqual([x[2], y[0], y[1]], [math.inf, math.inf, math.inf])
        self.assertEqual([e[0], y[2]], [-math.inf, -0.0])
        self.assertEqual(math.copysign(1.0, e[1]), -1.0)  # -0.0 keeps its sign
        self.assertEqual(math.copysign(1.0, y[2]), -1.0)
        self.assertTrue(math.isnan(e[2]))

    def test_nan_lists_compare_by_identity_only(self):
        pattern = load_text("nan 1\n")
        self.assertNotEqual(pattern.x, pattern.x)  # NaN != NaN in fresh lists

    def test_decimal_text_reads_as_the_nearest_double(self):
        tokens = ["0.1", "0.2", "2.2250738585072011e-308", "4.9e-324", "1.7976931348623157e308",
                  "123456789012345678901234567890", "9007199254740993", "1e23",
                  "0.30000000000000004", "-1.5", "+.5", "5.", "1E-3"]
        pattern = load_text("".join(f"{t} {t}\n" for t in tokens))
        self.assertEqual(pattern.x, [float(t) for t in tokens])
        self.assertEqual(pattern.y, [float(t) for t in tokens])


if __name__ == "__main__":
    unittest.main()
