#!/usr/bin/env python3
"""The table of bench/goals.sh: every figure beside its reference's.

Usage: goals_report.py FIGURES RESULTS [RECEIVE-TEXT]

FIGURES: lines "section program round key value"; values of one key in one
round add up (the clients of an offload run). RESULTS: timed_run.sh's lines
"round section.program wall cpu sync-wall sync-cpu peak-KiB". RECEIVE-TEXT:
the output of receive_vs_openssl.sh. Medians over the rounds are shown.
"""
import re
import statistics
import sys
from collections import defaultdict

MIB = 1048576


def load(figures_path, results_path):
    sums = defaultdict(float)
    for line in open(figures_path):
        parts = line.split()
        if len(parts) != 5:
            continue
        section, program, rnd, key, value = parts
        sums[(section, program, rnd, key)] += float(value)
    for line in open(results_path):
        rnd, name, wall, cpu, sync_wall, sync_cpu, rss = line.split()
        section, program = name.split('.', 1)
        sums[(section, program, rnd, 'wall')] += float(wall)
        sums[(section, program, rnd, 'cpu')] += float(cpu)
        # Up to the file being on the disk: the program's run and the sync
        # after it (the engine syncs before it exits; the others leave the
        # writing to the kernel).
        sums[(section, program, rnd, 'disk_wall')] += float(wall) + float(sync_wall)
        sums[(section, program, rnd, 'disk_cpu')] += float(cpu) + float(sync_cpu)
        sums[(section, program, rnd, 'rss_kib')] += float(rss)
    by_key = defaultdict(dict)
    for (section, program, rnd, key), v in sums.items():
        by_key[(section, program, key)][rnd] = v
    return by_key


class Figures:
    def __init__(self, by_key):
        self.by_key = by_key

    def rounds(self, section, program, key):
        return self.by_key.get((section, program, key), {})

    def med(self, section, program, key):
        r = self.rounds(section, program, key)
        return statistics.median(r.values()) if r else None

    def per_round(self, section, program, fn):
        """Median over the rounds of fn(round -> {key: value})."""
        keys = {k for (s, p, k) in self.by_key if s == section and p == program}
        rnds = set()
        for k in keys:
            rnds |= set(self.by_key[(section, program, k)])
        values = []
        for rnd in sorted(rnds):
            row = {k: self.by_key[(section, program, k)].get(rnd) for k in keys}
            v = fn(row)
            if v is not None:
                values.append(v)
        return statistics.median(values) if values else None


def fmt(v, spec='.2f'):
    return '-' if v is None else format(v, spec)


