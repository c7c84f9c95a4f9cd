#!/usr/bin/env bash
# Installs what is missing, builds, runs every benchmark program in bench/
# one after another and writes their figures as a Markdown table to
# build/bench/results.md (also printed). Each program measures its ratios
# within its own run; run this on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
llama_completion="$(bash scripts/build-llama-completion.sh | tail -n 1)"
bash scripts/build.sh -DQUORVANE_LLAMA_COMPLETION="$llama_completion"

programs=(startup stream_decode generation_overhead download ui_stream followup_latency)
out=build/bench/results.md
cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
mem_gb="$(awk '/MemTotal/ { printf "%.1f", $2 / 1048576 }' /proc/meminfo)"
os="$(. /etc/os-release && echo "$PRETTY_NAME")"

{
    echo "Measured $(date -u +%Y-%m-%d) on ${cpu:-an unknown processor}, $(nproc) cores, ${mem_gb} GiB memory, ${os}."
    echo
    echo "| Program | Figure | Value | Goal | Met |"
    echo "|---|---|---|---|---|"
} >"$out"

status=0
for program in "${programs[@]}"; do
    echo "== $program" >&2
    if ! lines="$("build/bench/$program" 2>/dev/null)"; then
        echo "| $program | (the program failed) | | | no |" >>"$out"
        status=1
        continue
    fi
    # "ratio <name>: <value> (goal <op> <bound>)" and "figure <name>: <value> (<note>)"
    while IFS= read -r line; do
        case "$line" in
        ratio\ *)
            name="${line#ratio }"; name="${name%%:*}"
            rest="${line#*: }"; value="${rest%% *}"
            goal="$(sed -n 's/.*(goal \(.*\)).*/\1/p' <<<"$line")"
            op="${goal%% *}"; bound="${goal##* }"
            met="$(awk -v v="$value" -v op="$op" -v b="$bound" 'BEGIN {
                ok = (op == "<=") ? v <= b : (op == ">=") ? v >= b : (op == "<") ? v < b : (op == ">") ? v > b : 0
                print ok ? "yes" : "no" }')"
            [ "$met" = yes ] || status=1
            echo "| $program | $name | $value | $goal | $met |" >>"$out"
            ;;
        figure\ *)
            name="${line#figure }"; name="${name%%:*}"
            value="${line#*: }"
            echo "| $program | $name | $value | | |" >>"$out"
            ;;
        esac
    done <<<"$lines"
done
cat "$out"
exit $status
