#!/usr/bin/env bash
# Builds everything with coverage instrumentation (the `coverage` preset, in
# build-coverage), runs the whole test suite and prints the line and branch
# coverage of the library's own code (runtime/, imaging/, api/), per file,
# per folder and in all.
#   bash scripts/run-coverage.sh
# CMAKE_BUILD_PARALLEL_LEVEL caps the jobs. The suite's result is reported
# but does not stop the report; the script's status is the suite's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh coverage
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
build=build-coverage
cmake --preset coverage
cmake --build --preset coverage -j "$jobs"
# Counters from an earlier run would add up with this one's.
find "$build" -name '*.gcda' -delete
# A test's child that turns into another user writes its counts into the
# same files as the test, which it may only open, not create: each test
# binary runs once first (listing its tests), so that the files are there,
# writable by every user, before the suite starts.
while IFS= read -r binary; do
  (umask 000 && "$binary" --gtest_list_tests >/dev/null) || true
done < <(find "$build/tests" -type f -perm -u+x -name '*Test')
status=0
ctest --preset coverage -j "$jobs" || status=$?

# Only the layers' sources; headers with inline code count where they live.
filters=(--root . --filter '^runtime/' --filter '^imaging/' --filter '^api/')
# Every branch counts, those of exception paths included.
common=(--object-directory "$build" "${filters[@]}" -j "$jobs")
gcovr "${common[@]}" --txt "$build/coverage-lines.txt" \
      --json-summary "$build/coverage-summary.json" --json-summary-pretty
gcovr "${common[@]}" --branches --txt "$build/coverage-branches.txt"
cat "$build/coverage-lines.txt"
python3 - "$build/coverage-summary.json" <<'PY'
import json, sys
files = json.load(open(sys.argv[1]))["files"]
folders = {}
for f in files:
    top = f["filename"].split("/")[0]
    acc = folders.setdefault(top, [0, 0, 0, 0])
    acc[0] += f["line_covered"]; acc[1] += f["line_total"]
    acc[2] += f["branch_covered"]; acc[3] += f["branch_total"]
pct = lambda c, t: 100.0 * c / t if t else 100.0
print("folder     lines            branches")
total = [0, 0, 0, 0]
for top in sorted(folders):
    a = folders[top]
    total = [x + y for x, y in zip(total, a)]
    print(f"{top:10} {pct(a[0], a[1]):5.1f}% {a[0]:5}/{a[1]:<5} {pct(a[2], a[3]):5.1f}% {a[2]:5}/{a[3]}")
print(f"{'all':10} {pct(total[0], total[1]):5.1f}% {total[0]:5}/{total[1]:<5} {pct(total[2], total[3]):5.1f}% {total[2]:5}/{total[3]}")
PY
echo "per-file branch report: $build/coverage-branches.txt"
exit "$status"
