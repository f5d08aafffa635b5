# shellcheck shell=bash
# Sourced by the scripts that build (run-tests, run-bench, run-coverage,
# run-fuzz, release-build): the repository as the working directory, $jobs
# (the CPUs this process may use, scripts/cpus), step, and build.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs=$(scripts/cpus)
step() { printf '\n==> %s\n' "$*"; }

# build PRESET [DIR [-DNAME=VALUE...] [TARGET...]]: configures DIR (default
# build/PRESET) with the preset's settings (CMakePresets.json, the one place
# they are written) and any -D given, and builds the targets (default all)
# quietly; on failure shows the errors and the end of the build's log.
build() {
  local preset=$1 dir=${2:-build/$1} defines=() targets=() arg
  for arg in "${@:3}"; do
    if [[ $arg == -D* ]]; then defines+=("$arg"); else targets+=("$arg"); fi
  done
  mkdir -p "$dir"
  cmake --preset "$preset" -B "$dir" ${defines[@]+"${defines[@]}"} >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log" >&2; return 1; }
  if ! cmake --build "$dir" -j"$jobs" ${targets[@]+--target "${targets[@]}"} >"$dir/build.log" 2>&1; then
    grep -E 'error|Error' "$dir/build.log" | head -40 >&2
    tail -20 "$dir/build.log" >&2
    return 1
  fi
}
