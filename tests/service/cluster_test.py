#!/usr/bin/python3
"""Two vettrix-service instances on one PostgreSQL, nginx in front as the load balancer, all on
loopback: a publication reaches both, submissions through both land once in one list, the rate
limit holds across them, an instance killed is no request lost, and a PostgreSQL restart loses
nothing that was acknowledged.

usage: cluster_test.py VETTRIX_SERVICE PG_TEST_CLUSTER_SCRIPT
"""

import concurrent.futures
import glob
import hashlib
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import Service, database, free_port, request, until  # noqa: E402

SERVICE = sys.argv.pop(1) if len(sys.argv) > 1 else "vettrix-service"
CLUSTER = sys.argv.pop(1) if len(sys.argv) > 1 else "tools/pg-test-cluster"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


class Cluster:
    def __init__(self, folder):
        self.folder = folder
        self.pg = os.path.join(folder, "pg")
        subprocess.run([CLUSTER, "start", self.pg], check=True)
        self.store = ["--store", Path(self.pg, "tcp-uri").read_text().strip(), "--store-password-file", os.path.join(self.pg, "password")]
        self.superuser = Path(self.pg, "uri").read_text().strip().replace("/postgres?", "/mobidex?")  # on the service's database
        self.command("migrate")
        self.command("publish", self.write("v1.csv", database("v1.00.0001")))
        self.instances, self.ports = [None, None], [0, 0]
        for i in range(2):
            self.start(i)
        self.nginx_port = free_port()
        self.start_nginx()

    def write(self, name, data):
        Path(self.folder, name).write_bytes(data)
        return os.path.join(self.folder, name)

    def command(self, *args, check=True):
        result = subprocess.run([SERVICE, *self.store, *args], capture_output=True)
        if check and result.returncode != 0:
            raise RuntimeError(result.stderr.decode())
        return result

    def sql(self, statement):
        psql = sorted(glob.glob("/usr/lib/postgresql/*/bin/psql"))[-1]
        subprocess.run([psql, self.superuser, "-q", "-v", "ON_ERROR_STOP=1", "-c", statement], check=True, capture_output=True)

    def postgres(self, sig):
        """Sends `sig` to every process of the cluster: the server and each connection's."""
        data = Path(self.pg, "cluster").read_text().strip()  # where tools/pg-test-cluster keeps it
        server = int(Path(data, "data", "postmaster.pid").read_text().split()[0])
        children = [int(p) for p in os.listdir("/proc") if p.isdigit() and self.parent(p) == server]
        for pid in [server] + children:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:  # a connection's process that just ended
                pass

    @staticmethod
    def parent(pid):
        try:
            return int(Path("/proc", pid, "stat").read_text().rsplit(")", 1)[1].split()[1])
        except OSError:
            return 0

    def start(self, i):
        """Instance `i`, on the same port again after a restart."""
        self.instances[i] = Service(SERVICE, self.folder, "--submissions-per-hour", "6", "--trusted-proxy", "127.0.0.1",
                                    "--store-timeout", "2", store=self.store, listen="127.0.0.1:%d" % self.ports[i],
                                    log="instance%d.log" % i)
        self.ports[i] = self.instances[i].port

    def start_nginx(self):
        prefix = os.path.join(self.folder, "nginx")
        os.makedirs(prefix, exist_ok=True)
        servers = "".join("    server 127.0.0.1:%d max_fails=1 fail_timeout=2s;\n" % p for p in self.ports)
        config = f"""
daemon off;
worker_processes 1;
{"user root root;" if os.geteuid() == 0 else ""}
error_log {prefix}/error.log;
pid {prefix}/nginx.pid;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  {" ".join(f"{kind}_temp_path {prefix}/{kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))}
  upstream vettrix {{
{servers}    keepalive 16;
  }}
  server {{
    listen 127.0.0.1:{self.nginx_port};
    location / {{
      proxy_pass http://vettrix;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_next_upstream error timeout;
      proxy_connect_timeout 1s;
    }}
  }}
}}
"""
        Path(prefix, "nginx.conf").write_text(config)
        self.nginx = subprocess.Popen(["/usr/sbin/nginx", "-p", prefix, "-c", os.path.join(prefix, "nginx.conf")])

        def serving():
            try:
                return request(self.nginx_port, "GET", "/ver")[0].status == 200
            except OSError:
                return False
        if not until(serving, 5):
            raise RuntimeError("nginx did not start")

    def stop(self):
        self.nginx.terminate()
        self.nginx.wait()
        for instance in self.instances:
            instance.stop()
        subprocess.run([CLUSTER, "stop", self.pg])


