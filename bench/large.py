"""Large states (27-31 qubits): vastrel against qsim and Lightning, first run
and repeated runs, beside the passes of vastrel's plan and the memory bound.

    python bench/large.py [--quick] [--qubits 27,28,30,31] [--budget-minutes 15]
                          [--roofline PATH] [--pass-count PATH] [--first-touch PATH] [--out DIR]
    python bench/large.py --report RAW.json [DIR]    # remakes the table from raw samples

`make bench-large` sets up the environment and calls this. Every measurement
is a fresh process running one simulator on one circuit: its first
`run` (first touch of the memory included, as a user's first call pays it)
and then the repeated runs in the same process. Only one process runs at a
time, and only when MemAvailable holds what the simulator needs (a 31-qubit
complex64 state is 16 GiB): no two states are ever alive at once beyond a
simulator's own copies. Circuits: an H layer, a CNOT chain, an Rz layer and
an H layer (h-cnot-rz-h); QFT; four brickwork layers. Peers: qsim at
max_fused_gate_size 2, 3 and 4 (all three up to --all-fusion-up-to qubits,
above that only the best of the size below), and PennyLane Lightning
(lightning.qubit, complex64). Qiskit Aer and Qulacs are left out of this table.

Beside each vastrel time: the passes its plan makes (bench/pass_count.cpp,
the machine's block shape, 2 workers), the in-place bound per pass
(bench/roofline.cpp) and the first touch of a fresh state as the core does it
(bench/first_touch.cpp, its populate pass alone), and the ratio
time / (passes x bound + first touch). A repeated run reuses the state the
run before it freed, zeroed over the pool where the first run faulted fresh
pages in; the model counts the first touch for both.

Cells whose time, estimated from the size below, would overrun the budget
are skipped and named. Each peer's final state is compared with vastrel's by
a digest (64 sampled amplitudes, a strided sum, the norm). Every sample goes
to bench/results/raw/<machine>-large-<date>.json (ignored by git), the table
to <machine>-large.md in --out (default bench/results; --quick writes
<machine>-large-quick.md to bench/results/raw).
"""

import argparse
import datetime
import json
import os
import platform
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import circuits  # noqa: E402
import harness  # noqa: E402
from timing import median, progress, timed  # noqa: E402

THREADS = harness.THREADS
GIB = 2**30

FULL = {
    "qubits": [27, 28, 30, 31],
    "processes": {"vastrel": 3, "qsim": 1, "lightning": 1},
    "runs": {"vastrel": 2, "qsim": 2, "lightning": 2},
    "run_cap_s": 20.0,
    "all_fusion_up_to": 27,
    "roofline_passes": 5,
    # Rounds of the first-touch measurement. Where the host takes back what
    # the guest frees (bench/NOTES.md, "First touch"), some rounds wait twice
    # as long on the host's faults: on 30 qubits three rounds gave a median
    # of 0.96 s for 8 GiB, five in another sitting 0.50-0.53 s but for two
    # of 1.1 s.
    "touch_rounds": 5,
    "budget_minutes": 15.0,
}

QUICK = {
    "qubits": [22, 24],
    "processes": {"vastrel": 2, "qsim": 1, "lightning": 1},
    "runs": {"vastrel": 2, "qsim": 2, "lightning": 2},
    "run_cap_s": 2.0,
    "all_fusion_up_to": 22,
    "roofline_passes": 3,
    "touch_rounds": 2,
    "budget_minutes": 3.0,
}

FUSION_SIZES = (2, 3, 4)
CIRCUITS = list(circuits.LARGE_FAMILIES)
CIRCUIT_LABELS = {"h-cnot-rz-h": "H, CNOT chain, Rz, H", "qft": "QFT", "brickwork": "brickwork, 4 layers"}

# Bytes a simulator holds per byte of the state, at most, with margin: the
# state and, for the peers, the copy they hand back (Lightning's device keeps
# its own state between runs).
MEMORY_FACTOR = {"vastrel": 1.0, "qsim": 2.0, "lightning": 2.0}
MEMORY_MARGIN = 1.5 * GIB

# Seconds of interpreter start-up a child spends before it measures its own
# start (imports, the simulator's set-up), for the estimates.
STARTUP_S = 0.5


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return None


