#!/usr/bin/env python3
"""The attacker behind scripts/torture: load and faults against esm-synthd on loopback.

Subcommands (scripts/torture runs them; each long-lived one runs until it is stopped):
  setup DIR            writes DIR/slp.reg and DIR/gnp.coords for the overlay below
  free-port ADDR       prints a TCP port that was free on ADDR a moment ago
  silent-da ADDR       a UDP socket on ADDR:0 that reads every datagram and never answers
  babble-da ADDR       a UDP socket on ADDR:0 that answers every datagram with garbage
  attack OPTIONS       the run itself: prints the summary, exits 1 when a check failed

Only loopback addresses are ever used. Every wait is bounded.
"""

import argparse
import collections
import concurrent.futures
import random
import socket
import statistics
import struct
import sys
import threading
import time

# ---- The overlay: who is where --------------------------------------------------------------

NET = "127.0.99."
REAL_DA = NET + "2"
SILENT_DA = NET + "3"
DOWN_DA = NET + "4"
BABBLE_DA = NET + "10"
PROXY_OK = (NET + "5", 7020)
PROXY_CLOSE = (NET + "6", 7020)  # --close-mid-reply
PROXY_HANG = (NET + "7", 7020)  # --hang
PROXY_ZONE = (NET + "8", 7020)
ABONE_NODE = NET + "20"

E_OK = "128.2.1.7"  # a running proxy that answers
E_CLOSE = "128.2.1.8"  # its proxy drops the connection in the middle of each reply
E_HANG = "128.2.1.9"  # its proxy reads and never answers
E_ABONE = "128.2.1.20"  # no running proxy; a compute node by coordinates
E_NONE = "128.2.1.50"  # nothing at all: fails at once
ZONE = ("10.1.0.0", "255.255.0.0", "10.1.2.3")
COORDS = "12.5 -3.0 7.25"
E_CAP = "128.2.1.77"  # only in requests that must be refused before any lookup
MONITOR = NET + "9"  # gnp-monitor; the bounded daemon notifies it

RESP400 = b"HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n"


def reg_file():
    def proxy(addr_port, ep, mask):
        return ("service:ESMProxy://%s:%d,en,65535\naddr=%s\nmask=%s\n\n"
                % (addr_port[0], addr_port[1], ep, mask))
    return (proxy(PROXY_OK, E_OK, "255.255.255.255") +
            proxy(PROXY_CLOSE, E_CLOSE, "255.255.255.255") +
            proxy(PROXY_HANG, E_HANG, "255.255.255.255") +
            proxy(PROXY_ZONE, ZONE[0], ZONE[1]) +
            "service:CompResource://%s/?x-GNP-num=1,en,65535\nx-GNP-num=1\nx-GNP-clients=%s\n\n"
            % (ABONE_NODE, COORDS))


# ---- Messages ---------------------------------------------------------------------------------

def addr_num(dotted):
    """The "%d" text of an address kept in network byte order in a 32-bit integer."""
    return struct.unpack("<i", socket.inet_aton(dotted))[0]


def synth_req(ident, version, eps, zones=(), num=None):
    e = "".join("<endpoint>%s</endpoint>" % a for a in eps)
    z = "".join("<zone><addr>%s</addr><mask>%s</mask><ep>%d</ep></zone>" % (a, m, addr_num(r))
                for a, m, r in zones)
    return ('<?xml version="1.0"?>\n<SynthESMReq><id>%d</id><version>%d</version>'
            '<endpointlist num="%s">%s</endpointlist><zonelist num="%d">%s</zonelist>'
            '</SynthESMReq>\n' % (ident, version, len(eps) if num is None else num, e,
                                  len(zones), z)).encode()


def synth_ok(ident, version, ep_transports, zone_transports):
    def lst(name, entry, ts):
        if not ts:
            return '<%s num="0"/>' % name
        return '<%s num="%d">%s</%s>' % (name, len(ts), "".join(
            "<%s><addr>%s</addr><port>%d</port><ttl>%d</ttl></%s>" % (entry, a, p, t, entry)
            for a, p, t in ts), name)
    return ('<?xml version="1.0"?>\n<SynthESMOk><id>%d</id><version>%d</version>%s%s'
            '</SynthESMOk>\n' % (ident, version, lst("eptransportlist", "eptransport", ep_transports),
                                 lst("zonetransportlist", "zonetransport", zone_transports))).encode()


def ok_response(body):
    return b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n" % len(body) + body


def http(body, length=None, nul=True):
    """A request as the project's client writes it: the body and its NUL byte."""
    if nul:
        body += b"\0"
    n = len(body) if length is None else length
    return b"POST http://127.0.0.1/query HTTP/1.1\r\nContent-Length: %s\r\n\r\n" % (
        str(n).encode()) + body


class Ids:
    """Distinct request ids, so that every exact reply names its own request."""

    def __init__(self, start):
        self._next = start
        self._lock = threading.Lock()

    def take(self):
        with self._lock:
            self._next += 1
            return self._next


def normal_pair(ident):
    """The normal request (one endpoint and one zone, both with running proxies) and its answer."""
    req = http(synth_req(ident, ident + 1, [E_OK], [ZONE]))
    resp = ok_response(synth_ok(ident, ident + 1, [("224.5.6.7", 7560, 0)],
                                [("225.5.6.7", 7560, 1)]))
    return req, resp


def abone_pair(ident):
    req = http(synth_req(ident, ident + 1, [E_ABONE]))
    resp = ok_response(synth_ok(ident, ident + 1, [(ABONE_NODE, 7560, 255)], []))
    return req, resp


# ---- One exchange -----------------------------------------------------------------------------

def read_until_closed(s, got=b""):
    """Reads from s until the peer closes; returns (got and all bytes read, how it ended):
    "closed", "timeout" or "reset"."""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got, "closed"
            got += chunk
    except socket.timeout:
        return got, "timeout"
    except OSError:
        return got, "reset"


