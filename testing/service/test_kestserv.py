"""Tests of the analytics service stand-in (kestserv.py).

Run with: python3 -m unittest discover -s testing/service
"""

import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import kestserv  # noqa: E402

SOAP = "http://www.w3.org/2003/05/soap-envelope"
SVC = "http://services.kestavorn.example/KestActServ"
AGENT = "KestavornKVA/4.0.0.29"
ROOT_PREFIXES = ["SOAP-ENV", "SOAP-ENC", "xsi", "xsd",
                 "KestActServ", "KestActServ2", "KestActServ3"]


def library_id(customer, product):
    """The library identifier, computed here from its definition."""
    text = ("%05u%05u" % (customer, product)).encode("ascii")
    key = b"Vn4rQ8zKt2Lw7Xp1Hc9MbS"[:10]
    return bytes(t ^ k for t, k in zip(text, key)).hex()


def envelope(operation, xml_data=None, lib_id=None, library_information=AGENT,
             header_information="0", parms=None, body=None, root_attrs=None):
    """A request envelope as the library writes it; pieces can be replaced
    to build faulty variants."""
    if lib_id is None:
        lib_id = library_id(42, 7)
    if root_attrs is None:
        root_attrs = (
            ' xmlns:SOAP-ENV="http://www.w3.org/2003/05/soap-envelope"'
            ' xmlns:SOAP-ENC="http://www.w3.org/2003/05/soap-encoding"'
            ' xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
            ' xmlns:xsd="http://www.w3.org/2001/XMLSchema"'
            ' xmlns:KestActServ="http://services.kestavorn.example/KestActServ"'
            ' xmlns:KestActServ2="http://services.kestavorn.example/KestActServSoap"'
            ' xmlns:KestActServ3="http://services.kestavorn.example/KestActServSoap12"')
    if parms is None:
        parms = ('<SOAPKestParms xmlns="%s">'
                 '<libraryInformation>%s</libraryInformation>'
                 '<libraryID>%s</libraryID>'
                 '<headerInformation>%s</headerInformation>'
                 '</SOAPKestParms>' % (SVC, library_information, lib_id,
                                       header_information))
    if body is None:
        if xml_data is None:
            body = "<KestActServ:%s/>" % operation
        else:
            body = ("<KestActServ:%s><KestActServ:XMLData><![CDATA[%s]]>"
                    "</KestActServ:XMLData></KestActServ:%s>"
                    % (operation, xml_data, operation))
    text = ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<SOAP-ENV:Envelope%s>\n'
            '  <SOAP-ENV:Header>%s</SOAP-ENV:Header>\n'
            '  <SOAP-ENV:Body>%s</SOAP-ENV:Body>\n'
            '</SOAP-ENV:Envelope>\n' % (root_attrs, parms, body))
    return text.encode("utf-8")


def request_headers(operation):
    return {
        "User-Agent": AGENT,
        "Connection": "close",
        "Content-Type": 'application/soap+xml; charset=utf-8; '
                        'action="%s/%s"' % (SVC, operation),
    }


# ---------------------------------------------------------------------------
# Cipher