def cpu_details():
    """What the table's header names beyond harness.machine_info: family and
    model, vector extensions, hypervisor."""
    out = {}
    try:
        text = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return out
    for line in text.splitlines():
        key, _, value = line.partition(":")
        key, value = key.strip(), value.strip()
        if key in ("CPU family", "Model", "Hypervisor vendor", "L1d cache"):
            out[key.lower().replace(" ", "_")] = value
        elif key == "Flags":
            flags = set(value.split())
            out["isa"] = [f for f in ("avx2", "fma", "avx512f", "avx512vl") if f in flags]
    return out


# ---------------------------------------------------------------- the child


def make_sim(job):
    import sims

    if job["sim"] == "vastrel":
        return sims.Vastrel(THREADS)
    if job["sim"] == "qsim":
        return sims.Qsim(THREADS, max_fused_gate_size=job["fusion"])
    return sims.Lightning(THREADS)


def digest(state, n):
    """A few cheap figures of a final state, in vastrel's qubit order."""
    import numpy as np

    a = np.asarray(state).reshape(-1)
    # The norm in double precision, a slice at a time: a single-precision
    # dot product of 2^24 terms is off by 1e-3.
    floats = a.view(np.float32)
    step = 1 << 18
    norm2 = 0.0
    for k in range(0, len(floats), step):
        part = floats[k:k + step].astype(np.float64)
        norm2 += float(part @ part)
    rng = np.random.default_rng(20261209 + n)
    index = np.unique(np.concatenate([[0, 1, (1 << n) - 1, 1 << (n - 1)], rng.integers(0, 1 << n, 60)]))
    samples = a[index].astype(np.complex128)
    stride = 4099
    strided = a[::stride].astype(np.complex128)
    return {"index": index.tolist(), "re": samples.real.tolist(), "im": samples.imag.tolist(),
            "strided_sum": [float(strided.sum().real), float(strided.sum().imag)], "strided_count": len(strided),
            "norm2": norm2}


def child(job):
    """One fresh process: build, first run, repeated runs; one JSON line out."""
    t0 = time.perf_counter()
    sim = make_sim(job)
    n = job["qubits"]
    gates = circuits.LARGE_FAMILIES[job["circuit"]](n)
    start_s = time.perf_counter() - t0
    build_s, built = timed(sim.build, gates, n)
    runs, dig = [], None
    for k in range(job["runs"]):
        t, result = timed(sim.run, built, n)
        runs.append(t)
        # A run longer than the cap is not repeated: the budget goes further.
        last = k == job["runs"] - 1 or t > job.get("run_cap_s", float("inf"))
        if last and job.get("digest"):
            dig = digest(sim.state(result, n), n)
        del result
        if last:
            break
    out = {"start_s": start_s, "build_s": build_s, "runs_s": runs, "digest": dig, "version": sim.version,
           "max_rss_gib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 / GIB}
    print("LARGE-RESULT " + json.dumps(out), flush=True)
    return 0


# ---------------------------------------------------------------- the parent


def run_child(job, timeout):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(job)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("LARGE-RESULT ")]
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"exit code {proc.returncode}: {tail}"}
    return json.loads(lines[-1][len("LARGE-RESULT "):])


def pass_count(path, gates, n):
    if not path or not Path(path).exists():
        return None
    proc = subprocess.run([str(path), "--qubits", str(n), "--workers", str(THREADS)],
                          input=circuits.gate_lines(gates), capture_output=True, text=True)
    if proc.returncode != 0:
        progress(f"pass count failed: {proc.stderr.strip()}")
        return None
    return json.loads(proc.stdout)


def first_touch(path, n, rounds):
    """Median seconds of the core's populate pass over a fresh 2^n state."""
    measured = harness.run_program("first touch", path,
                                   ["--qubits", str(n), "--threads", str(THREADS), "--rounds", str(rounds),
                                    "--groups", "one", "--strategies", "populate"],
                                   "the model is left without the first touch")
    if not measured:
        return None, None
    row = next(r for r in measured["results"] if r["strategy"] == "populate")
    return row["touch_median_s"], measured


