"""Fuzzes the public functions with mutated files.

    python fuzz/make_seeds.py /tmp/seeds
    python fuzz/fuzz_python.py -max_total_time=3600 /tmp/corpus /tmp/seeds

For coverage of the C++ code and its sanitizers, build the extension with
clang and -DIXARKIT_FUZZ=ON and preload clang's AddressSanitizer runtime
(see .ci/run); the module's coverage counters then feed the fuzzer.

Every input is written to a file and read through listContents and
getIxarData (for every listed data set and for a few fixed requests). A
damaged file may raise one of the exceptions the module documents; anything
else, a crash or a hang is a finding.
"""

import io
import os
import struct
import sys
import tempfile

# The extension's coverage hooks resolve against the fuzzer's, which must
# therefore be loaded with its symbols visible to later modules.
sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)
import atheris  # noqa: E402

ixarkit = None  # imported once the fuzzer is set up, so its coverage hooks are the fuzzer's

# What a caller may see for a damaged file.
EXPECTED = (ValueError, KeyError, IndexError, TypeError, OSError, UnicodeDecodeError,
            ZeroDivisionError, OverflowError, MemoryError, struct.error)
REQUESTS = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"),
            ("SSC", "2D", "NONE"), ("AB", "3D", "1DER")]

_fd, PATH = tempfile.mkstemp(suffix=".ixar")
os.close(_fd)


def quietly(call, *args):
    # Failed reads are reported on standard error; keep the fuzzer's output readable.
    saved = sys.stderr, sys.unraisablehook
    sys.stderr, sys.unraisablehook = io.StringIO(), lambda unraisable: None
    try:
        return call(*args)
    except EXPECTED:
        return None
    finally:
        sys.stderr, sys.unraisablehook = saved


def TestOneInput(data):
    with open(PATH, "wb") as fh:
        fh.write(data)
    quietly(ixarkit.isIxarFile, PATH)
    listed = quietly(ixarkit.listContents, PATH) or []
    for request in list(dict.fromkeys(listed[:8] + REQUESTS)):
        if request[2] == "3DER":
            request = (request[0], request[1], "NDER")
        quietly(ixarkit.getIxarData, PATH, request)
    quietly(selections, data)


def selections(data):
    """The handle API on the same bytes: every data set, a few selections."""
    with ixarkit.open(data) as f:
        for key in list(f)[:8]:
            try:
                block = f[key]
                shape = block.shape
            except EXPECTED:
                continue
            for index in [(0,), (-1,), (..., slice(1, None, 3)), tuple(slice(None, None, 2) for _ in shape)]:
                try:
                    block[index]
                except EXPECTED:
                    pass


def main():
    global ixarkit
    atheris.Setup(sys.argv, TestOneInput)
    with atheris.instrument_imports():
        import ixarkit as module
    ixarkit = module
    atheris.Fuzz()


if __name__ == "__main__":
    main()