def main():
    f = Figures(load(sys.argv[1], sys.argv[2]))
    size = f.med('all', 'size_mib', 'value') or 0
    offload_size = f.med('offload', 'size_mib', 'value') or size
    rows = []

    def row(goal, engine, aria2, curl, ratio, target, met):
        rows.append((goal, fmt(engine, '.1f') if isinstance(engine, float) else (engine or '-'),
                     fmt(aria2, '.1f') if isinstance(aria2, float) else (aria2 or '-'),
                     fmt(curl, '.1f') if isinstance(curl, float) else (curl or '-'),
                     fmt(ratio), target, '-' if met is None else ('met' if met else 'NOT met')))

    def speed(section, program):
        return f.per_round(section, program, lambda r: size / r['wall'] if r.get('wall') else None)

    def cpu_per_gib(section, program):
        return f.per_round(section, program, lambda r: r['cpu'] / (size / 1024) if r.get('cpu') is not None else None)

    def ratio(a, b):
        return a / b if a is not None and b else None

    def waste(section, program):
        return f.per_round(section, program, lambda r: r['nginx_sent'] / r['kept_web']
                           if r.get('kept_web') and r.get('nginx_sent') is not None else None)

    def sent_per_file(section, program, mib):
        return f.per_round(section, program, lambda r: r['nginx_sent'] / (mib * MIB)
                           if r.get('nginx_sent') is not None else None)

    def round_ratio(section, key, faster_is_more):
        """Median over the rounds of the engine's figure against aria2c's in
        the same round (a drift of the machine touches both alike)."""
        t, a = f.rounds(section, 'tidewell', key), f.rounds(section, 'aria2c', key)
        v = [(a[r] / t[r]) if faster_is_more else (t[r] / a[r]) for r in sorted(set(t) & set(a)) if t[r] and a[r]]
        return statistics.median(v) if v else None

    if f.rounds('http', 'tidewell', 'wall'):
        # Every program is measured until its file is on the disk: the
        # engine syncs before it exits, the others are synced afterwards
        # (timed, with that sync's CPU).
        def disk_speed(p):
            return f.per_round('http', p, lambda r: size / r['disk_wall'] if r.get('disk_wall') else None)

        def disk_cpu(p):
            return f.per_round('http', p, lambda r: r['disk_cpu'] / (size / 1024) if r.get('disk_cpu') is not None
                               else None)

        e, a, c = disk_speed('tidewell'), disk_speed('aria2c'), disk_speed('curl')
        r = round_ratio('http', 'disk_wall', True)
        row('HTTP throughput, MiB/s (file on disk)', e, a, c, r, '>= 1.25 x aria2c', r is not None and r >= 1.25)
        e, a, c = disk_cpu('tidewell'), disk_cpu('aria2c'), disk_cpu('curl')
        r = round_ratio('http', 'disk_cpu', False)
        row('HTTP CPU s per GiB (file on disk)', e, a, c, r, '<= 0.75 x aria2c', r is not None and r <= 0.75)
        e, a, c = speed('http', 'tidewell'), speed('http', 'aria2c'), speed('http', 'curl')
        row('  to exit, MiB/s', e, a, c, round_ratio('http', 'wall', True), '(shown)', None)
        e, a, c = cpu_per_gib('http', 'tidewell'), cpu_per_gib('http', 'aria2c'), cpu_per_gib('http', 'curl')
        row('  to exit, CPU s per GiB', e, a, c, round_ratio('http', 'cpu', False), '(shown)', None)
        e = f.med('http', 'tidewell', 'rss_kib')
        row('HTTP peak memory, MiB', e / 1024 if e else None, (f.med('http', 'aria2c', 'rss_kib') or 0) / 1024,
            (f.med('http', 'curl', 'rss_kib') or 0) / 1024, None, '< 64 MiB', e is not None and e / 1024 < 64)
        w = waste('http', 'tidewell')
        row('HTTP nginx sent / kept from web', fmt(w, '.3f'), fmt(sent_per_file('http', 'aria2c', size), '.3f'),
            fmt(sent_per_file('http', 'curl', size), '.3f'), None, '<= 1.02', w is not None and w <= 1.02)
    if f.rounds('p2sp', 'tidewell', 'wall'):
        e, a = speed('p2sp', 'tidewell'), speed('p2sp', 'aria2c')
        r = ratio(e, a)
        row('P2SP throughput, MiB/s', e, a, None, r, '>= 1.25 x aria2c', r is not None and r >= 1.25)
        w = waste('p2sp', 'tidewell')
        row('P2SP nginx sent / kept from web', fmt(w, '.3f'), fmt(sent_per_file('p2sp', 'aria2c', size), '.3f'),
            None, None, '<= 1.02', w is not None and w <= 1.02)
        row('P2SP nginx sent / file', fmt(sent_per_file('p2sp', 'tidewell', size), '.3f'),
            fmt(sent_per_file('p2sp', 'aria2c', size), '.3f'), None, None, '(shown)', None)
    if f.rounds('bt3', 'tidewell', 'wall'):
        e, a = speed('bt3', 'tidewell'), speed('bt3', 'aria2c')
        r = ratio(e, a)
        row('BT, 3 seeders: throughput, MiB/s', e, a, None, r, '>= 1.25 x aria2c', r is not None and r >= 1.25)
    if f.rounds('seed', 'tidewell', 'wall'):
        e, a = speed('seed', 'tidewell'), speed('seed', 'aria2c')
        r = ratio(e, a)
        row('Seeding to aria2c, MiB/s', e, a, None, r, '>= 1.25 x aria2c seeder', r is not None and r >= 1.25)
    for n, limit in (('4', 1.10), ('8', 1.25)):
        s = 'offload' + n
        if not f.rounds(s, 'tidewell', 'wall'):
            continue
        e, a = sent_per_file(s, 'tidewell', offload_size), sent_per_file(s, 'aria2c', offload_size)
        row(f'Offload {n} clients: nginx sent / file', fmt(e, '.3f'), fmt(a, '.3f'), None, ratio(e, a),
            f'<= {limit:.2f}', e is not None and e <= limit)
        e, a = f.med(s, 'tidewell', 'wall'), f.med(s, 'aria2c', 'wall')
        row(f'Offload {n} clients: all done, s', e, a, None, ratio(e, a), '<= aria2c', e is not None and a and e <= a)
    if len(sys.argv) > 3:
        text = open(sys.argv[3]).read()
        m = re.search(r'with peers\s+2048 MiB: receive thread\s+([\d.]+) MiB/s per CPU s \(\s*(\d+) %\)', text)
        o = re.search(r'openssl speed .*: ([\d.]+) MiB/s', text)
        if m:
            pct = float(m.group(2))
            row('Receive path, % of openssl SHA-1', m.group(1) + ' MiB/s', None, None, None,
                '>= 90 %' + (f' of {o.group(1)}' if o else ''), pct >= 90)
            rows[-1] = rows[-1][:4] + (f'{pct:.0f} %',) + rows[-1][5:]

    print(f'\nfile {size:.0f} MiB (offload {offload_size:.0f} MiB), medians of the rounds')
    head = ('figure', 'engine', 'aria2c', 'curl', 'ratio', 'target', '')
    widths = [max(len(str(x[i])) for x in rows + [head]) for i in range(len(head))]
    for x in [head] + rows:
        print('  '.join(str(v).ljust(widths[i]) if i == 0 else str(v).rjust(widths[i]) for i, v in enumerate(x)))

    # Where nginx's bytes went, for every engine section that read from it.
    split_keys = [('kept', 'kept_web'), ('held already', 'web_duplicate'), ('skipped', 'web_skipped'),
                  ('read, unused at give-up', 'web_discarded')]
    print('\nwhere the bytes nginx sent to the engine went (x the file; % of what nginx sent)')
    for section in ('http', 'p2sp', 'offload4', 'offload8'):
        mib = offload_size if section.startswith('offload') else size
        if not f.rounds(section, 'tidewell', 'nginx_sent') or not f.rounds(section, 'tidewell', 'web_received'):
            continue
        sent = f.med(section, 'tidewell', 'nginx_sent')
        received = f.med(section, 'tidewell', 'web_received')
        parts = [(label, f.med(section, 'tidewell', key) or 0) for label, key in split_keys]
        other = received - sum(v for _, v in parts)
        parts += [('headers and other', other), ('never read (in flight at close)', sent - received)]
        requests = f.med(section, 'tidewell', 'nginx_requests')
        print(f'  {section}: nginx sent {sent / (mib * MIB):.3f} x in {requests:.0f} requests')
        for label, v in parts:
            print(f'    {label:<32} {v / (mib * MIB):7.3f} x  {100 * v / sent if sent else 0:5.1f} %')
        peer = f.med(section, 'tidewell', 'kept_peer')
        if peer:
            print(f'    (kept from peers                 {peer / (mib * MIB):7.3f} x)')

    # How often nginx sent each part of the file (its log; offload sections).
    server_keys = [('first copy', 'server_first'), ('again to the same client', 'server_same'),
                   ('to another client, within 7 s', 'server_batch'), ('to another client, later', 'server_later'),
                   ('reply headers', 'server_headers')]
    shown = False
    for section in ('offload4', 'offload8'):
        for program in ('tidewell', 'aria2c'):
            if not f.rounds(section, program, 'server_first'):
                continue
            if not shown:
                print('\nhow often nginx sent each part of the file (x the file; % of what nginx sent)')
                shown = True
            sent = f.med(section, program, 'nginx_sent')
            print(f'  {section} {program}: nginx sent {sent / (offload_size * MIB):.3f} x')
            for label, key in server_keys:
                v = f.med(section, program, key) or 0
                print(f'    {label:<32} {v / (offload_size * MIB):7.3f} x  {100 * v / sent if sent else 0:5.1f} %')


if __name__ == '__main__':
    main()
