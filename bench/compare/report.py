#!/usr/bin/python3
"""Reads what one bench/compare.sh run left in its work folder, checks the verdicts and the
generated IMEIs, prints the tables and writes bench/RESULTS.md.

usage: report.py WORK_FOLDER RESULTS_MD

Exits 1 when Vettrix and python-stdnum disagree on an input other than fifteen zeros, when
Vettrix's two validators disagree, or when a generated IMEI is not valid.
"""

import datetime
import json
import os
import re
import subprocess
import sys

from stdnum import imei as stdnum_imei

SIZES = (60, 1000, 10000, 99999)
CLI_STEPS = (1000000, 2000000, 5000000, 10000000)
MIB = 1024
FIFTEEN_ZEROS = "0" * 15


def read_lines(path):
    with open(path, encoding="ascii") as f:
        return f.read().splitlines()


def read_results(work):
    results = {}
    for line in read_lines(os.path.join(work, "results.jsonl")):
        if line.strip():
            entry = json.loads(line)
            results[entry["operation"]] = entry
    return results


def command_output(*args):
    try:
        return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def rate(value):
    if value >= 1e6:
        return f"{value / 1e6:,.2f} M/s"
    if value >= 1e3:
        return f"{value / 1e3:,.1f} k/s"
    return f"{value:,.0f} /s"


def duration(ns):
    if ns is None:
        return "n/a"
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return lines


def plain(lines):
    """A Markdown table as aligned plain text for the terminal."""
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines
            if not line.startswith("|---")]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip()
                     for row in rows)


