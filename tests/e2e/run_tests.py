"""Runs test modules or classes for ctest, as `python3 -m unittest -v NAME...` does, but exits
with status 77 (ctest's "skipped") when every test in them skipped.

`run_tests.py --list MODULE...` prints the test classes of the modules, one MODULE.CLASS a
line (or the module itself where it cannot be loaded, so that running it shows why): ctest runs
each class as a test of its own.
"""

import importlib
import inspect
import sys
import unittest


def test_classes(module_name):
    try:
        module = importlib.import_module(module_name)
    except Exception:  # noqa: BLE001 - any failure shows when the module itself is run
        return [module_name]
    loader = unittest.defaultTestLoader
    return ["%s.%s" % (module_name, name) for name, cls in inspect.getmembers(module, inspect.isclass)
            if issubclass(cls, unittest.TestCase) and cls.__module__ == module_name
            and loader.getTestCaseNames(cls)]


if sys.argv[1:2] == ["--list"]:
    for name in sys.argv[2:]:
        print("\n".join(test_classes(name)))
    sys.exit(0)
result = unittest.TextTestRunner(verbosity=2).run(
    unittest.defaultTestLoader.loadTestsFromNames(sys.argv[1:]))
if not result.wasSuccessful():
    sys.exit(1)
sys.exit(77 if result.testsRun and len(result.skipped) == result.testsRun else 0)