def exchange(port, data, timeout, shut=True, addr="127.0.0.1"):
    """Connects, sends data, half-closes (shut) and reads until the daemon closes.

    Returns (bytes received, how it ended, seconds from the last byte sent): "closed",
    "reset", "timeout", "refused" or "send failed"."""
    s = socket.socket()
    s.settimeout(timeout)
    got = b""
    try:
        try:
            s.connect((addr, port))
        except OSError:
            return b"", "refused", 0.0
        try:
            if data:
                s.sendall(data)
            if shut:
                s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the daemon may answer early and close; what it sent is still read below
        start = time.monotonic()
        got, how = read_until_closed(s)
        return got, how, time.monotonic() - start
    finally:
        s.close()


def outcome(resp, how, expected=None):
    """A short name for what came back."""
    if how == "refused":
        return "connection refused"
    if expected is not None and resp == expected:
        name = "200 exact"
    elif resp == RESP400:
        name = "400"
    elif resp.startswith(b"HTTP/1.1 200 OK"):
        name = "200 other bytes"
    elif not resp:
        name = "nothing"
    else:
        name = "other bytes"
    if how == "reset":
        name += " + reset"
    elif how == "timeout":
        name += " (still open)"
    return name


# ---- Bookkeeping ------------------------------------------------------------------------------

class Tally:
    def __init__(self):
        self._lock = threading.Lock()
        self.order = []
        self.counts = collections.defaultdict(collections.Counter)
        self.secs = collections.defaultdict(list)
        self.failures = []

    def add(self, category, name, secs, ok, detail=""):
        with self._lock:
            if category not in self.counts:
                self.order.append(category)
            self.counts[category][name] += 1
            self.secs[category].append(secs)
            if not ok and len(self.failures) < 200:
                self.failures.append("%s: %s%s" % (category, name, (" " + detail) if detail else ""))

    def fail(self, text):
        with self._lock:
            self.failures.append(text)


def check(tally, category, resp, how, secs, expected=None, allowed=("400",), max_secs=None,
          min_secs=None, detail=""):
    name = outcome(resp, how, expected)
    ok = name in allowed
    if ok and max_secs is not None and secs > max_secs:
        ok = False
        detail = (detail + " answered after %.1f s, bound %.1f s" % (secs, max_secs)).strip()
    if ok and min_secs is not None and secs < min_secs:
        ok = False
        detail = (detail + " answered after %.1f s, expected at least %.1f s" % (secs, min_secs)).strip()
    tally.add(category, name, secs, ok, detail)
    return ok


# ---- Memory and liveness of a daemon ----------------------------------------------------------

def proc_status(pid):
    """(VmRSS in KiB, thread count, state letter) or None when the process is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            text = f.read()
    except OSError:
        return None
    rss = threads = 0
    state = "?"
    for line in text.splitlines():
        if line.startswith("VmRSS:"):
            rss = int(line.split()[1])
        elif line.startswith("Threads:"):
            threads = int(line.split()[1])
        elif line.startswith("State:"):
            state = line.split()[1]
    return rss, threads, state


def alive(pid):
    st = proc_status(pid)
    return st is not None and st[2] not in ("Z", "X")


class Sampler(threading.Thread):
    """Samples the main daemon's VmRSS and thread count every 100 ms."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_rss = 0
        self.peak_threads = 0
        self._stop_event = threading.Event()

    def run(self):
        while not self._stop_event.is_set():
            st = proc_status(self.pid)
            if st is not None:
                self.peak_rss = max(self.peak_rss, st[0])
                self.peak_threads = max(self.peak_threads, st[1])
            self._stop_event.wait(0.1)

    def stop(self):
        self._stop_event.set()


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


# ---- The storm of malformed heads and bodies --------------------------------------------------

class Case:
    def __init__(self, category, name, data, reps=1, may_reset=False, max_secs=10.0):
        self.category = category
        self.name = name
        self.data = data
        self.reps = reps
        self.may_reset = may_reset
        self.max_secs = max_secs


def nested(depth):
    return (b'<?xml version="1.0"?>\n<SynthESMReq><id>1</id><version>1</version>' +
            b"<a>" * depth + b"x" + b"</a>" * depth + b"</SynthESMReq>")


def billion_laughs():
    decl = b'<!ENTITY a0 "0123456789">'
    for i in range(1, 10):
        decl += b'<!ENTITY a%d "%s">' % (i, b"&a%d;" % (i - 1) * 10)
    return (b'<?xml version="1.0"?><!DOCTYPE SynthESMReq [' + decl + b']><SynthESMReq><id>&a9;'
            b'</id><version>1</version><endpointlist num="0"/><zonelist num="0"/></SynthESMReq>')


def entity_blowup(entity_bytes, refs, in_attribute):
    """One large entity referenced many times: small to send, huge once expanded."""
    refs_text = b"&big;" * refs
    return (b'<?xml version="1.0"?><!DOCTYPE SynthESMReq [<!ENTITY big "' + b"1" * entity_bytes +
            b'">]><SynthESMReq><id>' + (b"1" if in_attribute else refs_text) +
            b'</id><version>1</version><endpointlist num="' + (refs_text if in_attribute else b"0") +
            b'"/><zonelist num="0"/></SynthESMReq>')


def other_type(root, inner):
    return ('<?xml version="1.0"?>\n<%s><id>1</id><version>1</version>%s</%s>\n'
            % (root, inner, root)).encode()


