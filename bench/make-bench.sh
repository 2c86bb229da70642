#!/usr/bin/env bash
# What `make bench` runs: the benchmark environment (.venv-bench, never the
# test one: the peers are not dependencies of the module) with vastrel from
# this working tree and every peer that has a wheel for this Python, the
# roofline program built with the project, then the harness. Arguments go
# to the harness (--quick for a smoke pass).
set -uo pipefail
cd "$(dirname "$0")/.."
venv=${BENCH_VENV:-.venv-bench}
build=${BENCH_BUILD:-build-bench}

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
for group in "qiskit qiskit-aer" "cirq-core qsimcirq" "qulacs" "pennylane pennylane-lightning"; do
  # shellcheck disable=SC2086
  if ! "${pip[@]}" install -q --only-binary :all: $group; then
    say "could not install $group; skipped"
  fi
done

# The roofline program, built with the project's flags. While the core does
# not build, it is compiled alone with the same exactness flags. The
# per-gate program needs the core; without it the per-gate table is left out.
roofline="$build/bench/vastrel_roofline"
gate_pass="$build/bench/vastrel_gate_pass"
log="$build/bench-build.log"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVASTREL_BUILD_BENCH=ON \
         -DVASTREL_BUILD_TESTS=OFF -DVASTREL_BUILD_PYTHON=OFF >"$log" 2>&1 &&
       cmake --build "$build" --target vastrel_roofline vastrel_gate_pass >>"$log" 2>&1; }; then
  say "the project's bench build failed (see $log); compiling the roofline alone"
  rm -f "$gate_pass"  # never time an old build of the core
  mkdir -p "$build/bench"
  g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra -pthread \
    bench/roofline.cpp -o "$roofline" || say "the roofline did not build; bounds are left out"
fi

# OpenBLAS's core-type overrides slow a current NumPy; they are dropped for
# this command only.
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$venv/bin/python" bench/harness.py --roofline "$roofline" --gate-pass "$gate_pass" "$@"
