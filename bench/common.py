"""Helpers shared by the benchmarks: running a function in a child process
(optionally with corvane limited to one thread) and reading this process's
memory counters."""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def in_child(module, function, *args, one_thread=False):
    """module.function(*args) in a fresh interpreter; its JSON-able result.
    With one_thread, corvane uses one thread (set_num_threads(1)); the process
    is not pinned, so that it runs on the CPUs the full pool would use."""
    code = (
        "import os, sys, json\n"
        + ("import corvane; corvane.set_num_threads(1)\n" if one_thread else "")
        + "sys.path.insert(0, %r)\n" % HERE
        + "import %s\n" % module
        + "print(json.dumps(%s.%s(*%r)))\n" % (module, function, list(args))
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def vm_kb(field):
    """A /proc/self/status figure in KiB (VmRSS, VmHWM, ...); 0 if absent."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0
