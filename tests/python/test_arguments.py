"""Argument binding and conversion of load_file and load_bytes."""

import os
import pathlib
import tempfile
import unittest

import difral

load_file = difral.load_file
load_bytes = difral.load_bytes


class BindingErrors(unittest.TestCase):
    # (label, function, positional, keywords, message)
    cases = [
        ("file none", load_file, (), {},
         "load_file() missing 1 required positional argument: 'path'"),
        ("file two", load_file, ("a.xy", "b.xy"), {},
         "load_file() takes 1 positional arguments but 2 were given"),
        ("file too many before multiple", load_file, ("a", "b"), {"path": "c"},
         "load_file() takes 1 positional arguments but 2 were given"),
        ("file twice", load_file, ("a.xy",), {"path": "b.xy"},
         "load_file() got multiple values for argument 'path'"),
        ("file unknown keyword", load_file, (), {"name": "a.xy"},
         "load_file() got an unexpected keyword argument 'name'"),
        ("file keywords are case-sensitive", load_file, (), {"PATH": "a.xy"},
         "load_file() got an unexpected keyword argument 'PATH'"),
        ("file unknown after known", load_file, (), {"path": "a.xy", "mode": "r"},
         "load_file() got an unexpected keyword argument 'mode'"),
        ("file unknown keyword with surrogate", load_file, (), {"pa\udc80th": 1},
         "load_file() got an unexpected keyword argument 'pa\udc80th'"),
        ("bytes none", load_bytes, (), {},
         "load_bytes() missing 2 required positional arguments: 'data' and 'filename'"),
        ("bytes no filename", load_bytes, (b"",), {},
         "load_bytes() missing 1 required positional argument: 'filename'"),
        ("bytes no data", load_bytes, (), {"filename": "a.xy"},
         "load_bytes() missing 1 required positional argument: 'data'"),
        ("bytes three", load_bytes, (b"", "a.xy", "b"), {},
         "load_bytes() takes 2 positional arguments but 3 were given"),
        ("bytes too many before types", load_bytes, (1, 2, 3), {},
         "load_bytes() takes 2 positional arguments but 3 were given"),
        ("bytes data twice", load_bytes, (b"",), {"data": b""},
         "load_bytes() got multiple values for argument 'data'"),
        ("bytes filename twice", load_bytes, (b"", "a.xy"), {"filename": "b.xy"},
         "load_bytes() got multiple values for argument 'filename'"),
        ("bytes unknown before missing", load_bytes, (b"",), {"name": "a.xy"},
         "load_bytes() got an unexpected keyword argument 'name'"),
        ("bytes missing before types", load_bytes, (), {"data": 1},
         "load_bytes() missing 1 required positional argument: 'filename'"),
    ]

    def test_messages(self):
        for label, function, args, kwargs, message in self.cases:
            with self.subTest(label):
                with self.assertRaises(TypeError) as caught:
                    function(*args, **kwargs)
                self.assertIs(type(caught.exception), TypeError)
                self.assertEqual(caught.exception.args, (message,))


