"""vastrel against the established simulators, and against the memory roofline.

    python bench/harness.py [--quick] [--roofline PATH] [--gate-pass PATH] [--floor PATH] [--out DIR]
                            [--only a,b]

`make bench` sets up the environment and calls this. Sections, in order:
  roofline  in-place read+write bandwidth (bench/roofline.cpp), bound per gate
  check     every simulator's final state against an exact reference and
            against vastrel, at small sizes, so the timings compare like with like
  gates     vastrel's time per gate kind and target (bench/gate_pass.cpp), as
            a ratio to the bound
  floor     single-qubit gates on a state in the L2, one thread, against the
            bare arithmetic they need on registers (bench/floor.cpp), once
            per kernel set the CPU runs
  circuits  QFT, GHZ and random layers, then the layered families (brickwork
            with alternating and random offsets, a hardware-efficient ansatz,
            QAOA on a ring, random far pairs), every simulator, round-robin;
            qsim also at max_fused_gate_size 3 and 4 (as shipped it is 2)
  small     1 to 10 qubits, 1 to 100 gates: fixed costs
Every sample goes to bench/results/raw/<machine>-<date>.json, which git
ignores; the tables and the plot to <machine>.md and <machine>.png in --out
(default bench/results), named by machine (report.machine_slug: CPU model,
L2 and L3 sizes) so that results from different machines sit side by side.
A --quick smoke pass writes <machine>-quick.* to bench/results/raw instead,
so it never replaces real numbers.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import circuits  # noqa: E402
from timing import calibrate, median, progress, timed, timed_loop  # noqa: E402

THREADS = 2

FULL = {
    "roofline_qubits": [20, 24, 26],
    "roofline_passes": 11,
    "gate_qubits": [20, 24, 26],
    "gate_reps": {20: 15, 24: 7, 26: 5},
    "gate_pass_reps": 11,
    "circuit_qubits": [16, 20, 22, 24],
    "layered_qubits": [20, 22, 24, 26],
    # Five runs on 22 and 24 qubits, where the layered targets are set: of
    # three, a slow first run (the vector's memory fresh from the host) and
    # one slow neighbour made the median.
    "circuit_reps": {16: 5, 20: 3, 22: 5, 24: 5, 26: 2},
    # A simulator whose first run on a circuit took over slow_run_s and over
    # slow_factor times the fastest peer's first run is not run again on it:
    # its figure is of one run (marked in the tables). Aer and Qulacs take
    # 8-20 s a 24-qubit circuit, several times the fastest peer, and
    # repeating them would take most of the ten minutes.
    "slow_run_s": 1.0,
    "slow_factor": 1.5,
    # qsim's fusion settings at these sizes; on 26 qubits only qsim as
    # shipped among the peers (Lightning takes 10-15 s a run there, Aer and
    # Qulacs 30-60 s).
    "fusion_qubits": [22, 24],
    "peers_by_qubits": {26: ["qsim"]},
    "floor_reps": 11,
    "small_qubits": [1, 2, 4, 6, 8, 10],
    "small_gates": [1, 10, 100],
    "small_batches": 5,
    "small_batch_s": 0.02,
    "check_qubits": [3, 6, 10],
}

QUICK = {
    "roofline_qubits": [20],
    "roofline_passes": 3,
    "gate_qubits": [20],
    "gate_reps": {20: 3},
    "gate_pass_reps": 3,
    "circuit_qubits": [10, 14],
    "layered_qubits": [10, 14],
    "circuit_reps": {10: 3, 14: 3},
    "slow_run_s": 0.5,
    "slow_factor": 1.5,
    "fusion_qubits": [14],
    "peers_by_qubits": {},
    "floor_reps": 3,
    "small_qubits": [2, 8],
    "small_gates": [10, 100],
    "small_batches": 3,
    "small_batch_s": 0.005,
    "check_qubits": [4],
}


def pin_threads(threads):
    """Every runtime the peers use gets the same thread count; this must
    happen before any of them is imported.

    Each peer wheel bundles its own OpenMP runtime. With libgomp's default
    spin-then-sleep, one of them spinning at a barrier while a worker of the
    same runtime is descheduled (a shared 2-core machine) costs a whole time
    slice per gate: Qulacs then ran a 14-qubit QFT in 1 s instead of 8 ms.
    Passive waiting makes the peers' timings robust to that; a caller's own
    OMP_WAIT_POLICY wins."""
    for var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS", "NUMEXPR_NUM_THREADS",
                "RAYON_NUM_THREADS"):
        os.environ[var] = str(threads)
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")


def source_state():
    """Which vastrel was measured: the commit, and whether the core or the
    module had uncommitted changes when the harness ran."""
    root = HERE.parent
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=root, capture_output=True, text=True,
                                check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt", "pyproject.toml"],
                               cwd=root, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    return {"commit": commit, "uncommitted_changes": bool(dirty)}


def machine_info():
    info = {"python": platform.python_version(), "platform": platform.platform(), "cores": os.cpu_count()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                info["cpu"] = value.strip()
            elif key.strip() in ("L2 cache", "L3 cache"):
                info[key.strip().lower().replace(" ", "_")] = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    info["memory_gib"] = round(int(line.split()[1]) / 2**20, 1)
    except OSError:
        pass
    return info


def wait_for_quiet(limit_s):
    """The machine is shared: other processes' load distorts every timing."""
    deadline = time.monotonic() + limit_s
    while os.getloadavg()[0] >= 1.0 and time.monotonic() < deadline:
        time.sleep(5)
    load = os.getloadavg()[0]
    if load >= 1.0:
        progress(f"warning: 1-minute load average is {load:.2f}: other work on this machine distorts the timings")