class CipherTest(unittest.TestCase):
    KNOWN = [
        (b"ab", "000000000000000000",
         "7afa303030303030303030303030303030303030"),
        (b"<vorlanserver/>", "123456789012345678",
         "743725d47cbf6d8fce50de87bd05d831"
         "3233343536373839303132333435363738"),
        (b"x" * 70, "314159265358979323",
         "242499f6901f0d44b73c34633b7d1e353beb9006f02bf12301e09d0c54012ab5"
         "13cc5f704ac6270781812e39b22898e0c4b08ccd5bac15aafa722526f8bfe131"
         "7947ac4695d9333134313539323635333538393739333233"),
    ]

    def test_known_answers(self):
        for plain, salt, hex_text in self.KNOWN:
            with self.subTest(plain=plain[:16], salt=salt):
                self.assertEqual(kestserv.encipher(plain, salt), hex_text)
                self.assertEqual(kestserv.decipher(hex_text), plain)

    def test_round_trip(self):
        cases = [b"a", b"\x00" * 31, bytes(range(32)), bytes(range(33)),
                 "<r>\u00e9\u4e2d</r>".encode("utf-8"), os.urandom(64),
                 os.urandom(1000)]
        for plain in cases:
            with self.subTest(length=len(plain)):
                text = kestserv.encipher(plain)
                self.assertRegex(text, r"^[0-9a-f]+$")
                self.assertEqual(len(text), 2 * len(plain) + 36)
                self.assertRegex(bytes.fromhex(text[-36:]).decode("ascii"),
                                 r"^[0-9]{18}$")
                self.assertEqual(kestserv.decipher(text), plain)

    def test_fresh_salt_each_time(self):
        texts = {kestserv.encipher(b"same text") for _ in range(5)}
        self.assertEqual(len(texts), 5)

    def test_decipher_edge_cases(self):
        ab = self.KNOWN[0][2]
        cases = [
            ("empty", "", None),
            ("none", None, None),
            ("36 characters", "3" * 36, None),
            ("salt only, odd", "3" * 37, b""),
            ("upper case", ab.upper(), b"ab"),
            ("odd last character dropped", ab + "f", b"ab"),
            # "7a" -> "7g": g counts as 0, the same as "70".
            ("non-hex is nibble 0", "7g" + ab[2:],
             kestserv.decipher("70" + ab[2:])),
        ]
        for name, text, expected in cases:
            with self.subTest(name):
                self.assertEqual(kestserv.decipher(text), expected)
        self.assertNotEqual(kestserv.decipher("70" + ab[2:]), b"ab")

    def test_keystream_follows_sha256_of_key_and_counter(self):
        salt = b"271828182845904523"
        key = b"739104826351907264" + salt
        stream = b"".join(hashlib.sha256(key + i.to_bytes(8, "big")).digest()
                          for i in range(3))
        plain = bytes(range(80))
        expected = bytes(p ^ s for p, s in zip(plain, stream)) + salt
        self.assertEqual(kestserv.encipher(plain, salt.decode()), expected.hex())

    def test_bad_salt_refused(self):
        for salt in ["12345", "12345678901234567x", "1" * 19]:
            with self.subTest(salt=salt):
                with self.assertRaises(ValueError):
                    kestserv.encipher(b"x", salt)


# ---------------------------------------------------------------------------
# Library identifier


