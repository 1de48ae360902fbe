#!/usr/bin/python3
"""vettrix-service as the network meets it: the real program on loopback, a client that floods,
dribbles, breaks the protocol and gets killed in the middle, and the operator's commands.

usage: service_test.py PATH_TO_VETTRIX_SERVICE PATH_TO_SHIPPED_DATABASE
"""

import errno
import hashlib
import html
import http.client
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse
import urllib.request
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import Service, as_nobody, database, free_port, request, until  # noqa: E402

SERVICE = sys.argv.pop(1) if len(sys.argv) > 1 else "vettrix-service"
SHIPPED = sys.argv.pop(1) if len(sys.argv) > 1 else "data/mobidex.csv"
STAMPED = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z "  # a log line's time, when not in the journal


def command(folder, *args):
    return subprocess.run([SERVICE, "--data", folder, *args], capture_output=True, timeout=60)


def unread(port, client):
    """Whether bytes sent on `client` have not yet been read by the service listening on `port`:
    on their way, or waiting in its socket (/proc/net/tcp's queues)."""
    end = lambda p: "0100007F:%04X" % p
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    queues = {(r[1], r[2]): [int(q, 16) for q in r[4].split(":")] for r in rows}
    return queues[end(client.getsockname()[1]), end(port)][0] + queues[end(port), end(client.getsockname()[1])][1] > 0


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.folder = self.dir.name
        self.services = []

    def tearDown(self):
        for service in self.services:
            if not service.log.closed:
                service.stop(signal.SIGKILL)
        self.dir.cleanup()

    def start(self, *args, db=None, **settings):
        self.services.append(Service(SERVICE, self.folder, *args, db=db, **settings))
        return self.services[-1]

    def test_endpoints_and_their_headers(self):
        shipped = Path(SHIPPED).read_bytes()
        service = self.start("--program-version", "21400", db=shipped)
        digest = hashlib.sha256(shipped).hexdigest()
        cases = [  # method, path, headers, status, body (None: not compared), type
            ("GET", "/ver", {}, 200, b"21400\r\n", "text/plain"),
            ("GET", "/dbver", {}, 200, b"261206\r\n", "text/plain"),
            ("GET", "/mobidex.csv", {}, 200, shipped, "text/csv"),
            ("HEAD", "/mobidex.csv", {}, 200, b"", "text/csv"),
            ("GET", "/mobidex.csv", {"If-None-Match": '"%s"' % digest}, 304, b"", None),
            ("GET", "/mobidex.csv.sha256", {}, 200, b"%s  mobidex.csv\n" % digest.encode(), "text/plain"),
            ("GET", "/", {}, 200, None, "text/html"),
            ("GET", "/?imei=", {}, 200, None, "text/html"),
            ("GET", "/?imei=35-209900-176148-1", {}, 200, None, "text/html"),
            ("GET", "/style.css", {}, 200, None, "text/css"),
            ("GET", "/nothing", {}, 404, None, "text/html"),
            ("PUT", "/ver", {}, 405, None, "text/html"),
            ("GET", "/api/v1/imei/35209900%201761481", {}, 200, None, "application/json"),
            ("GET", "/api/v1/imei/", {}, 400, None, "application/json"),
            ("GET", "/api/v1/tac/35209900", {}, 200, None, "application/json"),
            ("GET", "/api/v1/tac/87654321", {}, 404, None, "application/json"),
            ("GET", "/api/v1/tac/3520990", {}, 400, None, "application/json"),
            ("GET", "/api/v1/imei/%ZZ", {}, 400, None, "application/json"),
            ("GET", "/api/v1/tac", {}, 405, None, "application/json"),
            ("PUT", "/api/v1/submissions", {}, 405, None, "application/json"),
            ("GET", "/api/v1/", {}, 200, None, "application/json"),
            ("HEAD", "/api/v1/openapi.json", {}, 200, b"", "application/json"),
            ("GET", "/api/v1/nothing", {}, 404, None, "application/json"),
            ("GET", "/api/v2", {}, 404, None, "application/json"),
            ("DELETE", "/api/v1/database", {}, 405, None, "application/json"),
            ("OPTIONS", "/api/v1/imei", {"Origin": "http://elsewhere.example", "Access-Control-Request-Method": "POST"}, 204, b"", None),
            ("OPTIONS", "/api/v1/submissions", {}, 405, None, "application/json"),
            ("GET", "/healthz", {}, 200, b"ok\n", "text/plain"),
            ("HEAD", "/readyz", {}, 200, b"", "text/plain"),
            ("POST", "/readyz", {}, 405, None, "text/plain"),
            ("GET", "/metrics", {}, 404, None, "text/html"),  # not on the public port unless asked
        ]
        for method, path, headers, status, body, kind in cases:
            response, data = service.request(method, path, headers=headers)
            self.assertEqual(response.status, status, path)
            if body is not None:
                self.assertEqual(data, body, path)
            if kind:
                self.assertTrue(response.getheader("Content-Type").startswith(kind), path)
            # Pages on other sites may read every lookup, but no page of the service and no submission.
            shared = path.startswith("/api") and path != "/api/v1/submissions"
            self.assertEqual(response.getheader("Access-Control-Allow-Origin"), "*" if shared else None, path)
            self.assertEqual(response.getheader("X-Content-Type-Options"), "nosniff", path)
            self.assertEqual(response.getheader("Referrer-Policy"), "no-referrer", path)
            self.assertIn("default-src 'none'", response.getheader("Content-Security-Policy"), path)
            self.assertIsNone(response.getheader("Set-Cookie"), path)
        response, _ = service.request("HEAD", "/mobidex.csv")
        self.assertEqual(int(response.getheader("Content-Length")), len(shipped))
        self.assertEqual(response.getheader("ETag"), '"%s"' % digest)
        record = json.loads(service.request("GET", "/api/v1/imei/35209900%201761481")[1])
        self.assertEqual((record["verdict"], record["manufacturer"], record["model"]), ("valid", "Alcatel", "One Touch 332"))
        page = service.request("GET", "/?imei=35-209900-176148-1")[1].decode()
        self.assertIn('id="verdict">VALID<', page)
        self.assertIn('id="manufacturer">Alcatel<', page)
        # A TAC alone: the record and the page name the same device and say the same.
        record = json.loads(service.request("GET", "/api/v1/imei/35-209900")[1])
        page = service.request("GET", "/?imei=35-209900")[1].decode()
        self.assertEqual((record["verdict"], record["manufacturer"], record["reporting_body_code"]), ("invalid", "Alcatel", "35"))
        self.assertIn('id="verdict">INVALID<', page)
        for field, element in (("tac", "tac"), ("manufacturer", "manufacturer"), ("model", "model"), ("reporting_body", "reporting-body")):
            self.assertIn('id="%s">%s<' % (element, html.escape(record[field])), page)
        preflight = service.request("OPTIONS", "/api/v1/tac", headers={"Access-Control-Request-Headers": "content-type"})[0]
        self.assertEqual((preflight.getheader("Access-Control-Allow-Methods"), preflight.getheader("Access-Control-Allow-Headers")), ("POST", "Content-Type"))
        self.assertGreater(int(preflight.getheader("Access-Control-Max-Age")), 0)
        self.assertIn(b'href="/api/v1/openapi.json"', service.request("GET", "/")[1])

    def test_batches_answer_as_single_lookups_do_within_the_same_limits(self):
        service = self.start()
        texts = ["35-209900-176148-1", "352099001761482", "35209900", "35209900176148", "3520990017614801",
                 "12345678901234a", "<b>x</b>", "\u0663\u0665\u0662\u0660", "  ", "", "%41/\u00e9", "9" * 5000]
        response, data = service.request("POST", "/api/v1/imei", json.dumps({"imeis": texts + [35209900]}), {"Content-Type": "application/json"})
        self.assertEqual(response.status, 200)
        *results, not_text = json.loads(data)["results"]
        self.assertEqual(not_text["code"], "not_a_text")
        answer = json.loads(service.request("POST", "/api/v1/tac", '{"tacs": ["35209900", "87654321", 7, "x"]}', {"Content-Type": "application/json"})[1])
        self.assertEqual([r.get("model", r.get("code")) for r in answer["results"]], ["One Touch 332", "not_in_database", "bad_tac", "bad_tac"])
        for text, record in zip(texts, results, strict=True):
            self.assertEqual(record["input"], text)
            if text:  # an empty text has no address of its own
                self.assertEqual(record, json.loads(service.request("GET", "/api/v1/imei/" + urllib.parse.quote(text, safe=""))[1]), text)
        cases = [  # body, content type, status, code of the error
            (json.dumps({"KEY": ["35209900"] * 1000}), "application/json; charset=utf-8", 200, None),
            (json.dumps({"KEY": ["35209900"] * 1001}), "application/json", 413, "too_many_items"),
            ('{"KEY": []}', "application/json", 400, "empty_list"),
            ('{"KEY": "35209900"}', "application/json", 400, "bad_shape"),
            ('{"KEY": [', "application/json", 400, "not_json"),
            ('{"KEY": ["\\ud800"]}', "application/json", 400, "not_json"),  # half a surrogate pair
            ('{"KEY": ["\xff"]}', "application/json", 400, "not_json"),  # no UTF-8
            ("[" * 100000 + "]" * 100000, "application/json", 400, "too_deep"),
            ('{"KEY": ["35209900"]}', "text/plain", 415, "unsupported_media_type"),
        ]
        for path, key in (("/api/v1/imei", "imeis"), ("/api/v1/tac", "tacs")):
            for body, kind, status, code in cases:
                response, data = service.request("POST", path, body.replace("KEY", key).encode("latin-1"), {"Content-Type": kind})
                answer = json.loads(data)
                self.assertEqual((response.status, answer.get("code")), (status, code), (path, body[:40]))
                self.assertEqual(response.getheader("Access-Control-Allow-Origin"), "*")
                if status == 200:
                    self.assertEqual(len(answer["results"]), 1000)

    def test_hostile_requests_get_a_clear_status_and_the_service_stays_up(self):
        service = self.start("--request-timeout", "2")
        big_form = b"tac=" + b"1" * (64 << 10)
        chunked = b"POST /api/v1/tac HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
        keys = ('{%s,"tacs":["35209900"]}' % ",".join('"k%d":1' % i for i in range(60000))).encode()
        cases = [  # name, bytes sent, status expected
            ("a long request line", b"GET /?imei=" + b"1" * (17 << 10) + b" HTTP/1.1\r\nHost: x\r\n\r\n", 431),
            ("a header flood", b"GET / HTTP/1.1\r\nHost: x\r\n" + b"X-A: b\r\n" * 3000 + b"\r\n", 431),
            ("one huge header", b"GET / HTTP/1.1\r\nHost: x\r\nX-A: " + b"b" * (20 << 10) + b"\r\n\r\n", 431),
            ("a form over 64 KiB", b"POST /submit HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n" % len(big_form) + big_form, 413),
            ("an API body over 1 MiB", b"POST /api/v1/tac HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 1048577\r\n\r\n", 413),
            ("a long API address", b"GET /api/v1/imei/" + b"1" * (17 << 10) + b" HTTP/1.1\r\nHost: x\r\n\r\n", 431),
            ("a NUL in a header on the API", b"GET /api/v1/database HTTP/1.1\r\nHost: x\r\nX-A: a\x00b\r\n\r\n", 400),
            ("a body on an API GET", b"GET /api/v1/tac/35209900 HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 413),
            ("a submission over 64 KiB", b"POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 65537\r\n\r\n", 413),
            ("an endless chunked form", b"POST /submit HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + b"4000\r\n" + b"a" * 0x4000 + b"\r\n" * 1 + (b"4000\r\n" + b"a" * 0x4000 + b"\r\n") * 8, 413),
            ("an endless chunk extension", chunked + b"1;a=" + b"b" * (64 << 10), 413),
            ("endless trailers", chunked + b"0\r\n" + b"a: b\r\n" * 10000, 413),
            ("an endless chunk size", chunked + b"0" * (64 << 10), 413),
            ("101 header fields", b"GET /ver HTTP/1.1\r\nHost: x\r\n" + b"a: b\r\n" * 100 + b"\r\n", 431),
            ("the header block in one send", b"GET /ver HTTP/1.1\r\nHost: x\r\n" + b"a:b\r\n" * 20000 + b"\r\n", 431),
            ("an object of 60,000 members", b"POST /api/v1/tac HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(keys) + keys, 413),
            ("no Host", b"GET /ver HTTP/1.1\r\n\r\n", 400),
            ("two Hosts", b"GET /ver HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400),
            ("an absolute-form target", b"GET http://x/ver HTTP/1.1\r\nHost: x\r\n\r\n", 200),
            ("a body on a GET", b"GET /ver HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 413),
            ("not HTTP", b"GARBAGE\r\n\r\n", 400),
            ("a bad version", b"GET / HTTP/9.9\r\nHost: x\r\n\r\n", 400),
            ("a NUL in a header", b"GET / HTTP/1.1\r\nHost: x\r\nX-A: a\x00b\r\n\r\n", 400),
            ("a bad percent-encoding", b"GET /?imei=%zz HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            ("a lone percent", b"GET /?imei=12% HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            ("invalid UTF-8", b"GET /?imei=%ff%fe HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            ("invalid UTF-8 in the API", b"GET /api/v1/imei/%c3%28 HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            ("HTTP/1.0", b"GET /ver HTTP/1.0\r\n\r\n", b"HTTP/1.0 200 "),
            ("two requests in one go", b"GET /ver HTTP/1.1\r\nHost: x\r\n\r\nGET /dbver HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200),
        ]
        for name, data, status in cases:
            answer = service.raw(data)
            expected = status if isinstance(status, bytes) else b"HTTP/1.1 %d " % status
            self.assertTrue(answer.startswith(expected), "%s: %r" % (name, answer[:80]))
        self.assertEqual(service.raw(cases[-1][1], answers=2).count(b"HTTP/1.1 200"), 2)
        self.assertEqual(service.request("GET", "/ver")[0].status, 200)
        self.assertIsNone(service.process.poll())

    def test_slow_and_idle_clients_are_dropped_and_do_not_hold_others_up(self):
        service = self.start("--request-timeout", "1", "--idle-timeout", "1")
        dribblers = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(50)]
        for s in dribblers:
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        idle = socket.create_connection(("127.0.0.1", service.port))
        self.assertEqual(service.request("GET", "/ver")[0].status, 200)  # others are served meanwhile

        def dropped(s):  # a byte every 20 ms keeps nothing open past its deadline
            try:
                s.sendall(b"X")
                self.assertEqual(s.recv(1, socket.MSG_DONTWAIT), b"")  # without a word
                return True
            except BlockingIOError:
                return False
            except (BrokenPipeError, ConnectionResetError):
                return True

        self.assertTrue(until(lambda: all([dropped(s) for s in dribblers]), 5))
        idle.settimeout(3)
        self.assertEqual(idle.recv(1), b"")  # closed without a word after the idle timeout
        for s in dribblers + [idle]:
            s.close()

    def test_connections_beyond_the_cap_are_told_to_come_back(self):
        service = self.start("--max-connections", "3")
        held = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(3)]
        answer = lambda: service.raw(b"GET /api/v1/database HTTP/1.1\r\nHost: x\r\n\r\n")  # JSON, as the API's
        self.assertTrue(until(lambda: answer().startswith(b"HTTP/1.1 503 ")))  # once the three are taken
        self.assertIn(b"Retry-After: 1", answer())
        for s in held:
            s.close()
        self.assertTrue(until(lambda: service.request("GET", "/ver")[0].status == 200))
        service.stop()
        # The cap stays below what the process may open: the soft limit is raised to the hard one,
        # and what the hard one cannot hold is told to come back, never left without an answer.
        # Should descriptors run out all the same (lowered under it here), it still answers.
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        for files, lowered, answers in (((64, min(hard, 4096)), None, {200}), ((64, 64), None, {200, 503}),
                                        (None, (40, 40), {200, 503})):
            service = self.start(files=files)
            if lowered and service.sanitized():
                break  # the sanitizers, out of descriptors too, report faults that are not
            if lowered:
                resource.prlimit(service.process.pid, resource.RLIMIT_NOFILE, lowered)
            held = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(100)]
            for s in held:
                s.sendall(b"GET /ver HTTP/1.1\r\nHost: x\r\n\r\n")
            seen = set()
            for s in held:  # each kept open until all are answered, as many clients at once do
                s.settimeout(5)
                answer = s.recv(4096)
                seen.add(int(answer[9:12]))
                if answer.startswith(b"HTTP/1.1 503 "):
                    self.assertIn(b"Retry-After: 1", answer)
            for s in held:
                s.close()
            self.assertEqual(seen, answers, files)
            self.assertLessEqual(service.read_log().count("accept:"), 1)  # once a minute at most
            service.stop()

    def test_an_acknowledged_submission_survives_kill_and_restart(self):
        service = self.start("--submissions-per-hour", "3")
        form = "tac=87654321&manufacturer=Acme&model=Phone&source=a+shop+sign&note=ask+Ann+Smith"
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        response, _ = service.request("POST", "/submit", form, headers)
        self.assertEqual(response.status, 303)
        location = response.getheader("Location")
        service.stop(signal.SIGKILL)
        service = self.start("--submissions-per-hour", "3")
        response, page = service.request("GET", location)
        self.assertEqual(response.status, 200)
        self.assertIn(b'id="submitted-model">Phone<', page)
        # Anyone may read any reference: the source and the note stay with the operator.
        self.assertNotIn(b"shop sign", page)
        self.assertNotIn(b"Ann Smith", page)
        listed = json.loads(command(self.folder, "submissions", "--format", "json").stdout)
        reference = int(location.rsplit("/", 1)[1])
        self.assertEqual([(s["id"], s["model"], s["status"]) for s in listed], [(reference, "Phone", "pending")])
        # Its public fields by JSON: not its source or note.
        self.assertEqual(json.loads(service.request("GET", "/api/v1/submissions/%d" % reference)[1]),
                         {"id": reference, "tac": "87654321", "manufacturer": "Acme", "model": "Phone", "status": "pending"})
        # The form and JSON share the store and the rate limit, which counts the attempts from
        # before the restart too.
        sent = {"tac": "87654321", "manufacturer": "Acme", "model": "Phone", "source": "box", "note": "n"}
        attempts = [(json.dumps(sent), 200), (json.dumps(dict(sent, model="Phone 2")), 201), (form, 429), ("{}", 429)]
        for body, status in attempts:
            kind = "application/json" if body.startswith("{") else headers["Content-Type"]
            response, data = service.request("POST", "/api/v1/submissions" if body.startswith("{") else "/submit", body, {"Content-Type": kind})
            self.assertEqual(response.status, status, body)
            self.assertIsNone(response.getheader("Access-Control-Allow-Origin"))
            if status == 200:  # the same device waits already: its reference
                self.assertEqual(json.loads(data), {"id": reference, "status": "pending"})
            if status == 201:
                self.assertEqual(response.getheader("Location"), "/api/v1/submissions/%d" % (reference + 1))
        self.assertGreater(int(response.getheader("Retry-After")), 3000)
        self.assertEqual(json.loads(service.request("POST", "/api/v1/submissions", attempts[0][0], {"Content-Type": "application/json"})[1])["code"], "too_many_submissions")
        listed = json.loads(command(self.folder, "submissions", "--format", "json").stdout)
        self.assertEqual([(s["id"], s["model"]) for s in listed], [(reference, "Phone"), (reference + 1, "Phone 2")])

    def test_a_database_that_does_not_fit_in_memory_leaves_the_instance_serving(self):
        service = self.start()
        if service.sanitized():
            self.skipTest("AddressSanitizer ends a process whose memory is refused")
        with open("/proc/%d/status" % service.process.pid) as f:
            size = int(re.search(r"VmSize:\s+(\d+) kB", f.read()).group(1)) << 10
        resource.prlimit(service.process.pid, resource.RLIMIT_AS, (size + (24 << 20), resource.RLIM_INFINITY))
        path = os.path.join(self.folder, "big.csv")
        Path(path).write_bytes(database("v1.00.0002", "".join("%08d,%s,%s\r\n" % (10000000 + n, "M" * 150, "X" * 150) for n in range(99000))))
        self.assertEqual(command(self.folder, "publish", path).returncode, 0)
        self.assertIn("not memory enough", service.log_once_it_has("not memory enough"))
        self.assertEqual(service.request("GET", "/dbver")[1], b"000001\r\n")
        # Given the memory, it serves the new one at its next look.
        resource.prlimit(service.process.pid, resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        self.assertIn("serving the database v1.00.0002", service.log_once_it_has("serving the database v1.00.0002"))
        self.assertEqual(service.request("GET", "/dbver")[1], b"000002\r\n")

    def test_the_hourly_limit_counts_clients_behind_a_trusted_proxy(self):
        # A dual-stack listener sees the proxy as ::ffff:127.0.0.1, within the range trusted.
        service = self.start("--submissions-per-hour", "1", "--trusted-proxy", "127.0.0.0/8", listen="[::]:0")
        cases = [  # client named by the proxy, status (400: the form is refused, but counted)
            ("192.0.2.1", 400), ("192.0.2.1", 429), ("192.0.2.2", 400),
            ("2001:db8::1", 400), ("2001:db8::2", 429),  # one subscriber's /64
            ("2001:db8:0:1::1", 400),
        ]
        for client, status in cases:
            response, _ = service.request("POST", "/submit", "tac=1", {"Content-Type": "application/x-www-form-urlencoded",
                                                                         "X-Forwarded-For": "198.51.100.7, " + client})
            self.assertEqual(response.status, status, client)

    def test_publish_under_a_steady_stream_of_requests(self):
        service = self.start("--threads", "2")
        failures, answers = [], []
        stop = threading.Event()

        def hammer():
            connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=10)
            while not stop.is_set():
                try:
                    for path in ("/api/v1/database", "/mobidex.csv"):
                        connection.request("GET", path)
                        response = connection.getresponse()
                        data = response.read()
                        if response.status != 200:
                            failures.append((path, response.status))
                        elif path == "/mobidex.csv":
                            # The bytes and their ETag come from one publication.
                            if response.getheader("ETag") != '"%s"' % hashlib.sha256(data).hexdigest():
                                failures.append(("mixed", path))
                        else:
                            answers.append(json.loads(data)["version_number"])
                except (OSError, http.client.HTTPException) as e:
                    failures.append(("error", repr(e)))
                    connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=10)
            connection.close()

        threads = [threading.Thread(target=hammer) for _ in range(4)]
        for t in threads:
            t.start()
        versions = ["v1.00.%04d" % n for n in range(2, 12)]
        for version in versions:
            path = os.path.join(self.folder, "next.csv")
            Path(path).write_bytes(database(version, "87654321,Acme,Phone %s\r\n" % version))
            result = command(self.folder, "publish", path)
            self.assertEqual(result.returncode, 0, result.stderr)
            # Within moments the new one, and from then on nothing else.
            number = "00" + version[-4:]
            self.assertTrue(until(lambda: service.request("GET", "/dbver")[1] == number.encode() + b"\r\n", 5), version)
            page = service.request("GET", "/?imei=87654321")[1]
            self.assertIn(("Phone %s" % version).encode(), page)
            self.assertTrue(until(lambda: answers[-1:] == [number]), version)  # the stream has seen it
        stop.set()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        self.assertGreater(len(answers), 50)
        self.assertEqual(sorted(set(answers), key=int)[-1], "000011")

    def test_sigterm_lets_requests_in_flight_finish(self):
        service = self.start("--request-timeout", "5")
        form = b"tac=87654321&manufacturer=Acme&model=Late&source=box"
        s = socket.create_connection(("127.0.0.1", service.port))
        s.sendall(b"POST /submit HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                  b"Content-Length: %d\r\n\r\n" % len(form) + form[:10])
        idle = socket.create_connection(("127.0.0.1", service.port))
        self.assertTrue(until(lambda: not unread(service.port, s)))  # the request has begun
        service.process.send_signal(signal.SIGTERM)
        idle.settimeout(3)
        self.assertEqual(idle.recv(1), b"")  # an idle connection goes at once

        def refused():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", service.port)) == errno.ECONNREFUSED
        self.assertTrue(until(refused))  # no one listens any more
        s.sendall(form[10:])
        s.settimeout(5)
        answer = s.recv(65536)
        self.assertTrue(answer.startswith(b"HTTP/1.1 303 "), answer[:80])
        self.assertIn(b"Connection: close", answer)
        s.close()
        idle.close()
        self.assertEqual(service.process.wait(timeout=10), 0)
        self.assertIn(b"Late", command(self.folder, "submissions").stdout)

    def test_no_imei_reaches_the_log(self):
        service = self.start()
        imei = "35209900176148"
        service.request("GET", "/?imei=%s1" % imei)
        service.request("GET", "/api/v1/imei/%s1" % imei)
        service.request("GET", "/api/v1/imei/%s-1?x=%s" % (imei, imei))
        service.request("POST", "/api/v1/imei", json.dumps({"imeis": [imei + "1"]}), {"Content-Type": "application/json"})
        service.request("GET", "/%s1" % imei)
        service.raw(b"%s1 / HTTP/1.1\r\nHost: x\r\n\r\n" % imei.encode())
        log = service.log_once_it_has("OTHER / 405")
        self.assertRegex(log, "^(%s.*\n)+$" % STAMPED)  # not under journald: each line has its time
        self.assertIn("(another path)", log)
        self.assertNotIn(imei, log)
        for line in ("GET / 200", "GET /api/v1/imei/... 200", "GET (another path) 404", "POST /api/v1/imei 200"):
            self.assertIn(line, log)

    def test_the_operators_commands(self):
        def write(name, data):
            Path(self.folder, name).write_bytes(data)
            return os.path.join(self.folder, name)

        taken = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(taken.close)
        result = subprocess.run([SERVICE, "--data", self.folder, "--listen", "127.0.0.1:0", "serve"], capture_output=True, timeout=10)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"no published database", result.stderr)
        self.assertIn(b"vettrix-service publish --data", result.stderr)
        cases = [  # name, arguments, status, text on standard output or error
            ("first", ["publish", write("a.csv", database("v1.00.0005"))], 0, b"published v1.00.0005 (version number 000005, 1 devices)"),
            ("not newer", ["publish", write("b.csv", database("v1.00.0005"))], 1, b"is not newer"),
            ("older", ["publish", write("c.csv", database("v1.00.0004"))], 1, b"is not newer"),
            ("forced", ["publish", "--force", write("d.csv", database("v1.00.0004"))], 0, b"published"),
            ("a new major version", ["publish", write("g.csv", database("v2.00.0001"))], 0, b"published v2.00.0001 (version number 000001"),
            ("an older major version", ["publish", write("h.csv", database("v1.99.9999"))], 1, b"is not newer"),
            ("more than clients install", ["publish", write("i.csv", b"x" * ((32 << 20) + 1))], 1, b"more than the 32 MiB"),
            ("no version line", ["publish", write("e.csv", b"35209900,Alcatel,One\r\n35209901,Alcatel,Two\r\n")], 1, b"no version line"),
            ("no device line", ["publish", write("f.csv", b"35209900,Alcatel\r\nVERSION_,v2.00.0000,x\r\n")], 1, b"line 1 is no device line"),
            ("no such file", ["publish", os.path.join(self.folder, "none.csv")], 1, b"No such file"),
            ("bad status", ["submissions", "--status", "odd"], 2, b"'odd' is none of"),
            ("review unknown", ["review", "7", "accept"], 1, b"there is no submission 7"),
            # Settings that the service does not know, or cannot take, stop it before it serves.
            ("a typo in a key", ["--config", write("a.conf", b"lissten = 127.0.0.1:1\n"), "serve"], 2,
             b'a.conf line 1: unknown key "lissten" (did you mean listen?)'),
            ("a typo in a list's key", ["--config", write("b.conf", b"# behind nginx\n\ntrusted_proxy = 127.0.0.1\n"), "serve"], 2,
             b'b.conf line 3: unknown key "trusted_proxy" (did you mean trusted-proxy?)'),
            ("a typo in a number's key", ["--config", write("c.conf", b"Threads = 4\n"), "serve"], 2, b"c.conf line 1: unknown key \"Threads\" (did you mean threads?)"),
            ("no key at all", ["--config", write("d.conf", b"[serve]\n"), "serve"], 2, b"d.conf line 1:"),
            ("a bad number", ["--config", write("e.conf", b"threads = many\n"), "serve"], 2, b'e.conf line 1: threads = "many"'),
            ("a number out of range", ["--config", write("f.conf", b"store-timeout = 0\n"), "serve"], 2, b'f.conf line 1: store-timeout = "0"'),
            ("an address without a port", ["--config", write("g.conf", b"listen = 127.0.0.1\n"), "serve"], 2, b'g.conf line 1: listen = "127.0.0.1"'),
            ("a bad range", ["--config", write("h.conf", b"trusted-proxy = 10.0.0.0/33\n"), "serve"], 2, b'h.conf line 1: trusted-proxy = "10.0.0.0/33"'),
            ("a key set twice", ["--config", write("i.conf", b"listen = 127.0.0.1:1\nlisten = 127.0.0.1:2\n"), "serve"], 2, b"i.conf line 2: listen is set on line 1"),
            ("a terminal's escape in a value", ["--config", write("j.conf", b"threads = \x1b[2J9\n"), "serve"], 2,
             b'j.conf line 1: threads = "?[2J9": Value ?[2J9 not in range'),
            ("no settings file", ["--config", os.path.join(self.folder, "none.conf"), "serve"], 2, b"none.conf: No such file"),
            # An address that cannot serve is told as such, before anything claims to serve.
            ("a host name that resolves nowhere", ["--listen", "nowhere.invalid:8080", "serve"], 1, b"cannot listen on nowhere.invalid:8080"),
            ("an address taken", ["--listen", "127.0.0.1:%d" % taken.getsockname()[1], "serve"], 1,
             b"cannot listen on 127.0.0.1:%d: Address already in use" % taken.getsockname()[1]),
        ]
        result = subprocess.run([SERVICE, "--data", "/nonexistent", "submissions"], capture_output=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"/nonexistent is no folder", result.stderr)
        for name, args, status, text in cases:
            result = command(self.folder, *args)
            self.assertEqual(result.returncode, status, name + ": " + result.stderr.decode())
            self.assertIn(text, result.stdout + result.stderr, name)
            self.assertNotIn(b"serving", result.stderr, name)

        # A user other than root on the service's folder: its own user's, or behind a folder only
        # root may enter (systemd's /var/lib/private).
        nobody = as_nobody(SERVICE)
        os.chmod(self.folder, 0o711)
        for folder, args, text in [("own", ["submissions"], b"run as root (the service's folder belongs to its own user)"),
                                   ("private/own", ["review", "1", "accept"], b"run as root (the service's folder belongs to its own user)"),
                                   ("own", ["serve"], b"start the service as the user the folder belongs to")]:
            path = os.path.join(self.folder, folder)
            os.makedirs(path, mode=0o700, exist_ok=True)
            os.chown(path, 65533, 65533)
            result = subprocess.run(nobody + ["--data", path, *args], capture_output=True)
            self.assertEqual((result.returncode, text in result.stderr), (1, True), result.stderr)

        service = self.start()
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        for model in ("Alpha", "Beta"):
            service.request("POST", "/submit", "tac=87654321&manufacturer=Acme&model=%s&source=%%3Dcmd|' /C calc'!A0&note=line%%0Abreak" % model, headers)
        self.assertEqual(service.request("POST", "/submit", "tac=87654322&manufacturer=%3D1%2B1&model=X&source=box", headers)[0].status, 400)
        self.assertEqual(command(self.folder, "review", "1", "accept").returncode, 0)
        again = command(self.folder, "review", "1", "reject")
        self.assertEqual(again.returncode, 1)
        self.assertIn(b"decided already (accepted)", again.stderr)
        listed = {fmt: command(self.folder, "submissions", "--status", "accepted", "--format", fmt).stdout
                  for fmt in ("tsv", "json", "mobidex")}
        self.assertEqual(listed["mobidex"], b"87654321,Acme,Alpha\r\n")
        self.assertEqual(command(self.folder, "submissions", "--format", "mobidex").stdout, listed["mobidex"])
        self.assertEqual(listed["tsv"].split(b"\n")[0], b"id\ttac\tmanufacturer\tmodel\tsource\tnote\tstatus\treceived")
        self.assertIn(b"line\\nbreak", listed["tsv"])
        self.assertIn(b"\t'=cmd|' /C calc'!A0\t", listed["tsv"])  # a spreadsheet shows it as text
        record = json.loads(listed["json"])[0]
        self.assertEqual({k: record[k] for k in ("id", "tac", "model", "note", "status")},
                         {"id": 1, "tac": "87654321", "model": "Alpha", "note": "line\nbreak", "status": "accepted"})
        self.assertRegex(record["received"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")

    def test_a_prometheus_server_reads_the_metrics_back(self):
        # The metrics on an address of their own, the service on a host name; its standard error
        # as the journal's stream, whose lines the journal stamps.
        log = os.path.join(self.folder, "service.log")
        open(log, "w").close()
        journal = "%d:%d" % (os.stat(log).st_dev, os.stat(log).st_ino)
        service = self.start("--metrics-listen", "127.0.0.1:0", listen="localhost:0", env=dict(os.environ, JOURNAL_STREAM=journal))
        metrics = int(re.search(r"metrics and health checks on 127\.0\.0\.1:(\d+)", service.log_once_it_has("metrics and")).group(1))
        imei = "35209900176148"
        for _ in range(3):
            self.assertEqual(service.request("GET", "/api/v1/imei/%s1" % imei)[0].status, 200)
        form = "tac=87654321&manufacturer=Acme&model=Phone&source=box"
        self.assertEqual(service.request("POST", "/submit", form, {"Content-Type": "application/x-www-form-urlencoded"})[0].status, 303)
        self.assertIn(b" 413 ", service.raw(b"POST /api/v1/tac HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 1048577\r\n\r\n"))
        self.assertEqual(service.request("GET", "/metrics")[0].status, 404)  # not on the service's port
        for path, status in (("/", 404), ("/readyz", 200), ("/metrics", 200)):  # its address serves these alone
            answer, data = request(metrics, "GET", path)
            self.assertEqual(answer.status, status, path)
        self.assertNotIn(imei.encode(), data)  # routes as the log names them, not what was looked up

        # A real Prometheus scrapes it every second; its query API gives the values back.
        folder = os.path.join(self.folder, "prometheus")
        os.makedirs(folder)
        Path(folder, "prometheus.yml").write_text("global: {scrape_interval: 1s}\nscrape_configs:\n"
                                                  "  - {job_name: vettrix, static_configs: [{targets: ['127.0.0.1:%d']}]}\n" % metrics)
        port = free_port()
        with open(os.path.join(folder, "log"), "w") as out:
            prometheus = subprocess.Popen(["prometheus", "--config.file", os.path.join(folder, "prometheus.yml"),
                                           "--storage.tsdb.path", os.path.join(folder, "data"),
                                           "--web.listen-address", "127.0.0.1:%d" % port], stdout=out, stderr=out)
        expected = {
            'up{job="vettrix"}': 1,
            'vettrix_http_requests_total{route="/api/v1/imei/...",status="200"}': 3,
            'vettrix_http_request_duration_seconds_count{route="/api/v1/imei/..."}': 3,
            'vettrix_http_requests_total{route="/submit",status="303"}': 1,
            'vettrix_submissions_total{outcome="stored"}': 1,
            'vettrix_http_refused_total{limit="body"}': 1,
            'vettrix_store_operation_duration_seconds_count{operation="submit"}': 1,
            'vettrix_store_errors_total{operation="submit"}': 0,
            'vettrix_database_version_number': 1,
            'vettrix_database_info{version_text="v1.00.0001"}': 1,
            'vettrix_database_age_seconds < bool 600': 1,
        }

        def values():
            found = {}
            for query in expected:
                try:
                    url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (port, urllib.parse.quote(query))
                    with urllib.request.urlopen(url, timeout=5) as r:
                        result = json.load(r)["data"]["result"]
                except OSError:
                    return None
                found[query] = float(result[0]["value"][1]) if result else None
            return found

        try:
            until(lambda: values() == expected or prometheus.poll() is not None, 60)
            self.assertEqual(values(), expected)
        finally:
            prometheus.terminate()
            prometheus.wait()
        self.assertNotRegex(service.read_log(), "(^|\n)" + STAMPED)


if __name__ == "__main__":
    unittest.main()
