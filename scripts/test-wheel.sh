#!/usr/bin/env bash
# Installs the wheels of dist/ (scripts/build-wheels.sh) the way a server
# without a compiler does, into a fresh virtual environment, and runs the whole
# test suite against them.  Nothing is compiled: CC and CXX name no compiler,
# PATH holds the environment's own bin/ and the machine's commands less every
# compiler and linker, and the third-party packages come as binary wheels only.  The stand-ins (sandbox/, pure Python) are installed
# from source, as the tests need them.
#
# The simulated day is also run through the wheel and compared with the same
# day run through a source build: TESSALINE_REFERENCE_VENV (default .venv, the
# one scripts/test.sh makes) must hold that build and the stand-ins.
# Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
dist="${TESSALINE_DIST:-dist}"
venv="${TESSALINE_WHEEL_VENV:-.venv-wheel-test}"
reference_venv="${TESSALINE_REFERENCE_VENV:-.venv}"

module_wheels=("$dist"/tessaline-*-manylinux*.whl)
if [ ! -e "${module_wheels[0]}" ]; then
    echo "test-wheel: no manylinux wheel of the module in $dist/; run scripts/build-wheels.sh first" >&2
    exit 2
fi
if [ ! -x "$reference_venv/bin/tessaline-sim" ]; then
    echo "test-wheel: no source build with the stand-ins in $reference_venv; run scripts/test.sh first" >&2
    exit 2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
echo "+ the simulated day through the source build ($reference_venv)"
"$reference_venv/bin/tessaline-sim" --quiet --json "$work/reference.json" >/dev/null

rm -rf "$venv"
python3 -m venv "$venv"
bin="$(cd "$venv/bin" && pwd)"
# the machine's own commands (ps, git, ...), less every compiler, assembler,
# linker and build tool
commands="$work/commands"
mkdir -p "$commands"
IFS=: read -ra path_dirs <<<"$PATH"
for dir in "${path_dirs[@]}"; do
    [ -d "$dir" ] || continue
    for exe in "$dir"/*; do
        name="${exe##*/}"
        { [ -f "$exe" ] && [ -x "$exe" ] && [ ! -e "$commands/$name" ]; } || continue
        case "$name" in
            cc|c++|cpp*|gcc*|g++*|*-gcc*|*-g++*|*-c++*|*-cc|*-cpp*|clang*|*-clang*|cmake*|ctest|cpack|ninja*|make|gmake) continue ;;
            ld|ld.*|*-ld|*-ld.*|as|*-as|tcc|zig|icx|icpx|nvcc) continue ;;
        esac
        ln -s "$exe" "$commands/$name"
    done
done
# every command from here on runs where no compiler can be found
without_compiler() { PATH="$bin:$commands" CC="$work/no-compiler/cc" CXX="$work/no-compiler/c++" "$@"; }
for tool in cc c++ gcc g++ clang clang++ cmake; do
    if found="$(PATH="$bin:$commands" command -v "$tool")"; then
        echo "test-wheel: $tool is still reachable ($found); a build would not fail" >&2
        exit 1
    fi
done

pip() { without_compiler "$bin/python" -m pip -q --disable-pip-version-check "$@"; }
pip install --upgrade pip
# third-party packages: the suite's own and whatever the wheels require (with
# their extras), binary wheels only; then the wheels themselves from dist/ alone
readarray -t requirements < <(without_compiler "$bin/python" - "$dist" <<'EOF'
import sys, zipfile
from email.parser import Parser
from pathlib import Path
for wheel in sorted(Path(sys.argv[1]).glob("*.whl")):
    with zipfile.ZipFile(wheel) as zf:
        meta = next(n for n in zf.namelist() if n.endswith(".dist-info/METADATA"))
        for req in Parser().parsestr(zf.read(meta).decode()).get_all("Requires-Dist") or []:
            # an extra's requirements too: the suite installs the tools with every extra
            name, _, marker = req.partition(";")
            print(name.strip() if "extra ==" in marker else req)
EOF
)
pip install --only-binary :all: pytest hypothesis mypy "${requirements[@]}"
pip install --no-index --find-links "$dist" tessaline "tessaline-tools[cluster]" tessaline-stubs
pip install ./sandbox
# the module under test is the wheel's, not a build from this tree
without_compiler "$bin/python" - <<'EOF'
import importlib.metadata as md
tags = [line.split(": ", 1)[1] for line in md.distribution("tessaline").read_text("WHEEL").splitlines()
        if line.startswith("Tag: ")]
if not any("manylinux" in t for t in tags):
    raise SystemExit(f"test-wheel: the installed module is not the manylinux wheel (tags {tags})")
print("+ installed", md.version("tessaline"), "as", ", ".join(tags))
EOF

# This case patches a field name inside a copy of the shared object and needs
# the name stored as a string of its own; the wheel's linker (lld) keeps it
# only as the tail of a longer string ("corvix.tarrow.model.l2_transaction").
# The other case of the same test patches the wheel's copy as it should.
# The README walk builds the module from a fresh clone: a compiler's work.
layout_dependent="tests/test_capture.py::test_a_changed_copy_is_reported_at_its_first_call[l2_transaction-l2_transactiom-on_tick_trade-fields]"
TESSALINE_REFERENCE_REPORT="$work/reference.json" without_compiler "$bin/python" -m pytest -q -p no:cacheprovider \
    --deselect "$layout_dependent" --ignore tests/test_readme_walk.py tests "$@"