def compare(vastrel_digest, peer_digest, n):
    """Peer against vastrel: sample differences in units of the RMS amplitude
    2^(-n/2), the strided sums' difference in units of its random-walk scale."""
    import math

    rms = 2.0 ** (-n / 2)
    worst = max(math.hypot(a - b, c - d) for a, b, c, d in
                zip(vastrel_digest["re"], peer_digest["re"], vastrel_digest["im"], peer_digest["im"]))
    sv, sp = vastrel_digest["strided_sum"], peer_digest["strided_sum"]
    scale = math.sqrt(vastrel_digest["strided_count"]) * rms
    sum_diff = math.hypot(sv[0] - sp[0], sv[1] - sp[1]) / scale
    ok = worst / rms < 1e-3 and sum_diff < 1e-2 and abs(peer_digest["norm2"] - 1) < 1e-3
    return {"max_sample_diff_rms": worst / rms, "strided_sum_diff": sum_diff, "norm2": peer_digest["norm2"], "ok": ok}


def sim_configs(n, cfg, best_fusion):
    """(label, job) of every simulator at n; qsim at every fusion size up to
    cfg's limit, above it only the size that was best at the largest size
    below (best_fusion: None, or that size)."""
    out = [("vastrel", {"sim": "vastrel"})]
    for f in FUSION_SIZES:
        if n <= cfg["all_fusion_up_to"] or best_fusion is None or f == best_fusion:
            out.append((f"qsim-f{f}", {"sim": "qsim", "fusion": f}))
    out.append(("lightning", {"sim": "lightning"}))
    return out


def estimate(cells, label, circuit, n):
    """(seconds before the first run, seconds a run) of a new process of label
    on circuit at n, from the measurements at n or else the largest size
    below (a run's time doubles with each qubit, at least); None when nothing
    was measured."""
    known = [c for c in cells if c["sim"] == label and c["circuit"] == circuit and c["qubits"] <= n and c["first_s"]]
    if not known:
        return None
    c = max(known, key=lambda c: c["qubits"])
    per_run = median(c["first_s"] + c["runs_s"]) * 2.0 ** (n - c["qubits"])
    return STARTUP_S + median(c["start_s"]) + median(c["build_s"]) * 2.0 ** (n - c["qubits"]), per_run


