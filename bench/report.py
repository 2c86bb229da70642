"""Markdown tables and the plot from the harness's results, named by machine.

    python bench/report.py RESULTS.json [DIR]   # writes DIR/<machine>.md and .png

DIR defaults to bench/results. <machine> is machine_slug() of the machine the
results were measured on (as the harness recorded it), so runs on different
machines sit side by side.
"""

import json
import re
import sys
from pathlib import Path

ORDER = ["vastrel", "aer", "qsim", "qsim-f2", "qsim-f3", "qsim-f4", "qulacs", "lightning"]
LABELS = {"vastrel": "vastrel", "aer": "Qiskit Aer", "qsim": "qsim", "qsim-f2": "qsim f2", "qsim-f3": "qsim f3",
          "qsim-f4": "qsim f4", "qulacs": "Qulacs", "lightning": "Lightning"}
# The simulators as shipped; the others are settings of one of these.
BASE = {"qsim-f2": "qsim", "qsim-f3": "qsim", "qsim-f4": "qsim"}
FAMILY_LABELS = {"qft": "QFT", "ghz": "GHZ", "random": "random (20 layers)", "brickwork": "brickwork (5 layers)",
                 "brickwork-random": "brickwork, random bricks (5 layers)", "hea": "hardware-efficient (3 layers)",
                 "qaoa-ring": "QAOA ring (2 layers)", "far-pairs": "far pairs (8 layers)"}


def _sims(results):
    present = set(results.get("simulators", {}))
    return [s for s in ORDER if s in present]


def _num(x):
    """Three significant digits, never in exponent form."""
    if abs(x) >= 100:
        return f"{x:.0f}"
    if abs(x) >= 10:
        return f"{x:.1f}"
    if abs(x) >= 1:
        return f"{x:.2f}"
    return f"{x:.3f}"


def _ms(seconds):
    if seconds is None:
        return "–"
    return _num(seconds * 1e3)


def _us(seconds):
    if seconds is None:
        return "–"
    return _num(seconds * 1e6)


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" if i < 2 else "--:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def _machine(results):
    m = results.get("machine", {})
    parts = [m.get("cpu", "unknown CPU"), f"{m.get('cores', '?')} cores", f"{m.get('memory_gib', '?')} GiB"]
    if m.get("l3_cache"):
        parts.append(f"L3 {m['l3_cache']}")
    return ", ".join(parts)


def _per_instance(text):
    """'1 MiB (2 instances)' (lscpu's total over the caches) -> '512k' per cache."""
    m = re.match(r"\s*([\d.]+)\s*([KMG])i?B?\b(?:.*?\((\d+) instances?\))?", text or "")
    if not m:
        return None
    size = float(m.group(1)) * {"K": 1, "M": 2**10, "G": 2**20}[m.group(2)] / int(m.group(3) or 1)
    return f"{size / 2**10:g}m" if size >= 2**10 and size % 2**10 == 0 else f"{size:g}k"


def machine_slug(machine):
    """A file name for a kind of machine: the CPU model and its per-core L2 and
    its L3 sizes, e.g. amd-epyc-l2-512k-l3-32m (a virtual machine often reports
    no more of a model than its family)."""
    model = re.sub(r"\((?:R|TM)\)|\bCPU\b|@.*$|\b\d+-Core Processor\b", " ", machine.get("cpu") or "unknown cpu",
                   flags=re.IGNORECASE)
    parts = [re.sub(r"[^a-z0-9]+", "-", model.lower()).strip("-") or "unknown-cpu"]
    for level in ("l2", "l3"):
        size = _per_instance(machine.get(f"{level}_cache"))
        if size:
            parts.append(f"{level}-{size}")
    return "-".join(parts)


