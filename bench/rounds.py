#!/usr/bin/env python3
"""Summary of a side-by-side benchmark run in rounds.

Usage: rounds.py RESULTS SIZE_MIB REFERENCE PROGRAM...

RESULTS holds one line per run: round, program, wall and CPU seconds to the
program's exit, wall and CPU seconds of syncing its file afterwards, peak
resident KiB. Prints each program's medians and the first program's ratios
to REFERENCE, round by round and their median.
"""
import statistics
import sys


def main():
    results, mib, reference, programs = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4:]
    gib = mib / 1024
    runs = {}
    for line in open(results):
        r, name, w, c, sw, sc, rss = line.split()
        runs.setdefault(name, {})[int(r)] = dict(wall=float(w), cpu=float(c), dwall=float(w) + float(sw),
                                                 dcpu=float(c) + float(sc), rss=int(rss) / 1024)

    def med(name, key):
        return statistics.median(v[key] for v in runs[name].values())

    first = programs[0]
    print(f"\n{len(runs[first])} rounds, medians")
    print(f"{'program':<10} {'MiB/s':>10} {'CPU s/GiB':>10} {'MiB/s synced':>14} {'CPU s/GiB synced':>17} {'peak MiB':>9}")
    for name in programs:
        print(f"{name:<10} {mib / med(name, 'wall'):10.1f} {med(name, 'cpu') / gib:10.3f}"
              f" {mib / med(name, 'dwall'):14.1f} {med(name, 'dcpu') / gib:17.3f} {med(name, 'rss'):9.1f}")

    t, a = runs[first], runs[reference]
    pairs = sorted(set(t) & set(a))

    def ratios(key, faster_is_more):
        return [(a[r][key] / t[r][key]) if faster_is_more else (t[r][key] / a[r][key]) for r in pairs]

    def show(label, key, faster_is_more):
        v = ratios(key, faster_is_more)
        return f"{label} x{statistics.median(v):.2f} (rounds: {', '.join(f'{x:.2f}' for x in v)})"

    print()
    print(f"{first} / {reference}, to exit      :", show("throughput", "wall", True) + ";", show("CPU per GiB", "cpu", False))
    print(f"{first} / {reference}, file on disk :", show("throughput", "dwall", True) + ";", show("CPU per GiB", "dcpu", False))
    print(f"peak memory: {first} {med(first, 'rss'):.1f} MiB, {reference} {med(reference, 'rss'):.1f} MiB")
    throughput, cpu = statistics.median(ratios("wall", True)), statistics.median(ratios("cpu", False))
    print(f"goal: throughput >= {reference} ({'met' if throughput >= 1 else 'not met'}),"
          f" CPU/GiB <= {reference} ({'met' if cpu <= 1 else 'not met'}),"
          f" peak memory < 100 MiB ({'met' if med(first, 'rss') < 100 else 'not met'})")


if __name__ == "__main__":
    main()