def storm_cases(scale, rng):
    """Every case here must be answered with exactly the error response."""
    cases = []
    R = 10 * scale  # repetitions of the cheap cases
    H = "malformed head"
    good_body = synth_req(1, 1, [E_NONE]) + b"\0"

    def head(name, data, reps=R, **kw):
        cases.append(Case(H, name, data, reps, **kw))

    head("connect, send nothing, half-close", b"")
    head("truncated request line", b"POST /q HT")
    head("request line without Content-Length", b"POST /q HTTP/1.1\r\n\r\n")
    head("truncated Content-Length header", b"POST /q HTTP/1.1\r\nContent-Len")
    head("Content-Length without a number", b"POST /q HTTP/1.1\r\nContent-Length: \r\n\r\nabc")
    head("lower-case content-length", b"POST /q HTTP/1.1\r\ncontent-length: 5\r\n\r\nhello")
    head("Host header before Content-Length",
         b"POST /q HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(good_body) + good_body)
    head("Transfer-Encoding: chunked",
         b"POST /q HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
    for cl in (b"0", b"-5", b"-2147483648", b"2147483647", b"99999999999999999999",
               b"67108865"):
        head("Content-Length " + cl.decode(), b"POST /q HTTP/1.1\r\nContent-Length: " + cl +
             b"\r\n\r\n<SynthESMReq/>")
    head("Content-Length 64 MiB, 100 bytes sent",
         b"POST /q HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n" + b"<" * 100, reps=max(2, R // 2))
    head("Content-Length above the body sent",
         b"POST /q HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + good_body)
    head("method of 7 characters", b"POSTPOS /q HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")
    head("version of 10 characters", b"POST /q HTTP/1.1234\r\nContent-Length: 3\r\n\r\nabc")
    head("URI of 8000 bytes, other request type",
         http(other_type("ESMInit", "<data_port>7560</data_port>")).replace(
             b"http://127.0.0.1/query", b"/" + b"u" * 7999))
    head("head longer than the first read (9000-byte URI)",
         b"POST /" + b"u" * 9000 + b" HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", may_reset=True)
    head("8192 bytes without a line end", b"A" * 8192)
    head("64 KiB of one byte", b"A" * 65536, may_reset=True)
    head("NUL inside the request line", b"POST\0/q HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")
    head("two pipelined requests, the second never read",
         http(other_type("ESMInit", "<data_port>7560</data_port>")) +
         http(synth_req(1, 1, [])), may_reset=True)
    for i in range(R * 4):
        n = rng.choice((1, 7, 100, 1000, 4096, 8192, 20000))
        data = rng.randbytes(n)
        if data.startswith(b"POST") or data.startswith(b"GET"):
            data = b"\xff" + data
        cases.append(Case(H, "random binary head (1 B to 20 KB)", data, 1, may_reset=True))

    B = "malformed body"

    def body(name, payload, reps=R, nul=True, **kw):
        cases.append(Case(B, name, http(payload, nul=nul), reps, **kw))

    body("random binary 1 KiB", rng.randbytes(1024), nul=False)
    body("random binary 1 MiB", rng.randbytes(1 << 20), reps=max(2, R // 5), nul=False)
    body("4 KiB of NUL bytes", b"\0" * 4096, nul=False)
    body("plain text", b"hello, world")
    full = synth_req(3, 3, [E_NONE], [ZONE])
    for cut in (1, 10, len(full) // 2, len(full) - 3):
        body("valid request cut after %d bytes" % cut, full[:cut])
    body("unclosed elements", b"<SynthESMReq><id>1</id><version>1<endpointlist num='1'>")
    body("two root elements", full + full)
    body("garbage after the root", full + b"<<<&&&")
    body("nested 300 deep", nested(300))
    body("nested 100000 deep", nested(100000), reps=max(2, R // 5))
    body("billion laughs", billion_laughs())
    # Before document types were refused, each of these cost seconds and up to gigabytes.
    body("one 50 KB entity 2000 times in a text", entity_blowup(50000, 2000, False),
         reps=max(2, R // 5), max_secs=5.0)
    body("one 50 KB entity 2000 times in an attribute", entity_blowup(50000, 2000, True),
         reps=max(2, R // 5), max_secs=5.0)
    body("external entity",
         b'<?xml version="1.0"?><!DOCTYPE d [<!ENTITY e SYSTEM "file:///etc/hostname">]>'
         b'<SynthESMReq><id>&e;</id><version>1</version><endpointlist num="0"/>'
         b'<zonelist num="0"/></SynthESMReq>')
    body("external DTD on the network",
         b'<?xml version="1.0"?><!DOCTYPE SynthESMReq SYSTEM "http://127.0.0.1:9/x.dtd">'
         b'<SynthESMReq><id>1</id><version>1</version><endpointlist num="0"/>'
         b'<zonelist num="0"/></SynthESMReq>')
    body("UTF-16 document", '<?xml version="1.0"?><SynthESMReq/>'.encode("utf-16"), nul=False)
    body("unknown encoding",
         b'<?xml version="1.0" encoding="x-unknown"?><SynthESMReq><id>1</id></SynthESMReq>')
    body("element name of 1 MiB", b"<" + b"n" * (1 << 20) + b"/>", reps=max(2, R // 5))
    body("attribute of 1 MiB",
         b'<SynthESMReq><id>1</id><version>1</version><endpointlist num="' + b"7" * (1 << 20) +
         b'"/><zonelist num="0"/></SynthESMReq>', reps=max(2, R // 5))
    body("id of 4 MiB digits, unreachable endpoint",
         synth_req(1, 1, [E_NONE]).replace(b"<id>1</id>", b"<id>" + b"9" * (4 << 20) + b"</id>"),
         reps=2)
    body("100000 comments, unreachable endpoint",
         synth_req(1, 1, [E_NONE]).replace(b"<version>", b"<!--c-->" * 100000 + b"<version>"),
         reps=max(2, R // 5))
    body("200000 surplus entries, unreachable endpoint",
         synth_req(1, 1, [E_NONE] * 200000, num=1), reps=2)

    N = "huge or bad num"
    for num in ("-1", "4294967295", "2147483648", "1048577", "99999999999999999999", "1e9",
                "12abc"):
        # "1e9" and "12abc" read as 1 and 12: the unreachable endpoint fails them.
        cases.append(Case(N, 'endpointlist num="%s"' % num,
                          http(synth_req(1, 1, [E_NONE], num=num)), R))
    cases.append(Case(N, 'zonelist num="1048577"',
                      http(synth_req(1, 1, [E_NONE]).replace(b'<zonelist num="0">',
                                                             b'<zonelist num="1048577">')), R))
    cases.append(Case(N, 'another type with num="1048576" and no entries',
                      http(other_type("SynthIPMZReq", '<l num="1048576"/>')), max(2, R // 5)))
    cases.append(Case(N, "nested counts multiplying past the limit",
                      http(other_type("GNPQueryReq", "<s>0</s><n>1</n><clientlist num=\"5\">" +
                                      '<c num="1048576"/>' * 5 + "</clientlist><candidatelist "
                                      'num="0"/><capacitylist num="0"/><costlist num="0"/>')), R))

    W = "parses, wrong shape"
    shapes = [
        ("no id", b"<SynthESMReq><version>1</version><endpointlist num=\"0\"/>"
                  b"<zonelist num=\"0\"/></SynthESMReq>"),
        ("no lists", b"<SynthESMReq><id>1</id><version>1</version></SynthESMReq>"),
        ("no zone list", b"<SynthESMReq><id>1</id><version>1</version><endpointlist num=\"0\"/>"
                         b"</SynthESMReq>"),
        ("list without num", b"<SynthESMReq><id>1</id><version>1</version><endpointlist/>"
                             b"<zonelist num=\"0\"/></SynthESMReq>"),
        ("zone with two children", synth_req(1, 1, [E_NONE], [ZONE]).replace(b"<ep>", b"<x>")
            .replace(b"</ep>", b"</x>").replace(b"<mask>255.255.0.0</mask>", b"")),
        ("lists swapped", b"<SynthESMReq><id>1</id><version>1</version><zonelist num=\"1\"><zone>"
                          b"<addr>1.2.3.4</addr><mask>255.0.0.0</mask><ep>1</ep></zone></zonelist>"
                          b"<endpointlist num=\"1\"><endpoint>1.1.1.1</endpoint></endpointlist>"
                          b"</SynthESMReq>"),
        ("empty root", b"<SynthESMReq/>"),
        ("response type as a request", synth_ok(1, 1, [], [])),
        ("unknown root", other_type("Unknown", "")),
        ("root in lower case", other_type("synthesmreq", '<endpointlist num="0"/><zonelist num="0"/>')),
        ("ESMInit, another request type", other_type("ESMInit", "<data_port>7560</data_port>")),
        ("ESMCommit with 1000 members", other_type(
            "ESMCommit", "<data_addr>224.5.6.7</data_addr><data_port>7560</data_port><ttl>0</ttl>"
            '<memberlist num="1000">' + "<member><addr>1.2.3.4</addr><port>1</port></member>" * 1000
            + "</memberlist>")),
        ("SynthInit, another request type", other_type(
            "SynthInit", "<moviename>m</moviename><src>1.2.3.4</src><dst>5.6.7.8</dst>")),
        ("text and CDATA where numbers belong, unreachable endpoint",
         synth_req(1, 1, [E_NONE]).replace(b"<id>1</id>", b"<id><![CDATA[x]]>&amp;&#65;</id>")),
    ]
    for name, payload in shapes:
        cases.append(Case(W, name, http(payload), R))
    return cases


# ---- The run ----------------------------------------------------------------------------------

class Run:
    def __init__(self, args):
        self.args = args
        self.long = args.mode == "long"
        self.main_port = args.main_port
        self.main_pid = args.main_pid
        self.tally = Tally()
        self.ids = Ids(100000)
        self.answered_main = 0  # answered synthesis requests: the daemon ends after its 101st
        self.skipped = 0  # normal requests left out to stay under that limit
        self.answered_lock = threading.Lock()
        self.rng = random.Random(8)

    # Answered requests count toward the main daemon's limit of 101: the load stays below 90,
    # so that the checks after it always have room.
    def reserve_answer(self, final=False):
        with self.answered_lock:
            if self.answered_main >= (100 if final else 90):
                self.skipped += 1
                return False
            self.answered_main += 1
            return True

    def normal(self, category, max_secs=10.0, final=False):
        if not self.reserve_answer(final):
            if final:
                self.tally.fail("%s: no room left under the daemon's request limit" % category)
            return
        req, resp = normal_pair(self.ids.take())
        got, how, secs = exchange(self.main_port, req, timeout=max_secs + 20)
        check(self.tally, category, got, how, secs, expected=resp, allowed=("200 exact",),
              max_secs=max_secs)

    # -- phases --

    def ticker(self, stop, period):
        while not stop.wait(period):
            self.normal("normal request during the load (%d s apart)" % period)

    def storm(self, scale):
        cases = storm_cases(scale, self.rng)
        jobs = []
        for c in cases:
            jobs += [c] * c.reps
        self.rng.shuffle(jobs)

        def one(c):
            got, how, secs = exchange(self.main_port, c.data, timeout=c.max_secs + 20)
            allowed = ("400", "400 + reset", "nothing + reset") if c.may_reset else ("400",)
            check(self.tally, c.category, got, how, secs, allowed=allowed, max_secs=c.max_secs,
                  detail="[%s]" % c.name)

        with concurrent.futures.ThreadPoolExecutor(16) as pool:
            list(pool.map(one, jobs))
        return len(jobs)

    def phantom(self, entries):
        """A small request whose list announces many entries it does not hold: once each was
        looked up in turn; now it is refused before any lookup."""
        req = http(synth_req(self.ids.take(), 1, [E_NONE], num=entries))
        got, how, secs = exchange(self.main_port, req, timeout=30)
        check(self.tally, "phantom entries (num=%d, one entry, %d bytes)" % (entries, len(req)),
              got, how, secs, max_secs=2.0)

    def flood(self, idle, burst, workers=32):
        # Idle connections held open, while a normal request must still get through.
        held = []
        for _ in range(idle):
            s = socket.socket()
            s.setblocking(False)
            try:
                s.connect(("127.0.0.1", self.main_port))
            except BlockingIOError:
                pass
            except OSError:
                s.close()
                self.tally.add("flood: idle connections held open", "connection refused", 0, False)
                continue
            held.append(s)
        time.sleep(1.0)
        self.normal("normal request while %d connections are held open" % idle, max_secs=10.0)
        # Half are reset, half half-close and must get the error response.
        start = time.monotonic()
        for i, s in enumerate(held):
            if i % 2 == 0:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
                self.tally.add("flood: idle connections held open", "reset by the attacker", 0, True)
        for i, s in enumerate(held):
            if i % 2 == 1:
                got, how = b"", "reset"
                try:
                    s.setblocking(True)
                    s.settimeout(20)
                    s.shutdown(socket.SHUT_WR)
                    got, how = read_until_closed(s)
                except OSError:
                    pass
                finally:
                    s.close()
                check(self.tally, "flood: idle connections held open", got, how,
                      time.monotonic() - start)

        # A burst of short connections, each with a complete request of another type.
        req = http(other_type("ESMInit", "<data_port>7560</data_port>"))

        def one(i):
            if i % 5 == 4:  # connect and close at once, sending nothing
                s = socket.socket()
                try:
                    s.connect(("127.0.0.1", self.main_port))
                    self.tally.add("flood: connect and close at once", "closed by the attacker", 0,
                                   True)
                except OSError:
                    self.tally.add("flood: connect and close at once", "connection refused", 0, False)
                finally:
                    s.close()
                return
            got, how, secs = exchange(self.main_port, req, timeout=30)
            check(self.tally, "flood: burst of short connections", got, how, secs, max_secs=20)

        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            list(pool.map(one, range(burst)))

    def slow(self, reps):
        """Slow senders: a byte a second of head or body, silent peers, slow but complete ones."""
        threads = []

        def trickle(category, first, rest, expect, allowed, max_secs, min_secs=None, period=1.0):
            s = socket.socket()
            s.settimeout(max_secs + 15)
            got = b""
            how = "closed"
            start = time.monotonic()
            try:
                s.connect(("127.0.0.1", self.main_port))
                if first:
                    s.sendall(first)
                for i in range(len(rest)):
                    # Stop as soon as the daemon answers or closes.
                    s.settimeout(period)
                    try:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        got += chunk
                        break
                    except socket.timeout:
                        pass
                    if time.monotonic() - start > max_secs + 5:
                        break
                    try:
                        s.sendall(rest[i:i + 1])
                    except OSError:
                        break
                s.settimeout(max(1.0, max_secs + 10 - (time.monotonic() - start)))
                got, how = read_until_closed(s, got)
            except socket.timeout:
                how = "timeout"
            except OSError:
                how = "reset"
            finally:
                s.close()
            check(self.tally, category, got, how, time.monotonic() - start, expected=expect,
                  allowed=allowed, max_secs=max_secs, min_secs=min_secs)

        full = http(synth_req(self.ids.take(), 1, [E_NONE]))
        cut = full.index(b"\r\n\r\n") + 4
        for _ in range(reps):
            threads.append(threading.Thread(target=trickle, args=(
                "slow: request head at a byte a second", b"", full, None, ("400", "400 + reset"),
                5.0)))
            # The whole request must arrive within 30 s, however it trickles in.
            threads.append(threading.Thread(target=trickle, args=(
                "slow: body at a byte a second", full[:cut], full[cut:], None, ("400",), 40.0,
                25.0)))
            threads.append(threading.Thread(target=trickle, args=(
                "slow: connect and stay silent", b"", b"\0" * 60, None, ("400",), 40.0, 25.0,
                60.0)))
        # Slow but steady: a whole normal request at about 40 bytes a second is still served.
        for _ in range(2):
            if self.reserve_answer():
                req, resp = normal_pair(self.ids.take())
                cut2 = req.index(b"\r\n\r\n") + 4
                chunks = [req[cut2 + i:cut2 + i + 8] for i in range(0, len(req) - cut2, 8)]
                threads.append(threading.Thread(target=self._steady, args=(req[:cut2], chunks, resp)))
        for t in threads:
            t.start()
        return threads

    def _steady(self, head, chunks, resp):
        category = "slow: normal request at 40 bytes a second"
        s = socket.socket()
        s.settimeout(60)
        start = time.monotonic()
        got = b""
        how = "closed"
        try:
            s.connect(("127.0.0.1", self.main_port))
            s.sendall(head)
            for c in chunks:
                time.sleep(0.2)
                s.sendall(c)
            got, how = read_until_closed(s)
        except socket.timeout:
            how = "timeout"
        except OSError:
            how = "reset"
        finally:
            s.close()
        check(self.tally, category, got, how, time.monotonic() - start, expected=resp,
              allowed=("200 exact",))

    def proxy_faults(self, reps):
        """Requests whose proxies drop the connection mid-reply or never answer."""
        threads = []

        def one(category, eps, max_secs, min_secs=None, timeout=None):
            req = http(synth_req(self.ids.take(), 1, eps))
            got, how, secs = exchange(self.main_port, req, timeout=timeout or max_secs + 20)
            check(self.tally, category, got, how, secs, max_secs=max_secs, min_secs=min_secs)

        for _ in range(reps):
            threads.append(threading.Thread(target=one, args=(
                "proxy closes mid-reply", [E_CLOSE], 10.0)))
            threads.append(threading.Thread(target=one, args=(
                "proxy answers, next proxy closes mid-reply", [E_OK, E_CLOSE], 10.0)))
        # The daemon gives one proxy exchange ESM_PROXY_TIMEOUT (10 s by default), then answers
        # with the error response.
        for _ in range(max(1, reps // 2)):
            threads.append(threading.Thread(target=one, args=(
                "proxy never answers", [E_HANG], 20.0, 9.0)))
        for t in threads:
            t.start()
        return threads

    def da_faults(self, reps, final=False):
        """The other daemons: their Directory Agent is down, silent, babbling, or behind two bad
        ones in the daemon's list."""
        threads = []
        a = self.args
        suffix = " (after the load)" if final else ""

        def one(port, category, expect_ok, max_secs):
            if expect_ok:
                req, resp = normal_pair(self.ids.take())
                got, how, secs = exchange(port, req, timeout=max_secs + 20)
                check(self.tally, category + suffix, got, how, secs, expected=resp,
                      allowed=("200 exact",), max_secs=max_secs)
            else:
                req = http(synth_req(self.ids.take(), 1, [E_OK]))
                got, how, secs = exchange(port, req, timeout=max_secs + 20)
                check(self.tally, category + suffix, got, how, secs, max_secs=max_secs)

        for _ in range(reps):
            threads.append(threading.Thread(target=one, args=(
                a.down_port, "DA down (nothing listens)", False, 10.0)))
            threads.append(threading.Thread(target=one, args=(
                a.silent_port, "DA never answers", False, 20.0)))
            threads.append(threading.Thread(target=one, args=(
                a.babble_port, "DA answers garbage", False, 20.0)))
        for _ in range(max(1, reps // 4)):
            threads.append(threading.Thread(target=one, args=(
                a.list_port, "DA list: down, silent, then the real one", True, 40.0)))
        for t in threads:
            t.start()
        return threads

    def compute_node(self):
        if not self.reserve_answer():
            return
        req, resp = abone_pair(self.ids.take())
        got, how, secs = exchange(self.main_port, req, timeout=60)
        check(self.tally, "compute node launched through the node loader", got, how, secs,
              expected=resp, allowed=("200 exact",), min_secs=9.5, max_secs=40)

    # -- bounded cost per request (the "bounded" daemon: default budget and cap, monitor set) --

    def refuse_early(self, category, req):
        """A request that must be refused at once, before any lookup; returns its time."""
        got, how, secs = exchange(self.args.bounded_port, req, timeout=30)
        check(self.tally, category, got, how, secs, max_secs=2.0)
        return secs

    def unbacked_and_capped(self, figures):
        """Counts the lists do not back, and more entries than the cap: each refused at once,
        and the Directory Agent and the monitor hear nothing of them."""
        ident = self.ids.take
        phantom = synth_req(ident(), 1, [], num=100000)
        figures["phantom"] = (len(phantom) + 1, self.refuse_early(
            "refused at once: phantom endpoints (num=100000, no entries)", http(phantom)))
        for num in ("0", "", "abc"):
            # Once answered 200 OK with no transport and no proxy set up.
            self.refuse_early('refused at once: num="%s" with three endpoints' % num,
                              http(synth_req(ident(), 1, [E_CAP] * 3, num=num)))
        big = synth_req(ident(), 1, [E_CAP] * 5000)
        figures["cap"] = (len(big) + 1, self.refuse_early(
            "refused at once: 5000 endpoints (the cap is 1024)", http(big)))
        self.refuse_early("refused at once: 1025 endpoints and zones",
                          http(synth_req(ident(), 1, [E_CAP] * 1024, [ZONE])))
        # What the Directory Agent and the monitor saw of them: nothing.
        time.sleep(0.5)
        lookups = [l for l in read_lines(self.args.da_log)
                   if "addr=%s)" % E_CAP in l or "addr=0.0.0.0)" in l]
        notes = [l for l in read_lines(self.args.monitor_out) if E_CAP in l or "0.0.0.0" in l]
        figures["lookups"] = len(lookups)
        figures["notifications"] = len(notes)
        if lookups or notes:
            self.tally.fail("refused requests reached the Directory Agent (%d lookups) or the "
                            "monitor (%d notifications)" % (len(lookups), len(notes)))

    def memory_under_load(self, figures):
        """Requests that would each cost hundreds of megabytes, many at once, against the budget
        of 1 GiB: the daemon's peak must stay within the budget plus 256 MiB, and normal
        requests must still be answered within a second."""
        init = ('<?xml version="1.0"?>\n<SynthInit><id>1</id><version>1</version>' +
                '<l num="1048576"/>' * 5 + "<moviename>m</moviename></SynthInit>\n").encode()
        huge = http(b"<r>" + b"<e/>" * (15 << 20) + b"</r>", nul=False)  # 60 MiB
        dense = http(b"<r>" + b"<e/> " * ((4 << 20) // 5) + b"</r>", nul=False)  # 4 MiB
        # The amplified lists and the huge bodies of the findings...
        self.wave(figures, "amplified", [
            ("budget: 16 SynthInits announcing 5 x 1048576 entries (%d bytes)" % len(init),
             http(init))] * 16 + [("budget: two bodies of 60 MiB of <e/>", huge)] * 2)
        # ...and bodies whose trees are really built: elements one blank apart, the costliest
        # tree per byte (about 205 MiB each), more of them than the budget holds.
        self.wave(figures, "trees", [
            ("budget: six bodies of 4 MiB of '<e/> ' at once", dense)] * 6)

    def wave(self, figures, name, jobs):
        port, pid = self.args.bounded_port, self.args.bounded_pid
        st = proc_status(pid)
        if st is None:
            self.tally.fail("the bounded daemon is not running")
            return
        sampler = Sampler(pid)
        sampler.start()

        def one(job):
            got, how, secs = exchange(port, job[1], timeout=60)
            check(self.tally, job[0], got, how, secs, max_secs=30.0)

        threads = [threading.Thread(target=one, args=(j,)) for j in jobs]
        start = time.monotonic()
        for t in threads:
            t.start()
        # Normal requests meanwhile, a few tenths of a second apart.
        times = []
        while (any(t.is_alive() for t in threads) and time.monotonic() < start + 60 and
               len(times) < 10):
            time.sleep(0.3)
            req, resp = normal_pair(self.ids.take())
            got, how, secs = exchange(port, req, timeout=30)
            check(self.tally, "budget: normal request meanwhile", got, how, secs, expected=resp,
                  allowed=("200 exact",), max_secs=1.0)
            times.append(secs)
        for t in threads:
            t.join(max(0.1, start + 60 - time.monotonic()))
            if t.is_alive():
                self.tally.fail("budget: a request was still running after 60 s")
        sampler.stop()
        sampler.join()
        figures[name] = (st[0], sampler.peak_rss, times, time.monotonic() - start)
        bound = (1024 + 256) * 1024
        if not self.args.memory_report_only and sampler.peak_rss > bound:
            self.tally.fail("budget: peak VmRSS %s above the budget plus 256 MiB (%s)" %
                            (mib(sampler.peak_rss), mib(bound)))
        if not times:
            self.tally.fail("budget: no normal request was sent while the load ran")

    def monitor_checks(self, figures):
        """gnp-monitor: a trickling sender is cut 5 s after its first byte and holds nobody
        else up; NUL and control bytes are printed escaped."""
        addr = (self.args.monitor_addr, 5646)
        lines_before = len(read_lines(self.args.monitor_out))
        s = socket.create_connection(addr, timeout=5)
        start = time.monotonic()
        cut = None
        stop = threading.Event()

        def trickle():
            nonlocal cut
            try:
                for _ in range(15):
                    s.send(b"7")
                    if stop.wait(1.0):
                        break
                    s.settimeout(0.01)
                    try:
                        if s.recv(1) == b"":
                            cut = time.monotonic() - start
                            return
                    except socket.timeout:
                        pass
            except OSError:
                cut = time.monotonic() - start

        t = threading.Thread(target=trickle)
        t.start()
        time.sleep(0.5)
        sent = time.monotonic()
        for data in (b"128.2.1.7 2", b"a\0b\x1b[31m\\"):
            c = socket.create_connection(addr, timeout=5)
            c.sendall(data)
            c.close()
        want = ["128.2.1.7 2", "a\\x00b\\x1b[31m\\\\"]
        printed = None
        while time.monotonic() - sent < 3:
            new = read_lines(self.args.monitor_out)[lines_before:]
            if all(w in new for w in want):
                printed = time.monotonic() - sent
                break
            time.sleep(0.05)
        figures["monitor_printed"] = printed
        self.tally.add("gnp-monitor: notifications while a sender trickles", "printed"
                       if printed is not None else "not printed", printed or 3.0,
                       printed is not None and printed < 1.0,
                       "" if printed is not None else repr(read_lines(self.args.monitor_out)))
        t.join(20)
        stop.set()
        s.close()
        figures["monitor_cut"] = cut
        ok = cut is not None and 4.5 <= cut <= 7.0
        self.tally.add("gnp-monitor: a byte a second, cut 5 s after the first", "cut" if cut
                       else "never cut", cut or 15.0, ok)

    def bounded(self):
        figures = {}
        self.unbacked_and_capped(figures)
        self.memory_under_load(figures)
        self.monitor_checks(figures)
        return figures

    def print_bounded(self, f):
        def secs(key):
            return "%.3f s" % f[key][1] if key in f else "-"
        print("bounded cost per request (budget 1 GiB, cap 1024):")
        print("  refused at once: phantom request (%s bytes, num=100000) in %s; 5000 endpoints "
              "(%s bytes) in %s; Directory Agent lookups for them: %s, monitor notifications: %s"
              % (f.get("phantom", ("-",))[0], secs("phantom"), f.get("cap", ("-",))[0],
                 secs("cap"), f.get("lookups", "-"), f.get("notifications", "-")))
        for key, what in (("amplified", "16 amplified SynthInits + two 60 MiB bodies"),
                          ("trees", "six 4 MiB bodies of '<e/> '")):
            if key not in f:
                continue
            before, peak, normal, secs = f[key]
            print("  %s at once: VmRSS before %s, peak %s (bound %s); %d normal requests "
                  "meanwhile, slowest %.3f s, median %.3f s; over in %.1f s"
                  % (what, mib(before), mib(peak), mib((1024 + 256) * 1024), len(normal),
                     max(normal) if normal else 0, statistics.median(normal) if normal else 0,
                     secs))
        cut, printed = f.get("monitor_cut"), f.get("monitor_printed")
        print("  gnp-monitor: trickler cut after %s; other notifications printed after %s"
              % ("%.1f s" % cut if cut else "never", "%.2f s" % printed if printed else "never"))

    # -- the whole run --

    def settle(self, baseline_threads, extra_threads, seconds):
        """Waits until the main daemon's threads are back to baseline (+ extra still held)."""
        end = time.monotonic() + seconds
        st = proc_status(self.main_pid)
        while st is not None and st[1] > baseline_threads + extra_threads and time.monotonic() < end:
            time.sleep(0.2)
            st = proc_status(self.main_pid)
        return st

    def memory_after(self, bound_kib, seconds):
        """Waits up to `seconds` for VmRSS to fall to bound_kib; returns the last value."""
        end = time.monotonic() + seconds
        while True:
            st = proc_status(self.main_pid)
            if st is None:
                return None
            if st[0] <= bound_kib or time.monotonic() >= end:
                return st[0]
            time.sleep(0.5)

    def round(self, n, sent):
        scale = 3 if self.long else 1
        stop = threading.Event()
        ticker = threading.Thread(target=self.ticker, args=(stop, 20 if self.long else 3))
        ticker.start()
        waits = []
        waits += self.proxy_faults(4 * scale)
        waits += self.da_faults(4 * scale)
        waits += self.slow(5 * scale)
        abone = threading.Thread(target=self.compute_node)
        abone.start()
        waits.append(abone)
        sent["storm"] += self.storm(scale)
        self.flood(idle=1000 if not self.long else 2000, burst=2000 * scale)
        amp = threading.Thread(target=self.phantom, args=(200000 if self.long else 20000,))
        amp.start()
        waits.append(amp)
        deadline = time.monotonic() + (100 if self.long else 60)
        for t in waits:
            t.join(max(0.1, deadline - time.monotonic()))
        stop.set()
        ticker.join()
        for t in waits:
            if t.is_alive():
                self.tally.fail("round %d: a load thread was still running at the end of its "
                                "bounded wait" % n)

    def main(self):
        a = self.args
        print("== torture (%s) against esm-synthd pid %d on 127.0.0.1:%d" %
              (a.mode, self.main_pid, self.main_port), flush=True)
        started = time.monotonic()
        # Warm up every path once, so that one-time set-up is part of the baseline.
        for _ in range(3):
            self.normal("warm-up: normal request")
        exchange(self.main_port, http(synth_req(self.ids.take(), 1, [E_CLOSE])), timeout=20)
        exchange(self.main_port, http(b"<x/>"), timeout=20)
        time.sleep(1.0)
        st = proc_status(self.main_pid)
        if st is None:
            print("FAIL: the daemon is not running")
            return 1
        base_rss, base_threads, _ = st
        sampler = Sampler(self.main_pid)
        sampler.start()

        sent = collections.Counter()
        rounds = []
        end_at = started + (a.seconds if a.seconds else (720 if self.long else 0))
        n = 0
        while True:
            n += 1
            round_start = time.monotonic()
            self.round(n, sent)
            if not self.long:
                break
            st = self.settle(base_threads, 0, 30)
            rss_now = self.memory_after(0, 2) or 0
            rounds.append((n, time.monotonic() - round_start, rss_now, st[1] if st else -1))
            print("   round %d: %.0f s, VmRSS %s, threads %d" %
                  (n, rounds[-1][1], mib(rss_now), rounds[-1][3]), flush=True)
            if time.monotonic() + (time.monotonic() - round_start) > end_at:
                break

        load_end = time.monotonic()
        st = self.settle(base_threads, 0, 20)
        settled_threads = st[1] if st else -1
        bound = base_rss + a.rss_slack_mib * 1024
        after_rss = self.memory_after(bound, a.settle_seconds)
        sampler.stop()
        sampler.join()

        # Afterwards: alive, and a normal request answered byte for byte.
        self.normal("normal request after the load", final=True)
        self.normal("normal request after the load", final=True)
        for t in self.da_faults(1, final=True):
            t.join(60)
        if self.long:
            for t in [threading.Thread(target=self.compute_node)]:
                t.start()
                t.join(60)
        # Bounded cost per request, against a daemon of its own once the rest is over.
        bounded = self.bounded()
        for name, pid in (("main", self.main_pid), ("DA down", a.down_pid),
                          ("DA never answers", a.silent_pid), ("DA answers garbage", a.babble_pid),
                          ("DA list", a.list_pid), ("bounded", a.bounded_pid)):
            if not alive(pid):
                self.tally.fail("daemon '%s' (pid %d) is not running after the load" % (name, pid))

        # The summary.
        print()
        print("%-62s %7s  %s" % ("sent", "count", "answers (slowest)"))
        total = 0
        for cat in self.tally.order:
            c = self.tally.counts[cat]
            k = sum(c.values())
            total += k
            answers = ", ".join("%s x%d" % (name, cnt) for name, cnt in c.most_common())
            print("%-62s %7d  %s (%.1f s)" % (cat[:62], k, answers, max(self.tally.secs[cat])))
        print("%-62s %7d" % ("total exchanges", total))
        print()
        print("memory of esm-synthd (VmRSS): before %s, peak %s, after %s (bound %s = before + %d "
              "MiB, waited up to %d s)" % (mib(base_rss), mib(sampler.peak_rss),
                                          mib(after_rss or 0), mib(bound), a.rss_slack_mib,
                                          a.settle_seconds))
        print("threads of esm-synthd: before %d, peak %d, after the load %d" %
              (base_threads, sampler.peak_threads, settled_threads))
        if rounds:
            first = rounds[0][2]
            last = rounds[-1][2]
            print("settled VmRSS per round: " + ", ".join(mib(r[2]) for r in rounds))
            if last > first + a.round_growth_mib * 1024 and not a.memory_report_only:
                self.tally.fail("VmRSS grew from %s after round 1 to %s after round %d "
                                "(bound +%d MiB)" % (mib(first), mib(last), rounds[-1][0],
                                                     a.round_growth_mib))
        if after_rss is None:
            self.tally.fail("the daemon ended during the memory check")
        elif a.memory_report_only:
            print("memory bound not applied: the daemon runs under a sanitizer's allocator")
        elif after_rss > bound:
            self.tally.fail("VmRSS %s did not come down to %s within %d s" %
                            (mib(after_rss), mib(bound), a.settle_seconds))
        if settled_threads > base_threads:
            self.tally.fail("%d threads still running after the load (baseline %d)" %
                            (settled_threads, base_threads))
        self.print_bounded(bounded)
        print("answered synthesis requests on the main daemon: %d (it ends after 101); normal "
              "requests left out to stay below that: %d" % (self.answered_main, self.skipped))
        print("duration: load %.0f s, whole run %.0f s" % (load_end - started,
                                                           time.monotonic() - started))
        if self.tally.failures:
            print()
            print("FAIL (%d):" % len(self.tally.failures))
            for f in self.tally.failures[:60]:
                print("  " + f)
            return 1
        print("PASS")
        return 0


# ---- Fake Directory Agents and helpers --------------------------------------------------------

def read_lines(path):
    try:
        with open(path, errors="replace") as f:
            return f.read().splitlines()
    except OSError:
        return []


def udp_agent(addr, babble):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 0))
    print("%s listening on %s:%d" % ("babble-da" if babble else "silent-da", addr,
                                     s.getsockname()[1]), file=sys.stderr, flush=True)
    rng = random.Random(4)
    while True:
        data, peer = s.recvfrom(65536)
        if babble:
            # Garbage, sometimes behind a plausible SLPv2 SrvRply header with the request's xid.
            junk = rng.randbytes(rng.randint(0, 200))
            if len(data) >= 12 and rng.random() < 0.5:
                junk = bytes([2, 2]) + struct.pack(">I", 14 + len(junk))[1:] + b"\0\0\0\0\0" + \
                    data[10:12] + b"\0\2en" + junk
            s.sendto(junk, peer)
        print("%s: datagram of %d bytes from %s:%d" % ("babble-da" if babble else "silent-da",
                                                       len(data), peer[0], peer[1]),
              file=sys.stderr, flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    sub.add_parser("setup").add_argument("dir")
    sub.add_parser("free-port").add_argument("addr")
    sub.add_parser("silent-da").add_argument("addr")
    sub.add_parser("babble-da").add_argument("addr")
    at = sub.add_parser("attack")
    at.add_argument("--mode", choices=("short", "long"), default="short")
    at.add_argument("--seconds", type=int, default=0, help="long mode: run rounds this long")
    at.add_argument("--main-port", type=int, required=True)
    at.add_argument("--main-pid", type=int, required=True)
    for name in ("down", "silent", "babble", "list", "bounded"):
        at.add_argument("--%s-port" % name, type=int, required=True)
        at.add_argument("--%s-pid" % name, type=int, required=True)
    at.add_argument("--da-log", required=True, help="the Directory Agent's log")
    at.add_argument("--monitor-out", required=True, help="gnp-monitor's standard output")
    at.add_argument("--monitor-addr", default=MONITOR)
    at.add_argument("--rss-slack-mib", type=int, default=16)
    at.add_argument("--round-growth-mib", type=int, default=8)
    at.add_argument("--settle-seconds", type=int, default=15)
    at.add_argument("--memory-report-only", action="store_true",
                    help="print the memory figures without a bound (sanitizer builds)")
    a = p.parse_args()

    if a.cmd == "setup":
        with open(a.dir + "/slp.reg", "w") as f:
            f.write(reg_file())
        with open(a.dir + "/gnp.coords", "w") as f:
            f.write("%s %s\n" % (E_ABONE, COORDS))
        return 0
    if a.cmd == "free-port":
        s = socket.socket()
        s.bind((a.addr, 0))
        print(s.getsockname()[1])
        s.close()
        return 0
    if a.cmd in ("silent-da", "babble-da"):
        try:
            udp_agent(a.addr, a.cmd == "babble-da")
        except KeyboardInterrupt:
            pass
        return 0
    return Run(a).main()


if __name__ == "__main__":
    sys.exit(main())
