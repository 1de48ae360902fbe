"""What the Python suites share: vettrix-service started on loopback over a folder or a store of
its own, requests to it, waiting on a condition, and the check of every answer under /api/
against the OpenAPI document the service serves, so that the document cannot drift from the code."""

import atexit
import http.client
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

import jsonschema  # Debian's python3-jsonschema: the suites run under /usr/bin/python3


def database(version, extra=""):
    """A small database of the given version text (v1.26.1206 form)."""
    return ("35209900,Alcatel,One Touch 332\r\n" + extra + "VERSION_,%s,Test\r\n" % version).encode()


def until(condition, seconds=10, every=0.02):
    """Whether `condition` came true within `seconds`, asked `every` so many seconds."""
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(every)
    return condition()


def as_nobody(program):
    """The command that runs `program` as nobody: a copy of it, in a folder anyone may enter (the build
    tree may lie in a folder only root can open), removed when the test's process ends."""
    public = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, public)
    os.chmod(public, 0o755)
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", shutil.copy(program, public)]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


DOCUMENT = {}  # the OpenAPI document, as the first service asked served it


def check_api_answer(port, method, target, status, content_type, body):
    """An answer under /api/ is JSON, and its status and body are what the document says of its
    path and method."""
    path = urllib.parse.urlsplit(target).path
    if not (path == "/api" or path.startswith("/api/")):
        return
    if not DOCUMENT:
        DOCUMENT.update(json.loads(request(port, "GET", "/api/v1/openapi.json", check=False)[1]))
    resolve = lambda node: DOCUMENT["components"]["responses"][node["$ref"].rsplit("/", 1)[1]] if "$ref" in node else node
    schema = {"$ref": "#/components/schemas/Error"}  # of an address or method not described
    for template, item in DOCUMENT["paths"].items():
        pattern = "".join(".*" if part.startswith("{") else re.escape(part) for part in re.split(r"(\{[^}]+\})", template))
        if re.fullmatch(pattern, path) and method.lower() in item:
            responses = item[method.lower()]["responses"]
            assert str(status) in responses, "%s %s: status %d is not described" % (method, path, status)
            response = resolve(responses[str(status)])
            if "content" not in response:
                assert body == b"", "%s %s: %d has a body" % (method, path, status)
                return
            schema = response["content"]["application/json"]["schema"]
    if method == "HEAD":
        return
    assert content_type.startswith("application/json"), "%s %s: %d is %s" % (method, path, status, content_type)
    jsonschema.Draft202012Validator(schema, resolver=jsonschema.RefResolver.from_schema(DOCUMENT)).validate(json.loads(body))


def request(port, method, path, body=None, headers=None, check=True):
    """One request on a connection of its own: the answer and its body."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        data = response.read()
    finally:
        connection.close()
    if check:
        check_api_answer(port, method, path, response.status, response.getheader("Content-Type", ""), data)
    return response, data


def answers_in(received):
    """How many whole answers `received` holds."""
    count = 0
    while b"\r\n\r\n" in received:
        head, received = received.split(b"\r\n\r\n", 1)
        length = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
        if length and len(received) < int(length.group(1)):
            break
        received = received[int(length.group(1)) if length else 0:]
        count += 1
    return count


def raw(port, data, answers=1, wait=3.0):
    """Sends bytes as they are; returns what comes back until the server closes, goes quiet, or
    has sent `answers` whole answers. The first answer is checked as request() checks one."""
    received = b""
    with socket.create_connection(("127.0.0.1", port), timeout=wait) as s:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        try:
            while answers_in(received) < answers:
                chunk = s.recv(65536)
                if not chunk:
                    break
                received += chunk
        except (socket.timeout, ConnectionResetError):
            pass
    if received:
        sent = data.split(b"\r\n", 1)[0].split(b" ")
        head, _, body = received.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        fields = {k.lower(): v for k, v in (line.split(": ", 1) for line in lines[1:])}
        check_api_answer(port, sent[0].decode(), sent[1].decode("latin-1") if len(sent) > 1 else "", int(lines[0].split(" ")[1]),
                         fields.get("content-type", ""), body[:int(fields.get("content-length", len(body)))])
    return received


class Service:
    """One running vettrix-service, over `--data folder` or the `store` given, its standard error
    in `log` in the folder."""

    def __init__(self, program, folder, *args, db=None, store=None, files=None, listen="127.0.0.1:0", env=None, log="service.log"):
        self.folder = folder
        if store is None and (db is not None or not os.path.exists(os.path.join(folder, "mobidex.csv"))):
            path = os.path.join(folder, "initial.csv")
            with open(path, "wb") as f:
                f.write(db if db is not None else database("v1.00.0001"))
            args = ("--initial-database", path) + args
        self.log = open(os.path.join(folder, log), "a+")
        self.log_start = self.log.tell()  # a service started again logs after the one before
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, files)) if files else None
        self.process = subprocess.Popen([program, *(store or ["--data", folder]), "--listen", listen, *args, "serve"],
                                        stderr=self.log, preexec_fn=limit, env=env)
        found = lambda: re.search(r"listening on \S+:(\d+)", self.read_log())
        if not until(lambda: found() or self.process.poll() is not None) or not found():
            log = self.read_log()
            self.stop(signal.SIGKILL)
            raise RuntimeError("the service did not start: " + log)
        self.port = int(found().group(1))

    def read_log(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log.name) as f:
            f.seek(self.log_start)
            return f.read()

    def log_once_it_has(self, text, seconds=5):
        """The log once it holds `text`: a request is logged just after its answer is sent."""
        until(lambda: text in self.read_log(), seconds)
        return self.read_log()

    def request(self, method, path, body=None, headers=None):
        return request(self.port, method, path, body, headers)

    def raw(self, data, answers=1, wait=3.0):
        return raw(self.port, data, answers, wait)

    def sanitized(self):
        """Built with AddressSanitizer, which needs memory and descriptors of its own."""
        with open("/proc/%d/maps" % self.process.pid) as f:
            return "libasan" in f.read()

    def stop(self, sig=signal.SIGTERM):
        """Its exit status once it has ended."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        status = self.process.wait(timeout=30)
        self.log.close()
        return status