class LibraryIdTest(unittest.TestCase):
    def test_known_value(self):
        expected = library_id(42, 7)
        self.assertEqual(len(expected), 20)
        self.assertEqual(kestserv.encode_library_id(42, 7), expected)
        self.assertEqual(kestserv.decode_library_id(expected), (42, 7))

    def test_table(self):
        cases = [
            (library_id(0, 0), (0, 0)),
            (library_id(99999, 65535), (99999, 65535)),
            (library_id(12345, 1), (12345, 1)),
            ("KESTNA", (None, None)),
            ("", (None, None)),
            (None, (None, None)),
            (library_id(42, 7)[:18], (None, None)),
            ("zz" + library_id(42, 7)[2:], (None, None)),
            ("00" * 10, (None, None)),  # XOR with the key gives no digits
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(kestserv.decode_library_id(text), expected)


# ---------------------------------------------------------------------------
# Request checks (no server)


class ExamineTest(unittest.TestCase):
    def test_well_formed(self):
        record = "<featurestart><name>Print</name></featurestart>"
        info = kestserv.examine_envelope(
            envelope("RecordFeatureStart", kestserv.encipher(record)))
        self.assertEqual(info["problems"], [])
        self.assertEqual(info["operation"], "RecordFeatureStart")
        self.assertEqual(info["library_information"], AGENT)
        self.assertEqual(info["library_id"], library_id(42, 7))
        self.assertEqual(info["header_information"], "0")
        self.assertEqual(info["xmlns_order"], ROOT_PREFIXES)
        self.assertTrue(info["xmldata_cdata"])
        self.assertEqual(info["record"], record)

    def test_get_location_and_no_library_id(self):
        info = kestserv.examine_envelope(envelope("GetLocation", lib_id="KESTNA"))
        self.assertEqual(info["problems"], [])
        self.assertEqual(info["operation"], "GetLocation")
        self.assertIsNone(info["record"])

    def test_xmlns_order_as_written(self):
        attrs = (' xmlns:xsd="http://www.w3.org/2001/XMLSchema"'
                 ' xmlns:SOAP-ENV="http://www.w3.org/2003/05/soap-envelope"'
                 " xmlns:KestActServ='http://services.kestavorn.example/KestActServ'")
        info = kestserv.examine_envelope(
            envelope("RecordLogin", kestserv.encipher("x"), root_attrs=attrs))
        self.assertEqual(info["xmlns_order"], ["xsd", "SOAP-ENV", "KestActServ"])

    def test_faulty_envelopes(self):
        good = kestserv.encipher("<r/>")
        parms = ('<SOAPKestParms xmlns="%s"><libraryInformation>%s'
                 '</libraryInformation><libraryID>%s</libraryID>'
                 '<headerInformation>0</headerInformation></SOAPKestParms>')
        cases = [
            ("empty body", b"", "empty"),
            ("not XML", b"<?xml version='1.0'?><a><b></a>", "not well-formed"),
            ("no declaration",
             envelope("RecordAppStart", good).split(b"\n", 1)[1], "declaration"),
            ("doctype",
             envelope("RecordAppStart", good).replace(
                 b"\n", b'\n<!DOCTYPE x [<!ENTITY e "e">]>\n', 1),
             "document type"),
            ("root not SOAP 1.2",
             envelope("RecordAppStart", good).replace(
                 b"http://www.w3.org/2003/05/soap-envelope",
                 b"http://schemas.xmlsoap.org/soap/envelope/"),
             "root element"),
            ("no header",
             envelope("RecordAppStart", good).replace(
                 envelope("RecordAppStart", good).split(b"<SOAP-ENV:Header>")[1]
                 .split(b"</SOAP-ENV:Header>")[0], b"").replace(
                     b"<SOAP-ENV:Header></SOAP-ENV:Header>", b""),
             "Envelope holds"),
            ("parms prefixed",
             envelope("RecordAppStart", good, parms=(
                 '<KestActServ:SOAPKestParms><KestActServ:libraryInformation>%s'
                 '</KestActServ:libraryInformation><KestActServ:libraryID>%s'
                 '</KestActServ:libraryID><KestActServ:headerInformation>0'
                 '</KestActServ:headerInformation></KestActServ:SOAPKestParms>'
                 % (AGENT, library_id(1, 2)))),
             "default namespace"),
            ("parms out of order",
             envelope("RecordAppStart", good, parms=(
                 '<SOAPKestParms xmlns="%s"><libraryID>%s</libraryID>'
                 '<libraryInformation>%s</libraryInformation>'
                 '<headerInformation>0</headerInformation></SOAPKestParms>'
                 % (SVC, library_id(1, 2), AGENT))),
             "SOAPKestParms holds"),
            ("parms in no namespace",
             envelope("RecordAppStart", good, parms=(
                 parms.replace(' xmlns="%s"', "") % (AGENT, library_id(1, 2)))),
             "the Header holds"),
            ("wrong library information",
             envelope("RecordAppStart", good, library_information="Other/1.0"),
             "libraryInformation"),
            ("upper-case library ID",
             envelope("RecordAppStart", good, lib_id=library_id(1, 2).upper()),
             "libraryID"),
            ("library ID not digits",
             envelope("RecordAppStart", good, lib_id="00" * 10), "libraryID"),
            ("header information not a number",
             envelope("RecordAppStart", good, header_information="x"),
             "headerInformation"),
            ("two operations",
             envelope("RecordAppStart", body=(
                 "<KestActServ:RecordAppStart/><KestActServ:RecordAppStop/>")),
             "Body holds 2"),
            ("operation in wrong namespace",
             envelope("RecordAppStart", body=(
                 '<RecordAppStart xmlns="urn:other"><XMLData>%s</XMLData>'
                 '</RecordAppStart>' % good)),
             "the operation RecordAppStart is in namespace urn:other"),
            ("no XMLData",
             envelope("RecordAppStart", body="<KestActServ:RecordAppStart/>"),
             "RecordAppStart holds nothing"),
            ("XMLData with a sibling",
             envelope("RecordAppStart", body=(
                 "<KestActServ:RecordAppStart><KestActServ:XMLData>%s"
                 "</KestActServ:XMLData><KestActServ:More/>"
                 "</KestActServ:RecordAppStart>" % good)),
             "RecordAppStart holds"),
            ("two CDATA sections",
             envelope("RecordAppStart", body=(
                 "<KestActServ:RecordAppStart><KestActServ:XMLData>"
                 "<![CDATA[%s]]><![CDATA[%s]]></KestActServ:XMLData>"
                 "</KestActServ:RecordAppStart>" % (good[:40], good[40:]))),
             "CDATA sections"),
            ("XMLData too short", envelope("RecordAppStart", "ab" * 18),
             "does not decipher"),
            ("XMLData upper case", envelope("RecordAppStart", good.upper()),
             "lower-case"),
            ("salt not digits",
             envelope("RecordAppStart", good[:-36] + "41" * 18), "salt"),
            ("GetLocation not empty",
             envelope("GetLocation", body=(
                 "<KestActServ:GetLocation><KestActServ:XMLData>%s"
                 "</KestActServ:XMLData></KestActServ:GetLocation>" % good)),
             "GetLocation is not empty"),
        ]
        for name, body, fragment in cases:
            with self.subTest(name):
                problems = kestserv.examine_envelope(body)["problems"]
                self.assertTrue(any(fragment in p for p in problems),
                                "%r not in %r" % (fragment, problems))

    def test_headers(self):
        good = request_headers("RecordAppStop")
        good["Host"] = "127.0.0.1:1"
        cases = [
            ("good", {}, "RecordAppStop", None),
            ("other agent", {"User-Agent": "curl/8"}, "RecordAppStop", "User-Agent"),
            ("no agent", {"User-Agent": None}, "RecordAppStop", "User-Agent"),
            ("keep-alive", {"Connection": "keep-alive"}, "RecordAppStop", "Connection"),
            ("expect", {"Expect": "100-continue"}, "RecordAppStop", "Expect"),
            ("no host", {"Host": None}, "RecordAppStop", "Host"),
            ("action differs", {}, "RecordAppStart", "action names"),
            ("SOAP 1.1 type", {"Content-Type": "text/xml; charset=utf-8"},
             "RecordAppStop", "Content-Type"),
            ("charset missing",
             {"Content-Type": 'application/soap+xml; action="%s/RecordAppStop"' % SVC},
             "RecordAppStop", "Content-Type"),
        ]
        for name, change, operation, fragment in cases:
            with self.subTest(name):
                headers = dict(good)
                for k, v in change.items():
                    if v is None:
                        headers.pop(k)
                    else:
                        headers[k] = v
                action, expect, problems = kestserv.examine_headers(
                    "POST", "HTTP/1.1", headers, operation)
                self.assertEqual(expect, "Expect" in headers)
                if fragment is None:
                    self.assertEqual(problems, [])
                    self.assertEqual(action, "RecordAppStop")
                else:
                    self.assertTrue(any(fragment in p for p in problems),
                                    "%r not in %r" % (fragment, problems))


# ---------------------------------------------------------------------------
# The running server


class Running:
    """kestserv.py started in a subprocess on a free port."""

    def __init__(self, directory, *extra):
        self.record_path = os.path.join(directory, "record-%d.jsonl" % id(self))
        self.port_file = os.path.join(directory, "port-%d" % id(self))
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "kestserv.py"), "--host",
             "127.0.0.1", "--port", "0", "--record", self.record_path,
             "--port-file", self.port_file] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            line = self.proc.stdout.readline().split()
            if line[:2] != ["listening", "127.0.0.1"]:
                raise RuntimeError("server did not start: %r" % line)
            self.port = int(line[2])
            with open(self.port_file) as f:
                if int(f.read()) != self.port:
                    raise RuntimeError("port file disagrees")
        except BaseException:
            self.proc.kill()
            self.proc.wait()
            self.proc.stdout.close()
            raise

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = "did not stop"
        self.proc.stdout.close()
        return rc

    def records(self):
        with open(self.record_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f]


