"""Starts a server script in this very process, as if the interpreter had been given it directly.

Usage: python3 -u launch_pipeline.py SCRIPT [ARG...]

Running the script in-process (rather than as a child) keeps one process per server, so the
application's process-tree stop and its leftover check see exactly the server it launched.
"""

import os
import runpy
import sys


def main():
    if len(sys.argv) < 2:
        print("usage: launch_pipeline.py SCRIPT [ARG...]", file=sys.stderr)
        return 2
    script = os.path.abspath(sys.argv[1])
    if not os.path.isfile(script):
        print(f"launch_pipeline: no such script: {script}", file=sys.stderr)
        return 2
    sys.argv = [script] + sys.argv[2:]
    sys.path[0] = os.path.dirname(script)
    runpy.run_path(script, run_name="__main__")
    return 0


if __name__ == "__main__":
    sys.exit(main())