# ---------------------------------------------------------------- roofline


def run_program(section, path, args, missing):
    """Runs one of our C++ measuring programs; its JSON on stdout, or None."""
    if not path or not Path(path).exists():
        progress(f"{section}: program not found at {path!r}; {missing}")
        return None
    cmd = [str(path)] + args
    progress(f"{section}: " + " ".join(cmd))
    proc = subprocess.run(cmd, capture_output=True, text=True)
    sys.stderr.write(proc.stderr)
    if proc.returncode != 0:
        progress(f"{section}: failed with exit code {proc.returncode}")
        return None
    return json.loads(proc.stdout)


def run_roofline(path, cfg):
    return run_program("roofline", path,
                       ["--qubits", ",".join(map(str, cfg["roofline_qubits"])), "--threads", f"1,{THREADS}",
                        "--passes", str(cfg["roofline_passes"])],
                       "ratios to the bound are left out")


def best_roofline(first, second):
    if not second:
        return first
    best = {(r["qubits"], r["threads"]): dict(r) for r in first["results"]}
    for r in second["results"]:
        key = (r["qubits"], r["threads"])
        if key not in best:
            best[key] = dict(r)
            continue
        b = best[key]
        if r["median_s"] < b["median_s"]:
            for field in ("median_s", "min_s", "bandwidth_gb_s", "bound_per_gate_s", "passes"):
                b[field] = r[field]
        if r.get("top_pairs_median_s") and r["top_pairs_median_s"] < b.get("top_pairs_median_s", float("inf")):
            b["top_pairs_median_s"] = r["top_pairs_median_s"]
            b["top_pairs_bandwidth_gb_s"] = r["top_pairs_bandwidth_gb_s"]
    merged = dict(first)
    merged["results"] = sorted(best.values(), key=lambda r: (r["qubits"], r["threads"]))
    merged["runs"] = [first, second]
    return merged


def roofline_row(roofline, n, threads=THREADS):
    if not roofline:
        return None
    return next((r for r in roofline["results"] if r["qubits"] == n and r["threads"] == threads), None)