class Stream:
    """A steady stream of GETs through nginx on a few threads, keeping every failure."""

    def __init__(self, port, paths):
        self.failures, self.answers, self.stop = [], 0, threading.Event()
        self.threads = [threading.Thread(target=self.run, args=(port, paths)) for _ in range(3)]
        for t in self.threads:
            t.start()

    def run(self, port, paths):
        while not self.stop.is_set():
            for path in paths:
                try:
                    response, body = request(port, "GET", path)
                    if response.status != 200:
                        self.failures.append((path, response.status))
                    elif path == "/mobidex.csv" and response.getheader("ETag") != '"%s"' % hashlib.sha256(body).hexdigest():
                        self.failures.append((path, "mixed"))
                    self.answers += 1
                except Exception as e:  # refused, cut off, or not as the API's document says
                    self.failures.append((path, repr(e)))

    def grows(self, count):
        """Whether `count` more answers came within 10 s."""
        before = self.answers
        return until(lambda: self.answers >= before + count)

    def end(self):
        self.stop.set()
        for t in self.threads:
            t.join()
        return self.failures


class ClusterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        os.chmod(cls.dir.name, 0o755)  # for the cluster's own unprivileged user
        cls.addClassCleanup(cls.dir.cleanup)
        cls.cluster = Cluster(cls.dir.name)
        cls.addClassCleanup(cls.cluster.stop)

    def until_stored(self, port):
        """Submits until the instance stores again (its backoff over), 40 s at most."""
        client = lambda: "198.18.%d.%d" % (port % 200, int(time.time() * 10) % 250)
        self.assertTrue(until(lambda: self.submit(port, "Back %f" % time.time(), client())[0] == 303, 40, every=0.5), port)

    def submit(self, port, model, client="192.0.2.10"):
        form = urllib.parse.urlencode({"tac": "87654321", "manufacturer": "Acme", "model": model, "source": "box"})
        response, body = request(port, "POST", "/submit", form, dict(FORM, **{"X-Forwarded-For": client}))
        return response.status, response.getheader("Location"), response.getheader("Retry-After"), body

    def serving(self, version, seconds):
        """Whether every instance serves the database `version` within `seconds`."""
        return until(lambda: all(request(p, "GET", "/dbver")[1] == b"%06d\r\n" % version for p in self.cluster.ports), seconds)

    def test_1_a_publication_reaches_every_instance_within_two_seconds(self):
        c = self.cluster
        stream = Stream(c.nginx_port, ["/api/v1/database", "/mobidex.csv", "/?imei=35209900"])
        for n in (2, 3):
            c.command("publish", c.write("v%d.csv" % n, database("v1.00.%04d" % n, "87654321,Acme,Phone %d\r\n" % n)))
            committed = time.time()
            self.assertTrue(self.serving(n, 5), "not switched after 5 s")
            self.assertLess(time.time() - committed, 2.0)
        self.assertEqual(stream.end(), [])
        self.assertGreater(stream.answers, 100)

    def test_2_submissions_through_both_land_once_and_the_limit_holds_across(self):
        c = self.cluster
        a, b = c.ports
        # Through nginx (it names the client), and to each instance alike.
        self.assertEqual(self.submit(c.nginx_port, "One")[0], 303)
        self.assertEqual(self.submit(a, "Two", "192.0.2.11")[0], 303)
        self.assertEqual(self.submit(b, "Two", "192.0.2.12")[0], 200)  # pending already, via A
        # The same device sent to both at once is kept once.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            outcomes = pool.map(lambda p: self.submit(p, "Three", "192.0.2.%d" % (20 + p % 7))[0], (a, b))
        self.assertEqual(sorted(outcomes), [200, 303])
        listed = json.loads(c.command("submissions", "--format", "json").stdout)
        self.assertEqual(sorted(s["model"] for s in listed), ["One", "Three", "Two"])
        # Six attempts an hour from one address, whichever instance takes them.
        statuses = [self.submit((a, b)[i % 2], "Limit %d" % i, "192.0.2.99")[0] for i in range(7)]
        self.assertEqual(statuses, [303] * 6 + [429])

    def test_3_an_instance_killed_under_load_loses_no_request(self):
        c = self.cluster
        stream = Stream(c.nginx_port, ["/ver", "/?imei=35-209900-176148-1", "/api/v1/tac/35209900"])
        self.assertTrue(stream.grows(50))
        c.instances[0].stop(signal.SIGKILL)
        self.assertTrue(stream.grows(150))  # with one instance gone
        c.start(0)
        self.assertTrue(stream.grows(50))
        self.assertEqual(stream.end(), [])

    def test_4_a_postgresql_restart_loses_nothing_acknowledged(self):
        c = self.cluster
        # As a restart leaves them, every connection of the instances' is closed under them: the
        # first statement on each is tried again on a fresh one, not answered 503.
        c.sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'vettrix'")
        for i, port in enumerate(c.ports):
            self.assertEqual(self.submit(port, "After restart %d" % i, "203.0.113.%d" % i)[0], 303)
        stop = threading.Event()
        acknowledged, refused, other = [], [], []

        def submitting(port, tag):
            n = 0
            while not stop.is_set():
                n += 1
                status, location, retry, _ = self.submit(port, "%s %d" % (tag, n), "198.51.100.%d" % (n % 200))
                if status == 303:
                    acknowledged.append(location)
                elif status == 503 and retry:
                    refused.append(tag)
                else:
                    other.append(status)
                time.sleep(0.02)  # a client every 20 ms, the rate limit's addresses lasting the test

        threads = [threading.Thread(target=submitting, args=(p, t)) for p, t in zip(c.ports, "AB")]
        for t in threads:
            t.start()
        self.assertTrue(until(lambda: len(acknowledged) >= 10))
        subprocess.run([CLUSTER, "restart", c.pg], check=True)
        # Lookups go on from what the instances hold, whatever the database does.
        self.assertEqual(request(c.nginx_port, "GET", "/api/v1/tac/35209900")[0].status, 200)
        before = len(acknowledged)
        back = until(lambda: len(acknowledged) >= before + 10, 20)
        stop.set()
        for t in threads:
            t.join()
        self.assertEqual(other, [])
        self.assertTrue(back, "the instances did not come back")
        listed = {"/submissions/%d" % s["id"] for s in json.loads(c.command("submissions", "--format", "json").stdout)}
        self.assertEqual(set(acknowledged) - listed, set())
        for instance in c.instances:
            self.assertNotIn("()", instance.read_log())  # every reason carries its cause

    def test_5_a_commit_whose_answer_is_lost_is_told_as_unknown(self):
        c = self.cluster
        self.until_stored(c.ports[0])
        c.sql("CREATE FUNCTION slow() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_sleep(5); RETURN NULL; END $$;"
              "CREATE CONSTRAINT TRIGGER slow AFTER INSERT ON submissions DEFERRABLE INITIALLY DEFERRED FOR EACH ROW "
              "WHEN (NEW.note = 'slow'::bytea) EXECUTE FUNCTION slow()")
        form = {"tac": "87654321", "manufacturer": "Acme", "model": "Slow", "source": "box", "note": "slow"}
        response, body = request(c.ports[0], "POST", "/submit", urllib.parse.urlencode(form), dict(FORM, **{"X-Forwarded-For": "203.0.113.40"}))
        self.assertEqual((response.status, bool(response.getheader("Retry-After"))), (503, True))
        self.assertIn(b"Outcome unknown", body)
        self.assertNotIn(b"nothing was kept", body)
        # Sending it again is safe: it is kept once, whatever became of the first.
        form["note"] = ""
        response = request(c.ports[1], "POST", "/submit", urllib.parse.urlencode(form), dict(FORM, **{"X-Forwarded-For": "203.0.113.50"}))[0]
        self.assertIn(response.status, (200, 303))
        listed = json.loads(c.command("submissions", "--format", "json").stdout)
        self.assertEqual([s["model"] for s in listed].count("Slow"), 1)

    def test_6_a_stalled_database_stops_no_lookup_and_no_shutdown(self):
        c = self.cluster
        try:
            c.postgres(signal.SIGSTOP)
            # Submissions wait for the store off the serving threads, and are answered 503 at
            # their deadline; lookups answer from the snapshot all the while.
            pool = concurrent.futures.ThreadPoolExecutor(4)
            submitted = [pool.submit(self.submit, p, "Stalled %d" % n, "203.0.113.%d" % (60 + n)) for n, p in enumerate(c.ports * 2)]
            for port in c.ports:
                for path in ("/ver", "/dbver", "/?imei=35-209900-176148-1", "/api/v1/tac/35209900", "/api/v1/database", "/mobidex.csv"):
                    self.assertEqual(request(port, "GET", path)[0].status, 200, path)
            self.assertEqual([f.result()[0:3:2] for f in submitted], [(503, "60")] * 4)
            pool.shutdown()
            # Alive, and answering /readyz at once, but not ready while the store does not answer.
            for port in c.ports:
                self.assertTrue(until(lambda: request(port, "GET", "/readyz")[0].status == 503), port)
                self.assertEqual(request(port, "GET", "/healthz")[0].status, 200)
            # SIGTERM ends an instance all the same.
            self.assertEqual(c.instances[1].stop(), 0)
        finally:
            c.postgres(signal.SIGCONT)
        c.start(1)
        for port in c.ports:
            self.until_stored(port)
            self.assertTrue(until(lambda: (lambda r: (r[0].status, r[1]))(request(port, "GET", "/readyz")) == (200, b"ready\n")), port)

    def test_7_a_publication_is_served_while_the_listener_cannot_connect(self):
        c = self.cluster
        # The instances keep the connections they have; their listeners lose theirs for good.
        c.sql("ALTER DATABASE mobidex CONNECTION LIMIT 0")
        try:
            c.sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE 'LISTEN%'")
            subprocess.run([SERVICE, "--store", c.superuser, "publish", c.write("v9.csv", database("v1.00.0009"))], check=True, capture_output=True)
            self.assertTrue(self.serving(9, 10))
        finally:
            c.sql("ALTER DATABASE mobidex CONNECTION LIMIT -1")

    def test_8_a_shutdown_during_a_publication_leaves_nothing_behind(self):
        c = self.cluster
        c.command("publish", c.write("v10.csv", database("v1.00.0010", "".join("%08d,Maker %d,Model %d\r\n" % (40000000 + n, n, n) for n in range(90000)))))
        self.assertEqual(c.instances[0].stop(), 0)  # while it loads what was just announced
        # And when it cannot serve at all: the address is taken.
        taken = subprocess.run([SERVICE, *c.store, "--listen", "127.0.0.1:%d" % c.ports[1], "serve"], capture_output=True, timeout=30)
        self.assertEqual(taken.returncode, 1)
        self.assertIn(b"cannot listen", taken.stderr)
        self.assertNotIn("Sanitizer", c.instances[0].read_log())
        self.assertNotIn(b"Sanitizer", taken.stderr)
        c.start(0)


if __name__ == "__main__":
    unittest.main()
