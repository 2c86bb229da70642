#!/usr/bin/env bash
# What `make bench` runs: the benchmark environment (.venv-bench, never the
# test one: the peers are not dependencies of the module) with vastrel from
# this working tree and every peer that has a wheel for this Python, the
# roofline program built with the project, then the harness. Arguments go
# to the harness (--quick for a smoke pass). With --large first (what
# `make bench-large` runs) it installs only the peers of the large-state
# table (qsim and Lightning), also builds the pass-count and first-touch
# programs, and runs bench/large.py with the remaining arguments instead.
set -uo pipefail
cd "$(dirname "$0")/.."
venv=${BENCH_VENV:-.venv-bench}
build=${BENCH_BUILD:-build-bench}

large=0
if [ "${1:-}" = "--large" ]; then
  large=1
  shift
fi

say() { echo "make bench: $*" >&2; }

if [ ! -x "$venv/bin/python" ]; then
  py=$(tools/find-python) || exit 1
  say "creating $venv with $py"
  "$py" -m venv "$venv" || exit 1
fi
pip=("$venv/bin/python" -m pip)

"${pip[@]}" install -q numpy matplotlib || { say "numpy/matplotlib failed to install"; exit 1; }

# vastrel from the working tree; an incremental build directory of its own
# keeps repeated runs fast. A failed install must not leave an old build
# behind to be measured by mistake.
if "${pip[@]}" install -q . --config-settings=build-dir="$build/wheel"; then
  say "vastrel installed from the working tree"
else
  say "vastrel did not install; its column is skipped"
  "${pip[@]}" uninstall -q -y vastrel >/dev/null 2>&1
fi

# The peers, from wheels only: one that has none for this Python is skipped.
groups=("qiskit qiskit-aer" "cirq-core qsimcirq" "qulacs" "pennylane pennylane-lightning")
if [ "$large" = 1 ]; then
  groups=("cirq-core qsimcirq" "pennylane pennylane-lightning")
fi
for group in "${groups[@]}"; do
  # shellcheck disable=SC2086
  if ! "${pip[@]}" install -q --only-binary :all: $group; then
    say "could not install $group; skipped"
  fi
done

# The roofline program, built with the project's flags. While the core does
# not build, it is compiled alone with the same exactness flags. The
# per-gate and floor programs need the core; without it their tables are left out.
roofline="$build/bench/vastrel_roofline"
gate_pass="$build/bench/vastrel_gate_pass"
floor="$build/bench/vastrel_floor"
pass_count="$build/bench/vastrel_pass_count"
first_touch="$build/bench/vastrel_first_touch"
targets=(vastrel_roofline vastrel_gate_pass vastrel_floor)
if [ "$large" = 1 ]; then
  targets=(vastrel_roofline vastrel_pass_count vastrel_first_touch)
fi
log="$build/bench-build.log"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVASTREL_BUILD_BENCH=ON \
         -DVASTREL_BUILD_TESTS=OFF -DVASTREL_BUILD_PYTHON=OFF >"$log" 2>&1 &&
       cmake --build "$build" --target "${targets[@]}" >>"$log" 2>&1; }; then
  say "the project's bench build failed (see $log); compiling the roofline alone"
  rm -f "$gate_pass" "$floor" "$pass_count" "$first_touch"  # never time an old build of the core
  mkdir -p "$build/bench"
  g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra -pthread \
    bench/roofline.cpp -o "$roofline" || say "the roofline did not build; bounds are left out"
fi

# OpenBLAS's core-type overrides slow a current NumPy; they are dropped for
# this command only.
if [ "$large" = 1 ]; then
  exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$venv/bin/python" bench/large.py --roofline "$roofline" \
    --pass-count "$pass_count" --first-touch "$first_touch" "$@"
fi
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$venv/bin/python" bench/harness.py --roofline "$roofline" --gate-pass "$gate_pass" \
  --floor "$floor" "$@"