def markdown(results):
    out = []
    sims = _sims(results)
    out.append(f"# vastrel benchmarks{' (quick smoke pass)' if results.get('quick') else ''}\n")
    out.append(f"- Machine: {_machine(results)}; Python {results['machine'].get('python')}, "
               f"NumPy {results.get('numpy')}; {results.get('date_utc')}\n")
    out.append(f"- Threads: {results['threads']} for every simulator (vastrel.set_num_threads, OMP_NUM_THREADS, "
               f"Aer max_parallel_threads, qsim cpu_threads)\n")
    for note in results.get("notes", []):
        out.append(f"- Note: {note}\n")
    src = results.get("source")
    if src:
        out.append(f"- vastrel at commit {src['commit']}"
                   f"{' with uncommitted changes to the sources' if src['uncommitted_changes'] else ''}\n")
    env = results.get("environment", {})
    if env.get("OMP_WAIT_POLICY"):
        out.append(f"- OMP_WAIT_POLICY={env['OMP_WAIT_POLICY']} for the peers' OpenMP runtimes\n")
    if results.get("load_average_start"):
        out.append("- Load average (1, 5, 15 min) at start: " + ", ".join(f"{x:.2f}" for x in results["load_average_start"])
                   + "; at end: " + ", ".join(f"{x:.2f}" for x in results.get("load_average_end", [])) + "\n")
    for name in sims:
        info = results["simulators"][name]
        fusion = ""
        if "fusion" in info:
            fusion = (f"; as shipped, which fuses gates of up to {info['fusion']} qubits" if info.get("as_shipped")
                      else f"; max_fused_gate_size {info['fusion']}")
        out.append(f"- {LABELS.get(name, name)}: {info['version']}, {info['precision']}{fusion}\n")
    for name, why in results.get("skipped", {}).items():
        out.append(f"- **{LABELS.get(name, name)} skipped**: {why}\n")
    out.append("\n")

    roof = results.get("roofline")
    if roof:
        out.append("## Memory roofline\n\nIn-place read+write of a 2^n complex64 buffer (16 bytes per amplitude), "
                   "median pass of the faster of two loops, a plain one and one streamed as the kernels stream "
                   "(software prefetch, four interleaved cursors); the bound per gate is one such pass. The last two columns stream pairs half the buffer "
                   "apart, the pattern of a gate on the top qubit.\n\n")
        by = {(r["qubits"], r["threads"]): r for r in roof["results"]}
        rows = []
        for n in sorted({q for q, _ in by}):
            one, many = by.get((n, 1)), by.get((n, results["threads"]))
            top = many.get("top_pairs_median_s") if many else None
            rows.append([n, f"{2 ** n * 8 / 2 ** 20:.0f} MiB",
                         f"{one['bandwidth_gb_s']:.1f}" if one else "–",
                         f"{many['bandwidth_gb_s']:.1f}" if many else "–",
                         _ms(many["bound_per_gate_s"]) if many else "–",
                         f"{many['top_pairs_bandwidth_gb_s']:.1f}" if top else "–",
                         _ms(top) if top else "–"])
        out.append(_table(["qubits", "state", "GB/s, 1 thread", f"GB/s, {results['threads']} threads",
                           "bound per gate (ms)", f"top pairs GB/s, {results['threads']} threads",
                           "top pairs bound (ms)"], rows))
        out.append("\n")

    gates = results.get("gates")
    if gates:
        sizes = sorted({r["qubits"] for r in gates})
        kernels = gates[0].get("kernels", "?")
        same_rounds = any(r.get("bound_source") == "same rounds" for r in gates)
        how = ("the bound is the roofline's in-place pass timed in the same rounds on the same state and pool; "
               "ratios: median of the rounds' ratios / fastest gate over fastest bound" if same_rounds else
               "ratios to the roofline's bound: from the median / from the fastest run")
        out.append("## vastrel per gate\n\nms per gate, median (ratio to the bound), of a one-gate circuit run on a "
                   f"state already in memory, on the process-wide pool and the {kernels} kernel set "
                   "(bench/gate_pass.cpp); Mat2 is 16 single-qubit gates fused into one. Low target 0, mid n/2, "
                   f"high n−1; two-qubit gates use control 0 (1 for target 0); {how}.\n\n")
        bounds = results.get("gate_bounds") or {}
        if bounds:
            out.append("Bound in the same rounds (ms, median): " + "; ".join(
                f"{n} qubits {_ms(b['in_place']['median_s'])}"
                + (f", top pairs {_ms(b['top_pairs']['median_s'])}" if "top_pairs" in b else "")
                for n, b in sorted(bounds.items(), key=lambda kv: int(kv[0]))) + "\n\n")
        by = {(r["qubits"], r["gate"], r["where"]): r for r in gates}
        rows = []
        for kind in ("x", "h", "rz", "crz", "cnot", "mat2"):
            for where in ("low", "mid", "high"):
                row = [kind.capitalize() if kind != "cnot" else "Cnot", where]
                for n in sizes:
                    r = by.get((n, kind, where))
                    if r is None:
                        row.append("–")
                    elif "ratio_to_bound_min" in r:
                        row.append(f"{_ms(r['time_s'])} ({r['ratio_to_bound']:.2f}× / {r['ratio_to_bound_min']:.2f}×)")
                    elif "ratio_to_bound" in r:
                        row.append(f"{_ms(r['time_s'])} ({r['ratio_to_bound']:.2f}×)")
                    else:
                        row.append(_ms(r["time_s"]))
                rows.append(row)
        out.append(_table(["gate", "target"] + [f"{n} qubits" for n in sizes], rows))
        tops = [r for r in gates if "ratio_to_top_pairs_bound" in r]
        if tops:
            out.append("\nHigh target against the top-pairs bound (median): " + "; ".join(
                f"{n} qubits " + ", ".join(f"{r['gate'].capitalize()} {r['ratio_to_top_pairs_bound']:.2f}×"
                                           for r in tops if r["qubits"] == n) for n in sizes) + "\n")
        empty = results.get("empty_run_s") or {}
        if empty:
            out.append("\nEmpty circuit run (allocate, zero, hand over): " + ", ".join(
                f"{n} qubits {_ms(t)} ms" for n, t in sorted(empty.items(), key=lambda kv: int(kv[0]))) + "\n")
        out.append("\n")

    out.append(floor_table(results))

    circ = results.get("circuits")
    if circ:
        reps = sorted({r["reps"] for r in circ})
        span = f"{reps[0]}–{reps[-1]}" if len(reps) > 1 else f"{reps[0]}"
        slow = (results.get("config") or {}).get("slow_run_s")
        factor = (results.get("config") or {}).get("slow_factor")
        out.append(f"## Circuits\n\nMedian of {span} "
                   "interleaved runs (round-robin over the simulators), ms; in brackets peer time / "
                   "vastrel time (above 1: vastrel is faster). Build is the simulator's own circuit construction "
                   "from the same gate list; run is everything after it (allocation, simulation, result). "
                   + (f"† marks a single run: a simulator whose first run took over {slow:g} s and over "
                      f"{factor:g}× the fastest peer's first run is not run again on that circuit. "
                      if slow and factor else "")
                   + "– : not timed at that size (qsim's fusion settings and the slowest peers are left out "
                   "where they would take most of the time).\n\n")
        by = {(r["family"], r["qubits"], r["sim"]): r for r in circ}
        keys = sorted({(r["family"], r["qubits"], r["gates"]) for r in circ},
                      key=lambda k: (list(FAMILY_LABELS).index(k[0]), k[1]))
        for col, title in (("total", "build + run"), ("run", "run only")):
            rows = []
            for family, n, count in keys:
                row = [FAMILY_LABELS[family], n, count]
                for s in sims:
                    r = by.get((family, n, s))
                    if r is None:
                        row.append("–")
                        continue
                    cell = _ms(r[f"{col}_s"]) + ("†" if r.get("reps") == 1 and slow else "")
                    if f"{col}_ratio" in r:
                        cell += f" ({r[f'{col}_ratio']:.2f}×)"
                    row.append(cell)
                rows.append(row)
            out.append(f"### {title}\n\n")
            out.append(_table(["circuit", "qubits", "gates"] + [LABELS[s] for s in sims], rows))
            out.append("\n")
        out.append(best_settings(circ, keys, sims))

    small = results.get("small")
    if small:
        out.append("## Small circuits\n\nRandom h/x/rz/cnot/crz circuits; µs per call, median of batches; "
                   "in brackets peer / vastrel.\n\n")
        by = {(r["qubits"], r["gates"], r["sim"]): r for r in small}
        keys = sorted({(r["qubits"], r["gates"]) for r in small})
        for col, title in (("total", "build + run (vastrel: Gate objects, Circuit(...), run)"),
                           ("run", "run only (circuit built once)")):
            rows = []
            for n, count in keys:
                row = [n, count]
                for s in sims:
                    r = by.get((n, count, s))
                    if r is None:
                        row.append("–")
                        continue
                    cell = _us(r[f"{col}_s"])
                    if f"{col}_ratio" in r:
                        cell += f" ({r[f'{col}_ratio']:.2f}×)"
                    row.append(cell)
                rows.append(row)
            out.append(f"### {title}\n\n")
            out.append(_table(["qubits", "gates"] + [LABELS[s] for s in sims], rows))
            out.append("\n")

    check = results.get("check")
    if check:
        out.append("## Cross-check\n\nFinal states at small sizes against an exact complex128 reference and "
                   "against vastrel (allclose, atol 1e-5), qubit order mapped per simulator.\n\n")
        rows = []
        for s in sims:
            mine = [r for r in check if r["sim"] == s]
            errors = [r for r in mine if "error" in r]
            ok = [r for r in mine if r.get("ok")]
            worst_ref = max((r.get("max_abs_vs_reference", 0.0) for r in mine if "error" not in r), default=None)
            worst_v = max((r["max_abs_vs_vastrel"] for r in mine if "max_abs_vs_vastrel" in r), default=None)
            rows.append([LABELS[s], f"{len(ok)}/{len(mine)}",
                         f"{worst_ref:.1e}" if worst_ref is not None else "–",
                         f"{worst_v:.1e}" if worst_v is not None else "–",
                         "; ".join(r["error"] for r in errors) or ""])
        out.append(_table(["simulator", "agree", "max abs diff vs reference", "max abs diff vs vastrel", "errors"],
                          rows))
    return "".join(out)


