"""Makes (or removes, with --remove) the test run's template Wine prefix."""
import shutil
import subprocess
import sys
from pathlib import Path

import winebed

if __name__ == "__main__":
    target = Path(sys.argv[-1])
    if "--remove" in sys.argv:
        prefix = target / "prefix"
        if prefix.is_dir():
            subprocess.run(["wineserver", "-k"], env=dict(winebed.BASE_ENV, WINEPREFIX=str(prefix)),
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(target, ignore_errors=True)
    else:
        print(winebed.make_template(target))
