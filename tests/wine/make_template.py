"""Makes (or removes, with --remove) one of the test run's template Wine
prefixes: 32-bit, or 64-bit with --win64."""
import shutil
import subprocess
import sys
from pathlib import Path

import winebed

if __name__ == "__main__":
    target = Path(sys.argv[-1])
    arch = "win64" if "--win64" in sys.argv else "win32"
    if "--remove" in sys.argv:
        prefix = target / "prefix"
        if prefix.is_dir():
            subprocess.run(["wineserver", "-k"],
                           env=dict(winebed.BASE_ENV, WINEPREFIX=str(prefix), WINEARCH=arch),
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(target, ignore_errors=True)
    else:
        winebed.skip_unless_32bit_programs_run()
        print(winebed.make_template(target, arch))