def attach_bounds(row, roofline, same_run=None):
    """The gate's ratios to the bound per gate and, for the top qubit, to the
    bound of pairs half the vector apart, the pattern such a gate streams.
    A bound timed in the same rounds as the gate (same_run: the bound rows of
    bench/gate_pass.cpp for this size) is preferred: a round's gate time is
    divided by that round's bound, and the median of those ratios taken, so
    the memory bandwidth's drift on a shared machine cancels out."""
    own = (same_run or {}).get(row["qubits"])
    if own:
        bound = own["in_place"]
        row["bound_s"] = bound["median_s"]
        row["bound_source"] = "same rounds"
        row["ratio_to_bound"] = median([g / b for g, b in zip(row["samples_s"], bound["samples_s"])])
        row["ratio_to_bound_min"] = row["time_min_s"] / bound["min_s"]
        pairs = own.get("top_pairs")
        if row["where"] == "high" and pairs:
            row["top_pairs_bound_s"] = pairs["median_s"]
            row["ratio_to_top_pairs_bound"] = median(
                [g / b for g, b in zip(row["samples_s"], pairs["samples_s"])])
        return
    r = roofline_row(roofline, row["qubits"])
    if not r:
        return
    row["bound_source"] = "roofline program"
    row["bound_s"] = r["bound_per_gate_s"]
    row["ratio_to_bound"] = row["time_s"] / row["bound_s"]
    row["ratio_to_bound_min"] = row["time_min_s"] / row["bound_s"]
    if row["where"] == "high" and r.get("top_pairs_median_s"):
        row["top_pairs_bound_s"] = r["top_pairs_median_s"]
        row["ratio_to_top_pairs_bound"] = row["time_s"] / r["top_pairs_median_s"]


# ---------------------------------------------------------------- cross-check


def check_states(sims, cfg):
    """Every simulator against the complex128 reference, and every peer
    against vastrel: a peer that disagrees is not simulating the same circuit."""
    import numpy as np

    results = []
    vastrel = next((s for s in sims if s.name == "vastrel"), None)
    for n in cfg["check_qubits"]:
        cases = {name: fam(n) for name, fam in circuits.ALL_FAMILIES.items()}
        cases["mixed"] = circuits.random_gates(n, 60)
        # Every gate kind on every target, and 16 single-qubit gates in a row
        # so vastrel fuses them.
        cases["all-gates"] = [g for t in range(n) for g in (("h", t), ("rz", t, 0.3 + t), ("x", t))]
        cases["all-gates"] += [("crz", (t + 1) % n, t, 1.1) for t in range(n)]
        cases["all-gates"] += [("cnot", t, (t + 2) % n) for t in range(n)]
        if n == 1:
            cases["all-gates"] = [g for g in cases["all-gates"] if g[0] in circuits.SINGLE_QUBIT]
        for case, gates in cases.items():
            ref = circuits.reference_state(gates, n)
            states = {}
            for s in sims:
                try:
                    states[s.name] = s.state(s.run(s.build(gates, n), n), n).astype(np.complex128)
                except Exception as e:  # report, keep going
                    results.append({"sim": s.name, "qubits": n, "case": case, "error": f"{type(e).__name__}: {e}"})
            for name, st in states.items():
                row = {"sim": name, "qubits": n, "case": case, "max_abs_vs_reference": float(np.abs(st - ref).max())}
                if vastrel is not None and name != "vastrel" and "vastrel" in states:
                    row["max_abs_vs_vastrel"] = float(np.abs(st - states["vastrel"]).max())
                row["ok"] = bool(np.allclose(st, ref, atol=1e-5, rtol=1e-5))
                if "max_abs_vs_vastrel" in row:
                    row["ok"] = row["ok"] and bool(np.allclose(st, states["vastrel"], atol=1e-5, rtol=1e-5))
                results.append(row)
    bad = [r for r in results if not r.get("ok")]
    for r in bad:
        progress(f"check: MISMATCH {r}")
    progress(f"check: {len(results) - len(bad)} of {len(results)} states agree")
    return results


# ---------------------------------------------------------------- per gate