def measure(args, cfg, results):
    budget_s = (args.budget_minutes if args.budget_minutes is not None else cfg["budget_minutes"]) * 60
    began = time.monotonic()
    cells, skipped, sizes = [], [], []
    best_fusion = {}  # circuit -> qsim's fastest fusion size at the largest size so far
    for n in cfg["qubits"]:
        state_bytes = (1 << n) * 8
        avail = mem_available()
        if avail is not None and avail < state_bytes + MEMORY_MARGIN:
            skipped.append({"qubits": n, "what": "every simulator",
                            "why": f"MemAvailable {avail / GIB:.1f} GiB < state {state_bytes / GIB:.0f} GiB + margin"})
            progress(f"large: skipping {n} qubits: {skipped[-1]['why']}")
            continue
        left = budget_s - (time.monotonic() - began)
        guesses = [estimate(cells, "vastrel", name, n) for name in CIRCUITS]
        cheapest = min((g[0] + g[1] for g in guesses if g), default=0.0)
        if left <= cheapest:
            skipped.append({"qubits": n, "what": "every simulator", "why": "the time budget is spent"})
            progress(f"large: skipping {n} qubits: the time budget is spent")
            continue
        size = {"qubits": n}
        roof = harness.run_program("roofline", args.roofline,
                                   ["--qubits", str(n), "--threads", str(THREADS),
                                    "--passes", str(cfg["roofline_passes"])],
                                   "the model is left without a bound")
        row = harness.roofline_row(roof, n)
        size["bound_per_pass_s"] = row["bound_per_gate_s"] if row else None
        size["roofline"] = roof
        size["first_touch_s"], size["first_touch"] = first_touch(args.first_touch, n, cfg["touch_rounds"])
        size["passes"] = {}
        for name in CIRCUITS:
            counted = pass_count(args.pass_count, circuits.LARGE_FAMILIES[name](n), n)
            if counted:
                size["passes"][name] = counted
        sizes.append(size)
        progress(f"large: {n} qubits: bound per pass {size['bound_per_pass_s']}, first touch "
                 f"{size['first_touch_s']}, passes " + ", ".join(f"{k} {v['passes']}" for k, v in size["passes"].items()))

        for name in CIRCUITS:
            configs = sim_configs(n, cfg, best_fusion.get(name))
            for label, job in configs:
                cells.append({"sim": label, "circuit": name, "qubits": n, "runs_s": [], "first_s": [],
                              "start_s": [], "build_s": [], "processes": 0, "errors": [], "digest": None,
                              "max_rss_gib": None, "version": None})
            mine = {c["sim"]: c for c in cells if c["circuit"] == name and c["qubits"] == n}
            rounds = max(cfg["processes"].values())
            for p in range(rounds):
                order = configs[p % len(configs):] + configs[:p % len(configs)]
                for label, job in order:
                    kind = job["sim"]
                    if p >= cfg["processes"][kind]:
                        continue
                    cell = mine[label]
                    if cell.get("skipped"):
                        continue
                    need = MEMORY_FACTOR[kind] * state_bytes + MEMORY_MARGIN
                    avail = mem_available()
                    if avail is not None and avail < need:
                        cell["skipped"] = f"needs {need / GIB:.1f} GiB, MemAvailable {avail / GIB:.1f} GiB"
                        skipped.append({"qubits": n, "what": f"{label} on {name}", "why": cell["skipped"]})
                        progress(f"large: skipping {label} {name} n={n}: {cell['skipped']}")
                        continue
                    runs = cfg["runs"][kind]
                    guess = estimate(cells, label, name, n)
                    est = None
                    if guess is not None:
                        # A run that long is measured once a process: the
                        # first run only.
                        if guess[1] > cfg["run_cap_s"]:
                            runs = 1
                        est = guess[0] + runs * guess[1]
                    left = budget_s - (time.monotonic() - began)
                    if left <= 0 or (est is not None and est > left):
                        cell["skipped"] = (f"estimated {est:.0f} s, {max(left, 0):.0f} s of the budget left"
                                           if est is not None else "the time budget is spent")
                        skipped.append({"qubits": n, "what": f"{label} on {name}", "why": cell["skipped"]})
                        progress(f"large: skipping {label} {name} n={n}: {cell['skipped']}")
                        continue
                    job = dict(job, circuit=name, qubits=n, runs=runs, digest=p == 0, run_cap_s=cfg["run_cap_s"])
                    out = run_child(job, timeout=max(left, 60) + 60)
                    if "error" in out:
                        cell["errors"].append(out["error"])
                        progress(f"large: {label} {name} n={n}: {out['error']}")
                        continue
                    cell["processes"] += 1
                    cell["first_s"].append(out["runs_s"][0])
                    cell["runs_s"].extend(out["runs_s"][1:])
                    cell["start_s"].append(out["start_s"])
                    cell["build_s"].append(out["build_s"])
                    cell["version"] = out["version"]
                    cell["max_rss_gib"] = max(cell["max_rss_gib"] or 0, out["max_rss_gib"])
                    if out["digest"]:
                        cell["digest"] = out["digest"]
                    then = ", then " + ", ".join(f"{t:.2f}" for t in out["runs_s"][1:]) if out["runs_s"][1:] else ""
                    progress(f"large: {name} n={n} {label} process {p + 1}: first {out['runs_s'][0]:.2f}{then} s "
                             f"(peak RSS {out['max_rss_gib']:.1f} GiB)")
            # The fusion size that was fastest here carries on to larger states.
            fq = [c for c in cells if c["circuit"] == name and c["qubits"] == n and c["sim"].startswith("qsim")
                  and c["first_s"]]
            if fq:
                best_fusion[name] = int(min(fq, key=lambda c: median(c["first_s"]))["sim"][len("qsim-f"):])
    for c in cells:
        v = next((x for x in cells if x["sim"] == "vastrel" and x["circuit"] == c["circuit"]
                  and x["qubits"] == c["qubits"]), None)
        if c["sim"] == "vastrel" and c["digest"]:
            c["norm2"] = c["digest"]["norm2"]
        if c["sim"] != "vastrel" and c["digest"] and v and v["digest"]:
            c["check"] = compare(v["digest"], c["digest"], c["qubits"])
            if not c["check"]["ok"]:
                progress(f"large: MISMATCH {c['sim']} {c['circuit']} n={c['qubits']}: {c['check']}")
    results["sizes"] = sizes
    results["cells"] = cells
    results["skipped"] = skipped
    results["elapsed_s"] = time.monotonic() - began


# ---------------------------------------------------------------- the table


def _s(x):
    if x is None:
        return "–"
    return f"{x:.2f}" if x >= 1 else f"{x:.3f}"


def _measured(cells, ns, sim_prefix=""):
    """(circuit, qubits) in table order, for those where a simulator whose
    label starts with sim_prefix had a first run."""
    for name in CIRCUITS:
        for n in ns:
            if any(c["first_s"] for c in cells
                   if c["circuit"] == name and c["qubits"] == n and c["sim"].startswith(sim_prefix)):
                yield name, n