# --- benchmark figures -------------------------------------------------------------------------

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def read_bench(path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    figures = {}
    for run in data.get("benchmarks", []):
        if run.get("run_type", "iteration") != "iteration" or run.get("error_occurred"):
            continue
        name = run["name"].removesuffix("/manual_time")
        figures[name] = run
    return data.get("context", {}), figures


def time_ns(run):
    return run["real_time"] * UNIT_NS[run.get("time_unit", "ns")]


# The TAC lookup at 99,999 lines when the watch saw only the database's folder (commit 46353af).
LOOKUP_BEFORE_WATCH_NS = 190

# Each row: what it measures, the benchmark's name for a database size, and how to read it.
GROWTH = [
    ("ValidateIMEI, headless", "BM_ValidateIMEI_Headless_BySize/lines:{}", None),
    ("Validate click, headless", "BM_ValidateClick_Headless/{}", None),
    ("Validate click, window: handler + sync (median)", "BM_ValidateClick_Window/lines:{}",
     "median_us"),
    ("Validate click, window: paint after it (median)", "BM_ValidateClick_Window/lines:{}",
     "paint_median_us"),
    ("TAC lookup", "BM_Lookup/{}", None),
    ("GetRandomIMEI", "BM_GetRandomIMEI_BySize/lines:{}", None),
    ("Generate S8 ×1000, headless", "BM_Generate_Headless_S8_1000_BySize/lines:{}", None),
    ("Generate S8 ×1000, window", "BM_Generate_Window_S8_1000/lines:{}", None),
    ("Database device ×100, headless", "BM_Generate_Headless_DatabaseDevice_100/{}", None),
    ("Database device ×100, window", "BM_Generate_Window_DatabaseDevice_100/lines:{}", None),
    ("Form_Load, headless", "BM_FormLoad_Headless/{}", None),
    ("Start-up, window (Form_Load to shown)", "BM_Startup_Window/lines:{}", None),
]


def growth_figure(figures, pattern, counter, size):
    run = figures.get(pattern.format(size))
    if run is None:
        return None
    if counter is not None:
        return run[counter] * 1e3 if counter in run else None
    return time_ns(run)


def growth_rows(figures):
    rows = {}
    for label, pattern, counter in GROWTH:
        rows[label] = [growth_figure(figures, pattern, counter, size) for size in SIZES]
    return rows


# --- the report --------------------------------------------------------------------------------


def main():
    work, output = sys.argv[1:3]
    results = read_results(work)
    problems = []

    def result(operation):
        entry = results.get(operation)
        if entry is None:
            problems.append(f"no result for {operation}")
        return entry

    verdict = result("validate: verdict (IsValidIMEI)")
    full = result("validate: full ValidateIMEI (headless window)")
    stdnum = result("validate: stdnum.imei.is_valid")
    node_check = result("validate: isValid")
    random = result("generate: GetRandomIMEI (trial)")
    on_tac = result("generate: GetIMEIwTAC (trial)")
    node_random = result("generate: random() (check digit computed)")
    cli_check = result("cli: check")
    cli_growth = [result(f"cli: check {n} lines") for n in CLI_STEPS[:-1]] + [cli_check]
    cli_db = [result(f"cli: check, database of {n} lines") for n in (60, 99999)]
    cli_stdnum = result("cli: stdnum check script")
    cli_generate = result("cli: generate --random")
    if problems:
        sys.exit("\n".join(problems))

    # Verdicts on the shared inputs.
    inputs = read_lines(os.path.join(work, "inputs.txt"))
    v_verdict = read_lines(os.path.join(work, "verdict-vettrix.txt"))
    v_full = read_lines(os.path.join(work, "verdict-vettrix-full.txt"))
    v_stdnum = read_lines(os.path.join(work, "verdict-stdnum.txt"))
    v_node = read_lines(os.path.join(work, "verdict-node.txt"))
    for name, verdicts in (("Vettrix verdict", v_verdict), ("Vettrix ValidateIMEI", v_full),
                           ("python-stdnum", v_stdnum), ("node-imei", v_node)):
        if len(verdicts) != len(inputs):
            problems.append(f"{name} gave {len(verdicts)} verdicts for {len(inputs)} inputs")
    if problems:
        sys.exit("\n".join(problems))

    valid_share = v_stdnum.count("1") / len(inputs)
    vettrix_vs_stdnum = [i for i, text in enumerate(inputs)
                         if v_verdict[i] != v_stdnum[i] and text != FIFTEEN_ZEROS]
    zeros_differ = [i for i, text in enumerate(inputs)
                    if text == FIFTEEN_ZEROS and v_verdict[i] != v_stdnum[i]]
    full_vs_verdict = [i for i in range(len(inputs)) if v_full[i] != v_verdict[i]]
    node_vs_stdnum = [i for i in range(len(inputs)) if v_node[i] != v_stdnum[i]]
    node_vs_vettrix = [i for i in range(len(inputs)) if v_node[i] != v_verdict[i]]
    if vettrix_vs_stdnum:
        problems.append(f"Vettrix and python-stdnum disagree on {len(vettrix_vs_stdnum)} inputs, "
                        f"e.g. {inputs[vettrix_vs_stdnum[0]]}")
    if full_vs_verdict:
        problems.append(f"ValidateIMEI and IsValidIMEI disagree on {len(full_vs_verdict)} inputs, "
                        f"e.g. {inputs[full_vs_verdict[0]]}")

    # Generated IMEIs, checked by python-stdnum.
    generated = {}
    for label, file in (("Vettrix GetRandomIMEI", "gen-vettrix-random.txt"),
                        ("Vettrix GetIMEIwTAC", "gen-vettrix-tac.txt"),
                        ("node-imei random()", "gen-node-random.txt"),
                        ("vettrix-cli generate --random", "gen-cli-random.txt")):
        made = read_lines(os.path.join(work, file))
        invalid = [m for m in made if len(m) != 15 or not stdnum_imei.is_valid(m)]
        generated[label] = (len(made), len(invalid), len(set(made)), invalid[:3])
        if label.startswith("Vettrix") and invalid:
            problems.append(f"{label} made {len(invalid)} invalid IMEIs, e.g. {invalid[0]}")

    # Other digit strings, to show how the checkers differ beyond 15 digits.
    probe = read_lines(os.path.join(work, "probe.txt"))
    probe_verdicts = [read_lines(os.path.join(work, f"probe-{tool}.txt"))
                      for tool in ("vettrix", "stdnum", "node")]

    context, figures = read_bench(os.path.join(work, "bench.json"))
    growth = growth_rows(figures)

    rss = {}
    for size in (60, 99999):
        try:
            with open(os.path.join(work, f"rss-{size}.txt"), encoding="utf-8") as f:
                found = re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read())
            rss[size] = int(found.group(1)) if found else None
        except OSError:
            rss[size] = None

    # --- tables ---
    def ratio(reference, entry):
        return f"{reference['per_second'] / entry['per_second']:.2f}×"

    def tool_name(entry):
        return entry["tool"]

    validation = table(
        ["tool", "operation", "items/s", "Vettrix verdict ÷ this"],
        [[tool_name(e), e["operation"].removeprefix("validate: "), rate(e["per_second"]),
          ratio(verdict, e)] for e in (verdict, full, stdnum, node_check)])
    generation = table(
        ["tool", "operation", "valid IMEIs/s", "Vettrix GetRandomIMEI ÷ this",
         "candidates per valid IMEI"],
        [[tool_name(random), "GetRandomIMEI, by trial", rate(random["per_second"]),
          ratio(random, random), f"{random['candidates_per_valid']:.2f}"],
         [tool_name(on_tac), "GetIMEIwTAC on 35524508, by trial", rate(on_tac["per_second"]),
          ratio(random, on_tac), f"{on_tac['candidates_per_valid']:.2f}"],
         [tool_name(node_random), "random(), check digit computed",
          rate(node_random["per_second"]), ratio(random, node_random), "1"]])
    growth_table = table(
        ["operation"] + [f"{size:,} lines" for size in SIZES] + ["99,999 ÷ 60"],
        [[label] + [duration(v) for v in values]
         + [f"{values[3] / values[0]:.2f}×" if values[0] and values[3] else "n/a"]
         for label, values in growth.items()])

    def found(entry):
        hit = re.search(r"found in the database: (\d+)", entry.get("stderr", ""))
        return f"{int(hit.group(1)):,}" if hit else "n/a"

    def cpu_rate(entry):
        return rate(entry["items"] / entry["cpu_seconds"]) if entry["cpu_seconds"] else "n/a"

    cli_table = table(
        ["tool", "operation", "items", "wall time", "items/s (wall)", "items/s (CPU)",
         "peak memory", "vettrix-cli ÷ this"],
        [[e["tool"], label, f"{e['items']:,}", f"{e['seconds']:.2f} s", rate(e["per_second"]),
          cpu_rate(e), f"{e['peak_kib'] / MIB:.1f} MiB", ratio(reference, e)]
         for label, e, reference in (
             ("check, TSV to /dev/null", cli_check, cli_check),
             ("read line, is_valid, print line", cli_stdnum, cli_check),
             ("generate -n 10,000,000 --random, by trial", cli_generate, cli_generate))]
        + [[node_random["tool"], "random(), check digit computed (10,000 per pass)",
            f"{node_random['items']:,}", "", rate(node_random["per_second"]), "", "",
            ratio(cli_generate, node_random)]])
    cli_growth_table = table(
        ["lines", "wall time", "lines/s (wall)", "lines/s (CPU)", "peak memory"],
        [[f"{e['items']:,}", f"{e['seconds']:.2f} s", rate(e["per_second"]), cpu_rate(e),
          f"{e['peak_kib'] / MIB:.1f} MiB"] for e in cli_growth])
    cli_db_table = table(
        ["database", "wall time", "lines/s (wall)", "lines/s (CPU)", "inputs named",
         "peak memory"],
        [[f"{n:,} lines", f"{e['seconds']:.2f} s", rate(e["per_second"]), cpu_rate(e),
          found(e), f"{e['peak_kib'] / MIB:.1f} MiB"] for n, e in zip((60, 99999), cli_db)])

    # --- targets ---
    targets = []

    def target(what, figure, passed):
        targets.append([what, figure, "pass" if passed else "**MISS**"])

    def at_least(what, value, bound, shown):
        target(what, shown, value is not None and value >= bound)

    def flat(label):
        values = growth[label]
        if values[0] is None or values[3] is None:
            target(f"{label}: 99,999 lines ≤ 2× 60 lines", "n/a", False)
            return
        factor = values[3] / values[0]
        target(f"{label}: 99,999 lines ≤ 2× 60 lines",
               f"{duration(values[3])} vs {duration(values[0])} = {factor:.2f}×", factor <= 2)

    def at_most(label, size_index, bound_ns, what):
        values = [growth[label][i] for i in size_index]
        worst = None if None in values else max(values)
        target(what, duration(worst), worst is not None and worst <= bound_ns)

    verdict_vs_stdnum = verdict["per_second"] / stdnum["per_second"]
    verdict_vs_node = verdict["per_second"] / node_check["per_second"]
    full_vs_stdnum = full["per_second"] / stdnum["per_second"]
    random_vs_node = random["per_second"] / node_random["per_second"]
    at_least("verdict ≥ 100× python-stdnum is_valid", verdict_vs_stdnum, 100,
             f"{verdict_vs_stdnum:.0f}×")
    at_least("verdict ≥ 10× node-imei isValid", verdict_vs_node, 10, f"{verdict_vs_node:.1f}×")
    at_least("full ValidateIMEI ≥ 20× python-stdnum is_valid", full_vs_stdnum, 20,
             f"{full_vs_stdnum:.0f}×")
    at_least("GetRandomIMEI ≥ 0.5× node-imei random()", random_vs_node, 0.5,
             f"{random_vs_node:.2f}×")
    flat("TAC lookup")
    flat("Validate click, window: handler + sync (median)")
    flat("Validate click, headless")
    flat("Database device ×100, headless")
    flat("Database device ×100, window")
    slowest_validate = growth["ValidateIMEI, headless"]
    worst = None if None in slowest_validate else max(slowest_validate)
    at_least("ValidateIMEI headless ≥ 1,000,000/s (slowest database size)",
             1e9 / worst if worst else None, 1e6, rate(1e9 / worst) if worst else "n/a")
    at_most("Validate click, window: handler + sync (median)", [3], 1e6,
            "Validate click on the window, 99,999 lines: median ≤ 1 ms")
    at_most("Generate S8 ×1000, headless", range(4), 20e6,
            "Generate S8 ×1000 headless ≤ 20 ms (slowest database size)")
    at_most("Generate S8 ×1000, window", range(4), 1e9,
            "Generate S8 ×1000 on the window ≤ 1 s (slowest database size)")
    at_most("Start-up, window (Form_Load to shown)", [3], 0.5e9,
            "start-up with 99,999 lines ≤ 0.5 s")
    # The lookup before the watch followed links and hard links, measured the same way.
    at_most("TAC lookup", [3], 2 * LOOKUP_BEFORE_WATCH_NS,
            f"TAC lookup, 99,999 lines ≤ 2× {duration(LOOKUP_BEFORE_WATCH_NS)} "
            "(before the watch followed links)")
    long_run = figures.get("BM_Generate_S8_100000_WindowVsHeadless/lines:99999/iterations:3")
    if long_run is None:
        problems.append("no result for Generate S8 ×100,000")
        target("Generate S8 ×100,000 on the window ≤ 2× headless", "n/a", False)
    else:
        factor = long_run["window_per_headless"]
        target("Generate S8 ×100,000 on the window ≤ 2× headless (same run)",
               f"{long_run['window_s']:.2f} s vs {long_run['headless_s']:.2f} s = {factor:.2f}×",
               factor <= 2)
    polling = figures.get("BM_Lookup_Polling/99999")
    cli_vs_stdnum = cli_check["per_second"] / cli_stdnum["per_second"]
    at_least("vettrix-cli check ≥ 5,000,000 lines/s (wall, TSV to /dev/null)",
             cli_check["per_second"], 5e6, rate(cli_check["per_second"]))
    at_least("vettrix-cli check ≥ 40× the python-stdnum script", cli_vs_stdnum, 40,
             f"{cli_vs_stdnum:.0f}×")
    peaks = [cli_growth[0]["peak_kib"], cli_check["peak_kib"]]
    target("vettrix-cli check peak memory ≤ 50 MB, 1 and 10 million lines",
           " and ".join(f"{p / MIB:.1f} MiB" for p in peaks), max(peaks) <= 50e6 / 1024)
    target("vettrix-cli check memory flat: 10 million lines ≤ 1 million + 10 %",
           f"{peaks[1] / peaks[0]:.2f}×", peaks[1] <= peaks[0] * 1.1)
    at_least("vettrix-cli generate --random ≥ 5,000,000 valid IMEIs/s",
             cli_generate["per_second"], 5e6, rate(cli_generate["per_second"]))
    target_table = table(["target", "measured", "result"], targets)

    # --- the file ---
    now = datetime.datetime.now(datetime.timezone.utc)
    cores = command_output("nproc")
    commit = command_output("git", "rev-parse", "--short", "HEAD")
    changes = command_output("git", "status", "--porcelain", "--untracked-files=no")
    if changes not in ("", "unknown"):
        commit += " (with uncommitted changes)"
    node_version = command_output("node", "--version")
    python_version = sys.version.split()[0]

    def example_list(indexes, verdict_columns):
        shown = []
        for i in indexes[:5]:
            cells = ", ".join(f"{name} {'valid' if column[i] == '1' else 'invalid'}"
                              for name, column in verdict_columns)
            shown.append(f"  - `{inputs[i]}`: {cells}")
        return shown

    def inputs_count(indexes):
        return f"{len(indexes):,} input" + ("" if len(indexes) == 1 else "s")

    stdnum_agreement = ("agree on every input" if not vettrix_vs_stdnum
                        else f"DISAGREE on {inputs_count(vettrix_vs_stdnum)}")
    if zeros_differ:
        stdnum_agreement += (", apart from fifteen zeros, which python-stdnum accepts (its Luhn "
                             "total 0 is a multiple of 10) and Vettrix rejects by design (the "
                             "total must lie between 10 and 160)")
    full_agreement = ("the same verdict on every input" if not full_vs_verdict
                      else f"DISAGREE on {inputs_count(full_vs_verdict)}")

    def yes_no(value):
        return {"1": "valid", "0": "invalid"}.get(value, "?")

    lines = [
        "# Benchmark results",
        "",
        f"Written by `bench/compare.sh` on {now:%Y-%m-%d %H:%M} UTC. Machine: {cores} cores "
        f"(`nproc`), {cpu_model()}. Vettrix commit {commit}, Release build; python-stdnum "
        f"{stdnum['tool'].split()[-1]} under Debian's `/usr/bin/python3` {python_version}; "
        f"node-imei {node_check['tool'].split()[-1]} under Node.js {node_version}.",
        "",
        "Every tool reads the same input file itself and times only its own loop. Each loop runs "
        "over all items at least 3 times and for at least 1.5 s; the figure is the median pass. "
        "The machine is shared with other work, so figures move by some 10–20 % between runs.",
        "",
        "## Validation",
        "",
        f"{len(inputs):,} 15-digit strings from a fixed seed, {valid_share:.1%} of them valid "
        "(python-stdnum's verdict); the first is fifteen zeros.",
        "",
        *validation,
        "",
        "- **verdict**: `IsValidIMEI`, the pure function (trim, normalise, check digit).",
        "- **full ValidateIMEI**: the program's check on the headless window model over the "
        "shipped database: every result field, the valid count and list, and the TAC lookup "
        "for valid IMEIs.",
        "",
        "Agreement:",
        "",
        f"- Vettrix and python-stdnum: {stdnum_agreement}.",
        f"- Vettrix's `ValidateIMEI` and `IsValidIMEI`: {full_agreement}.",
        f"- node-imei `isValid` and python-stdnum: disagree on {inputs_count(node_vs_stdnum)} "
        f"of {len(inputs):,}.",
        *example_list(node_vs_stdnum, [("node-imei", v_node), ("python-stdnum", v_stdnum)]),
        f"- node-imei `isValid` and Vettrix: disagree on {inputs_count(node_vs_vettrix)}.",
        *example_list(node_vs_vettrix, [("node-imei", v_node), ("Vettrix", v_verdict)]),
        "",
        "On 15-digit strings the three checkers compute the same check, so node-imei differs "
        "from Vettrix only where python-stdnum does: fifteen zeros. They part ways on other "
        "lengths. These digit strings are not part of the timed inputs; each tool judged them "
        "in the same run:",
        "",
        *table(["digits", "length", "Vettrix", "python-stdnum", "node-imei"],
               [[f"`{text}`", len(text)] + [yes_no(v[i]) for v in probe_verdicts]
                for i, text in enumerate(probe)]),
        "",
        "Read from that behaviour: node-imei does not look at the length. It doubles every "
        "second digit counted from the left, as for a 15-digit IMEI, over a digit string of any "
        "length, and accepts any multiple of 10, zero included. So an 11-digit Luhn number "
        "passes, all-zero strings of any length pass, and a 16-digit number that is valid under "
        "the usual Luhn rule (doubling from the right) fails. python-stdnum accepts 14 digits "
        "(an IMEI without its check digit) and 16 digits (an IMEISV) without a check digit test; "
        "Vettrix accepts exactly 15 digits.",
        "",
        "## Generation",
        "",
        f"{random['items']:,} valid IMEIs per pass. Vettrix generates **by trial**: it draws a "
        "full candidate, runs the program's whole check on it (every result field, the rate "
        "meter on `Label29`, the valid list, the TAC lookup) and keeps it when valid, about ten "
        "candidates per valid IMEI (measured in the last column). node-imei **computes** the "
        "check digit, so each of its draws is valid.",
        "",
        *generation,
        "",
        *[f"- {label}: {count:,} made, {invalid} not valid by python-stdnum, {distinct:,} distinct"
          + (f" (e.g. {', '.join(examples)})" if examples else "")
          for label, (count, invalid, distinct, examples) in generated.items()],
        "",
        "## Command line: vettrix-cli",
        "",
        f"`vettrix-cli check` over one generated file of {cli_check['items']:,} lines (half "
        "valid, TACs drawn from the shipped database, one IMEI per line), output TSV to "
        "`/dev/null`, against a python-stdnum script doing the same work on the same file (read "
        "each line, `imei.is_valid`, print a line); `vettrix-cli generate --random` against "
        "node-imei's `random()` from the generation table above. Each command runs as its own "
        "process under `/usr/bin/time -v`: wall time and peak memory (max RSS) from it, the "
        "median of 3 runs for vettrix-cli (python-stdnum: 1 run). \"CPU\" rates divide by user "
        "plus system time, which a busy shared machine inflates less than wall time.",
        "",
        *cli_table,
        "",
        "How `check`'s time grows with the number of lines (the first lines of the same file):",
        "",
        *cli_growth_table,
        "",
        "And with the size of the device database (the whole file; the 60-line database holds "
        "only the first 59 devices of the shipped one, so it names few inputs and writes less):",
        "",
        *cli_db_table,
        "",
        "## Cost against the size of the database",
        "",
        "From `vettrix_bench` in the same run (Google Benchmark, wall time per operation; the "
        "window ones are the real `MainWindow` with a real `QtPlatform` on Qt's offscreen "
        "platform). Databases of 60 to 99,999 lines are generated into temporary folders.",
        "",
        *growth_table,
        "",
        "- Validate click on the window: `QPushButton::click()` on `Command1`, which runs the "
        "handler and syncs the widgets from the model; two IMEIs on different database lines "
        "alternate, so every click changes the captions. The paint that follows when the event "
        "loop runs again is timed apart (the row below it).",
        "- Generate on the window: a click on `Command2` with the event pump and the syncs of "
        "the run, and the report file written. The closing message box is recorded instead of "
        "shown, since it waits for a person.",
        "- Start-up: `Form_Load`, the first sync, `show()` and the wait until the window is "
        "exposed; the window's construction before it is not included. The banner's network "
        "request is switched off in the benchmarks.",
        "- Form_Load, headless: each iteration also builds and destroys the headless window. At "
        "the small sizes its wall time is mostly the teardown of the watch on the database's "
        "path: closing an inotify descriptor waits some 10 ms in the kernel (seen with "
        "`strace -T`), using no CPU. The window start-up row does not include teardown.",
        "- TAC lookup: through the platform's real watch of the database's path (every folder "
        "and link on the way, and the file itself), which costs no system call while nothing "
        "changed. Where the file system sends no change notifications the watch falls back to "
        "one `stat` a lookup: "
        + (duration(time_ns(polling)) if polling else "n/a") + " at 99,999 lines.",
        "- Generate S8 ×100,000 at 99,999 lines, headless and on the window in the same "
        "iteration (medians of 3): "
        + (f"{long_run['headless_s']:.2f} s headless, {long_run['window_s']:.2f} s on the window "
           "(events are handled once per tick of the coarse clock, a few milliseconds)"
           if long_run else "n/a") + ".",
        "- Debian's libbenchmark warns that it was built as DEBUG; that is the harness, the "
        "code measured is the Release build.",
        "",
        "Peak memory of the real program (`vettrix`, started with `QT_QPA_PLATFORM=offscreen` "
        "under `timeout 3`, in a network namespace of its own where `unshare` is allowed; max "
        "RSS from `/usr/bin/time -v`): "
        + ", ".join(f"{rss[size] / 1024:.1f} MiB with {size:,} database lines" if rss[size]
                    else f"n/a with {size:,} lines" for size in rss) + ".",
        "",
        "## Targets",
        "",
        *target_table,
        "",
    ]
    if problems:
        lines += ["## Problems found in this run", ""] + [f"- {p}" for p in problems] + [""]

    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))

    print()
    print(f"{cores} cores, {now:%Y-%m-%d %H:%M} UTC")
    print()
    print(plain(validation))
    print()
    print(plain(generation))
    print()
    print(plain(growth_table))
    print()
    print(plain(cli_table))
    print()
    print(plain(cli_growth_table))
    print()
    print(plain(cli_db_table))
    print()
    print(plain(target_table))
    print()
    print(f"written to {output}")
    if problems:
        print("\n".join(problems), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
