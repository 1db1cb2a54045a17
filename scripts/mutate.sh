#!/usr/bin/env bash
# Mutation check (not part of CI): do the fast suites notice when the native
# code is broken? Applies a fixed sample of small faults to native/core and
# native/binding, one at a time, rebuilds incrementally in build/mutate, runs
# the native tests (without the valgrind checks) and the Python tests that
# cover the mutated file (without the slow ones), and prints the kill rate
# and every surviving mutant.
#
# Operators: flip a comparison (== / !=), move a bound (< <= > >=), drop a
# "+ 1" / "- 1" (off by one), drop a zeroing call, drop a check that returns
# an error, swap two adjacent error checks. Sites are found by pattern and
# identified by file, line text and occurrence, so the same seed picks the
# same sample after unrelated edits; a site that no longer matches is
# skipped. Only .cpp files are mutated (a header would rebuild everything).
#
#   scripts/mutate.sh [--seed N] [--count N] [--list] [--only K] [--from K]
#     --list   prints the sample and exits; --only K runs only mutant K;
#     --from K resumes an interrupted run at mutant K.
# Environment: MUTATE_TIMEOUT (seconds per suite, 900). Python tests marked
# `slow` are left out.
# Run it with nice -n 10: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export PATH="$root/.venv/bin:$PATH"
seed=11 count=30 list=0 only= from=1
while (($#)); do
  case "$1" in
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --list) list=1; shift ;;
    --only) only=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    *) echo "usage: $0 [--seed N] [--count N] [--list] [--only K] [--from K]" >&2; exit 2 ;;
  esac
done
timeout_s=${MUTATE_TIMEOUT:-900}
build=build/mutate
work=$build/mutants
mkdir -p "$work"

