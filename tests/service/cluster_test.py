#!/usr/bin/python3
"""Two vettrix-service instances on one PostgreSQL, nginx in front as the load balancer, all on
loopback: a publication reaches both, submissions through both land once in one list, the rate
limit holds across them, an instance killed is no request lost, and a PostgreSQL restart loses
nothing that was acknowledged.

usage: cluster_test.py VETTRIX_SERVICE PG_TEST_CLUSTER_SCRIPT
"""

import hashlib
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import glob
import unittest
import urllib.parse

SERVICE = sys.argv.pop(1) if len(sys.argv) > 1 else "vettrix-service"
CLUSTER = sys.argv.pop(1) if len(sys.argv) > 1 else "tools/pg-test-cluster"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def database(version, extra=""):
    return ("35209900,Alcatel,One Touch 332\r\n" + extra + "VERSION_,%s,Test\r\n" % version).encode()


def request(port, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read(), response
    finally:
        connection.close()


def until(condition, seconds):
    """Whether `condition` came true within `seconds`."""
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(0.05)
    return condition()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    def __init__(self, folder):
        self.folder = folder
        self.pg = os.path.join(folder, "pg")
        subprocess.run([CLUSTER, "start", self.pg], check=True)
        with open(os.path.join(self.pg, "tcp-uri")) as f:
            self.store = ["--store", f.read().strip(), "--store-password-file", os.path.join(self.pg, "password")]
        with open(os.path.join(self.pg, "uri")) as f:  # the superuser, on the service's database
            self.superuser = f.read().strip().replace("/postgres?", "/mobidex?")
        self.command("migrate")
        first = os.path.join(folder, "v1.csv")
        with open(first, "wb") as f:
            f.write(database("v1.00.0001"))
        self.command("publish", first)
        self.instances = [None, None]
        self.ports = [0, 0]
        self.logs = []
        for i in range(2):
            self.start(i)
        self.nginx_port = free_port()
        self.start_nginx()

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
        with open(os.path.join(self.pg, "cluster")) as f:  # where tools/pg-test-cluster keeps it
            data = os.path.join(f.read().strip(), "data")
        with open(os.path.join(data, "postmaster.pid")) as f:
            server = int(f.readline())
        children = [int(p) for p in os.listdir("/proc") if p.isdigit() and self.parent(p) == server]
        for pid in [server] + children:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:  # a connection's process that just ended
                pass

    @staticmethod
    def parent(pid):
        try:
            with open("/proc/%s/stat" % pid) as f:
                return int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            return 0

    def log(self, i):
        with open(os.path.join(self.folder, "instance%d.log" % i)) as f:
            return f.read()

    def start(self, i):
        log = open(os.path.join(self.folder, "instance%d.log" % i), "a+")
        self.logs.append(log)
        start = log.tell()
        listen = "127.0.0.1:%d" % self.ports[i]  # the same port again after a restart
        process = subprocess.Popen([SERVICE, *self.store, "--listen", listen, "--submissions-per-hour", "6",
                                    "--trusted-proxy", "127.0.0.1", "--store-timeout", "2", "serve"], stderr=log)
        for _ in range(200):
            log.flush()
            with open(log.name) as f:
                f.seek(start)
                found = re.search(r"listening on 127\.0\.0\.1:(\d+)", f.read())
            if found:
                self.ports[i] = int(found.group(1))
                self.instances[i] = process
                return
            time.sleep(0.05)
        raise RuntimeError("instance %d did not start" % i)

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
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/proxy;
  fastcgi_temp_path {prefix}/fastcgi;
  uwsgi_temp_path {prefix}/uwsgi;
  scgi_temp_path {prefix}/scgi;
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
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write(config)
        self.nginx = subprocess.Popen(["/usr/sbin/nginx", "-p", prefix, "-c", os.path.join(prefix, "nginx.conf")])
        for _ in range(100):
            try:
                if request(self.nginx_port, "GET", "/ver")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def stop(self):
        self.nginx.terminate()
        self.nginx.wait()
        for process in self.instances:
            if process and process.poll() is None:
                process.terminate()
                process.wait()
        subprocess.run([CLUSTER, "stop", self.pg])
        for log in self.logs:
            log.close()


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
                    status, body, response = request(port, "GET", path)
                    if status != 200:
                        self.failures.append((path, status))
                    elif path == "/mobidex.csv" and response.getheader("ETag") != '"%s"' % hashlib.sha256(body).hexdigest():
                        self.failures.append((path, "mixed"))
                    self.answers += 1
                except OSError as e:
                    self.failures.append((path, repr(e)))

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
        cls.cluster = Cluster(cls.dir.name)

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()
        cls.dir.cleanup()

    def until_stored(self, port):
        """Submits until the instance stores again (its backoff over), 40 s at most."""
        deadline = time.time() + 40
        while self.submit(port, "Back %f" % time.time(), "198.18.%d.%d" % (port % 200, int(time.time() * 10) % 250))[0] != 303 and time.time() < deadline:
            time.sleep(0.5)

    def submit(self, port, model, client="192.0.2.10"):
        form = urllib.parse.urlencode({"tac": "87654321", "manufacturer": "Acme", "model": model, "source": "box"})
        status, _, response = request(port, "POST", "/submit", form, dict(FORM, **{"X-Forwarded-For": client}))
        return status, response.getheader("Location"), response.getheader("Retry-After")

    def test_1_a_publication_reaches_every_instance_within_two_seconds(self):
        c = self.cluster
        stream = Stream(c.nginx_port, ["/api/v1/database", "/mobidex.csv", "/?imei=35209900"])
        for n in (2, 3):
            path = os.path.join(c.folder, "v%d.csv" % n)
            with open(path, "wb") as f:
                f.write(database("v1.00.%04d" % n, "87654321,Acme,Phone %d\r\n" % n))
            c.command("publish", path)
            committed = time.time()
            pending = set(c.ports)
            while pending and time.time() - committed < 5:
                pending = {p for p in pending if request(p, "GET", "/dbver")[1] != b"%06d\r\n" % n}
                time.sleep(0.01)
            self.assertEqual(pending, set(), "not switched after 5 s")
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
        outcomes = []
        threads = [threading.Thread(target=lambda p=p: outcomes.append(self.submit(p, "Three", "192.0.2.%d" % (20 + p % 7))[0])) for p in (a, b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(sorted(outcomes), [200, 303])
        listed = json.loads(c.command("submissions", "--format", "json").stdout)
        self.assertEqual(sorted(s["model"] for s in listed), ["One", "Three", "Two"])
        # Six attempts an hour from one address, whichever instance takes them.
        statuses = [self.submit((a, b)[i % 2], "Limit %d" % i, "192.0.2.99")[0] for i in range(7)]
        self.assertEqual(statuses, [303] * 6 + [429])

    def test_3_an_instance_killed_under_load_loses_no_request(self):
        c = self.cluster
        stream = Stream(c.nginx_port, ["/ver", "/?imei=35-209900-176148-1", "/api/v1/tac/35209900"])
        time.sleep(0.5)
        c.instances[0].send_signal(signal.SIGKILL)
        c.instances[0].wait()
        time.sleep(1.5)
        c.start(0)
        time.sleep(0.5)
        self.assertEqual(stream.end(), [])
        self.assertGreater(stream.answers, 100)

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
                status, location, retry = self.submit(port, "%s %d" % (tag, n), "198.51.100.%d" % (n % 200))
                if status == 303:
                    acknowledged.append(location)
                elif status == 503 and retry:
                    refused.append(tag)
                else:
                    other.append(status)
                time.sleep(0.02)

        threads = [threading.Thread(target=submitting, args=(p, t)) for p, t in zip(c.ports, "AB")]
        for t in threads:
            t.start()
        time.sleep(0.5)
        subprocess.run([CLUSTER, "restart", c.pg], check=True)
        # Lookups go on from what the instances hold, whatever the database does.
        self.assertEqual(request(c.nginx_port, "GET", "/api/v1/tac/35209900")[0], 200)
        deadline = time.time() + 20
        before = len(acknowledged)
        while time.time() < deadline and len(acknowledged) < before + 10:
            time.sleep(0.2)
        stop.set()
        for t in threads:
            t.join()
        self.assertEqual(other, [])
        self.assertGreaterEqual(len(acknowledged), before + 10, "the instances did not come back")
        listed = {"/submissions/%d" % s["id"] for s in json.loads(c.command("submissions", "--format", "json").stdout)}
        self.assertEqual(set(acknowledged) - listed, set())
        for i in range(2):
            self.assertNotIn("()", c.log(i))  # every reason carries its cause

    def test_5_a_commit_whose_answer_is_lost_is_told_as_unknown(self):
        c = self.cluster
        self.until_stored(c.ports[0])
        c.sql("CREATE FUNCTION slow() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_sleep(5); RETURN NULL; END $$;"
              "CREATE CONSTRAINT TRIGGER slow AFTER INSERT ON submissions DEFERRABLE INITIALLY DEFERRED FOR EACH ROW "
              "WHEN (NEW.note = 'slow'::bytea) EXECUTE FUNCTION slow()")
        form = {"tac": "87654321", "manufacturer": "Acme", "model": "Slow", "source": "box", "note": "slow"}
        status, body, response = request(c.ports[0], "POST", "/submit", urllib.parse.urlencode(form), dict(FORM, **{"X-Forwarded-For": "203.0.113.40"}))
        self.assertEqual((status, bool(response.getheader("Retry-After"))), (503, True))
        self.assertIn(b"Outcome unknown", body)
        self.assertNotIn(b"nothing was kept", body)
        # Sending it again is safe: it is kept once, whatever became of the first.
        form["note"] = ""
        status = request(c.ports[1], "POST", "/submit", urllib.parse.urlencode(form), dict(FORM, **{"X-Forwarded-For": "203.0.113.50"}))[0]
        self.assertIn(status, (200, 303))
        listed = json.loads(c.command("submissions", "--format", "json").stdout)
        self.assertEqual([s["model"] for s in listed].count("Slow"), 1)

    def test_6_a_stalled_database_stops_no_lookup_and_no_shutdown(self):
        c = self.cluster
        try:
            c.postgres(signal.SIGSTOP)
            # Submissions wait for the store off the serving threads, and are answered 503 at
            # their deadline; lookups answer from the snapshot all the while.
            outcomes = []
            threads = [threading.Thread(target=lambda p=p, n=n: outcomes.append(self.submit(p, "Stalled %d" % n, "203.0.113.%d" % (60 + n))[::2]))
                       for n, p in enumerate(c.ports * 2)]
            for t in threads:
                t.start()
            for port in c.ports:
                for path in ("/ver", "/dbver", "/?imei=35-209900-176148-1", "/api/v1/tac/35209900", "/api/v1/database", "/mobidex.csv"):
                    self.assertEqual(request(port, "GET", path)[0], 200, path)
            for t in threads:
                t.join()
            self.assertEqual(outcomes, [(503, "60")] * 4)
            # Alive, and answering /readyz at once, but not ready while the store does not answer.
            for port in c.ports:
                self.assertTrue(until(lambda: request(port, "GET", "/readyz")[0] == 503, 10), port)
                self.assertEqual(request(port, "GET", "/healthz")[0], 200)
            # SIGTERM ends an instance all the same.
            c.instances[1].terminate()
            self.assertEqual(c.instances[1].wait(timeout=30), 0)
        finally:
            c.postgres(signal.SIGCONT)
        c.start(1)
        for port in c.ports:
            self.until_stored(port)
            self.assertTrue(until(lambda: request(port, "GET", "/readyz")[:2] == (200, b"ready\n"), 10), port)

    def test_7_a_publication_is_served_while_the_listener_cannot_connect(self):
        c = self.cluster
        # The instances keep the connections they have; their listeners lose theirs for good.
        c.sql("ALTER DATABASE mobidex CONNECTION LIMIT 0")
        try:
            c.sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE 'LISTEN%'")
            path = os.path.join(c.folder, "v9.csv")
            with open(path, "wb") as f:
                f.write(database("v1.00.0009"))
            subprocess.run([SERVICE, "--store", c.superuser, "publish", path], check=True, capture_output=True)
            deadline = time.time() + 10
            pending = set(c.ports)
            while pending and time.time() < deadline:
                pending = {p for p in pending if request(p, "GET", "/dbver")[1] != b"000009\r\n"}
                time.sleep(0.05)
            self.assertEqual(pending, set())
        finally:
            c.sql("ALTER DATABASE mobidex CONNECTION LIMIT -1")

    def test_8_a_shutdown_during_a_publication_leaves_nothing_behind(self):
        c = self.cluster
        path = os.path.join(c.folder, "v10.csv")
        with open(path, "wb") as f:
            f.write(database("v1.00.0010", "".join("%08d,Maker %d,Model %d\r\n" % (40000000 + n, n, n) for n in range(90000))))
        c.command("publish", path)
        c.instances[0].terminate()  # while it loads what was just announced
        self.assertEqual(c.instances[0].wait(timeout=30), 0)
        # And when it cannot serve at all: the address is taken.
        taken = subprocess.run([SERVICE, *c.store, "--listen", "127.0.0.1:%d" % c.ports[1], "serve"], capture_output=True, timeout=30)
        self.assertEqual(taken.returncode, 1)
        self.assertIn(b"cannot listen", taken.stderr)
        self.assertNotIn("Sanitizer", c.log(0))
        self.assertNotIn(b"Sanitizer", taken.stderr)
        c.start(0)


if __name__ == "__main__":
    unittest.main()
