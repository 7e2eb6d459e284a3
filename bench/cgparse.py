"""Reads callgrind dumps written with --compress-strings=no: the label of each
dump, its total instruction count and the exclusive count of every function."""
import collections
import glob
import re


def read_dump(path):
    label, total = None, None
    exclusive = collections.Counter()
    fn = None
    skip_next_cost = False
    with open(path) as f:
        for line in f:
            if line.startswith("desc: Trigger: Client Request: "):
                label = line.split("Client Request: ", 1)[1].strip()
            elif line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
            elif line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("calls="):
                skip_next_cost = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip_next_cost:
                    skip_next_cost = False
                    continue
                parts = line.split()
                if len(parts) >= 2 and fn is not None:
                    exclusive[fn] += int(parts[-1])
    return label, total, exclusive


def read_all(pattern):
    """{label: (total, exclusive Counter)} for every labelled dump matching pattern."""
    out = {}
    for path in glob.glob(pattern):
        if not re.search(r"\.\d+$", path):
            continue
        label, total, exclusive = read_dump(path)
        if label:
            out[label] = (total, exclusive)
    return out


def short(fn):
    fn = fn.replace("(anonymous namespace)::", "").replace("tessaline::", "")
    # drop a trailing C++ parameter list (balanced parentheses from the end)
    if fn.endswith(")") or fn.endswith(") const"):
        end = fn.rindex(")")
        depth = 0
        for i in range(end, -1, -1):
            depth += {")": 1, "(": -1}.get(fn[i], 0)
            if depth == 0:
                fn = fn[:i] + fn[end + 1:]
                break
    fn = re.sub(r"<[^<>]*(<[^<>]*>[^<>]*)*>", "<>", fn)  # template arguments
    return fn.strip()[:70]