# mutant <seed> <count> sample | mutant apply <file> <k> (prints the site)
mutant() {
  python3 - "$@" <<'EOF'
import json, random, re, sys
from pathlib import Path

ERRORISH = re.compile(r"\b(Error|ErrorKind|raise\w*|fault|OpenFailed|Malformed|BadLength)\b")

def cond_end(line, start):
    """Index of the ')' closing the '(' at `start`, or -1."""
    depth = 0
    for i in range(start, len(line)):
        depth += {"(": 1, ")": -1}.get(line[i], 0)
        if depth == 0:
            return i
    return -1

def check_line(lines, i):
    s = lines[i].strip()
    m = re.match(r"(?:\} else )?if \(", s)
    if not m or lines[i].rstrip().endswith(("&&", "||")):
        return False
    nxt = lines[i + 1] if i + 1 < len(lines) else ""
    return bool(ERRORISH.search(s) or (s.endswith("{") and ERRORISH.search(nxt)))

def mutations(lines, i):
    """(operator, description, new line or None for a swap) at line i."""
    line = lines[i]
    s = line.strip()
    if not s or s.startswith(("//", "#", "*", "/*")):
        return
    code = line.split("//")[0]
    for op, pairs in (("flip", [(" == ", " != "), (" != ", " == ")]),
                      ("bound", [(" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > ")]),
                      ("off-by-one", [(" + 1", ""), (" - 1", "")])):
        for a, b in pairs:
            for m in re.finditer(re.escape(a) + (r"(?![\d.])" if op == "off-by-one" else ""), code):
                yield op, f"{a.strip()} -> {b.strip() or '(nothing)'} #{m.start()}", line[:m.start()] + b + line[m.end():]
    if re.match(r"\s*(secure_zero|OPENSSL_cleanse|scrub_stack|[\w.]+\.wipe)\(.*\);\s*$", line) or \
       re.match(r"\s*[\w_]+\.clear\(\);\s*$", line):
        yield "drop-zero", "dropped", re.match(r"\s*", line).group(0) + "(void)0;  // mutant\n"
    if check_line(lines, i):
        at = line.index("if (") + 3
        end = cond_end(line, at)
        if end > 0:
            yield "drop-check", "condition -> false", line[:at] + "(false && " + line[at:end + 1] + ")" + line[end + 1:]
    if check_line(lines, i) and i + 1 < len(lines) and check_line(lines, i + 1) \
            and line.rstrip().endswith(";") and lines[i + 1].rstrip().endswith(";") \
            and line.lstrip().startswith("if") and lines[i + 1].lstrip().startswith("if"):
        yield "swap-checks", "with the next line", None

def sites():
    out = []
    for path in sorted(Path("native/core").rglob("*.cpp")) + sorted(Path("native/binding").glob("*.cpp")):
        lines = path.read_text().splitlines(keepends=True)
        seen = {}
        for i in range(len(lines)):
            for op, desc, _ in mutations(lines, i):
                key = (str(path), lines[i].strip(), op, desc)
                seen[key] = seen.get(key, -1) + 1
                out.append({"file": str(path), "text": lines[i].strip(), "op": op, "desc": desc, "nth": seen[key]})
    return out

def sample(seed, count):
    by_op = {}
    for s in sites():
        by_op.setdefault(s["op"], []).append(s)
    rng = random.Random(seed)
    for group in by_op.values():
        rng.shuffle(group)
    picked, ops = [], sorted(by_op)
    while len(picked) < count and any(by_op.values()):
        for op in ops:
            if by_op[op] and len(picked) < count:
                picked.append(by_op[op].pop())
    return picked

def apply(site):
    path = Path(site["file"])
    if not path.exists():
        return False
    lines = path.read_text().splitlines(keepends=True)
    nth = site["nth"]
    for i in range(len(lines)):
        if lines[i].strip() != site["text"]:
            continue
        for op, desc, new in mutations(lines, i):
            if (op, desc) != (site["op"], site["desc"]):
                continue
            if nth:
                nth -= 1
                continue
            if new is None:
                lines[i], lines[i + 1] = lines[i + 1], lines[i]
            else:
                lines[i] = new
            path.write_text("".join(lines))
            return True
    return False

cmd = sys.argv[1]
if cmd == "sample":
    for k, s in enumerate(sample(int(sys.argv[2]), int(sys.argv[3])), 1):
        print(json.dumps({"k": k, **s}))
elif cmd == "show":
    s = json.loads(sys.argv[2])
    print(s["k"], s["file"], f'#{s["k"]} {s["op"]} {s["file"]}: {s["text"][:80]} [{s["desc"]}]', sep="\t")
elif cmd == "apply":
    sys.exit(0 if apply(json.loads(sys.argv[2])) else 3)
EOF
}

# A listing never overwrites the sample a running check is reading.
samples=$work/sample.jsonl
((list)) && samples=$work/list.jsonl
mutant sample "$seed" "$count" >"$samples"
if ((list)); then
  while IFS= read -r line; do mutant show "$line" | cut -f3; done <"$samples"
  exit 0
fi

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=ON \
    -DQUORVEX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
