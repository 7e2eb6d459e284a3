"""Checks a platform wheel before it is handed to a server:

    python scripts/check_wheel.py dist/NAME-...-manylinux_2_17_x86_64.whl [...]

For every shared object in the wheel:
- it needs only the C library's own shared objects (libc, libm, libpthread,
  libdl, librt, the dynamic loader): the C++ runtime is linked in statically,
  so a server with an older (or no) libstdc++ loads it all the same;
- it asks for no glibc symbol version newer than the wheel's manylinux tag
  promises;
- an extension module exports its init function and nothing else; any other
  shared object exports no C++ runtime symbol (operator new/delete, std::,
  the ABI and unwinder entry points), which would otherwise interpose on the
  host process's own runtime.
Then `auditwheel show` must find the wheel consistent with its manylinux tag
(that tag or an older one).

Prints one line per finding and exits 1 when anything failed, 2 for bad usage.
Needs pyelftools (installed with auditwheel).
"""
import argparse
import re
import subprocess
import sys
import zipfile
from io import BytesIO
from pathlib import Path

from elftools.common.exceptions import ELFError
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

ALLOWED_NEEDED = frozenset({"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                            "ld-linux-x86-64.so.2"})
# mangled std:: names, operator new/delete, type info of the runtime's own classes, the C++ ABI and the unwinder
CXX_RUNTIME = re.compile(r"^(_Z(N?K?St|S[absiod]|n[wa]|d[la]|T[ISV]N?K?St|N?10__cxxabiv1|N?9__gnu_cxx|NSt3__1)"
                         r"|__cxa_|__gxx_|__gcc_personality|__dynamic_cast|_Unwind_)")
MANYLINUX = re.compile(r"manylinux_(\d+)_(\d+)_x86_64$")
EXTENSION = re.compile(r"^([A-Za-z_][A-Za-z0-9_]*)\.(cpython-[^.]+|abi3)\.so$")


def glibc_of(version):
    """(2, 17) of 'GLIBC_2.17'; None for anything that is not a glibc version."""
    m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version)
    return (int(m[1]), int(m[2])) if m else None


def check_shared_object(name, data, baseline):
    """Problems of one shared object: a list of one-line texts, empty when it is fine."""
    try:
        elf = ELFFile(BytesIO(data))
        dynamic = elf.get_section_by_name(".dynamic")
        dynsym = elf.get_section_by_name(".dynsym")
    except ELFError as exc:
        return [f"{name}: not a readable ELF file ({exc})"]
    if not isinstance(dynamic, DynamicSection) or dynsym is None:
        return [f"{name}: no dynamic section; not a shared object"]
    problems = []
    needed = [t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    for lib in needed:
        if lib not in ALLOWED_NEEDED:
            problems.append(f"{name}: needs {lib}, which is neither the C library nor linked in")
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    version = glibc_of(aux.name)
                    if version and version > baseline:
                        problems.append(f"{name}: asks for {aux.name}, newer than glibc "
                                        f"{baseline[0]}.{baseline[1]}")
    exported = sorted(s.name for s in dynsym.iter_symbols()
                      if s.name and s["st_shndx"] != "SHN_UNDEF"
                      and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
    extension = EXTENSION.match(Path(name).name)
    if extension:
        extra = [s for s in exported if s != f"PyInit_{extension[1]}"]
        if len(extra) == len(exported):
            problems.append(f"{name}: does not export PyInit_{extension[1]}")
        if extra:
            problems.append(f"{name}: exports {len(extra)} symbol(s) besides its init function: "
                            + ", ".join(extra[:8]) + (" ..." if len(extra) > 8 else ""))
    else:
        runtime = [s for s in exported if CXX_RUNTIME.match(s)]
        if runtime:
            problems.append(f"{name}: exports C++ runtime symbols: "
                            + ", ".join(runtime[:8]) + (" ..." if len(runtime) > 8 else ""))
    return problems


def auditwheel_tag(wheel, auditwheel):
    """The platform tag `auditwheel show` finds the wheel consistent with, and its whole output."""
    proc = subprocess.run([auditwheel, "show", str(wheel)], capture_output=True, text=True, timeout=300)
    out = proc.stdout + proc.stderr
    m = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', out)
    return (m[1] if m else None), out


def check_wheel(wheel, auditwheel="auditwheel"):
    """Problems of one wheel; an empty list when it is fine."""
    wheel = Path(wheel)
    tags = wheel.stem.split("-")[-1].split(".")
    claimed = [t for t in tags if MANYLINUX.match(t)]
    if not claimed:
        return [f"{wheel.name}: no manylinux_X_Y_x86_64 tag in its name"]
    baseline = min(tuple(int(x) for x in MANYLINUX.match(t).groups()) for t in claimed)
    problems = []
    try:
        with zipfile.ZipFile(wheel) as zf:
            objects = [n for n in zf.namelist() if re.search(r"\.so(\.\d+)*$", n)]
            if not objects:
                problems.append(f"{wheel.name}: holds no shared object, yet is tagged for a platform")
            for n in objects:
                problems += check_shared_object(n, zf.read(n), baseline)
    except (OSError, zipfile.BadZipFile) as exc:
        return [f"{wheel.name}: cannot be read as a wheel ({exc})"]
    # auditwheel names the oldest glibc the wheel fits; the wheel may claim that one or a newer one
    found, output = auditwheel_tag(wheel, auditwheel)
    audited = MANYLINUX.match(found or "")
    if not audited or tuple(int(x) for x in audited.groups()) > baseline:
        problems.append(f"{wheel.name}: auditwheel show finds it consistent with {found or 'no tag'}, "
                        f"not with manylinux_{baseline[0]}_{baseline[1]}_x86_64:\n{output.strip()}")
    return problems


def main(argv=None):
    p = argparse.ArgumentParser(prog="check_wheel.py", description=__doc__.split("\n\n")[0])
    p.add_argument("wheels", nargs="+", type=Path)
    p.add_argument("--auditwheel", default="auditwheel", help="the auditwheel command (%(default)s)")
    args = p.parse_args(argv)
    failed = False
    for wheel in args.wheels:
        if not wheel.is_file():
            print(f"check_wheel: {wheel}: no such file", file=sys.stderr)
            return 2
        problems = check_wheel(wheel, args.auditwheel)
        for line in problems:
            print(f"FAIL {line}")
        if not problems:
            print(f"ok   {wheel.name}: C library only, no runtime symbols exported, auditwheel agrees")
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