def _cell(cells, sim, circuit, n):
    return next((c for c in cells if c["sim"] == sim and c["circuit"] == circuit and c["qubits"] == n), None)


def _med(c, field):
    return median(c[field]) if c and c[field] else None


def _best_qsim(cells, circuit, n):
    qs = [c for c in cells if c["sim"].startswith("qsim") and c["circuit"] == circuit and c["qubits"] == n
          and c["first_s"]]
    return min(qs, key=lambda c: median(c["first_s"])) if qs else None


def per_core(text):
    """'2 MiB (2 instances)' -> '1 MiB', as report.machine_slug reads lscpu."""
    import report

    size = report._per_instance(text)
    if not size:
        return text or "?"
    return size[:-1] + (" MiB" if size.endswith("m") else " KiB")


def cpu_line(results):
    m, d = results["machine"], results.get("cpu_details", {})
    isa = d.get("isa", [])
    vector = "AVX-512" if "avx512f" in isa else "AVX2, no AVX-512" if "avx2" in isa else "SSE only"
    parts = [f"{m.get('cpu', 'unknown CPU')} (family {d.get('cpu_family', '?')}, model {d.get('model', '?')})",
             vector + (f"; vastrel's {results['kernels']} kernels" if results.get("kernels") else ""),
             f"L1d {per_core(d.get('l1d_cache'))}, L2 {per_core(m.get('l2_cache'))} per core, L3 "
             f"{per_core(m.get('l3_cache'))}",
             f"{m.get('cores', '?')} cores, {m.get('memory_gib', '?')} GiB"]
    if d.get("hypervisor_vendor"):
        parts.append(f"under {d['hypervisor_vendor']}")
    return "; ".join(parts)


