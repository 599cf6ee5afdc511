#!/usr/bin/env python3
"""A small statistics collection server for tests and the demo.

It accepts event batches posted as form data to "/launchersubmit/eventListSubmit"
(and single events to "/launchersubmit/eventInfoSubmit"), decodes them and
appends one JSON line per event to --events-file. The body is "data=" followed
by the batch text in the program's form encoding: ASCII letters and digits as
they are, "_" for a space and "%XX" for every other byte.

Replies: {"error":0} normally; with --mode error {"error":1}; with --mode hang
the server reads the request and then holds the connection without replying
(up to --hang-seconds, then it closes it). A malformed body gets {"error":2}.

It binds 127.0.0.1 only. With --port 0 the kernel chooses the port; the chosen
port is printed on standard output and, with --port-file, written to that file
(written to a temporary name and renamed, so a reader never sees half a number).
Only the Python standard library is used.
"""

import argparse
import json
import os
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BATCH_PATH = "/launchersubmit/eventListSubmit"
SINGLE_PATH = "/launchersubmit/eventInfoSubmit"
# A request body larger than this is refused: a batch holds at most 20 events.
MAX_BODY_BYTES = 4 * 1024 * 1024
HEX_DIGITS = b"0123456789ABCDEFabcdef"


class FormError(ValueError):
    pass


def decode_form(body: bytes) -> bytes:
    """Reverses the program's form encoding of the "data=" field."""
    if not body.startswith(b"data="):
        raise FormError("body does not start with data=")
    out = bytearray()
    i = 5
    n = len(body)
    while i < n:
        c = body[i]
        if c == ord("%"):
            digits = body[i + 1:i + 3]
            if len(digits) != 2 or any(d not in HEX_DIGITS for d in digits):
                raise FormError("bad escape at %d" % i)
            out.append(int(digits.decode("ascii"), 16))
            i += 3
        elif c == ord("_"):
            out.append(0x20)
            i += 1
        elif (ord("0") <= c <= ord("9")) or (ord("A") <= c <= ord("Z")) or (ord("a") <= c <= ord("z")):
            out.append(c)
            i += 1
        else:
            raise FormError("unexpected byte 0x%02x at %d" % (c, i))
    return bytes(out)


class Store:
    """Appends decoded events and raw requests to their files, one line each."""

    def __init__(self, events_file, requests_file):
        self.events_file = events_file
        self.requests_file = requests_file
        self.lock = threading.Lock()
        self.batches = 0

    def _append(self, path, record):
        if not path:
            return
        line = json.dumps(record, ensure_ascii=False) + "\n"
        with open(path, "a", encoding="utf-8") as f:
            f.write(line)
            f.flush()

    def request(self, path, mode, body):
        with self.lock:
            self._append(self.requests_file, {
                "path": path, "mode": mode, "body": body.decode("latin-1")})

    def batch(self, path, events):
        with self.lock:
            self.batches += 1
            for index, event in enumerate(events):
                record = {"batch": self.batches, "index": index, "path": path}
                if event is None:
                    record["event"] = None
                else:
                    record["code"] = event.get("code")
                    record["info"] = event.get("info")
                self._append(self.events_file, record)


def parse_events(path, text):
    value = json.loads(text)
    if path == BATCH_PATH:
        if not isinstance(value, list):
            raise FormError("batch is not an array")
        for item in value:
            if item is not None and not isinstance(item, dict):
                raise FormError("batch item is neither object nor null")
        return value
    if not isinstance(value, dict):
        raise FormError("event is not an object")
    return [value]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("collect-server: " + (fmt % args) + "\n")

    def reply(self, status, text):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.reply(404, '{"error":404}')

    def do_POST(self):
        length = self.headers.get("Content-Length")
        try:
            length = int(length)
        except (TypeError, ValueError):
            self.reply(411, '{"error":411}')
            return
        if length < 0 or length > MAX_BODY_BYTES:
            self.reply(413, '{"error":413}')
            return
        body = self.rfile.read(length)
        mode = self.server.mode
        self.server.store.request(self.path, mode, body)
        if self.path not in (BATCH_PATH, SINGLE_PATH):
            self.reply(404, '{"error":404}')
            return
        if mode == "hang":
            # Hold the connection: no reply until released or the time is up.
            self.server.release.wait(self.server.hang_seconds)
            self.close_connection = True
            return
        try:
            events = parse_events(self.path, decode_form(body).decode("utf-8"))
        except (FormError, UnicodeDecodeError, json.JSONDecodeError) as e:
            self.log_message("malformed body: %s", e)
            self.reply(200, '{"error":2}')
            return
        if mode == "error":
            self.reply(200, '{"error":1}')
            return
        self.server.store.batch(self.path, events)
        self.reply(200, '{"error":0}')


def write_port_file(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=8080, help="TCP port on 127.0.0.1; 0 lets the kernel choose")
    p.add_argument("--port-file", help="write the chosen port to this file")
    p.add_argument("--events-file", help="append one JSON line per decoded event")
    p.add_argument("--requests-file", help="append one JSON line per request with its raw body")
    p.add_argument("--mode", choices=["ok", "error", "hang"], default="ok")
    p.add_argument("--hang-seconds", type=float, default=60.0,
                   help="how long --mode hang holds a connection")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args(argv)

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.mode = args.mode
    server.hang_seconds = args.hang_seconds
    server.release = threading.Event()
    server.verbose = args.verbose
    server.store = Store(args.events_file, args.requests_file)
    port = server.server_address[1]
    if args.port_file:
        write_port_file(args.port_file, port)
    print(port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.release.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
