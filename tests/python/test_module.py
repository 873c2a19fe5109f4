"""The module object: its contents, initialisation and exported symbols."""

import ast
import importlib
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig
import unittest

import difral

from helpers import STUB

PUBLIC = ["Pattern", "load_file", "load_bytes"]


class ModuleContents(unittest.TestCase):
    def test_all_lists_the_public_names_in_order(self):
        self.assertEqual(difral.__all__, PUBLIC)
        self.assertIs(type(difral.__all__), list)

    def test_nothing_else_is_public(self):
        public = {name for name in vars(difral) if not name.startswith("_")}
        self.assertEqual(public, set(PUBLIC))
        self.assertNotIn("PanicException", vars(difral))

    def test_docstring_is_the_empty_text(self):
        self.assertEqual(difral.__doc__, "")

    def test_module_file_carries_the_interpreter_suffix(self):
        self.assertEqual(difral.__name__, "difral")
        self.assertTrue(difral.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")))

    def test_functions_are_bound_to_the_module(self):
        table = [("load_file", "(path)", ["path"]),
                 ("load_bytes", "(data, filename)", ["data", "filename"])]
        for name, signature, parameters in table:
            with self.subTest(name):
                function = getattr(difral, name)
                self.assertEqual(type(function).__name__, "builtin_function_or_method")
                self.assertIs(function.__self__, difral)
                self.assertEqual(function.__module__, "difral")
                self.assertEqual(function.__name__, name)
                self.assertEqual(function.__qualname__, name)
                self.assertEqual(function.__text_signature__, signature)
                self.assertIsNone(function.__doc__)
                found = inspect.signature(function).parameters
                self.assertEqual(list(found), parameters)
                for parameter in found.values():
                    self.assertIs(parameter.kind, parameter.POSITIONAL_OR_KEYWORD)
                    self.assertIs(parameter.default, parameter.empty)


class Reimport(unittest.TestCase):
    def test_import_after_removal_gives_the_same_objects(self):
        before = (difral.Pattern, difral.load_file, difral.load_bytes)
        del sys.modules["difral"]
        try:
            again = importlib.import_module("difral")
        finally:
            sys.modules["difral"] = difral
        self.assertIs(again, difral)
        self.assertEqual((again.Pattern, again.load_file, again.load_bytes), before)
        self.assertEqual(again.__all__, PUBLIC)

    def test_reload_keeps_the_module(self):
        self.assertIs(importlib.reload(difral), difral)
        self.assertEqual(difral.__all__, PUBLIC)


def create_subinterpreter(legacy):
    """A new subinterpreter and its module; legacy ones allow single-phase
    modules. The private module was renamed in 3.13."""
    try:
        import _interpreters as interpreters
        return interpreters, interpreters.create("legacy" if legacy else "isolated")
    except ImportError:
        pass
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        raise unittest.SkipTest("this interpreter has no subinterpreter module")
    return interpreters, interpreters.create(isolated=not legacy)


class Subinterpreters(unittest.TestCase):
    def import_in_subinterpreter(self, legacy):
        interpreters, interpreter = create_subinterpreter(legacy)
        read_end, write_end = os.pipe()
        code = (
            "import os\n"
            "try:\n"
            "    import difral\n"
            "except ImportError as error:\n"
            f"    os.write({write_end}, ('ImportError: ' + str(error)).encode())\n"
            "else:\n"
            f"    os.write({write_end}, b'imported')\n"
        )
        try:
            interpreters.run_string(interpreter, code)
        finally:
            interpreters.destroy(interpreter)
            os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            return pipe.read().decode()

    def test_legacy_subinterpreter_is_refused_by_the_module(self):
        # A subinterpreter that allows single-phase modules runs the module's
        # own initialisation, which refuses a second interpreter.
        self.assertEqual(self.import_in_subinterpreter(legacy=True),
                         "ImportError: difral does not support subinterpreters")

    def test_isolated_subinterpreter_is_refused(self):
        self.assertTrue(self.import_in_subinterpreter(legacy=False).startswith("ImportError: "))

    def test_main_interpreter_still_loads_afterwards(self):
        self.import_in_subinterpreter(legacy=True)
        self.assertEqual(difral.load_bytes(b"1 2\n", "a.xy").x, [1.0])


class ExportedSymbols(unittest.TestCase):
    def test_only_the_init_function_is_exported(self):
        nm = shutil.which("nm")
        if nm is None:
            self.skipTest("nm is not installed")
        listing = subprocess.run([nm, "-D", "--defined-only", difral.__file__],
                                 check=True, capture_output=True, text=True).stdout
        symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        self.assertEqual(symbols, ["PyInit_difral"])


class Stub(unittest.TestCase):
    """The stub package must describe the module that is built."""

    @classmethod
    def setUpClass(cls):
        cls.tree = ast.parse(STUB.read_text(encoding="utf-8"))

    def definitions(self):
        return {node.name: node for node in self.tree.body
                if isinstance(node, (ast.FunctionDef, ast.ClassDef))}

    def test_all_matches(self):
        for node in self.tree.body:
            if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
                self.assertEqual(ast.literal_eval(node.value), difral.__all__)
                return
        self.fail("the stub has no __all__")

    def test_functions_have_the_module_parameters(self):
        definitions = self.definitions()
        for name in ("load_file", "load_bytes"):
            with self.subTest(name):
                arguments = definitions[name].args
                self.assertEqual([a.arg for a in arguments.args],
                                 list(inspect.signature(getattr(difral, name)).parameters))
                self.assertEqual(arguments.posonlyargs + arguments.kwonlyargs, [])
                self.assertEqual(arguments.defaults, [])

    def test_pattern_properties_and_texts_match(self):
        pattern = self.definitions()["Pattern"]
        self.assertEqual(ast.get_docstring(pattern), difral.Pattern.__doc__)
        properties = {node.name: ast.get_docstring(node) for node in pattern.body
                      if isinstance(node, ast.FunctionDef)}
        self.assertEqual(properties, {name: getattr(difral.Pattern, name).__doc__
                                      for name in ("x", "y", "e")})


if __name__ == "__main__":
    unittest.main()
