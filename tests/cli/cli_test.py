#!/usr/bin/python3
"""vettrix-cli as a user meets it: real files and pipes, exit statuses, and every output format
read back with Python's own CSV and JSON readers.

usage: cli_test.py PATH_TO_VETTRIX_CLI [THE_BUILD'S_SERVICE_ADDRESS [PATH_TO_VETTRIX_SERVICE]]
"""

import csv
import gzip
import hashlib
import http.server
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import Service, as_nobody, database, until  # noqa: E402

CLI = sys.argv.pop(1) if len(sys.argv) > 1 else "vettrix-cli"
SERVICE_URL = sys.argv.pop(1) if len(sys.argv) > 1 else "http://mobidex.vettrix.net"
SERVICE = sys.argv.pop(1) if len(sys.argv) > 1 else "vettrix-service"
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DB = ("35669908,Apple,iPhone 8X\r\n49015420,Nok\xe9a,\"3110\"\t,x\r\n"
      "35209900,Ev\x1b[31mil,\xe2\x80\xaeRLO\r\n00000000,v1.0.0000,Version\r\n")
# What a terminal acts on: C0 controls (but tab and line ends, which the formats are made of),
# DEL, C1 controls and the bidirectional controls, as UTF-8.
RAW_CONTROL = re.compile(rb"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]|\xc2[\x80-\x9f]|\xd8\x9c|\xe2\x80[\x8e\x8f\xaa-\xae]|\xe2\x81[\xa6-\xa9]")

NOBODY = as_nobody(CLI)


def run(*args, stdin=b"", **kw):
    return subprocess.run([CLI, *args], input=stdin, capture_output=True, **kw)


def unescaped(text, tsv=False):
    """\\uXXXX, which CSV and TSV write for a control character (the test's texts hold no such text
    of their own), and TSV's escapes."""
    escapes = {"t": "\t", "n": "\n", "r": "\r", "0": "\0", "\\": "\\"}
    return re.sub(r"\\(u[0-9a-f]{4}|[tnr0\\])" if tsv else r"\\(u[0-9a-f]{4})",
                  lambda m: escapes.get(m.group(1)) or chr(int(m.group(1)[1:], 16)), text)