def gate_times(vastrel, gate_pass, roofline, cfg):
    """Time of one gate: bench/gate_pass.cpp runs one-gate circuits on a state
    already in memory, on the process-wide pool and kernel set the module
    uses, kinds and targets interleaved. A lone gate is one pass over the
    vector, which is what the bound prices; a Python-level difference of two
    circuits would measure the cache-blocked groups instead. The empty
    circuit's run (allocation, zeroing, hand-over) is timed from Python."""
    rows, empty = [], {}
    if vastrel is not None:
        for n in cfg["gate_qubits"]:
            reps = cfg["gate_reps"][n]
            empty_circuit = vastrel.build([], n)
            empty[n] = median([timed(vastrel.run, empty_circuit, n)[0] for _ in range(reps)])
    measured = run_program("gates", gate_pass,
                           ["--qubits", ",".join(map(str, cfg["gate_qubits"])), "--threads", str(THREADS),
                            "--reps", str(cfg["gate_pass_reps"])],
                           "per-gate times are left out")
    if measured is None:
        return rows, empty, {}
    same_run = {}
    for r in measured["results"]:
        if r["gate"] == "bound":
            same_run.setdefault(r["qubits"], {})[r["where"]] = r
    for r in measured["results"]:
        n = r["qubits"]
        if r["gate"] == "bound":
            progress(f"gates: n={n} bound {r['where']}: {r['median_s'] * 1e3:.3f} ms")
            continue
        row = {"qubits": n, "gate": r["gate"], "where": r["where"], "target": r["target"],
               "reps": len(r["samples_s"]), "passes_per_sample": r["passes_per_sample"], "kernels": measured["kernels"],
               "time_s": r["median_s"], "time_min_s": r["min_s"], "samples_s": r["samples_s"]}
        attach_bounds(row, roofline, same_run)
        rows.append(row)
        ratio = (f" = {row['ratio_to_bound']:.2f}x bound (fastest {row['ratio_to_bound_min']:.2f}x)"
                 if "bound_s" in row else "")
        progress(f"gates: n={n} {r['gate']:4} {r['where']:4} (t={r['target']}): {r['median_s'] * 1e3:.3f} ms{ratio}")
    return rows, empty, same_run


# ---------------------------------------------------------------- floor

KERNEL_SETS = ("scalar", "avx2", "avx512")


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


def floor_times(path, cfg):
    """bench/floor.cpp once per kernel set: VASTREL_KERNELS forces the set,
    and a set the CPU lacks falls back to another, which the program names;
    such a run is dropped (and not made at all when /proc/cpuinfo already
    says the CPU lacks it)."""
    runs = []
    flags = cpu_flags()
    for name in KERNEL_SETS:
        need = {"avx2": "avx2", "avx512": "avx512f"}.get(name)
        if need and flags is not None and need not in flags:
            progress(f"floor: this CPU has no {need}; the {name} set is left out")
            continue
        old = os.environ.get("VASTREL_KERNELS")
        os.environ["VASTREL_KERNELS"] = name
        try:
            measured = run_program("floor", path, ["--reps", str(cfg["floor_reps"])], "the floor table is left out")
        finally:
            if old is None:
                del os.environ["VASTREL_KERNELS"]
            else:
                os.environ["VASTREL_KERNELS"] = old
        if measured is None:
            if not Path(path or "").exists():
                break
            continue
        if measured["kernels"] != name:
            progress(f"floor: {name} not supported here (ran {measured['kernels']}); dropped")
            continue
        runs.append(measured)
        best = {}
        for r in measured["results"]:
            key = (r["gate"], r["path"])
            if key not in best or r["median_ns"] < best[key]:
                best[key] = r["median_ns"]
        progress(f"floor: {name}, {measured['amplitudes']} amplitudes: " + "; ".join(
            f"{g} " + ", ".join(f"{p} {best[(g, p)]:.3f}" for p in ("kernel", "executor", "full", "reduced")
                                 if (g, p) in best) for g in ("x", "h", "rz", "mat2")) + " ns/amplitude/gate")
    return runs


# ---------------------------------------------------------------- circuits


def sims_for(sims, n, cfg):
    """The simulators timed on n qubits: qsim's fusion variants only at
    cfg["fusion_qubits"], and only the peers cfg["peers_by_qubits"] names
    for n, where it names any."""
    keep = cfg["peers_by_qubits"].get(n) or cfg["peers_by_qubits"].get(str(n))
    out = []
    for s in sims:
        if getattr(s, "fusion", None) is not None and n not in cfg["fusion_qubits"]:
            continue
        if keep is not None and s.name != "vastrel" and s.name not in keep:
            continue
        out.append(s)
    return out