class TypeErrors(unittest.TestCase):
    cases = [
        ("path bytes", lambda: load_file(b"a.xy"),
         "argument 'path': 'bytes' object cannot be cast as 'str'"),
        ("path pathlib", lambda: load_file(pathlib.Path("a.xy")),
         "argument 'path': 'PosixPath' object cannot be cast as 'str'"),
        ("path None", lambda: load_file(None),
         "argument 'path': 'NoneType' object cannot be cast as 'str'"),
        ("path int", lambda: load_file(path=3),
         "argument 'path': 'int' object cannot be cast as 'str'"),
        ("data bytearray", lambda: load_bytes(bytearray(b"1 2"), "a.xy"),
         "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
        ("data memoryview", lambda: load_bytes(memoryview(b"1 2"), "a.xy"),
         "argument 'data': 'memoryview' object cannot be cast as 'bytes'"),
        ("data str", lambda: load_bytes("1 2", "a.xy"),
         "argument 'data': 'str' object cannot be cast as 'bytes'"),
        ("filename bytes", lambda: load_bytes(b"1 2", b"a.xy"),
         "argument 'filename': 'bytes' object cannot be cast as 'str'"),
        ("filename pathlib", lambda: load_bytes(b"1 2", pathlib.Path("a.xy")),
         "argument 'filename': 'PosixPath' object cannot be cast as 'str'"),
        ("both wrong: data first", lambda: load_bytes(bytearray(), 1),
         "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
        ("parameter order, not keyword order",
         lambda: load_bytes(filename=1, data=memoryview(b"")),
         "argument 'data': 'memoryview' object cannot be cast as 'bytes'"),
        ("data wrong, filename not encodable", lambda: load_bytes(bytearray(), "\udc80"),
         "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
    ]

    def test_messages(self):
        for label, call, message in self.cases:
            with self.subTest(label):
                with self.assertRaises(TypeError) as caught:
                    call()
                self.assertIs(type(caught.exception), TypeError)
                self.assertEqual(caught.exception.args, (message,))

    def test_nested_class_is_named_by_its_qualified_name(self):
        class Outer:
            class Inner:
                pass
        with self.assertRaises(TypeError) as caught:
            load_file(Outer.Inner())
        self.assertIn("'TypeErrors.test_nested_class_is_named_by_its_qualified_name."
                      "<locals>.Outer.Inner' object cannot be cast as 'str'",
                      str(caught.exception))


class TextConversion(unittest.TestCase):
    def test_lone_surrogate_raises_unicode_encode_error(self):
        for label, call in [("path", lambda: load_file("scan\udc80.xy")),
                            ("filename", lambda: load_bytes(b"1 2", "scan\ud800.xy"))]:
            with self.subTest(label):
                self.assertRaises(UnicodeEncodeError, call)

    def test_embedded_nul_is_not_cut_short(self):
        with tempfile.TemporaryDirectory() as folder:
            real = os.path.join(folder, "scan.xy")
            with open(real, "w") as f:
                f.write("1 2\n")
            for path in (real + "\0", real + "\0.xy", os.path.join(folder, "scan\0.foo")):
                with self.subTest(path=path):
                    with self.assertRaises(OSError) as caught:
                        load_file(path)
                    self.assertIs(type(caught.exception), OSError)
                    self.assertEqual(len(caught.exception.args), 1)

    def test_non_ascii_path_loads(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "Größe-測定.xy")
            with open(path, "w") as f:
                f.write("1 2\n")
            self.assertEqual(load_file(path).y, [2.0])


class AcceptedArguments(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.path = os.path.join(folder.name, "scan.xy")
        with open(self.path, "w") as f:
            f.write("1 2\n3 4\n")

    def test_keyword_and_positional_mixes(self):
        calls = [
            ("file keyword", lambda: load_file(path=self.path)),
            ("bytes keywords", lambda: load_bytes(data=b"1 2\n3 4\n", filename="a.xy")),
            ("bytes keywords reversed", lambda: load_bytes(filename="a.xy", data=b"1 2\n3 4\n")),
            ("bytes positional and keyword", lambda: load_bytes(b"1 2\n3 4\n", filename="a.xy")),
        ]
        for label, call in calls:
            with self.subTest(label):
                self.assertEqual(call().x, [1.0, 3.0])

    def test_subclasses_are_taken_by_their_own_value(self):
        # Subclasses are accepted, and neither __str__ nor __bytes__ nor
        # __fspath__ is consulted.
        class Text(str):
            def __str__(self):
                return "elsewhere.csv"

            def __fspath__(self):
                return "elsewhere.csv"

        class Data(bytes):
            def __bytes__(self):
                return b"9 9\n"

        self.assertEqual(load_file(Text(self.path)).x, [1.0, 3.0])
        self.assertEqual(load_bytes(Data(b"1 2\n"), Text("a.xy")).x, [1.0])

    def test_filename_is_never_opened(self):
        # Only the extension counts: a directory, or a file that does not
        # exist, is a fine name.
        directory = os.path.join(os.path.dirname(self.path), "folder.xy")
        os.mkdir(directory)
        for name in (directory, "/no/such/dir/scan.xy"):
            with self.subTest(name=name):
                self.assertEqual(load_bytes(b"5 6\n", name).x, [5.0])


if __name__ == "__main__":
    unittest.main()
