#!/usr/bin/env python3
"""How often nginx sent each part of the file, from its access log.

Usage: server_split.py ACCESS-LOG FROM-LINE [BATCH-SECONDS]

The log lines (bench/bt_common.sh's format) carry, after bytes sent,
address and status: the time the request ended ($msec), its duration, the
body bytes sent, the Range header and the client's tag (the URL's "c"
argument; every client of an offload run asks with its own). The body of a
reply is taken as sent at an even pace over the request's time, 16 KiB at a
time. Every byte range of the file counts once as the first copy; each
further copy is put down to one of:

  same    sent again to a client that had it sent already (its own
          connections met, or it asked again for what was in flight when
          a connection moved on)
  batch   sent to another client within BATCH-SECONDS (one HAVE batch) of
          the first copy: that client could not have known yet
  later   sent to another client later than that

Prints "key value" lines (bytes): first same batch later headers requests.
"""
import re
import sys

BLOCK = 16384


def main():
    path, start = sys.argv[1], int(sys.argv[2])
    batch = float(sys.argv[3]) if len(sys.argv) > 3 else 7.0
    range_re = re.compile(r'bytes=(\d+)-')
    # Per 16 KiB block: (time, client, bytes) of every copy.
    sends = {}
    headers = 0
    requests = 0
    with open(path) as log:
        for number, line in enumerate(log, 1):
            if number <= start:
                continue
            fields = line.split()
            if len(fields) < 8:
                continue
            sent, end, took, body = int(fields[0]), float(fields[3]), float(fields[4]), int(fields[5])
            m = range_re.search(fields[6])
            offset = int(m.group(1)) if m else 0
            client = fields[7].strip('"')
            requests += 1
            headers += max(sent - body, 0)
            if body <= 0:
                continue
            begin = end - took
            pos = offset
            stop = offset + body
            while pos < stop:
                block = pos // BLOCK
                upto = min((block + 1) * BLOCK, stop)
                when = begin + took * ((pos + upto) / 2 - offset) / body
                sends.setdefault(block, []).append((when, client, upto - pos))
                pos = upto
    first = same = in_batch = later = 0
    for copies in sends.values():
        copies.sort()
        t0, c0, n0 = copies[0]
        first += n0
        seen = {c0}
        for when, client, n in copies[1:]:
            if client in seen:
                same += n
            elif when - t0 <= batch:
                in_batch += n
            else:
                later += n
            seen.add(client)
    for key, value in (('first', first), ('same', same), ('batch', in_batch), ('later', later),
                       ('headers', headers), ('requests', requests)):
        print(key, value)


if __name__ == '__main__':
    main()