def parse(fmt, data):
    """The records of one output, as a list of dicts, by a real reader of each format."""
    text = data.decode("utf-8")
    if fmt == "json":
        return json.loads(text)
    if fmt == "jsonl":
        return [json.loads(line) for line in text.splitlines()]
    if fmt == "csv":
        rows = [{k: unescaped(v) for k, v in row.items()} for row in csv.DictReader(io.StringIO(text, newline=""))]
    else:
        lines = text.split("\n")
        assert lines.pop() == ""
        names = lines[0].split("\t")
        rows = [dict(zip(names, (unescaped(f, tsv=True) for f in line.split("\t")))) for line in lines[1:]]
    for row in rows:
        if "line" in row:
            row["line"] = int(row["line"])
    return rows


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.db = self.write("db.csv", DB.encode("latin-1"))

    def write(self, name, data):
        Path(self.dir.name, name).write_bytes(data)
        return os.path.join(self.dir.name, name)

    def check(self, data, *args, fmt="json"):
        result = run("check", "--db", self.db, "--format", fmt, *args, stdin=data)
        return result, parse(fmt, result.stdout) if result.stdout else []

    def test_records(self):
        # input -> (kind, verdict, reason, check digit, reporting body, manufacturer, model,
        #           expected check digit)
        babt = "35 (British Approvals Board of Telecommunications (BABT), Great Britain)"
        bzt = "49 (BZT / BAPT / Regulatory Authority / Federal Network Agency (FNA), Germany)"
        rows = [
            (b"490154203237518", ("imei", "valid", "", "8", bzt, "Nok\xe9a", "\"3110\"\t", "")),
            (b" 35-669908-811568-7 ", ("imei", "valid", "", "7", babt, "Apple", "iPhone 8X", "")),
            (b"123456789012348", ("imei", "invalid", "check digit", "8", "12 (Unknown)", "", "", "7")),
            (b"1234567890123\xc3\xa94", ("imei", "invalid", "not a digit at position 14", "4", "12 (Unknown)", "", "", "")),
            (b"49015420323751", ("imei-no-check-digit", "n/a", "", "8", bzt, "Nok\xe9a", "\"3110\"\t", "")),
            # The old form of the version line opens with 00000000: it names no device.
            (b"00000000000000", ("imei-no-check-digit", "invalid", "check digit", "", "00 (Test and pre-series)", "", "", "")),
            (b"000000000000000", ("imei", "invalid", "check digit", "0", "00 (Test and pre-series)", "", "", "")),
            (b"3566990881156801", ("imeisv", "n/a", "", "", babt, "Apple", "iPhone 8X", "")),
            (b"--", ("other", "invalid", "empty", "", "", "", "", "")),
            (b"12\t3", ("other", "invalid", "too short", "", "", "", "", "")),
            (b"1" * 17, ("other", "invalid", "too long", "", "", "", "", "")),
            (b"a\"b,c\\d\0\xff\x01", ("other", "invalid", "too short", "", "", "", "", "")),
            (b"35669908 811568 1", ("imei", "invalid", "check digit", "1", babt, "Apple", "iPhone 8X", "7")),
            # A TAC alone names its device, as the service's page and API do.
            (b"35-669908", ("other", "invalid", "too short", "", babt, "Apple", "iPhone 8X", "")),
            # Names that would drive a terminal: written escaped, never as they are.
            (b"352099001761481", ("imei", "valid", "", "1", babt, "Ev\x1b[31mil", "\u202eRLO", "")),
            (b"\x1b]0;x\x07\x7f\xc2\x9b\xe2\x81\xa6", ("other", "invalid", "too short", "", "", "", "", "")),
        ]
        data = b"\n".join(r[0] for r in rows) + b"\n"
        outputs = {}
        for fmt in ("tsv", "csv", "json", "jsonl"):
            result, outputs[fmt] = self.check(data, fmt=fmt)
            self.assertEqual(result.returncode, 1, fmt)
            lookup = run("lookup", "--db", self.db, "--format", fmt, "35209900")
            for written in (result.stdout, lookup.stdout, run("types", "--db", self.db).stdout):
                self.assertIsNone(RAW_CONTROL.search(written), fmt)
        for fmt in ("tsv", "csv", "jsonl"):
            self.assertEqual(outputs[fmt], outputs["json"], fmt)
        got = outputs["json"]
        self.assertEqual([r["line"] for r in got], list(range(1, len(rows) + 1)))
        for (raw, want), record in zip(rows, got):
            self.assertEqual(tuple(record[k] for k in ("kind", "verdict", "reason", "check_digit", "reporting_body", "manufacturer", "model", "expected_check_digit")), want, raw)
            reason, _, position = record["reason"].partition(" at position ")
            self.assertEqual((record["reason_code"], record["position"], record["reporting_body_code"]),
                             (reason.replace(" ", "_"), position, record["reporting_body"][:2]), raw)
        # Invalid UTF-8 reads as Latin-1, valid UTF-8 as it is.
        self.assertEqual(got[11]["input"], "a\"b,c\\d\0\xff\x01")
        self.assertEqual(got[3]["normalized"], "1234567890123\xe94")
        self.assertEqual(got[-1]["input"], "\x1b]0;x\x07\x7f\x9b\u2066")

    def test_bad_input(self):
        big = b"9" * (1 << 20)
        cases = [  # name, input, records' normalised texts
            ("empty file", b"", []),
            ("line ends", b"1\r\n2\r3\n\n4", ["1", "2", "3", "", "4"]),
            ("CR LF across reads", b"5\r" + b"\n6", ["5", "6"]),
            ("1 MB line", big + b"\n490154203237518", ["9" * (1 << 20), "490154203237518"]),
            ("1 MB of separators", b"-" * (1 << 20) + b"490154203237518\n", ["490154203237518"]),
            ("NUL bytes", b"\0\0\n", ["\0\0"]),
        ]
        for name, data, normalized in cases:
            result, records = self.check(data)
            self.assertEqual([r["normalized"] for r in records], normalized, name)
            self.assertIn(result.returncode, (0, 1), name)
            self.assertEqual(result.stderr, b"", name)
        # A line past what is kept: judged in full, shown cut with the count of bytes not shown.
        long_line = b"-" * (5 << 20) + b"490154203237518"
        result, records = self.check(long_line + b"\n1\n")
        self.assertEqual(records[0]["verdict"], "valid")
        self.assertTrue(records[0]["input"].endswith("...[+%d bytes]" % ((5 << 20) + 15 - (4 << 20))))
        self.assertEqual(records[1]["normalized"], "1")
        self.assertIn(b"line 1 has", result.stderr)

    def test_columns(self):
        csv_file = self.write("export.csv", b"\xef\xbb\xbfname,IMEI\r\n\"a, \"\"b\"\"\",490154203237518\r\n\"two\nlines\",123\r\nshort\r\n")
        tsv_file = self.write("export.tsv", b"x\t35669908\xad11568 7\n")
        result, records = self.check(b"", "--column", "imei", csv_file)
        self.assertEqual([(r["line"], r["input"], r["verdict"]) for r in records],
                         [(2, "490154203237518", "valid"), (3, "123", "invalid"), (5, "", "invalid")])
        result, records = self.check(b"", "--column", "2", tsv_file)
        self.assertEqual(records[0]["input"], "35669908\xad11568 7")
        result, _ = self.check(b"", "--column", "serial", csv_file)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"no column named 'serial'", result.stderr)

    def test_exit_status_and_errors(self):
        good = self.write("good.txt", b"490154203237518\n")
        unreadable = self.write("secret.txt", b"490154203237518\n")
        os.chmod(unreadable, 0o600)
        os.chmod(self.dir.name, 0o755)
        cases = [  # name, command, stdin, status, text expected on standard error
            ("all valid", [CLI, "check", "--db", self.db, good], b"", 0, b""),
            ("one invalid", [CLI, "check", "--db", self.db], b"490154203237518\n1\n", 1, b""),
            ("no such file", [CLI, "check", "--db", self.db, good, good + "x"], b"", 2, b"good.txtx: No such file or directory"),
            ("a folder", [CLI, "check", "--db", self.db, self.dir.name], b"", 2, b"Is a directory"),
            ("unreadable", NOBODY + ["check", "--db", self.db, unreadable], b"", 2, b"secret.txt: Permission denied"),
            ("no database", [CLI, "check", "--db", good + "x"], b"", 2, b"No such file"),
            ("no subcommand", [CLI], b"", 2, b"give a command"),
            ("unknown format", [CLI, "check", "--format", "xml"], b"", 2, b"'xml'"),
            ("unknown choice", [CLI, "check", "--only", "some"], b"", 2, b"'some'"),
            ("no number", [CLI, "generate", "--random", "-n", "ten"], b"", 2, b"'ten' is not a whole number"),
            ("no value", [CLI, "check", "--column"], b"", 2, b"--column needs a value"),
            ("version", [CLI, "--version"], b"", 0, b""),
            ("column 0", [CLI, "check", "--column", "0"], b"", 2, b"counted from 1"),
            ("two sources", [CLI, "generate", "--random", "--tac", "35669908"], b"", 2, b""),
            ("no source", [CLI, "generate", "-n", "3"], b"", 2, b"exactly one"),
            ("hopeless TAC", [CLI, "generate", "-n", "3", "--tac", "3566990"], b"", 2, b"TAC '3566990'"),
            ("unknown type", [CLI, "generate", "--db", self.db, "--type", "Nokia 3310"], b"", 2, b"'Nokia 3310'"),
            ("a typo", [CLI, "generate", "--db", self.db, "--type", "Apple iPhone 9"], b"", 2, b"did you mean 'Apple iPhone 3X', 'Apple iPhone 4X', 'Apple iPhone 5X', 'Apple iPhone 6X' or 'Apple iPhone 7X'?"),
            ("type in any case", [CLI, "generate", "--db", self.db, "--type", "apple IPHONE 8x"], b"", 0, b""),
            ("types", [CLI, "types", "--db", self.db, "iphone 8"], b"", 0, b""),
            ("no such type", [CLI, "types", "--db", self.db, "Motorola"], b"", 1, b""),
            ("lookup", [CLI, "lookup", "--db", self.db, "35669908", "49-015420-32"], b"", 0, b""),
            ("lookup not found", [CLI, "lookup", "--db", self.db, "35669908", "1"], b"", 1, b""),
            ("complete", [CLI, "complete", "49015420323751"], b"", 0, b""),
            ("cannot complete", [CLI, "complete", "00000000000000"], b"", 1, b""),
        ]
        for name, command, stdin, status, message in cases:
            result = subprocess.run(command, input=stdin, capture_output=True)
            self.assertEqual(result.returncode, status, name + ": " + result.stderr.decode())
            self.assertIn(message, result.stderr, name)
        # A run that fails before its first record writes nothing, not even the header line.
        for command in (["check", good + "x"], ["check", "--column", "serial", good], ["check", "--format", "xml"],
                        ["check", "--db", good + "x"]):
            result = run(*command)
            self.assertEqual((result.returncode, result.stdout), (2, b""), command)
        self.assertEqual(run("--version").stdout, b"vettrix-cli 2.1.3-r26\n")
        # The catalogue's types, then the database's, each once.
        self.assertEqual(run("types", "--db", self.db, "IPHONE").stdout, b"".join(b"Apple iPhone %dX\n" % n for n in range(3, 9)))
        self.assertEqual(run("types", "--db", self.db).stdout.decode().splitlines()[26:],
                         ["Samsung Galaxy S8", "Nok\xe9a \"3110\"\\t", "Ev\\u001b[31mil \\u202eRLO"])
        help_text = run("generate", "--help").stdout.decode()
        self.assertIn("exactly one of --type, --tac, --rbi and --random", help_text)
        self.assertIn("--format tsv|csv|json|jsonl", run("check", "--help").stdout.decode())
        # Records written before a failing file stay whole.
        result = run("check", "--db", self.db, "--format", "json", good, self.dir.name)
        self.assertEqual(parse("json", result.stdout)[0]["verdict"], "valid")
        for level in ([], ["check"], ["generate"], ["lookup"], ["complete"]):
            self.assertEqual(run(*level, "--help").returncode, 0, level)

    def test_summary_and_only(self):
        data = b"490154203237518\n1\n\n49015420323751\n"
        result, records = self.check(data, "--only", "invalid", "--summary")
        self.assertEqual([r["line"] for r in records], [2, 3])
        self.assertEqual(result.stderr.decode(), "read: 4\nvalid: 1\ninvalid: 2\n  empty: 1\n  too short: 1\n  too long: 0\n  not a digit: 0\n  check digit: 0\nn/a: 1\n  imei-no-check-digit: 1\n  imeisv: 0\nfound in the database: 2\n")

    def test_generate_lookup_complete(self):
        def luhn_ok(imei):
            return len(imei) == 15 and sum(sum(divmod(int(c) * (1 + i % 2), 10)) for i, c in enumerate(imei)) % 10 == 0

        def generate(*args):
            result = run("generate", "--db", self.db, *args)
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout.decode().split()

        for source, prefix in ((["--random"], ""), (["--rbi", "35"], "35"), (["--tac", "35669908123"], "35669908"),
                               (["--type", "Apple iPhone 8X"], "35669908"), (["--type", "Apple iPhone 8X"], "35669908")):
            made = generate("-n", "2000", "--seed", "7", *source)
            self.assertEqual(len(made), 2000)
            self.assertTrue(all(luhn_ok(m) and m.startswith(prefix) and "0" not in m[len(prefix):] for m in made), source)
        self.assertEqual(generate("-n", "50", "--random", "--seed", "1"), generate("-n", "50", "--random", "--seed", "1"))
        self.assertNotEqual(generate("-n", "50", "--random", "--seed", "1"), generate("-n", "50", "--random", "--seed", "2"))
        distinct = generate("-n", "20000", "--tac", "35669908", "--distinct", "--seed", "3")
        self.assertEqual(len(set(distinct)), 20000)
        self.assertEqual(parse("tsv", run("lookup", "--db", self.db, "35669908 811568 7").stdout)[0]["model"], "iPhone 8X")
        self.assertEqual(parse("csv", run("complete", "--format", "csv", "4901542032375-1").stdout)[0]["imei"], "490154203237518")

    def test_convert(self):
        header = b"tac,name,name,contributor,comment,gsmarena,gsmarena,aka\r\n"
        osmocom = self.write("tacdb.csv", b"\xef\xbb\xbfOsmocom TAC database under CC-BY-SA v3.0\n" + header +
                             b" 35000001, Acme , Phone 1 ,x,,,,\"P1,P1+\"\n"  # line 3
                             b"35000002,Acme,\"Phone \"\"2\"\"\",,,,,\r\n"
                             b"35000003,Acme,\"Two\r\nlines\",,,,,\n"
                             b"3500004,Acme,Short TAC,,,,,\n"  # line 7
                             b"35000005,\"Acme, Inc\",Comma,,,,,\n"
                             b"35000006,Ac\xffme,Latin-1,,,,,\r\n"
                             b"\n"
                             b"35000001,Other,Repeat,,,,,\r"  # line 11
                             b"35000007,K\xc3\xb6ln,\xc3\xa9,,,,,\n"
                             b"35000008,Acme,\"Open,,,,,\n")
        gsma = self.write("gsma.txt", b"Device Type|Model Name|TAC|Bands|Marketing Name|Manufacturer|Brand Name|Internal Model Name|Allocation Date|NFC\n"
                          b"Smartphone|SM-G950F|35332509|GSM 900|Galaxy S8|Samsung Korea|Samsung|SM-G950F_X|26-Apr-2017|Yes\r\n"
                          b"Modem|Not Known|35332510|LTE|Not Known|Quectel|Not Known|EC25|01-Jan-2020|Not Known\n"
                          b"Phone|X1|35332511|GSM|Not Known|Acme|Acme Brand|X1-int|26-Apr-2013|No\n"
                          b"Phone|Not Known|35332512|GSM|Not Known|Acme|Not Known|Not Known|26-Apr-2013|No\n"
                          b"Phone|X3|35332513|GSM|X\x7f3|Acme|Not Known|X3|26-Apr-2013|No\n"
                          b"Phone|X4|35332514|GSM|X4|Acme|Acme\xc2\x85|X4|26-Apr-2013|No\n"
                          b"Phone|X5|35332515|GSM|X\xe2\x80\xae5|Acme|Not Known|X5|26-Apr-2013|No\n")
        first = self.write("first.csv", header + b"35000001,Acme,First\n35000009,Acme,Nine\n")
        second = self.write("second.csv", header + b"35000001,Other,Second\n35000010,Other,Ten\n")
        full = self.write("full.csv", header + b"".join(b"%08d,M,N\n" % i for i in range(99998)))
        one = self.write("one.csv", header + b"35000099,M,N\n")
        # 2,000 rows, 25 of them with a quote that is never closed: each breaks its own row alone.
        stray = self.write("stray.csv", header + b"".join(
            b"%08d,Acme,%sPhone %d\n" % (35000000 + i, b"\"" if i % 80 == 12 else b"", i) for i in range(1, 2001)))
        # A listing of accepted suggestions, and a published database: one device a line, no quoting.
        listing = self.write("listing.csv", b"35000001,Acme,Corrected\r\n35000010,Other,Ten\r\n"
                             b"35000011,Acme,\"Quote\r\n35000012,Ev\x1b[31mil,x\r\n35000013,Acme,A,B\r\n"
                             b"35000010,Other,Ten again\r\n")
        published = self.write("published.csv", b"\xef\xbb\xbf35000020,Acme,Twenty\r\n"
                               b"VERSION_,v1.26.1205,Osmocom TAC database CC-BY-SA 3.0; Acme data\r\n")
        named = self.write("named.csv", header + b"35669908,Apple,iPhone 8\n")
        secret = self.write("secret.csv", header)
        os.chmod(secret, 0o600)
        os.chmod(self.dir.name, 0o755)
        out = os.path.join(self.dir.name, "out")
        os.makedirs(os.path.join(out, "folder"))
        catalogue = [CLI, "convert", "--version", "v1.26.1206"]
        conv = catalogue + ["--no-catalogue"]
        osmocom_note, gsma_note = ("v1.26.1206", "Osmocom TAC database CC-BY-SA 3.0"), ("v1.26.1206", "GSMA TAC database")
        quirk_counts = ("rows read: 9\nskipped: 5\n  TAC not 8 digits: 1 (first: {0} line 7)\n  no manufacturer: 0\n"
                        "  no model: 0\n  invalid UTF-8: 1 (first: {0} line 9)\n"
                        "  line break or control character in a name: 1 (first: {0} line 5)\n"
                        "  comma in a name: 1 (first: {0} line 8)\n  quote not closed, or row over 4 MiB: 1 (first: {0} line 13)\n"
                        "duplicate TACs: 1 (first: {0} line 11)\n{0} (osmocom): rows 9, added 3, replaced 0, dropped 6\n"
                        "devices written: 3 to mobidex.csv\n").format(osmocom)
        cases = [  # name, command (run in out/, which holds mobidex.csv), status, devices read back
                   # from the output (None: nothing written), text on standard error
            ("Osmocom's quirks", conv + ["--from", "osmocom", osmocom, "--max-skipped", "100"], 0,
             {"35000001": ("Acme", "Phone 1"), "35000002": ("Acme", "Phone \"2\""), "35000007": ("K\xf6ln", "\xe9"), "VERSION_": osmocom_note},
             quirk_counts.encode()),
            ("GSMA by column name", conv + ["--from", "GSMA", gsma, "-o", "mobidex.csv", "--max-skipped", "100"], 0,
             {"35332509": ("Samsung", "Galaxy S8"), "35332510": ("Quectel", "EC25"), "35332511": ("Acme Brand", "X1"), "VERSION_": gsma_note},
             b"  no model: 1 (first: %s line 5)" % gsma.encode()),
            ("more rows skipped than the share", conv + ["--from", "osmocom", osmocom], 2, None,
             b"5 of 9 rows skipped, more than --max-skipped 1%; nothing written"),
            ("a stray quote", conv + ["--from", "osmocom", stray, "--max-skipped", "1.5"], 0, 1976,
             b"  quote not closed, or row over 4 MiB: 25 (first: %s line 13)\nduplicate TACs: 0\n%s (osmocom): rows 2000, added 1975, "
             b"replaced 0, dropped 25\ndevices written: 1975" % (stray.encode(), stray.encode())),
            ("stray quotes beyond the share", conv + ["--from", "osmocom", stray], 2, None, b"25 of 2000 rows skipped"),
            ("merged, a later input wins", conv + ["--from", "osmocom", first, second, "-o", "-"], 0,
             {"35000001": ("Other", "Second"), "35000009": ("Acme", "Nine"), "35000010": ("Other", "Ten"), "VERSION_": osmocom_note},
             b"duplicate TACs: 1 (first: %s line 2)\n%s (osmocom): rows 2, added 1, replaced 0, dropped 1\n%s (osmocom): rows 2, "
             b"added 1, replaced 1, dropped 0\ndevices written: 3 to standard output\n" % (first.encode(), first.encode(), second.encode())),
            ("merged, --prefer earlier", conv + ["--from", "osmocom", first, second, "--prefer", "earlier"], 0,
             {"35000001": ("Acme", "First"), "35000009": ("Acme", "Nine"), "35000010": ("Other", "Ten"), "VERSION_": osmocom_note},
             b"%s (osmocom): rows 2, added 1, replaced 0, dropped 1" % second.encode()),
            # Accepted suggestions and a published database beside an export: the database's line
            # of a TAC is its last, as the window reads it; its licence note travels on.
            ("a listing and a database after an export", conv + [first, "--from", "osmocom", "--from", "mobidex", listing, published,
                                                                 "--max-skipped", "25"], 0,
             {"35000001": ("Acme", "Corrected"), "35000009": ("Acme", "Nine"), "35000010": ("Other", "Ten again"),
              "35000011": ("Acme", "\"Quote"), "35000020": ("Acme", "Twenty"),
              "VERSION_": ("v1.26.1206", "Osmocom TAC database CC-BY-SA 3.0; Acme data")},
             b"  line break or control character in a name: 1 (first: %s line 4)\n  comma in a name: 1 (first: %s line 5)\n"
             b"  quote not closed, or row over 4 MiB: 0\nduplicate TACs: 2 (first: %s line 2)\n"
             b"%s (osmocom): rows 2, added 1, replaced 0, dropped 1\n%s (mobidex): rows 6, added 2, replaced 1, dropped 3\n"
             b"%s (mobidex v1.26.1205): rows 1, added 1, replaced 0, dropped 0\n"
             % (listing.encode(), listing.encode(), first.encode(), first.encode(), listing.encode(), published.encode())),
            ("a listing's skipped rows beyond the share", conv + ["--from", "osmocom", first, "--from", "mobidex", listing], 2, None,
             b"2 of 8 rows skipped"),
            ("an export read as a database", conv + ["--from", "mobidex", osmocom], 2, None,
             b"tacdb.csv: not a Vettrix database"),
            ("the catalogue's TACs that no input names", catalogue + ["--from", "osmocom", named], 0, 183,
             b"built-in catalogue: added 181\n"),
            ("--strict, every row usable", conv + ["--from", "osmocom", "--strict", first], 0, 3, b""),
            ("--strict, a repeated TAC", conv + ["--from", "osmocom", "--strict", first, second], 2, None, b"--strict"),
            ("--strict, a skipped row", conv + ["--from", "gsma", "--strict", gsma], 2, None, b"--strict"),
            ("as many devices as the window reads", conv + ["--from", "osmocom", full], 0, 99999, b""),
            ("one device more", conv + ["--from", "osmocom", full, one], 2, None, b"99999 devices"),
            ("no device at all", conv + ["--from", "osmocom", secret], 2, None, b"the inputs give no device; nothing written"),
            ("Osmocom header missing", conv + ["--from", "osmocom", first, gsma], 2, None, b"gsma.txt: not an Osmocom export"),
            ("GSMA header missing", conv + ["--from", "gsma", osmocom], 2, None, b"tacdb.csv: not a GSMA TAC file"),
            ("unknown format", conv + ["--from", "xml", first], 2, None, b"'xml'"),
            ("no such input", conv + ["--from", "osmocom", first + "x"], 2, None, b"first.csvx: No such file or directory"),
            ("unreadable input", NOBODY + conv[1:] + ["--from", "osmocom", secret], 2, None, b"secret.csv: Permission denied"),
            ("output folder not writable", NOBODY + conv[1:] + ["--from", "osmocom", first], 2, None, b"mobidex.csv: Permission denied; nothing written"),
            ("output is a folder", conv + ["--from", "osmocom", first, "-o", "folder"], 2, None, b"folder: Is a directory; nothing written"),
            ("no version", [CLI, "convert", "--from", "osmocom", first], 2, None, b"give the version of the database"),
        ] + [("version " + v, [CLI, "convert", "--from", "osmocom", first, "--version", v], 2, None,
              b"'%s' is not a database version" % v.encode())
             for v in ("v1.26.120", "v1.26.12066", "1.26.12066", "v1.2.61206", "v1.2a.1206", "V1.26.1206")] + [
            ("share " + v, conv + ["--from", "osmocom", first, "--max-skipped", v], 2, None, b"not a share in percent")
            for v in ("-1", "101", "nan", "1%")]
        for name, command, status, want, message in cases:
            self.write("out/mobidex.csv", b"old\r\n")
            result = subprocess.run(command, capture_output=True, cwd=out)
            self.assertEqual(result.returncode, status, name + ": " + result.stderr.decode())
            self.assertIn(message, result.stderr, name)
            self.assertEqual(sorted(os.listdir(out)), ["folder", "mobidex.csv"], name)  # no temporary file
            written = result.stdout if "-" in command else Path(out, "mobidex.csv").read_bytes()
            if want is None:
                self.assertEqual(written, b"" if "-" in command else b"old\r\n", name)
                continue
            # As the window reads it: CR LF lines, fields split at every comma, the version line last.
            lines = written.split(b"\r\n")
            self.assertEqual(lines.pop(), b"", name)
            self.assertTrue(lines[-1].startswith(b"VERSION_,"), name)
            tacs = [line.split(b",")[0] for line in lines[:-1]]
            self.assertEqual(tacs, sorted(set(tacs)), name)
            got = {tac: tuple(names) for tac, *names in (line.decode().split(",") for line in lines)}
            self.assertEqual(got if isinstance(want, dict) else len(got), want, name)
        self.assertIn("--from osmocom|gsma|mobidex", run("convert", "--help").stdout.decode())

    def test_make_mobidex_rebuilds_the_shipped_database(self):
        rebuilt = os.path.join(self.dir.name, "mobidex.csv")
        make = lambda export: subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-mobidex"), "--cli", CLI, export, rebuilt], capture_output=True)
        result = make(os.path.join(ROOT, "data", "tacdb.csv"))
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertTrue(Path(rebuilt).read_bytes() == Path(ROOT, "data", "mobidex.csv").read_bytes(), "tools/make-mobidex no longer builds data/mobidex.csv")
        # An export that lost rows gives no database.
        os.remove(rebuilt)
        result = make(self.write("lossy.csv", b"tac,name,name\n" + b"".join(
            b"%08d,Acme,%sPhone\n" % (35000000 + i, b"\"" if i % 500 == 7 else b"") for i in range(2000))))
        self.assertEqual((result.returncode, os.path.exists(rebuilt)), (2, False), result.stderr.decode())

    def test_accepted_suggestions_reach_the_next_database(self):
        """The operator's loop as the README gives it, through the real programs: suggestions
        taken by the running service and reviewed, listed, converted with the export, published."""
        data, export = os.path.join(self.dir.name, "service"), os.path.join(ROOT, "data", "tacdb.csv")
        os.makedirs(data)
        service = Service(SERVICE, data, db=Path(ROOT, "data", "mobidex.csv").read_bytes())
        self.addCleanup(service.stop)
        operator = lambda *args: subprocess.run([SERVICE, "--data", data, *args], capture_output=True, timeout=60)
        suggestions = [("35675904", "Oppo", "N1 5G", "accept"),  # corrects a device the export names
                       ("99000001", "Acme", "Loop Phone", "accept"), ("99000002", "Acme", "Fake", "reject")]
        for tac, manufacturer, model, decision in suggestions:
            form = urllib.parse.urlencode({"tac": tac, "manufacturer": manufacturer, "model": model, "source": "a test"})
            reference = service.request("POST", "/submit", form, {"Content-Type": "application/x-www-form-urlencoded"})[0]
            self.assertEqual(operator("review", reference.getheader("Location").rsplit("/", 1)[1], decision).returncode, 0, tac)
        listing = operator("submissions", "--status", "accepted", "--format", "mobidex")
        accepted = self.write("accepted.csv", listing.stdout)
        # As the README converts the export (22,663 devices), with the accepted suggestions after it.
        convert = [CLI, "convert", "--from", "osmocom", export, "--version", "v1.26.1207", "-o", "mobidex.csv", "--from", "mobidex", accepted]
        result = subprocess.run(convert, capture_output=True, cwd=self.dir.name)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertIn(b"accepted.csv (mobidex): rows 2, added 1, replaced 1, dropped 0\n", result.stderr)
        self.assertIn(b"devices written: 22664 ", result.stderr)
        published = operator("publish", os.path.join(self.dir.name, "mobidex.csv"))
        self.assertEqual(published.returncode, 0, published.stderr.decode())

        def device(tac):
            response, body = service.request("GET", "/api/v1/tac/" + tac)
            return json.loads(body)["model"] if response.status == 200 else response.status
        # The running service takes the publication up within moments.
        self.assertTrue(until(lambda: device("99000001") == "Loop Phone"))
        self.assertEqual([device(tac) for tac, *_ in suggestions], ["N1 5G", "Loop Phone", 404])

    def test_closed_output_is_quiet(self):
        for command, status in (("generate -n 100000000 --random", 0), ("check --db %s" % self.db, 1)):
            shell = "yes 1 | head -c 50000000 | %s %s | head -c 1000 >/dev/null; echo ${PIPESTATUS[2]} >&2" % (CLI, command)
            result = subprocess.run(["bash", "-c", shell], capture_output=True)
            self.assertEqual(result.stderr.decode().strip(), str(status), command)