def markdown(results):
    cells, sizes = results["cells"], {s["qubits"]: s for s in results["sizes"]}
    cfg = results["config"]
    out = [f"# vastrel on large states{' (quick smoke pass)' if results.get('quick') else ''}\n\n"]
    out.append(f"- CPU: {cpu_line(results)}\n")
    out.append(f"- {results['date_utc']}; Python {results['machine'].get('python')}; {THREADS} threads for every "
               f"simulator; transparent huge pages `{results.get('thp', '?')}`\n")
    src = results.get("source")
    if src:
        out.append(f"- vastrel at commit {src['commit']}"
                   f"{' with uncommitted changes to the sources' if src['uncommitted_changes'] else ''}\n")
    versions = {}
    for c in cells:
        if c["version"]:
            versions[c["sim"].split("-f")[0]] = c["version"]
    out.append("- " + "; ".join(f"{k}: {v}" for k, v in sorted(versions.items())) + "\n")
    out.append(f"- Each measurement is a fresh process: its first `run` (first run) and the next ones in it "
               f"(repeated). Processes per cell: vastrel {cfg['processes']['vastrel']}, qsim "
               f"{cfg['processes']['qsim']}, Lightning {cfg['processes']['lightning']}; runs per process: vastrel "
               f"{cfg['runs']['vastrel']}, peers {cfg['runs']['qsim']} (the first run alone where a run took, or "
               f"was estimated to take, more than {cfg['run_cap_s']:.0f} s: no repeated time then). Medians, seconds, run only (circuit "
               f"construction apart). One process at a time, none started unless MemAvailable holds its states.\n")
    out.append("- Qiskit Aer and Qulacs are left out of this table (`make bench` has them up to 24 qubits).\n")
    if results.get("load_average_start"):
        out.append("- Load average (1, 5, 15 min) at start: " + ", ".join(f"{x:.2f}" for x in results["load_average_start"])
                   + "; at end: " + ", ".join(f"{x:.2f}" for x in results.get("load_average_end", [])) + f"; "
                   f"{results.get('elapsed_s', 0) / 60:.1f} minutes\n")
    out.append("\n")

    # Sizes where anything ran; the rest are listed under "Left out".
    ns = sorted({c["qubits"] for c in cells if c["first_s"]})
    out.append("## vastrel against its memory bound\n\n"
               "Passes: what the plan makes for the circuit after fusion (`count_passes`, this machine's block "
               "shape, 2 workers). Bound: one in-place read+write pass over the state (bench/roofline.cpp, "
               "median). First touch: populating a fresh state over the pool as the core does "
               "(bench/first_touch.cpp). Model = passes × bound + first touch, for repeated runs too (they "
               "reuse the state the run before freed, zeroed over the pool). Ratio = time / model.\n\n")
    rows = []
    for name, n in _measured(cells, ns):
        s = sizes.get(n, {})
        pc = s.get("passes", {}).get(name)
        v = _cell(cells, "vastrel", name, n)
        bound, touch = s.get("bound_per_pass_s"), s.get("first_touch_s")
        model = pc["passes"] * bound + touch if pc and bound and touch is not None else None
        first, rep = _med(v, "first_s"), _med(v, "runs_s")
        rows.append([CIRCUIT_LABELS[name], n, f"{pc['gates']} ({pc['fused_gates']})" if pc else "–",
                     pc["passes"] if pc else "–", _s(bound), _s(touch), _s(model), _s(first),
                     f"{first / model:.2f}×" if first and model else "–", _s(rep),
                     f"{rep / model:.2f}×" if rep and model else "–"])
    out.append(harness_table(["circuit", "qubits", "gates (fused)", "passes", "bound per pass", "first touch",
                              "model", "first run", "ratio", "repeated run", "ratio"], rows))
    out.append("\n## Against the peers\n\nqsim at its best `max_fused_gate_size` (by first run; the size in "
               "brackets), Lightning `lightning.qubit` complex64. Speed-up: fastest peer's time / vastrel's "
               "(above 1: vastrel is faster).\n\n")
    rows = []
    for name, n in _measured(cells, ns):
        v = _cell(cells, "vastrel", name, n)
        q = _best_qsim(cells, name, n)
        lt = _cell(cells, "lightning", name, n)
        vf, vr = _med(v, "first_s"), _med(v, "runs_s")
        peers_f = [x for x in (_med(q, "first_s"), _med(lt, "first_s")) if x]
        peers_r = [x for x in (_med(q, "runs_s"), _med(lt, "runs_s")) if x]
        rows.append([CIRCUIT_LABELS[name], n, _s(vf), _s(vr),
                     f"{_s(_med(q, 'first_s'))} ({q['sim'][len('qsim-f'):]})" if q else "–",
                     _s(_med(q, "runs_s")), _s(_med(lt, "first_s")), _s(_med(lt, "runs_s")),
                     f"{min(peers_f) / vf:.2f}×" if peers_f and vf else "–",
                     f"{min(peers_r) / vr:.2f}×" if peers_r and vr else "–"])
    out.append(harness_table(["circuit", "qubits", "vastrel first", "vastrel repeated", "qsim best first",
                              "qsim best repeated", "Lightning first", "Lightning repeated", "speed-up, first",
                              "speed-up, repeated"], rows))
    out.append("\n## qsim by fusion size\n\nFirst run / repeated run, seconds; above "
               f"{cfg['all_fusion_up_to']} qubits only the sizes that were best below.\n\n")
    rows = []
    for name, n in _measured(cells, ns, sim_prefix="qsim"):
        row = [CIRCUIT_LABELS[name], n]
        for f in FUSION_SIZES:
            c = _cell(cells, f"qsim-f{f}", name, n)
            row.append(f"{_s(_med(c, 'first_s'))} / {_s(_med(c, 'runs_s'))}" if c and c["first_s"] else "–")
        rows.append(row)
    out.append(harness_table(["circuit", "qubits"] + [f"max_fused_gate_size {f}" for f in FUSION_SIZES], rows))
    out.append("\n## Cross-check\n\nEach peer's final state against vastrel's by digest: 64 sampled amplitudes "
               "(largest difference in units of the RMS amplitude 2^(−n/2); agreement below 1e-3), the sum of "
               "every 4099th amplitude (difference in units of its random-walk scale; below 1e-2) and the "
               "norm.\n\n")
    rows = []
    for c in cells:
        if c["sim"] == "vastrel" and "norm2" in c:
            rows.append([CIRCUIT_LABELS[c["circuit"]], c["qubits"], "vastrel", "(reference)", "(reference)",
                         f"{c['norm2']:.6f}", ""])
        if "check" in c:
            k = c["check"]
            rows.append([CIRCUIT_LABELS[c["circuit"]], c["qubits"], c["sim"], f"{k['max_sample_diff_rms']:.1e}",
                         f"{k['strided_sum_diff']:.1e}", f"{k['norm2']:.6f}", "yes" if k["ok"] else "**NO**"])
    out.append(harness_table(["circuit", "qubits", "simulator", "max sample diff", "strided sum diff", "norm²",
                              "agrees"], rows))
    rss = [(c["sim"], c["circuit"], c["qubits"], c["max_rss_gib"]) for c in cells if c["max_rss_gib"]]
    if rss:
        out.append("\nPeak resident memory per process (GiB), largest over the circuits: " + "; ".join(
            f"{n} qubits " + ", ".join(
                f"{sim} {max(r for s2, _, n2, r in rss if s2 == sim and n2 == n):.1f}"
                for sim in dict.fromkeys(s for s, _, n2, _ in rss if n2 == n))
            for n in ns) + "\n")
    errors = [(c["sim"], c["circuit"], c["qubits"], e) for c in cells for e in c["errors"]]
    if results.get("skipped") or errors:
        out.append("\n## Left out\n\n")
        for s in results.get("skipped", []):
            out.append(f"- {s['qubits']} qubits, {s['what']}: {s['why']}\n")
        for sim, circuit, n, e in errors:
            out.append(f"- {n} qubits, {sim} on {circuit}: failed ({e})\n")
    return "".join(out)