def best_settings(circ, keys, sims):
    """Per circuit: the fastest peer as shipped and the fastest at its best
    setting (qsim at each fusion size), each against vastrel (build + run)."""
    if not any(s in BASE for s in sims):
        return ""
    by = {(r["family"], r["qubits"], r["sim"]): r for r in circ}
    rows = []
    for family, n, count in keys:
        v = by.get((family, n, "vastrel"))
        peers = [by[(family, n, s)] for s in sims if s != "vastrel" and (family, n, s) in by]
        if v is None or not peers:
            continue
        shipped = min((r for r in peers if r["sim"] not in BASE), key=lambda r: r["total_s"], default=None)
        qsims = [r for r in peers if BASE.get(r["sim"], r["sim"]) == "qsim"]
        best_q = min(qsims, key=lambda r: r["total_s"], default=None)
        best = min(peers, key=lambda r: r["total_s"])

        def cell(r):
            if r is None:
                return "–"
            return f"{LABELS.get(r['sim'], r['sim'])} {_ms(r['total_s'])} ({r['total_s'] / v['total_s']:.2f}×)"

        rows.append([FAMILY_LABELS[family], n, count, _ms(v["total_s"]), cell(shipped),
                     f"{LABELS.get(best_q['sim'], best_q['sim'])} {_ms(best_q['total_s'])}" if best_q else "–",
                     cell(best)])
    if not rows:
        return ""
    return ("### Fastest peer at its best setting\n\nBuild + run, median ms; in brackets peer time / vastrel "
            "time. qsim's best setting is the fastest of qsim as shipped and qsim f3/f4 where they were timed.\n\n"
            + _table(["circuit", "qubits", "gates", "vastrel", "fastest peer as shipped", "qsim's best setting",
                      "fastest peer at its best setting"], rows) + "\n")