def circuit_times(sims, cfg):
    rows = []
    # Warm every simulator up once (first-call costs: lazy imports, JIT-ed
    # dispatch tables, thread-pool creation) before anything is timed.
    for s in sims:
        for fam in circuits.ALL_FAMILIES.values():
            s.run(s.build(fam(8), 8), 8)
    cases = [(family, make, n) for family, make in circuits.FAMILIES.items() for n in cfg["circuit_qubits"]]
    cases += [(family, make, n) for family, make in circuits.LAYERED_FAMILIES.items() for n in cfg["layered_qubits"]]
    for family, make, n in cases:
        reps = cfg["circuit_reps"][n]
        gates = make(n)
        here = sims_for(sims, n, cfg)
        samples = {s.name: {"build": [], "run": []} for s in here}
        for rep in range(reps):
            # Round-robin, starting one further each repetition, so no
            # simulator always runs right after the same neighbour. A slow
            # simulator's first run stands for it (cfg["slow_run_s"] and
            # cfg["slow_factor"]); vastrel always repeats.
            order = here[rep % len(here):] + here[:rep % len(here)]
            if rep > 0:
                first = {name: v["build"][0] + v["run"][0] for name, v in samples.items()}
                fastest = min((t for name, t in first.items() if name != "vastrel"), default=0.0)
                limit = max(cfg["slow_run_s"], cfg["slow_factor"] * fastest)
                order = [s for s in order if s.name == "vastrel" or first[s.name] <= limit]
            for s in order:
                tb, built = timed(s.build, gates, n)
                tr, result = timed(s.run, built, n)
                del result, built
                samples[s.name]["build"].append(tb)
                samples[s.name]["run"].append(tr)
            progress(f"circuits: {family} n={n} rep {rep + 1}/{reps}: " + ", ".join(
                f"{s.name} {samples[s.name]['build'][-1] + samples[s.name]['run'][-1]:.3f}s" for s in order))
        for name, v in samples.items():
            totals = [b + r for b, r in zip(v["build"], v["run"])]
            rows.append({"family": family, "qubits": n, "gates": len(gates), "sim": name, "reps": len(totals),
                         "build_s": median(v["build"]), "run_s": median(v["run"]), "total_s": median(totals),
                         "build_samples_s": v["build"], "run_samples_s": v["run"]})
    add_ratios(rows, ("family", "qubits"))
    return rows


def add_ratios(rows, key_fields):
    """ratio = peer time / vastrel time for the same circuit (> 1: vastrel faster)."""
    base = {tuple(r[k] for k in key_fields): r for r in rows if r["sim"] == "vastrel"}
    for r in rows:
        v = base.get(tuple(r[k] for k in key_fields))
        if v is None or r["sim"] == "vastrel":
            continue
        for col in ("total_s", "run_s"):
            if v.get(col):
                r[col.replace("_s", "_ratio")] = r[col] / v[col]


# ---------------------------------------------------------------- small circuits


def small_times(sims, cfg):
    rows = []
    configs = [(n, g) for n in cfg["small_qubits"] for g in cfg["small_gates"]]
    for i, (n, count) in enumerate(configs):
        gates = circuits.random_gates(n, count)
        built = {s.name: s.build(gates, n) for s in sims}
        loops = {}
        for s in sims:
            def total(s=s):
                s.run(s.build(gates, n), n)

            loops[s.name] = calibrate(total, cfg["small_batch_s"])
        samples = {s.name: {"total": [], "run": []} for s in sims}
        for batch in range(cfg["small_batches"]):
            order = sims[batch % len(sims):] + sims[:batch % len(sims)]
            for s in order:
                b = built[s.name]
                samples[s.name]["total"].append(timed_loop(lambda s=s: s.run(s.build(gates, n), n), loops[s.name]))
                samples[s.name]["run"].append(timed_loop(lambda s=s, b=b: s.run(b, n), loops[s.name]))
        for name, v in samples.items():
            rows.append({"qubits": n, "gates": count, "sim": name, "loops": loops[name],
                         "total_s": median(v["total"]), "run_s": median(v["run"]),
                         "total_samples_s": v["total"], "run_samples_s": v["run"]})
        progress(f"small: {i + 1}/{len(configs)} n={n} gates={count}: " + ", ".join(
            f"{name} {median(v['total']) * 1e6:.1f}us" for name, v in samples.items()))
    add_ratios(rows, ("qubits", "gates"))
    return rows


