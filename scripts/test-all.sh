#!/usr/bin/env bash
# Runs each part of `make test` (target test-PART), lets its output through as
# it comes, and closes with one line per part. Fails when any part fails.
#   test-all.sh PART...
set -uo pipefail
cd "$(dirname "$0")/.."
RESULTS=build/test-results
rm -rf "$RESULTS" && mkdir -p "$RESULTS"
# Output goes through tee for the summary; keep pytest's colours for a terminal.
[ -t 1 ] && export PY_COLORS="${PY_COLORS:-1}"

duration() {
    local s=$1
    if [ "$s" -ge 60 ]; then printf '%dm%02ds' $((s / 60)) $((s % 60)); else printf '%ds' "$s"; fi
}

# "passed 359, failed 2, skipped 1 (tests 17.3s)" from the last pytest closing
# line of a part's output; worded unlike that line so it is never taken for one.
counts() {
    local line
    line=$(sed 's/\x1b\[[0-9;]*m//g' "$1" \
           | grep -E '^=* ?[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed|warnings?)\b.* in [0-9.]+s' \
           | tail -n 1) || true
    [ -n "$line" ] || return 1
    local out="" n word k
    for word in passed failed error skipped xfailed xpassed deselected; do
        n=$(grep -oE "[0-9]+ ${word}s?\b" <<<"$line" | grep -oE '^[0-9]+' | head -n 1) || true
        k=$word; [ "$word" = error ] && k=errors
        if [ -n "$n" ]; then out+="$k $n, "
        elif [ "$word" = passed ] || [ "$word" = failed ]; then out+="$k 0, "; fi
    done
    printf '%s (tests %s)' "${out%, }" "$(grep -oE 'in [0-9.]+s' <<<"$line" | tail -n 1 | cut -c4-)"
}

# The interpreter's version: from the set-up's "running the tests on X.Y.Z"
# line, else from pytest's header.
python_of() {
    local text
    text=$(sed 's/\x1b\[[0-9;]*m//g' "$1")
    grep -m 1 -oE '^==> running the tests on [0-9][0-9.]*' <<<"$text" | grep -oE '[0-9.]+$' \
        || grep -m 1 -oE '^platform .* -- Python [0-9.]+' <<<"$text" | grep -oE '[0-9.]+$' || true
}

start_all=$SECONDS
status=0
for part in "$@"; do
    out="$RESULTS/$part.out"
    start=$SECONDS
    make --no-print-directory "test-$part" 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
    echo "$part $rc $((SECONDS - start))" >>"$RESULTS/parts"
    [ "$rc" -eq 0 ] || status=1
done

echo
echo "---- make test: summary ----"
while read -r part rc secs; do
    out="$RESULTS/$part.out"
    py=$(python_of "$out")
    if [ "$rc" -eq 0 ]; then verdict=ok; else verdict=FAILED; fi
    detail=$(counts "$out") || {
        failed_step=$(grep -m 1 -oE 'set-up step failed: .*' "$out" | sed 's/ (exit.*//') || true
        detail=${failed_step:-"no test results (exit status $rc)"}
    }
    label=${py:+Python $py}
    printf '  %-13s %-15s %-7s %-7s %s\n' "$part" "${label:--}" "$verdict" "$(duration "$secs")" "$detail"
    if [ "$rc" -ne 0 ]; then
        sed 's/\x1b\[[0-9;]*m//g' "$out" | grep -E '^(FAILED|ERROR) |^=== FAILED: .*sanitizer' | head -n 8 | sed 's/^/      /'
    fi
done <"$RESULTS/parts"
echo "  total $(duration $((SECONDS - start_all))); each part's output: $RESULTS/<part>.out"
if [ "$status" -ne 0 ]; then
    echo "*** make test: at least one part failed" >&2
fi
exit "$status"