def post(port, operation, body, headers=None, context=None, path="/KestActServ"):
    if context is None:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    else:
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=30,
                                           context=context)
    try:
        conn.request("POST", path, body,
                     headers if headers is not None else request_headers(operation))
        resp = conn.getresponse()
        return resp.status, dict(resp.getheaders()), resp.read()
    finally:
        conn.close()


def control(port, settings=None, context=None):
    if context is None:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    else:
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=30,
                                           context=context)
    try:
        if settings is None:
            conn.request("GET", "/control")
        else:
            conn.request("POST", "/control", json.dumps(settings),
                         {"Content-Type": "application/json"})
        resp = conn.getresponse()
        return resp.status, json.loads(resp.read())
    finally:
        conn.close()


def result_text(body, operation):
    root = ET.fromstring(body)
    result = root.find("{%s}Body/{%s}%sResponse/{%s}%sResult"
                       % (SOAP, SVC, operation, SVC, operation))
    return None if result is None else (result.text or "")


def inner(body, operation):
    plain = kestserv.decipher(result_text(body, operation))
    return ET.fromstring(plain)


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kestserv-test-")
        cls.server = Running(cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        status, _ = control(self.server.port, {"mode": "normal"})
        self.assertEqual(status, 200)

    def test_well_formed_request_recorded_and_answered(self):
        record = "<appstart><name>Demo \u00e9</name></appstart>"
        body = envelope("RecordFeatureStart", kestserv.encipher(record))
        before = len(self.server.records())
        status, headers, reply = post(self.server.port, "RecordFeatureStart", body)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/soap+xml; charset=utf-8")
        self.assertEqual(headers["Connection"], "close")
        self.assertTrue(reply.startswith(b'<?xml version="1.0" encoding="utf-8"?>'))
        doc = inner(reply, "RecordFeatureStart")
        self.assertEqual(doc.tag, "vorlanserver")
        self.assertEqual(doc.findtext("returnvalue"), "0")
        self.assertIsNone(doc.find("errormessage"))
        self.assertIsNone(doc.find("KestavornDaemon"))

        records = self.server.records()
        self.assertEqual(len(records), before + 1)
        r = records[-1]
        self.assertEqual(r["path"], "/KestActServ")
        self.assertEqual(r["method"], "POST")
        self.assertEqual(r["headers"]["User-Agent"], AGENT)
        self.assertEqual(r["headers"]["Connection"], "close")
        self.assertFalse(r["expect_header_present"])
        self.assertEqual(r["operation"], "RecordFeatureStart")
        self.assertEqual(r["action_operation"], "RecordFeatureStart")
        self.assertEqual(r["library_information"], AGENT)
        self.assertEqual(r["library_id"], library_id(42, 7))
        self.assertEqual((r["customer_id"], r["product_id"]), (42, 7))
        self.assertEqual(r["header_information"], "0")
        self.assertEqual(r["xmlns_order"], ROOT_PREFIXES)
        self.assertEqual(r["record"], record)
        self.assertEqual(r["problems"], [])
        self.assertEqual(r["mode"], "normal")
        self.assertIsInstance(r["time"], float)

    def test_faulty_request_recorded_with_problems(self):
        body = envelope("RecordLogin", kestserv.encipher("<x/>"), lib_id="KESTNA")
        headers = request_headers("RecordLogout")
        headers["Expect"] = "100-continue"
        status, _, reply = post(self.server.port, "RecordLogin", body, headers,
                                path="/")
        self.assertEqual(status, 200)
        r = self.server.records()[-1]
        self.assertEqual(r["path"], "/")
        self.assertTrue(r["expect_header_present"])
        self.assertEqual((r["customer_id"], r["product_id"]), (None, None))
        self.assertEqual(r["action_operation"], "RecordLogout")
        self.assertEqual(r["operation"], "RecordLogin")
        self.assertTrue(any("Expect" in p for p in r["problems"]))
        self.assertTrue(any("action names" in p for p in r["problems"]))

    def test_modes(self):
        xml_data = kestserv.encipher("<r/>")

        def fault(status, headers, body):
            self.assertEqual(status, 500)
            root = ET.fromstring(body)
            f = root.find("{%s}Body/{%s}Fault" % (SOAP, SOAP))
            self.assertIsNotNone(f)
            self.assertEqual(f.findtext("{%s}Code/{%s}Value" % (SOAP, SOAP)),
                             "soap:Receiver")
            self.assertEqual(f.findtext("{%s}Reason/{%s}Text" % (SOAP, SOAP)),
                             "Server was unable to process request")
            self.assertNotIn(b"Result", body)

        def not_xml(status, headers, body):
            self.assertEqual(status, 200)
            self.assertTrue(body)
            with self.assertRaises(ET.ParseError):
                ET.fromstring(body)

        def empty_body(status, headers, body):
            self.assertEqual(status, 200)
            self.assertEqual(headers["Content-Length"], "0")
            self.assertEqual(body, b"")

        def relay(status, headers, body):
            doc = inner(body, "RecordAppStop")
            self.assertEqual(doc.findtext("returnvalue"), "-5")
            self.assertEqual(doc.findtext("KestavornDaemon"), "1")
            self.assertTrue(doc.findtext("errormessage"))

        def location(status, headers, body):
            doc = inner(body, "GetLocation")
            self.assertEqual(doc.findtext("returnvalue"), "0")
            self.assertEqual(doc.findtext("location/countryid"), "99")
            self.assertEqual(doc.findtext("location/country"), "Utopia")
            self.assertEqual(doc.findtext("location/zipcode"), "12345")

        def returnvalue_00(status, headers, body):
            doc = inner(body, "RecordAppStop")
            self.assertEqual(doc.findtext("returnvalue"), "00")
            self.assertIsNone(doc.find("errormessage"))

        def returnvalue_error(status, headers, body):
            doc = inner(body, "RecordAppStop")
            self.assertEqual(doc.findtext("returnvalue"), "abc")
            self.assertEqual(doc.findtext("errormessage"), "go away")

        def no_returnvalue(status, headers, body):
            doc = inner(body, "RecordAppStop")
            self.assertIsNone(doc.find("returnvalue"))

        def bad_cipher(status, headers, body):
            text = result_text(body, "RecordAppStop")
            self.assertEqual(text, "zz")
            self.assertIsNone(kestserv.decipher(text))

        def empty_result(status, headers, body):
            self.assertEqual(result_text(body, "RecordAppStop"), "")

        def doctype(status, headers, body):
            self.assertEqual(status, 200)
            head = body[:200]
            self.assertIn(b'<!DOCTYPE soap:Envelope [<!ENTITY a "aaaa', head)
            self.assertGreaterEqual(body.count(b"&a;"), 100)

        def inner_doctype(status, headers, body):
            plain = kestserv.decipher(result_text(body, "RecordAppStop"))
            self.assertIn(b"<!DOCTYPE vorlanserver [<!ENTITY a", plain)
            self.assertIn(b"&a;", plain)

        def delayed(status, headers, body):
            self.assertEqual(inner(body, "RecordAppStop").findtext("returnvalue"), "0")

        def huge(status, headers, body):
            self.assertEqual(status, 200)
            self.assertEqual(len(body), 3 * 1024 * 1024)
            self.assertTrue(body.startswith(b"<?xml"))

        cases = [
            ({"mode": "fault"}, "RecordAppStop", fault),
            ({"mode": "not-xml"}, "RecordAppStop", not_xml),
            ({"mode": "empty-body"}, "RecordAppStop", empty_body),
            ({"mode": "relay", "returnvalue": "-5"}, "RecordAppStop", relay),
            ({"mode": "normal", "countryid": "99"}, "GetLocation", location),
            ({"mode": "normal", "returnvalue": "00"}, "RecordAppStop", returnvalue_00),
            ({"mode": "normal", "returnvalue": "abc", "errormessage": "go away"},
             "RecordAppStop", returnvalue_error),
            ({"mode": "no-returnvalue"}, "RecordAppStop", no_returnvalue),
            ({"mode": "bad-cipher"}, "RecordAppStop", bad_cipher),
            ({"mode": "empty-result"}, "RecordAppStop", empty_result),
            ({"mode": "doctype"}, "RecordAppStop", doctype),
            ({"mode": "inner-doctype"}, "RecordAppStop", inner_doctype),
            ({"mode": "delay", "seconds": 0.05}, "RecordAppStop", delayed),
            ({"mode": "huge"}, "RecordAppStop", huge),
        ]
        for settings, operation, check in cases:
            with self.subTest(settings=settings):
                status, current = control(self.server.port, settings)
                self.assertEqual(status, 200)
                self.assertEqual(current["mode"], settings["mode"])
                body = envelope(operation, None if operation == "GetLocation"
                                else xml_data)
                check(*post(self.server.port, operation, body))
                self.assertEqual(self.server.records()[-1]["mode"], settings["mode"])

    def test_close_mode(self):
        control(self.server.port, {"mode": "close"})
        body = envelope("RecordCache", kestserv.encipher("<c/>"))
        with self.assertRaises(http.client.RemoteDisconnected):
            post(self.server.port, "RecordCache", body)
        r = self.server.records()[-1]
        self.assertEqual((r["mode"], r["operation"]), ("close", "RecordCache"))

    def test_reset_mode(self):
        status, _ = control(self.server.port, {"mode": "reset"})
        self.assertEqual(status, 200)
        body = envelope("RecordSystemInfo", "5a" * (8 << 20))
        with self.assertRaises((ConnectionError, ssl.SSLError)):
            post(self.server.port, "RecordSystemInfo", body)
        r = self.server.records()[-1]
        self.assertEqual(r["mode"], "reset")
        # Closed after the first bytes, before the request was read.
        self.assertIsNone(r["operation"])
        self.assertTrue(any("reset after the first" in p for p in r["problems"]))
        # Control requests still get through.
        status, current = control(self.server.port)
        self.assertEqual((status, current["mode"]), (200, "reset"))
        status, current = control(self.server.port, {"mode": "normal"})
        self.assertEqual((status, current["mode"]), (200, "normal"))

    def test_reset_mode_on_open_connection(self):
        # A connection kept open from before the switch is reset on its
        # next request, once that request has been read.
        body = envelope("RecordAppStart", kestserv.encipher("<s/>"))
        headers = request_headers("RecordAppStart")
        del headers["Connection"]
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        try:
            conn.request("POST", "/KestActServ", body, headers)
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(resp.status, 200)
            self.assertTrue(any("Connection" in p
                                for p in self.server.records()[-1]["problems"]))
            control(self.server.port, {"mode": "reset"})
            with self.assertRaises(ConnectionError):
                conn.request("POST", "/KestActServ", body, headers)
                conn.getresponse().read()
        finally:
            conn.close()
            control(self.server.port, {"mode": "normal"})
        r = self.server.records()[-1]
        self.assertEqual((r["mode"], r["operation"]), ("reset", "RecordAppStart"))

    def test_control_api(self):
        port = self.server.port
        before = len(self.server.records())
        status, current = control(port, {"mode": "relay", "returnvalue": "-32"})
        self.assertEqual(status, 200)
        # Without a mode, only the keys named change.
        status, current = control(port, {"countryid": "7"})
        self.assertEqual(status, 200)
        status, current = control(port)
        self.assertEqual(status, 200)
        self.assertEqual((current["mode"], current["returnvalue"], current["countryid"]),
                         ("relay", "-32", "7"))
        bad = [{"mode": "nonsense"}, {"colour": "red"}, {"seconds": -1},
               {"status": "x"}, ["mode", "fault"], {"returnvalue": None}]
        for settings in bad:
            with self.subTest(settings=settings):
                status, answer = control(port, settings)
                self.assertEqual(status, 400)
                self.assertIn("error", answer)
                self.assertEqual(control(port)[1]["mode"], "relay")
        # A mode starts again from the defaults.
        status, current = control(port, {"mode": "normal"})
        self.assertEqual((current["returnvalue"], current["countryid"]), ("0", "42"))
        self.assertEqual(len(self.server.records()), before)
        self.assertEqual(current["recorded"], before)

    def test_ten_clients_at_once(self):
        control(self.server.port, {"mode": "delay", "seconds": 0.3})
        before = len(self.server.records())
        results = [None] * 10
        barrier = threading.Barrier(10)

        def client(i):
            body = envelope("RecordException",
                            kestserv.encipher("<e n='%d'>%s</e>" % (i, "y" * 5000)))
            barrier.wait()
            try:
                status, _, reply = post(self.server.port, "RecordException", body)
                results[i] = (status, inner(reply, "RecordException")
                              .findtext("returnvalue"))
            except Exception as exc:  # reported below
                results[i] = exc

        threads = [threading.Thread(target=client, args=(i,)) for i in range(10)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, [(200, "0")] * 10)
        records = self.server.records()[before:]
        self.assertEqual(sorted(r["record"].split("'")[1] for r in records),
                         sorted(str(i) for i in range(10)))
        self.assertTrue(all(r["problems"] == [] for r in records))

    def test_get_on_service_path(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        try:
            conn.request("GET", "/KestActServ", headers={"Connection": "close"})
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(resp.status, 405)
        finally:
            conn.close()
        r = self.server.records()[-1]
        self.assertEqual(r["method"], "GET")
        self.assertTrue(any("method is GET" in p for p in r["problems"]))


class CommandLineTest(unittest.TestCase):
    def test_defaults_and_clean_stop(self):
        cases = [
            (signal.SIGTERM, ["--mode", "fault", "--returnvalue", "-32"],
             {"mode": "fault", "returnvalue": "-32"}),
            (signal.SIGINT, ["--countryid", "99", "--country", "Erewhon"],
             {"mode": "normal", "countryid": "99", "country": "Erewhon"}),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            for sig, args, expected in cases:
                with self.subTest(args=args):
                    server = Running(tmp, *args)
                    try:
                        status, current = control(server.port)
                    finally:
                        rc = server.stop(sig)
                    self.assertEqual(status, 200)
                    for key, value in expected.items():
                        self.assertEqual(current[key], value)
                    self.assertEqual(rc, 0)

    def test_refuses_other_addresses(self):
        proc = subprocess.run(
            [sys.executable, os.path.join(HERE, "kestserv.py"), "--host", "0.0.0.0"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=30)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("loopback", proc.stderr)


@unittest.skipUnless(shutil.which("openssl"), "openssl command not found")
class HttpsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kestserv-tls-")
        cls.cert = os.path.join(cls.tmp, "c.pem")
        cls.key = key = os.path.join(cls.tmp, "k.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
             "-subj", "/CN=localhost",
             "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
             "-keyout", key, "-out", cls.cert],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.server = Running(cls.tmp, "--cert", cls.cert, "--key", key)
        cls.context = ssl.create_default_context(cafile=cls.cert)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_tls_1_2_minimum(self):
        context = kestserv.make_ssl_context(self.cert, self.key)
        self.assertEqual(context.minimum_version, ssl.TLSVersion.TLSv1_2)

    def test_post_over_https(self):
        control(self.server.port, {"mode": "normal"}, self.context)
        record = "<login user='u'/>"
        body = envelope("RecordLogin", kestserv.encipher(record))
        status, _, reply = post(self.server.port, "RecordLogin", body,
                                context=self.context)
        self.assertEqual(status, 200)
        self.assertEqual(inner(reply, "RecordLogin").findtext("returnvalue"), "0")
        r = self.server.records()[-1]
        self.assertEqual((r["scheme"], r["record"], r["problems"]),
                         ("https", record, []))

    def test_failed_handshake_leaves_server_serving(self):
        cases = [
            ("client trusts nothing", ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT),
             ssl.SSLCertVerificationError),
            ("plain HTTP to the TLS port", None, ConnectionError),
        ]
        for name, context, error in cases:
            with self.subTest(name):
                before = len(self.server.records())
                if context is None:
                    # The server takes the request line for a bad handshake
                    # and closes the connection.
                    with self.assertRaises(error):
                        post(self.server.port, "RecordLogin", b"x")
                else:
                    with self.assertRaises(error):
                        post(self.server.port, "RecordLogin", b"x", context=context)
                self.assertEqual(len(self.server.records()), before)
                status, _ = control(self.server.port, context=self.context)
                self.assertEqual(status, 200)

    def test_reset_after_handshake(self):
        control(self.server.port, {"mode": "reset"}, self.context)
        try:
            body = envelope("RecordSystemInfo", "5a" * (8 << 20))
            with self.assertRaises((ConnectionError, ssl.SSLError)):
                post(self.server.port, "RecordSystemInfo", body, context=self.context)
            self.assertEqual(self.server.records()[-1]["mode"], "reset")
        finally:
            status, current = control(self.server.port, {"mode": "normal"},
                                      self.context)
        self.assertEqual((status, current["mode"]), (200, "normal"))


if __name__ == "__main__":
    unittest.main()