fi
native_targets=()
for d in native/tests/*/; do
  n=$(basename "$d")
  [[ $n == ctgrind ]] || native_targets+=("${n}_tests")
done

# The Python tests that cover a file, without the slow ones (stress, the
# vector files): the native tests and these are the fast suites. Every
# constructor's failure path is in test_lock_faults.py.
py_tests() {
  local f
  case "$1" in
    native/core/keyed/* | native/core/json/* | native/binding/secret_box*)
      f=(tests/test_secret_box*.py tests/test_json_records.py tests/test_conversion.py tests/test_references.py
        tests/test_hybrid.py tests/test_lock_faults.py) ;;
    native/core/stream/* | native/binding/secret_stream*)
      f=(tests/test_secret_stream*.py tests/test_conversion.py tests/test_hybrid.py tests/test_lock_faults.py) ;;
    native/core/entropy/* | native/binding/entropy*)
      f=(tests/test_entropy*.py tests/test_conversion.py tests/test_hybrid.py tests/test_lock_faults.py) ;;
    native/core/hybrid/* | native/core/mlkem/* | native/core/x25519/* | native/binding/hybrid* | native/binding/seal*)
      f=(tests/test_hybrid*.py tests/test_json_records.py tests/test_conversion.py tests/test_references.py
        tests/test_lock_faults.py) ;;
    *) f=(tests/test_secret_box.py tests/test_conversion.py tests/test_module.py
      tests/test_locked_memory.py tests/test_lock_faults.py tests/test_entropy_pool.py
      tests/test_secret_stream.py tests/test_hybrid.py tests/test_json_records.py) ;;
  esac
  # Every object's faults under its lock (a fork, running out of memory) are tested from Python only.
  printf '%s\n' "${f[@]}" tests/test_fork_with_held_locks.py tests/test_memory_pressure.py | grep -v test_stress.py
}

current=
restore() {
  if [[ -n $current ]]; then
    cp "$work/original" "$current"
    current=
  fi
}
trap 'restore' EXIT
trap 'restore; exit 130' INT TERM

build_for() {  # only what the mutated file reaches
  if [[ $1 == native/binding/* ]]; then
    nice -n 10 cmake --build "$build" -j2 --target _secure
  else
    nice -n 10 cmake --build "$build" -j2 --target _secure "${native_targets[@]}"
  fi
}

echo "== building the unmutated tree"
build_for native/core/x >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

killed=0 survived=0 skipped=0 stillborn=0 timedout=0
survivors=() timeouts=()
while IFS= read -r line; do
  IFS=$'\t' read -r k file label < <(mutant show "$line")
  [[ -z $only || $only == "$k" ]] && ((k >= from)) || continue
  start=$SECONDS
  cp "$file" "$work/original"
  current=$file
  if ! mutant apply "$line"; then
    restore
    skipped=$((skipped + 1)); echo "skip     $label"; continue
  fi
  verdict=survived
  if ! build_for "$file" >"$work/build.log" 2>&1; then
    verdict=stillborn
  else
    rc=0
    : >"$work/ctest.log"; : >"$work/pytest.log"
    if [[ $file == native/core/* ]]; then
      timeout "$timeout_s" ctest --test-dir "$build" -LE ctgrind -j2 --stop-on-failure >"$work/ctest.log" 2>&1 || rc=$?
    fi
    if ((rc == 0)); then
      mapfile -t suites < <(py_tests "$file")
      PYTHONPATH="$root/$build/pkg" timeout "$timeout_s" python -m pytest -x -q -p no:cacheprovider \
        -m "not slow" "${suites[@]}" >"$work/pytest.log" 2>&1 || rc=$?
    fi
    # A suite cut by the timeout says nothing about the mutant (the machine
    # may just be busy): it is listed, not counted.
    case $rc in 0) ;; 124) verdict=timeout ;; *) verdict=killed ;; esac
  fi
  restore
  # Which suite noticed, for the record: the first failing native test or pytest case.
  killer=
  if [[ $verdict == killed ]]; then
    killer=$(grep -h -m1 -oE '(^FAILED [^ ]+|[0-9]+ - [A-Za-z0-9_./]+ \((Failed|SEGFAULT|Subprocess aborted|Timeout|Exception)\))' \
      "$work/ctest.log" "$work/pytest.log" 2>/dev/null | head -n1 || true)
  fi
  case $verdict in
    killed) killed=$((killed + 1)) ;;
    survived) survived=$((survived + 1)); survivors+=("$label") ;;
    stillborn) stillborn=$((stillborn + 1)) ;;
    timeout) timedout=$((timedout + 1)); timeouts+=("$label") ;;
  esac
  printf '%-9s%s (%ss)%s\n' "$verdict" "$label" $((SECONDS - start)) "${killer:+ by $killer}"
done <"$samples"

echo "== restoring the build"
build_for native/core/x >"$work/build.log" 2>&1 || true
total=$((killed + survived))
echo "== mutants: ${total} run, ${killed} killed, ${survived} survived" \
  "(${stillborn} did not compile, ${timedout} timed out, ${skipped} sites no longer match)"
((total)) && echo "== kill rate: $((100 * killed / total)) % (${killed}/${total})"
for s in "${survivors[@]}"; do echo "survivor $s"; done
for s in "${timeouts[@]}"; do echo "timeout  $s"; done