# ---------------------------------------------------------------- main


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="a smoke pass: few sizes and repetitions, under a minute")
    ap.add_argument("--roofline", help="path of the vastrel_roofline program")
    ap.add_argument("--gate-pass", help="path of the vastrel_gate_pass program")
    ap.add_argument("--floor", help="path of the vastrel_floor program")
    ap.add_argument("--out", help="directory of the tables and plot (default bench/results, or bench/results/raw "
                                  "with --quick)")
    ap.add_argument("--only", help="comma-separated simulators to include (vastrel,aer,qsim,qulacs,lightning)")
    ap.add_argument("--sections", default="roofline,check,gates,floor,circuits,small",
                    help="comma-separated sections to run (default: all)")
    ap.add_argument("--wait-quiet", type=float, default=0.0, metavar="SECONDS",
                    help="first wait up to SECONDS for the 1-minute load average to drop below 1")
    args = ap.parse_args(argv)
    wait_for_quiet(args.wait_quiet)

    cfg = QUICK if args.quick else FULL
    sections = set(args.sections.split(","))
    raw_dir = HERE / "results" / "raw"
    out_dir = Path(args.out) if args.out else raw_dir if args.quick else HERE / "results"

    pin_threads(THREADS)
    import sims as simulators  # after the thread variables are set

    only = set(args.only.split(",")) if args.only else None
    sims, skipped = simulators.load(THREADS, only, log=lambda m: progress(m), qsim_fusion=simulators.QSIM_FUSION)
    # The peers' import-time objects move to a generation the collector never
    # scans, so the collection before each timed call is cheap.
    gc.collect()
    gc.freeze()
    if not sims:
        progress("no simulator could be loaded; nothing to measure")
        return 1
    names = [s.name for s in sims]
    vastrel = next((s for s in sims if s.name == "vastrel"), None)
    progress(f"simulators: {', '.join(names)}; threads: {THREADS}")

    import numpy as np

    results = {
        "date_utc": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "quick": args.quick,
        "threads": THREADS,
        "machine": machine_info(),
        "source": source_state(),
        "numpy": np.__version__,
        "simulators": {s.name: {"version": s.version, "precision": s.precision,
                                **({"fusion": s.fusion or s.default_fusion, "as_shipped": s.fusion is None}
                                   if hasattr(s, "default_fusion") else {})} for s in sims},
        "skipped": skipped,
        "config": {k: (v if not isinstance(v, dict) else {str(a): b for a, b in v.items()}) for k, v in cfg.items()},
        "environment": {k: os.environ.get(k) for k in ("OMP_NUM_THREADS", "OMP_WAIT_POLICY", "OPENBLAS_CORETYPE",
                                                       "OPENBLAS_L2_SIZE")},
        "load_average_start": os.getloadavg(),
    }

    if "roofline" in sections:
        results["roofline"] = run_roofline(args.roofline, cfg)
    if "check" in sections:
        progress("check: final states against the reference")
        results["check"] = check_states(sims, cfg)
    if "gates" in sections:
        results["gates"], results["empty_run_s"], results["gate_bounds"] = gate_times(
            vastrel, args.gate_pass, results.get("roofline"), cfg)
    if "roofline" in sections and results.get("roofline"):
        # Measured again after the gate timings: on a shared machine the
        # faster of the two medians is the better estimate of the bound.
        results["roofline"] = best_roofline(results["roofline"], run_roofline(args.roofline, cfg))
        if results.get("gates"):
            for row in results["gates"]:
                attach_bounds(row, results["roofline"], results.get("gate_bounds"))
    if "floor" in sections:
        results["floor"] = floor_times(args.floor, cfg)
    if "circuits" in sections:
        results["circuits"] = circuit_times(sims, cfg)
    if "small" in sections:
        # qsim's fusion settings are for large states; small circuits time
        # the simulators as shipped.
        results["small"] = small_times([s for s in sims if getattr(s, "fusion", None) is None], cfg)

    results["load_average_end"] = os.getloadavg()
    import report

    json_path = report.write_raw(results, raw_dir, quick=args.quick)
    md_path, png_path = report.write(results, out_dir, "-quick" if args.quick else "")
    progress(f"wrote {json_path}, {md_path}, {png_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
