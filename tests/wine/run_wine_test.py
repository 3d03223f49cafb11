"""Runs one Wine test module (python3 run_wine_test.py MODULE) with unittest, or
ends with CTest's "skipped" status, saying why, on a machine whose kernel cannot
run 32-bit programs."""
import sys
import unittest

import winebed

if __name__ == "__main__":
    winebed.skip_unless_32bit_programs_run()
    unittest.main(module=None, argv=["unittest", "-v", sys.argv[1]])
