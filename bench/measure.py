"""Running a command and reading its wall time, CPU time, peak memory and
output lines, for the benchmark scripts beside this file."""
import os
import time


def run_once(command, to_null=False):
    """Runs `command`, counting its output lines (none counted with
    `to_null`: the output goes to /dev/null, and no reader here takes CPU
    from the command). Returns wall seconds, CPU seconds, peak RSS in KiB and
    the line count. The peak comes from GNU time, which starts the command
    from its own small process: a child forked from this interpreter would
    count the interpreter's memory as its own."""
    read_end, write_end = os.pipe()
    report_read, report_write = os.pipe()
    out = os.open(os.devnull, os.O_WRONLY) if to_null else write_end
    actions = [(os.POSIX_SPAWN_DUP2, out, 1), (os.POSIX_SPAWN_DUP2, report_write, 2),
               (os.POSIX_SPAWN_CLOSE, read_end), (os.POSIX_SPAWN_CLOSE, report_read)]
    timed = ["/usr/bin/time", "-f", "%M", "--"] + command
    start = time.perf_counter()
    pid = os.posix_spawn(timed[0], timed, os.environ, file_actions=actions)
    os.close(write_end)
    os.close(report_write)
    if to_null:
        os.close(out)
    lines = 0
    while True:
        chunk = os.read(read_end, 1 << 20)
        if not chunk:
            break
        lines += chunk.count(b"\n")
    os.close(read_end)
    report = b""
    while True:
        chunk = os.read(report_read, 4096)
        if not chunk:
            break
        report += chunk
    os.close(report_read)
    _, _, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    rss = int(report.split()[-1]) if report.split() else 0
    return wall, usage.ru_utime + usage.ru_stime, rss, lines


def measure(command, runs):
    results = [run_once(command) for _ in range(runs)]
    return min(results, key=lambda r: r[0])


def measure_interleaved(commands, runs, to_null=False):
    """The best run of each command, the commands taking turns so that a
    machine that slows down or speeds up meanwhile touches all alike. With
    `to_null`, timed with the output going to /dev/null, the lines counted
    in one more run."""
    results = [[] for _ in commands]
    for _ in range(runs):
        for i, command in enumerate(commands):
            results[i].append(run_once(command, to_null))
    best = [min(r, key=lambda r: r[0]) for r in results]
    if to_null:
        best = [b[:3] + (run_once(c)[3],) for b, c in zip(best, commands)]
    return best


def print_table(rows, files, against=None):
    """Prints one line a command; with `against`, the name of one of the
    rows, also each wall time as a share of that row's."""
    base = dict((name, result[0]) for name, result in rows).get(against)
    ratio = f"{'x ' + against.split()[0]:>9}" if base else ""
    print(f"{'command':<34}{'wall s':>9}{'cpu s':>9}{'files/s':>12}{'peak RSS KiB':>14}{'lines':>10}{ratio}")
    for name, (wall, cpu, rss, lines) in rows:
        share = f"{wall / base:>9.2f}" if base else ""
        print(f"{name:<34}{wall:>9.2f}{cpu:>9.2f}{files / wall:>12.0f}{rss:>14}{lines:>10}{share}")