class Publisher(http.server.ThreadingHTTPServer):
    """A web service on loopback that publishes whatever the test sets in `pages` (path ->
    (status, body, headers)), and misbehaves when told to: `then` (path -> function) runs once
    after that path was answered, as a publication landing between two requests. The requests'
    headers are kept in `asked`."""

    def __init__(self):
        self.pages, self.then, self.asked = {}, {}, []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(handler):
                self.asked.append(handler.headers)
                status, body, headers = self.pages.get(handler.path, (404, b"", {}))
                handler.send_response(status)
                for name, value in {"Content-Length": str(len(body)), **headers}.items():
                    handler.send_header(name, value)
                handler.end_headers()
                handler.wfile.write(body)
                self.then.pop(handler.path, lambda: None)()

            def log_message(handler, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        self.handle_error = lambda *args: None  # a client that hangs up midway is no error here
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self):
        return "http://127.0.0.1:%d" % self.server_address[1]

    def publish(self, database, number=None, api=True):
        """As vettrix-service does; without `api`, as an older one did."""
        version = database.rsplit(b"\r\n", 2)[-2].split(b",")[1].decode()
        number = number or version.replace("v", "").replace(".", "")[1:]
        digest = hashlib.sha256(database).hexdigest()
        self.pages = {"/dbver": (200, number.encode() + b"\r\n", {}),
                      "/mobidex.csv": (200, database, {"ETag": '"%s"' % digest} if api else {}),
                      "/mobidex.csv.sha256": (200, digest.encode() + b"  mobidex.csv\n", {})}
        if api:
            answer = {"version_text": version, "version_number": number, "devices": 1, "sha256": digest, "published": "2026-12-07"}
            self.pages["/api/v1/database"] = (200, json.dumps(answer).encode(), {"Content-Type": "application/json"})


class UpdateDbTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.db = os.path.join(self.dir.name, "mobidex.csv")
        self.old = database("v1.00.0001")
        Path(self.db).write_bytes(self.old)
        self.service = Publisher()
        self.addCleanup(self.service.server_close)
        self.addCleanup(self.service.shutdown)
        self.config = os.path.join(self.dir.name, "config")
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.config, XDG_CONFIG_DIRS=os.path.join(self.dir.name, "xdg"),
                        XDG_DATA_HOME=os.path.join(self.dir.name, "data"))

    def update(self, *args, cli=(CLI,), service=True, db=True):
        where = ["--service", self.service.url()] if service else []
        database = ["--db", self.db] if db else []
        return subprocess.run([*cli, *where, *database, "update-db", *args], capture_output=True, env=self.env, timeout=60)

    def test_a_newer_database_is_installed_or_nothing_changes(self):
        new = database("v1.00.0002", "87654321,Acme,Phone\r\n")
        elsewhere = self.service.url().replace("127.0.0.1", "localhost") + "/elsewhere.csv"
        bomb = gzip.compress(bytes(1 << 20)) * 1024  # 1 GiB of zeros in 1 MB
        cases = [  # name, what the service does, status, message
            ("no service", lambda: self.service.pages.clear(), 2, b"HTTP 404"),
            ("cut off", lambda: self.service.pages.update({"/mobidex.csv": (200, new[:30], {"Content-Length": str(len(new))})}), 2, b"closed the connection"),
            ("too big", lambda: self.service.pages.update({"/mobidex.csv": (200, b"", {"Content-Length": str(64 << 20)})}), 2, b"larger than 32 MiB"),
            ("a server error", lambda: self.service.pages.update({"/mobidex.csv": (500, b"", {})}), 2, b"HTTP 500"),
            ("changed on the way", lambda: self.service.pages["/mobidex.csv"][1].extend(b"x"), 2, b"does not match its published checksum"),
            ("another version", lambda: self.service.publish(new, "000003"), 2, b"is version 000002, not \"000003\" as published"),
            ("no database", lambda: self.service.publish(b"<html>\r\nVERSION_,v1.00.0002,x\r\n"), 2, b"no database"),
            ("a terminal escape in a name", lambda: self.service.publish(database("v1.00.0002", "87654321,\x1b]0;PWNED\x07\x1b[31mRED,x\r\n")),
             2, b"line 2 holds a control character (U+001B)"),
            ("a gzip bomb", lambda: self.service.pages.update({"/mobidex.csv": (200, bomb, {"Content-Encoding": "gzip"})}), 2,
             b"the answer came encoded (Content-Encoding: \"gzip\")"),
            ("a redirect to another host", lambda: self.service.pages.update({"/mobidex.csv": (302, b"", {"Location": elsewhere}),
                                                                              "/elsewhere.csv": (200, new, {})}),
             2, b"redirected to \"%s\"" % elsewhere.encode()),
        ]
        for name, misbehave, status, message in cases:
            self.service.publish(bytearray(new))
            misbehave()
            result = self.update()
            self.assertEqual(result.returncode, status, name + ": " + result.stderr.decode())
            self.assertIn(message, result.stderr, name)
            self.assertIn(b"is unchanged", result.stderr, name)
            self.assertEqual(Path(self.db).read_bytes(), self.old, name)
            self.assertEqual([f for f in os.listdir(self.dir.name) if f.startswith(".") or f.startswith("mobidex")], ["mobidex.csv"], name)
        # Never an encoded answer asked for.
        self.assertEqual({headers["Accept-Encoding"] for headers in self.service.asked}, {"identity"})
        # A folder it may not write: as root nothing stops it, so as nobody.
        os.chmod(self.dir.name, 0o755)
        os.chmod(self.db, 0o644)
        self.service.publish(new)
        result = self.update(cli=NOBODY)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"Permission denied", result.stderr)

        newer = database("v1.00.0003", "87654322,Acme,Phone 2\r\n")
        moves = [  # name, api, after which request the newer database is published, what is installed
            ("an older service, without the JSON API", False, None, new),
            ("a publication after the version's answer", True, ("/api/v1/database", "/dbver"), newer),
            ("a publication after the download", True, ("/mobidex.csv",), new),
        ]
        for name, api, after, installed in moves:
            Path(self.db).write_bytes(self.old)
            self.service.publish(new, api=api)
            self.assertEqual(self.update("--check").returncode, 1, name)
            self.service.then = {path: lambda: self.service.publish(newer) for path in after or ()}
            result = self.update()
            self.assertEqual(result.returncode, 0, name + ": " + result.stderr.decode())
            self.assertEqual(Path(self.db).read_bytes(), installed, name)
        self.assertIn(b"installed v1.00.0002 (version number 000002, 2 devices)", result.stdout)
        for args in ([], ["--check"]):
            self.service.publish(new)
            result = self.update(*args)
            self.assertEqual(result.returncode, 0)
            self.assertIn(b"is current", result.stdout)
        # Versions compare by their first digit first, which the version number leaves out.
        for version, installed in (("v2.00.0001", True), ("v1.99.9999", False)):
            before = Path(self.db).read_bytes()
            self.service.publish(database(version))
            result = self.update()
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(Path(self.db).read_bytes(), database(version) if installed else before, version)

    def test_an_installed_copy_updates_the_users_own_database(self):
        # Installed as a package installs it: the program in PREFIX/bin, the shipped database in
        # PREFIX/share/vettrix, neither to be written; run by root and by a user.
        os.chmod(self.dir.name, 0o755)
        shipped, home = os.path.join(self.dir.name, "share", "vettrix", "mobidex.csv"), os.path.join(self.dir.name, "home")
        for folder in (os.path.dirname(shipped), os.path.join(self.dir.name, "bin"), home):
            os.makedirs(folder)
        program, _ = shutil.copy(CLI, os.path.join(self.dir.name, "bin")), shutil.copy(self.db, shipped)
        os.chown(home, 65534, 65534)
        # Newer than any database a machine may have installed under /usr/share/vettrix.
        new = database("v1.99.0001", "87654321,Acme,Phone\r\n")
        self.service.publish(new)
        for who, cli in (("root", [program]), ("a user", NOBODY[:-1] + [program])):
            data = os.path.join(home, who)
            self.env["XDG_DATA_HOME"] = data
            result = self.update(cli=cli, db=False)
            self.assertEqual(result.returncode, 0, who + ": " + result.stderr.decode())
            self.assertIn(b"as %s/vettrix/mobidex.csv" % data.encode(), result.stdout, who)
            self.assertEqual((Path(data, "vettrix", "mobidex.csv").read_bytes(), Path(shipped).read_bytes()), (new, self.old), who)
            self.assertIn(b"is current", self.update(cli=cli, db=False).stdout, who)

    def test_the_service_address_comes_from_the_settings(self):
        self.service.publish(self.old)
        system = os.path.join(self.dir.name, "xdg")
        cases = [  # name, user's file, system's file, status, text on standard error
            ("the system's", None, "service-url=%s\n" % self.service.url(), 0, b""),
            ("the user's, in [General]", "[General]\nservice-url=%s\n" % self.service.url(), "service-url=http://127.0.0.1:1\n", 0, b""),
            ("no address in the user's file", "other=1\n", "service-url=%s\n" % self.service.url(), 0, b""),
            ("a scheme in capitals", "service-url=%s\n" % self.service.url().replace("http", "HTTP"), None, 0, b""),
            ("not a web address", "service-url=127.0.0.1:1\n", None, 2, b"\"127.0.0.1:1\" (service-url in %s/vettrix/vettrix.conf) is not a web address" % self.config.encode()),
            ("a misspelt key beside the system's address", "# mine\n[General]\nservice_url = http://127.0.0.1:1\n",
             "service-url=%s\n" % self.service.url(), 0, b"vettrix-cli: Unknown key \"service_url\" in %s/vettrix/vettrix.conf line 3 "
             b"(did you mean service-url?).\n" % self.config.encode()),
            # Keys as QSettings reads them: escapes decoded, [General] in any case, comments after ';'.
            ("an escaped key in [general]", "[general] ; mine\nservice%%2Durl = %s ; the lab's\nservce-url = x\n" % self.service.url(), None, 0,
             b"vettrix-cli: Unknown key \"servce-url\" in %s/vettrix/vettrix.conf line 3 (did you mean service-url?).\n" % self.config.encode()),
            # The build setting stands in, and the failure says so.
            ("a misspelt key alone", "[General]\nServiceURL=http://127.0.0.1:1\n", None, 2,
             b"The built-in address %s was used: no settings file sets service-url" % SERVICE_URL.encode()),
        ]
        for name, user, system_text, status, message in cases:
            for folder, text in ((self.config, user), (system, system_text)):
                path = Path(folder, "vettrix", "vettrix.conf")
                path.unlink(missing_ok=True)
                if text is not None:
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_text(text)
            result = self.update(service=False)
            self.assertEqual(result.returncode, status, name + ": " + result.stderr.decode())
            self.assertIn(message, result.stderr, name)
            self.assertLessEqual(result.stderr.count(b"Unknown key"), 1, name)  # told once
        # The build setting stood in for the bad one; --service wins over any file.
        self.assertIn(SERVICE_URL.encode(), result.stderr)
        self.assertEqual(self.update().returncode, 0)


if __name__ == "__main__":
    unittest.main()