FLOOR_PATHS = (("kernel", "kernel"), ("executor", "executor"), ("full", "exact 2×2 on registers"),
               ("reduced", "gate's own arithmetic on registers"))


def floor_table(results):
    runs = results.get("floor")
    if not runs:
        return ""
    first = runs[0]
    out = ["## Arithmetic floor\n\nns per amplitude per gate, median of "
           f"{first['reps']} samples, one thread, on a state of {first['amplitudes']} amplitudes "
           f"({first['amplitudes'] * 8 // 1024} KiB, half the {first['l2_bytes'] // 1024} KiB L2"
           f"{'' if first.get('cache_geometry_read') else ' assumed: the cache geometry was not readable'}) "
           "(bench/floor.cpp). Kernel: the set's mat2 over the whole state, target after target (X, H and Rz as "
           "their 2×2 matrices, as the core runs them; Mat2 with four complex entries); executor: run_gates with "
           "that layer on a one-worker pool. The floors run the same operations on amplitudes held in registers, "
           "in the set's vector width (128 bits for the scalar set, whose loops are written for 4 floats; 256 "
           "for AVX2, 512 for AVX-512), the faster of 8 and 12 registers of data: the exact 2×2 formula (four "
           "rounded products and two sums a complex product, no FMA), and each gate's own arithmetic (X: a swap, "
           "which leaves only the loop; H: s·a ± s·b; Rz: one complex product on the upper member; H·Rz, an rz "
           "then an h fused: m00·a ± m01·b). Ratios: kernel / "
           "floor.\n\n"]
    rows = []
    for run in runs:
        best = {}
        for r in run["results"]:
            key = (r["gate"], r["path"])
            best[key] = min(best.get(key, float("inf")), r["median_ns"])
        for gate in ("x", "h", "rz", "h*rz", "mat2"):
            k = best.get((gate, "kernel"))
            row = [run["kernels"], {"mat2": "Mat2", "h*rz": "H·Rz"}.get(gate, gate.capitalize())]
            for path, _ in FLOOR_PATHS:
                t = best.get((gate, path))
                row.append(f"{t:.3f}" if t is not None else "–")
            for path in ("full", "reduced"):
                t = best.get((gate, path))
                row.append(f"{k / t:.1f}×" if t and k else "–")
            rows.append(row)
    out.append(_table(["kernel set", "gate"] + [label for _, label in FLOOR_PATHS]
                      + ["kernel / exact 2×2", "kernel / gate's own"], rows))
    out.append("\n")
    return "".join(out)


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sims = _sims(results)
    circ = results.get("circuits") or []
    small = results.get("small") or []
    panels = [f for f in FAMILY_LABELS if any(r["family"] == f for r in circ)]
    count = len(panels) + (1 if small else 0)
    if count == 0:
        return
    cols = 3 if count > 4 else 2 if count > 1 else 1
    rows = (count + cols - 1) // cols
    fig, grid = plt.subplots(rows, cols, figsize=(5.2 * cols, 3.9 * rows), squeeze=False)
    axes = grid.ravel()
    for ax in axes[count:]:
        ax.set_visible(False)
    # Fixed colours: a panel without qsim's fusion settings keeps the others'.
    styles = {"vastrel": dict(color="black", linewidth=2.2, marker="o"), "aer": dict(color="C0", marker="s"),
              "qsim": dict(color="C1", marker="^"), "qsim-f2": dict(color="C1", marker="^", linestyle=":"),
              "qsim-f3": dict(color="C2", marker="^", linestyle="--"),
              "qsim-f4": dict(color="C3", marker="^", linestyle="-."), "qulacs": dict(color="C4", marker="v"),
              "lightning": dict(color="C5", marker="D")}
    for ax, family in zip(axes, panels):
        for s in sims:
            pts = sorted((r["qubits"], r["total_s"]) for r in circ if r["family"] == family and r["sim"] == s)
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], label=LABELS.get(s, s), **styles.get(s, {}))
        ax.set_yscale("log")
        ax.set_title(FAMILY_LABELS[family])
        ax.set_xlabel("qubits")
        ax.set_ylabel("time (s), build + run")
        ax.grid(True, which="both", alpha=0.3)
    if small:
        ax = axes[len(panels)]
        most = max(r["gates"] for r in small)
        for s in sims:
            pts = sorted((r["qubits"], r["total_s"]) for r in small if r["gates"] == most and r["sim"] == s)
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], label=LABELS.get(s, s), **styles.get(s, {}))
        ax.set_yscale("log")
        ax.set_title(f"small circuits, {most} gates")
        ax.set_xlabel("qubits")
        ax.set_ylabel("time (s), build + run")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].legend(fontsize=8)
    fig.suptitle(f"{_machine(results)}, {results['threads']} threads", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_raw(results, raw_dir, kind="", quick=False):
    """Writes every sample to raw_dir (git ignores it) as
    <machine>[-kind]-<date or "quick">.json; returns the path."""
    import datetime

    raw_dir = Path(raw_dir)
    raw_dir.mkdir(parents=True, exist_ok=True)
    when = "quick" if quick else datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d-%H%M")
    path = raw_dir / f"{machine_slug(results['machine'])}{'-' + kind if kind else ''}-{when}.json"
    path.write_text(json.dumps(results, indent=1) + "\n")
    return path


def write(results, out_dir, suffix=""):
    """Writes <machine><suffix>.md and .png into out_dir; returns their paths."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    stem = machine_slug(results.get("machine", {})) + suffix
    md_path, png_path = out_dir / f"{stem}.md", out_dir / f"{stem}.png"
    md_path.write_text(markdown(results))
    plot(results, png_path)
    return md_path, png_path


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    results = json.loads(Path(argv[1]).read_text())
    out_dir = argv[2] if len(argv) == 3 else Path(__file__).resolve().parent / "results"
    for path in write(results, out_dir, "-quick" if results.get("quick") else ""):
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