def harness_table(header, rows):
    import report

    return report._table(header, rows)


def write(results, out_dir):
    import report

    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / f"{report.machine_slug(results['machine'])}-large{'-quick' if results.get('quick') else ''}.md"
    path.write_text(markdown(results))
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--report", nargs="+", metavar="RAW.json [DIR]", help="remake the table from raw samples")
    ap.add_argument("--quick", action="store_true", help="a smoke pass on 22 and 24 qubits, about 3 minutes")
    ap.add_argument("--qubits", help="comma-separated sizes (default 27,28,30,31; --quick 22,24)")
    ap.add_argument("--circuits", help="comma-separated circuits (default all: " + ",".join(CIRCUITS) + ")")
    ap.add_argument("--budget-minutes", type=float, help="skip cells that would overrun this (default 15)")
    ap.add_argument("--roofline", help="path of the vastrel_roofline program")
    ap.add_argument("--pass-count", help="path of the vastrel_pass_count program")
    ap.add_argument("--first-touch", help="path of the vastrel_first_touch program")
    ap.add_argument("--out", help="directory of the table (default bench/results, --quick bench/results/raw)")
    ap.add_argument("--wait-quiet", type=float, default=0.0, metavar="SECONDS",
                    help="first wait up to SECONDS for the 1-minute load average to drop below 1")
    args = ap.parse_args(argv)
    harness.pin_threads(THREADS)
    if args.child:
        return child(json.loads(args.child))
    if args.report:
        results = json.loads(Path(args.report[0]).read_text())
        print(f"wrote {write(results, args.report[1] if len(args.report) > 1 else HERE / 'results')}")
        return 0

    harness.wait_for_quiet(args.wait_quiet)
    cfg = dict(QUICK if args.quick else FULL)
    if args.qubits:
        cfg["qubits"] = [int(x) for x in args.qubits.split(",")]
    if args.circuits:
        chosen = args.circuits.split(",")
        unknown = [c for c in chosen if c not in CIRCUITS]
        if unknown:
            ap.error(f"unknown circuit(s) {', '.join(unknown)}; known: {', '.join(CIRCUITS)}")
        CIRCUITS[:] = [c for c in CIRCUITS if c in chosen]
    raw_dir = HERE / "results" / "raw"
    out_dir = Path(args.out) if args.out else raw_dir if args.quick else HERE / "results"
    try:
        thp = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text().split("[")[1].split("]")[0]
    except (OSError, IndexError):
        thp = "unavailable"
    results = {
        "date_utc": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "quick": args.quick,
        "threads": THREADS,
        "machine": harness.machine_info(),
        "cpu_details": cpu_details(),
        "thp": thp,
        "platform": platform.platform(),
        "source": harness.source_state(),
        "config": dict(cfg, budget_minutes=args.budget_minutes or cfg["budget_minutes"]),
        "load_average_start": os.getloadavg(),
    }
    measure(args, cfg, results)
    touch = next((s["first_touch"] for s in results["sizes"] if s.get("first_touch")), None)
    if touch:
        results["kernels"] = touch.get("kernels")
    results["load_average_end"] = os.getloadavg()

    import report

    json_path = report.write_raw(results, raw_dir, "large", quick=args.quick)
    progress(f"wrote {json_path}, {write(results, out_dir)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
