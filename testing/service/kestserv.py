#!/usr/bin/env python3
"""Stand-in for the analytics service that libVorlan reports to.

A small HTTP/HTTPS server (Python standard library only) that accepts the
SOAP 1.2 requests the library posts, checks and records them, and answers
the way the service does.  How it answers can be switched for every request
from the command line or, while it runs, through POST /control.

Run `python3 kestserv.py --help` for the options; README.md next to this file
shows how to use it by hand.
"""

import argparse
import hashlib
import http.server
import ipaddress
import json
import os
import re
import secrets
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import xml.etree.ElementTree as ET
from urllib.parse import urlsplit
from xml.sax.saxutils import escape

# ---------------------------------------------------------------------------
# Constants of the protocol

SOAP_NS = "http://www.w3.org/2003/05/soap-envelope"
SERVICE_NS = "http://services.kestavorn.example/KestActServ"
EXPECTED_AGENT = "KestavornKVA/4.0.0.29"
LIBRARY_KEY = "Vn4rQ8zKt2Lw7Xp1Hc9MbS"
NO_LIBRARY_ID = "KESTNA"
CIPHER_CONSTANT = b"739104826351907264"
SALT_DIGITS = 18
SALT_HEX_CHARS = 2 * SALT_DIGITS

REPLY_CONTENT_TYPE = "application/soap+xml; charset=utf-8"
INNER_DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>'
OUTER_DECLARATION = '<?xml version="1.0" encoding="utf-8"?>'
FAULT_REASON = "Server was unable to process request"

MAX_REQUEST_BODY = 64 * 1024 * 1024
HUGE_REPLY_BYTES = 3 * 1024 * 1024
RESET_PREFIX_BYTES = 16

MODES = (
    "normal", "no-returnvalue", "fault", "empty-body", "not-xml",
    "bad-cipher", "empty-result", "delay", "close", "relay", "doctype",
    "inner-doctype", "huge", "reset",
)

DEFAULT_SETTINGS = {
    "mode": "normal",
    "returnvalue": "0",
    "errormessage": "The analytics service rejected the request",
    "seconds": 0.0,
    "country": "Utopia",
    "countryid": "42",
    "status": None,   # HTTP status of the reply; None: 500 for faults, else 200
}

TEXT_SETTINGS = ("returnvalue", "errormessage", "country", "countryid")

# ---------------------------------------------------------------------------
# Payload cipher


def _keystream(key, length):
    out = bytearray()
    counter = 0
    while len(out) < length:
        out += hashlib.sha256(key + counter.to_bytes(8, "big")).digest()
        counter += 1
    return bytes(out[:length])


def random_salt():
    """Eighteen random ASCII decimal digits."""
    return "".join(secrets.choice("0123456789") for _ in range(SALT_DIGITS))


def encipher(plain, salt=None):
    """Encipher bytes (or a str, taken as UTF-8) into lower-case hex.

    The salt is eighteen ASCII decimal digits; a fresh random one is drawn
    when none is given.
    """
    if isinstance(plain, str):
        plain = plain.encode("utf-8")
    if salt is None:
        salt = random_salt()
    if isinstance(salt, str):
        salt = salt.encode("ascii")
    if len(salt) != SALT_DIGITS or not salt.isdigit():
        raise ValueError("the salt must be %d ASCII decimal digits" % SALT_DIGITS)
    stream = _keystream(CIPHER_CONSTANT + salt, len(plain))
    scrambled = bytes(p ^ k for p, k in zip(plain, stream))
    return (scrambled + salt).hex()


def _nibble(ch):
    try:
        return int(ch, 16)
    except ValueError:
        return 0


def decipher(text):
    """Return the plain bytes of an enciphered text, or None when refused.

    Texts of 36 characters or fewer are refused; an odd last character is
    dropped; characters that are not hex digits count as 0; upper case is
    accepted.  The last 18 bytes are the salt.
    """
    if text is None or len(text) <= SALT_HEX_CHARS:
        return None
    if len(text) % 2:
        text = text[:-1]
    data = bytes(_nibble(text[i]) << 4 | _nibble(text[i + 1])
                 for i in range(0, len(text), 2))
    salt = data[-SALT_DIGITS:]
    scrambled = data[:-SALT_DIGITS]
    stream = _keystream(CIPHER_CONSTANT + salt, len(scrambled))
    return bytes(s ^ k for s, k in zip(scrambled, stream))


# ---------------------------------------------------------------------------
# Library identifier


def decode_library_id(text):
    """Return (customer_id, product_id) of a library identifier.

    The identifier is 20 hex characters; the 10 bytes, each XORed with the
    same position of the library key, give "%05u%05u".  Returns
    (None, None) when it does not decode.
    """
    if text is None or len(text) != 20:
        return None, None
    try:
        raw = bytes.fromhex(text)
    except ValueError:
        return None, None
    key = LIBRARY_KEY[:10].encode("ascii")
    digits = bytes(b ^ k for b, k in zip(raw, key))
    if not re.fullmatch(rb"[0-9]{10}", digits):
        return None, None
    return int(digits[:5]), int(digits[5:])


def encode_library_id(customer_id, product_id):
    """The identifier the library sends for a customer and product."""
    digits = ("%05u%05u" % (customer_id, product_id)).encode("ascii")
    key = LIBRARY_KEY[:10].encode("ascii")
    return bytes(d ^ k for d, k in zip(digits, key)).hex()


# ---------------------------------------------------------------------------
# Checking a request

_ACTION_RE = re.compile(r'action\s*=\s*"' + re.escape(SERVICE_NS) + r'/([^"]*)"')
_DECLARATION_RE = re.compile(
    r'<\?xml\s+version\s*=\s*(["\'])1\.[0-9]\1'
    r'(?:\s+encoding\s*=\s*(["\'])([A-Za-z0-9._-]+)\2)?'
    r'(?:\s+standalone\s*=\s*(["\'])(?:yes|no)\4)?\s*\?>')
_PROLOG_ITEM_RE = re.compile(r'\s+|<\?.*?\?>|<!--.*?-->|<!DOCTYPE[^>\[]*(?:\[.*?\])?\s*>',
                             re.DOTALL)
_START_TAG_RE = re.compile(
    r'<([^\s/>!?]+)((?:\s+[^\s=/>]+\s*=\s*(?:"[^"]*"|\'[^\']*\'))*)\s*/?>')
_ATTRIBUTE_RE = re.compile(r'([^\s=/>]+)\s*=\s*(?:"[^"]*"|\'[^\']*\')')
_PARMS_DEFAULT_NS_RE = re.compile(
    r'<SOAPKestParms(?:\s+[^\s=/>]+\s*=\s*(?:"[^"]*"|\'[^\']*\'))*?'
    r'\s+xmlns\s*=\s*(["\'])' + re.escape(SERVICE_NS) + r'\1')
_XMLDATA_RAW_RE = re.compile(
    r'<((?:[^\s/>:]+:)?)XMLData(?:\s[^>]*)?>(.*?)</\1XMLData\s*>', re.DOTALL)
_CDATA_RE = re.compile(r'<!\[CDATA\[(.*?)\]\]>', re.DOTALL)


def canonical_content_type(operation):
    return ('application/soap+xml; charset=utf-8; action="%s/%s"'
            % (SERVICE_NS, operation))


def _q(tag):
    return "{%s}%s" % (SERVICE_NS, tag)


def _split_tag(tag):
    if tag.startswith("{"):
        ns, _, local = tag[1:].partition("}")
        return ns, local
    return "", tag


def _describe(tag):
    ns, local = _split_tag(tag)
    return "%s (namespace %s)" % (local, ns or "none") if ns != SERVICE_NS else local


def _has_text(text):
    return text is not None and text.strip() != ""


def root_xmlns_order(text):
    """Prefixes of the namespace declarations on the root element, in the
    order they are written ("" for a default namespace), or None when no
    root start tag is found."""
    pos = 0
    while True:
        m = _PROLOG_ITEM_RE.match(text, pos)
        if not m or m.end() == pos:
            break
        pos = m.end()
    m = _START_TAG_RE.match(text, pos)
    if not m:
        return None
    order = []
    for name in _ATTRIBUTE_RE.findall(m.group(2)):
        if name == "xmlns":
            order.append("")
        elif name.startswith("xmlns:"):
            order.append(name[len("xmlns:"):])
    return order


def _check_element_children(parent, expected, where, problems):
    """Check that parent has exactly the expected element children, in
    order, and no text between them."""
    children = list(parent)
    tags = [c.tag for c in children]
    if tags != expected:
        problems.append("%s holds %s, expected %s" % (
            where,
            ", ".join(_describe(t) for t in tags) or "nothing",
            ", ".join(_describe(t) for t in expected)))
    if _has_text(parent.text) or any(_has_text(c.tail) for c in children):
        problems.append("%s holds text besides its elements" % where)


def examine_envelope(body):
    """Check a request body.  Returns a dict with operation,
    library_information, library_id, header_information, xmlns_order,
    xmldata (the enciphered text), xmldata_cdata, record (deciphered text)
    and problems (a list of strings, empty when all is well)."""
    result = {
        "operation": None, "library_information": None, "library_id": None,
        "header_information": None, "xmlns_order": None, "xmldata": None,
        "xmldata_cdata": None, "record": None, "problems": [],
    }
    problems = result["problems"]
    if not body:
        problems.append("the request body is empty")
        return result
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        problems.append("the request body is not valid UTF-8")
        text = body.decode("utf-8", errors="replace")
    if text.startswith("\ufeff"):
        problems.append("the request body starts with a byte order mark")
        text = text[1:]

    m = _DECLARATION_RE.match(text)
    if not m:
        problems.append("the request body does not start with an XML declaration")
    elif (m.group(3) or "").upper() != "UTF-8":
        problems.append("the XML declaration names encoding %r, expected UTF-8"
                        % m.group(3))
    result["xmlns_order"] = root_xmlns_order(text)
    if "<!DOCTYPE" in text:
        problems.append("the request carries a document type declaration")
        return result

    try:
        root = ET.fromstring(body)
    except ET.ParseError as exc:
        problems.append("the request body is not well-formed XML: %s" % exc)
        return result

    if root.tag != "{%s}Envelope" % SOAP_NS:
        problems.append("the root element is %s, expected a SOAP 1.2 Envelope"
                        % root.tag)
        return result
    _check_element_children(root, ["{%s}Header" % SOAP_NS, "{%s}Body" % SOAP_NS],
                            "the Envelope", problems)
    header = root.find("{%s}Header" % SOAP_NS)
    soap_body = root.find("{%s}Body" % SOAP_NS)

    # Header
    if header is not None:
        _check_element_children(header, [_q("SOAPKestParms")], "the Header", problems)
        parms = header.find(_q("SOAPKestParms"))
        if parms is not None:
            if not _PARMS_DEFAULT_NS_RE.search(text):
                problems.append("SOAPKestParms is not unprefixed with the service "
                                "namespace as its default namespace")
            names = ["libraryInformation", "libraryID", "headerInformation"]
            _check_element_children(parms, [_q(n) for n in names],
                                    "SOAPKestParms", problems)
            values = {}
            for name in names:
                el = parms.find(_q(name))
                if el is None:
                    continue
                if len(el):
                    problems.append("%s holds elements" % name)
                values[name] = el.text or ""
            info = values.get("libraryInformation")
            lib_id = values.get("libraryID")
            header_info = values.get("headerInformation")
            result["library_information"] = info
            result["library_id"] = lib_id
            result["header_information"] = header_info
            if info is not None and info != EXPECTED_AGENT:
                problems.append("libraryInformation is %r, expected %r"
                                % (info, EXPECTED_AGENT))
            if lib_id is not None:
                if lib_id == NO_LIBRARY_ID:
                    pass
                elif not re.fullmatch(r"[0-9a-f]{20}", lib_id):
                    problems.append("libraryID %r is neither 20 lower-case hex "
                                    "characters nor %s" % (lib_id, NO_LIBRARY_ID))
                elif decode_library_id(lib_id) == (None, None):
                    problems.append("libraryID %r does not decode to customer "
                                    "and product" % lib_id)
            if header_info is not None and not re.fullmatch(r"[0-9]+", header_info):
                problems.append("headerInformation %r is not a decimal number"
                                % header_info)

    # Body
    if soap_body is not None:
        ops = list(soap_body)
        if len(ops) != 1:
            problems.append("the Body holds %d elements, expected one operation"
                            % len(ops))
        if _has_text(soap_body.text) or any(_has_text(c.tail) for c in ops):
            problems.append("the Body holds text besides its elements")
        if ops:
            op = ops[0]
            ns, local = _split_tag(op.tag)
            result["operation"] = local
            if ns != SERVICE_NS:
                problems.append("the operation %s is in namespace %s, expected %s"
                                % (local, ns or "none", SERVICE_NS))
            if local == "GetLocation":
                if len(op) or _has_text(op.text):
                    problems.append("GetLocation is not empty")
            else:
                _check_element_children(op, [_q("XMLData")], local, problems)
                xml_data = op.find(_q("XMLData"))
                if xml_data is not None:
                    _examine_xml_data(xml_data, text, result)
    return result


def _examine_xml_data(xml_data, text, result):
    problems = result["problems"]
    if len(xml_data):
        problems.append("XMLData holds elements")
        return
    raw = _XMLDATA_RAW_RE.search(text)
    if raw:
        content = raw.group(2)
        sections = _CDATA_RE.findall(content)
        result["xmldata_cdata"] = bool(sections)
        if len(sections) > 1:
            problems.append("XMLData holds %d CDATA sections, expected one"
                            % len(sections))
        elif sections and _has_text(_CDATA_RE.sub("", content)):
            problems.append("XMLData holds text besides its CDATA section")
    data = (xml_data.text or "").strip()
    result["xmldata"] = data
    if not data:
        problems.append("XMLData is empty")
        return
    if not re.fullmatch(r"[0-9a-f]+", data):
        problems.append("XMLData is not lower-case hex")
    if len(data) % 2:
        problems.append("XMLData has an odd number of hex characters")
    elif len(data) > SALT_HEX_CHARS:
        try:
            salt = bytes.fromhex(data[-SALT_HEX_CHARS:])
        except ValueError:
            salt = b""
        if not re.fullmatch(rb"[0-9]{18}", salt):
            problems.append("the salt of XMLData is not 18 decimal digits")
    plain = decipher(data)
    if plain is None:
        problems.append("XMLData does not decipher (36 characters or fewer)")
        return
    try:
        result["record"] = plain.decode("utf-8")
    except UnicodeDecodeError:
        problems.append("the deciphered record is not valid UTF-8")
        result["record"] = plain.decode("utf-8", errors="replace")


def examine_headers(method, request_version, headers, operation):
    """Check the HTTP request line and headers.  Returns
    (action_operation, expect_header_present, problems)."""
    problems = []
    if method != "POST":
        problems.append("the method is %s, expected POST" % method)
    agent = headers.get("User-Agent")
    if agent is None:
        problems.append("no User-Agent header")
    elif agent != EXPECTED_AGENT:
        problems.append("User-Agent is %r, expected %r" % (agent, EXPECTED_AGENT))
    connection = headers.get("Connection")
    if connection != "close":
        problems.append("Connection is %r, expected 'close'" % connection)
    if request_version == "HTTP/1.1" and headers.get("Host") is None:
        problems.append("no Host header")
    expect_present = headers.get("Expect") is not None
    if expect_present:
        problems.append("an Expect header is present (%r)" % headers.get("Expect"))
    content_type = headers.get("Content-Type")
    action_operation = None
    if content_type is None:
        problems.append("no Content-Type header")
    else:
        m = _ACTION_RE.search(content_type)
        if m:
            action_operation = m.group(1)
        else:
            problems.append("Content-Type %r carries no action of the service"
                            % content_type)
        expected = canonical_content_type(action_operation or operation or "OPERATION")
        if content_type != expected:
            problems.append("Content-Type is %r, expected %r" % (content_type, expected))
    if operation is not None and action_operation is not None \
            and action_operation != operation:
        problems.append("the action names %r but the body holds %r"
                        % (action_operation, operation))
    return action_operation, expect_present, problems


# ---------------------------------------------------------------------------
# Building replies


def inner_document(operation, settings, with_relay=False, doctype=False):
    parts = [INNER_DECLARATION]
    if doctype:
        parts.append('<!DOCTYPE vorlanserver [<!ENTITY a "%s">]>' % ("a" * 1000))
    parts.append("<vorlanserver>")
    if settings["mode"] != "no-returnvalue":
        rv = settings["returnvalue"]
        parts.append("<returnvalue>%s</returnvalue>" % escape(rv))
        if not rv.startswith("0"):
            parts.append("<errormessage>%s</errormessage>"
                         % escape(settings["errormessage"]))
    if doctype:
        parts.append("<errormessage>%s</errormessage>" % ("&a;" * 100))
    if with_relay:
        parts.append("<KestavornDaemon>1</KestavornDaemon>")
    if operation == "GetLocation":
        parts.append("<location><country>%s</country><countryid>%s</countryid>"
                     "<region>North</region><city>Capital</city>"
                     "<zipcode>12345</zipcode></location>"
                     % (escape(settings["country"]), escape(settings["countryid"])))
    parts.append("</vorlanserver>")
    return "".join(parts)


def outer_envelope(operation, result_text, doctype=""):
    return (OUTER_DECLARATION + doctype +
            '<soap:Envelope xmlns:soap="%s"><soap:Body>'
            '<%sResponse xmlns="%s"><%sResult>%s</%sResult></%sResponse>'
            '</soap:Body></soap:Envelope>'
            % (SOAP_NS, operation, SERVICE_NS, operation, result_text,
               operation, operation))


def fault_envelope():
    return (OUTER_DECLARATION +
            '<soap:Envelope xmlns:soap="%s"><soap:Body><soap:Fault>'
            '<soap:Code><soap:Value>soap:Receiver</soap:Value></soap:Code>'
            '<soap:Reason><soap:Text xml:lang="en">%s</soap:Text></soap:Reason>'
            '<soap:Detail /></soap:Fault></soap:Body></soap:Envelope>'
            % (SOAP_NS, FAULT_REASON))


class HugeBody:
    """3 MiB of XML-ish text, produced piece by piece."""

    def __init__(self, operation, size=HUGE_REPLY_BYTES):
        op = operation or "Unknown"
        self.head = ('%s<soap:Envelope xmlns:soap="%s"><soap:Body>'
                     '<%sResponse xmlns="%s"><%sResult>'
                     % (OUTER_DECLARATION, SOAP_NS, op, SERVICE_NS, op)).encode()
        self.tail = ('</%sResult></%sResponse></soap:Body></soap:Envelope>'
                     % (op, op)).encode()
        self.size = size

    def chunks(self, piece=64 * 1024):
        yield self.head
        left = self.size - len(self.head) - len(self.tail)
        filler = b"0123456789abcdef" * (piece // 16)
        while left > 0:
            n = min(left, len(filler))
            yield filler[:n]
            left -= n
        yield self.tail


_NEEDS_OPERATION = ("normal", "no-returnvalue", "bad-cipher", "empty-result",
                    "delay", "relay", "doctype", "inner-doctype")


def build_reply(operation, settings):
    """Return (status, body) for a request; body is bytes or a HugeBody."""
    mode = settings["mode"]
    status = settings["status"]
    if mode == "fault" or (operation is None and mode in _NEEDS_OPERATION):
        return status or 500, fault_envelope().encode("utf-8")
    status = status or 200
    if mode == "empty-body":
        return status, b""
    if mode == "not-xml":
        return status, b"this is not XML <<< &&& ]]> \xff\xfe\x00 at all"
    if mode == "huge":
        return status, HugeBody(operation)
    if mode == "bad-cipher":
        return status, outer_envelope(operation, "zz").encode("utf-8")
    if mode == "empty-result":
        return status, outer_envelope(operation, "").encode("utf-8")
    if mode == "doctype":
        doctype = '<!DOCTYPE soap:Envelope [<!ENTITY a "%s">]>' % ("a" * 1000)
        return status, outer_envelope(operation, "&a;" * 1000, doctype).encode("utf-8")
    inner = inner_document(operation, settings, with_relay=(mode == "relay"),
                           doctype=(mode == "inner-doctype"))
    return status, outer_envelope(operation, encipher(inner)).encode("utf-8")


# ---------------------------------------------------------------------------
# Settings and record


def validate_settings(changes, base):
    """Apply a dict of changes to a copy of base; raise ValueError on bad
    keys or values."""
    if not isinstance(changes, dict):
        raise ValueError("the control body must be a JSON object")
    unknown = sorted(set(changes) - set(DEFAULT_SETTINGS))
    if unknown:
        raise ValueError("unknown keys: %s" % ", ".join(unknown))
    new = dict(base)
    for key, value in changes.items():
        if key == "mode":
            if value not in MODES:
                raise ValueError("unknown mode %r; modes are %s"
                                 % (value, ", ".join(MODES)))
            new[key] = value
        elif key in TEXT_SETTINGS:
            if isinstance(value, bool) or not isinstance(value, (str, int)):
                raise ValueError("%s must be text" % key)
            new[key] = str(value)
        elif key == "seconds":
            if isinstance(value, bool) or not isinstance(value, (int, float)) \
                    or not 0 <= value <= 600:
                raise ValueError("seconds must be a number from 0 to 600")
            new[key] = float(value)
        elif key == "status":
            if value is not None and (isinstance(value, bool) or
                                      not isinstance(value, int) or
                                      not 200 <= value <= 599):
                raise ValueError("status must be null or a number from 200 to 599")
            new[key] = value
    return new


class State:
    """Settings in effect and the record of requests, shared by all threads."""

    def __init__(self, defaults, record_path):
        self.defaults = dict(defaults)
        self._settings = dict(defaults)
        self._lock = threading.Lock()
        self._record_lock = threading.Lock()
        self._recorded = 0
        self._record = open(record_path, "a", encoding="utf-8") if record_path else None

    def settings(self):
        with self._lock:
            return dict(self._settings)

    def control(self, changes):
        """A change that names a mode starts again from the start-up
        defaults; one without a mode changes only the keys it names."""
        with self._lock:
            base = self.defaults if isinstance(changes, dict) and "mode" in changes \
                else self._settings
            self._settings = validate_settings(changes, base)
            return dict(self._settings)

    def recorded(self):
        with self._record_lock:
            return self._recorded

    def record(self, entry):
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self._record_lock:
            self._recorded += 1
            if self._record:
                self._record.write(line)
                self._record.flush()

    def close(self):
        with self._record_lock:
            if self._record:
                self._record.close()
                self._record = None


# ---------------------------------------------------------------------------
# HTTP


class _PrefixedReader:
    """A read file that first hands out bytes already taken from the socket."""

    def __init__(self, prefix, raw):
        self._buf = prefix
        self._raw = raw

    @property
    def closed(self):
        return self._raw.closed

    def readline(self, limit=-1):
        if not self._buf:
            return self._raw.readline(limit)
        nl = self._buf.find(b"\n")
        take = nl + 1 if nl >= 0 else len(self._buf)
        if limit is not None and limit >= 0:
            take = min(take, limit)
        part, self._buf = self._buf[:take], self._buf[take:]
        if part.endswith(b"\n") or self._buf or (limit is not None and 0 <= limit == len(part)):
            return part
        rest_limit = -1 if limit is None or limit < 0 else limit - len(part)
        return part + self._raw.readline(rest_limit)

    def read(self, n=-1):
        if not self._buf:
            return self._raw.read(n)
        if n is None or n < 0:
            part, self._buf = self._buf, b""
            return part + self._raw.read()
        part, self._buf = self._buf[:n], self._buf[n:]
        if len(part) < n:
            part += self._raw.read(n - len(part))
        return part

    def close(self):
        self._raw.close()


class BodyError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KestServ/1.0"
    sys_version = ""
    timeout = 60

    # -- connection level ---------------------------------------------------

    def handle(self):
        if self.server.state.settings()["mode"] == "reset":
            if self._reset_unless_control():
                return
        super().handle()

    def _reset_unless_control(self):
        """Read the first bytes; unless they start a control request, close
        the connection abruptly.  Returns True when it was closed."""
        prefix = b""
        try:
            while len(prefix) < RESET_PREFIX_BYTES and b"\n" not in prefix:
                chunk = self.connection.recv(RESET_PREFIX_BYTES - len(prefix))
                if not chunk:
                    break
                prefix += chunk
        except OSError:
            self.close_connection = True
            return True
        if re.match(rb"(GET|POST) /control(?:[ ?]|$)", prefix):
            self.rfile = _PrefixedReader(prefix, self.rfile)
            return False
        self.server.state.record(self._base_entry("reset", {
            "problems": ["the connection was reset after the first %d bytes"
                         % len(prefix)],
        }))
        self._abort()
        return True

    def _abort(self):
        """Hang up on a client that is still sending: first a FIN, so that the
        client's side of the connection is half closed while it keeps
        writing, then, a moment later, a reset.  A write after that reset
        fails with EPIPE, the case in which a process can receive SIGPIPE."""
        self.close_connection = True
        try:
            socket.socket.shutdown(self.connection, socket.SHUT_WR)
            time.sleep(0.3)
        except OSError:
            pass
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
        except OSError:
            pass
        try:
            self.rfile.close()
        except OSError:
            pass
        try:
            self.connection.close()
        except OSError:
            pass

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    # -- dispatch -------------------------------------------------------------

    def _is_control(self):
        return urlsplit(self.path).path == "/control"

    def do_GET(self):
        if self._is_control():
            self._discard_body()
            settings = self.server.state.settings()
            settings["recorded"] = self.server.state.recorded()
            self._send_json(200, settings)
        else:
            self._service()

    def do_POST(self):
        if self._is_control():
            self._control()
        else:
            self._service()

    def do_PUT(self):
        self._service()

    do_DELETE = do_PATCH = do_PUT

    # -- control ------------------------------------------------------------

    def _control(self):
        try:
            body = self._read_body()
        except BodyError as exc:
            self._send_json(exc.status, {"error": str(exc)}, close=True)
            return
        try:
            changes = json.loads(body.decode("utf-8") or "{}")
            settings = self.server.state.control(changes)
        except (ValueError, UnicodeDecodeError) as exc:
            self._send_json(400, {"error": str(exc)})
            return
        settings["recorded"] = self.server.state.recorded()
        self._send_json(200, settings)

    def _send_json(self, status, obj, close=False):
        data = (json.dumps(obj) + "\n").encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if close or self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    # -- body ---------------------------------------------------------------

    def _discard_body(self):
        try:
            self._read_body()
        except BodyError:
            self.close_connection = True

    def _read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            return self._read_chunked()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            n = int(length)
        except ValueError:
            raise BodyError(400, "bad Content-Length %r" % length)
        if n < 0:
            raise BodyError(400, "bad Content-Length %r" % length)
        if n > MAX_REQUEST_BODY:
            raise BodyError(413, "request body over %d bytes" % MAX_REQUEST_BODY)
        data = self.rfile.read(n)
        if len(data) != n:
            raise BodyError(400, "request body cut short")
        return data

    def _read_chunked(self):
        parts = []
        total = 0
        while True:
            line = self.rfile.readline(1024)
            try:
                size = int(line.split(b";")[0].strip(), 16)
            except ValueError:
                raise BodyError(400, "bad chunk size line %r" % line)
            if size == 0:
                break
            total += size
            if total > MAX_REQUEST_BODY:
                raise BodyError(413, "request body over %d bytes" % MAX_REQUEST_BODY)
            data = self.rfile.read(size)
            if len(data) != size or self.rfile.read(2) != b"\r\n":
                raise BodyError(400, "chunk cut short")
            parts.append(data)
        while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
            pass
        return b"".join(parts)

    # -- service ------------------------------------------------------------

    def _header_dict(self):
        headers = {}
        for name, value in self.headers.items():
            headers[name] = headers[name] + ", " + value if name in headers else value
        return headers

    def _base_entry(self, mode, extra):
        entry = {
            "time": time.time(),
            "method": getattr(self, "command", None),
            "scheme": "https" if self.server.ssl_context else "http",
            "path": getattr(self, "path", None),
            "headers": self._header_dict() if getattr(self, "headers", None) else {},
            "expect_header_present": False,
            "operation": None,
            "action_operation": None,
            "library_information": None,
            "library_id": None,
            "customer_id": None,
            "product_id": None,
            "header_information": None,
            "xmlns_order": None,
            "xmldata_cdata": None,
            "record": None,
            "problems": [],
            "mode": mode,
        }
        entry.update(extra)
        return entry

    def _service(self):
        settings = self.server.state.settings()
        mode = settings["mode"]
        problems = []
        try:
            body = self._read_body()
        except BodyError as exc:
            body = b""
            problems.append(str(exc))
            self.close_connection = True
        info = examine_envelope(body)
        action_op, expect_present, header_problems = examine_headers(
            self.command, self.request_version, self.headers, info["operation"])
        customer, product = decode_library_id(info["library_id"])
        entry = self._base_entry(mode, {
            "expect_header_present": expect_present,
            "operation": info["operation"],
            "action_operation": action_op,
            "library_information": info["library_information"],
            "library_id": info["library_id"],
            "customer_id": customer,
            "product_id": product,
            "header_information": info["header_information"],
            "xmlns_order": info["xmlns_order"],
            "xmldata_cdata": info["xmldata_cdata"],
            "record": info["record"],
            "problems": problems + header_problems + info["problems"],
        })
        self.server.state.record(entry)

        if problems:
            self._send_plain(400, problems[0])
            return
        if self.command != "POST":
            self._send_plain(405, "only POST is served here")
            return
        if mode == "close":
            self.close_connection = True
            return
        if mode == "reset":
            self._abort()
            return
        if mode == "delay":
            time.sleep(settings["seconds"])
        status, reply = build_reply(info["operation"], settings)
        if isinstance(reply, HugeBody):
            self._send_huge(status, reply)
        else:
            self._send_soap(status, reply)

    def _send_plain(self, status, text):
        data = (text + "\n").encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def _send_soap(self, status, data):
        self.send_response(status)
        self.send_header("Content-Type", REPLY_CONTENT_TYPE)
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def _send_huge(self, status, huge):
        self.send_response(status)
        self.send_header("Content-Type", REPLY_CONTENT_TYPE)
        self.send_header("Content-Length", str(huge.size))
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            for chunk in huge.chunks():
                self.wfile.write(chunk)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address, state, ssl_context=None, verbose=False):
        self.state = state
        self.ssl_context = ssl_context
        self.verbose = verbose
        super().__init__(address, Handler)

    def server_bind(self):
        # Skip the name look-up of HTTPServer.server_bind.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        if self.ssl_context is None:
            super().finish_request(request, client_address)
            return
        # The TLS handshake runs here, in the connection's own thread.
        request.settimeout(Handler.timeout)
        try:
            conn = self.ssl_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as exc:
            if self.verbose:
                sys.stderr.write("TLS handshake with %s failed: %s\n"
                                 % (client_address[0], exc))
            return
        try:
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            try:
                conn.settimeout(1)
                conn.unwrap()
            except (ssl.SSLError, OSError, ValueError):
                pass
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def make_ssl_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


# ---------------------------------------------------------------------------
# Command line


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Stand-in for the analytics service libVorlan reports to.")
    p.add_argument("--host", default="127.0.0.1",
                   help="loopback address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=0,
                   help="port to listen on; 0 picks a free one (default)")
    p.add_argument("--record", metavar="FILE",
                   help="append one JSON line per request to FILE")
    p.add_argument("--port-file", metavar="PATH",
                   help="write the port number to PATH once listening")
    p.add_argument("--cert", metavar="CERT.pem", help="serve HTTPS with this certificate")
    p.add_argument("--key", metavar="KEY.pem", help="private key of --cert")
    p.add_argument("--mode", choices=MODES, default=DEFAULT_SETTINGS["mode"],
                   help="how to answer (default normal)")
    p.add_argument("--returnvalue", default=DEFAULT_SETTINGS["returnvalue"],
                   help="returnvalue of the reply (default 0)")
    p.add_argument("--errormessage", default=DEFAULT_SETTINGS["errormessage"],
                   help="errormessage sent when returnvalue does not start with 0")
    p.add_argument("--seconds", type=float, default=DEFAULT_SETTINGS["seconds"],
                   help="wait of the delay mode")
    p.add_argument("--country", default=DEFAULT_SETTINGS["country"],
                   help="country of the GetLocation reply")
    p.add_argument("--countryid", default=DEFAULT_SETTINGS["countryid"],
                   help="countryid of the GetLocation reply")
    p.add_argument("--status", type=int, default=None,
                   help="HTTP status of replies (default 500 for faults, else 200)")
    p.add_argument("--verbose", action="store_true",
                   help="log each request to stderr")
    args = p.parse_args(argv)
    if bool(args.cert) != bool(args.key):
        p.error("--cert and --key go together")
    try:
        loopback = ipaddress.ip_address(args.host).is_loopback
    except ValueError:
        loopback = args.host == "localhost"
    if not loopback:
        p.error("--host must be a loopback address")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        defaults = validate_settings({
            "mode": args.mode, "returnvalue": args.returnvalue,
            "errormessage": args.errormessage, "seconds": args.seconds,
            "country": args.country, "countryid": args.countryid,
            "status": args.status,
        }, DEFAULT_SETTINGS)
    except ValueError as exc:
        sys.stderr.write("kestserv: %s\n" % exc)
        return 2
    context = make_ssl_context(args.cert, args.key) if args.cert else None
    state = State(defaults, args.record)
    server = Server((args.host, args.port), state, context, args.verbose)
    host, port = server.server_address[:2]

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    thread = threading.Thread(target=server.serve_forever, args=(0.1,), name="serve",
                              daemon=True)
    thread.start()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    sys.stdout.write("listening %s %d\n" % (host, port))
    sys.stdout.flush()

    while not stop.wait(0.1):
        pass
    server.shutdown()
    server.server_close()
    thread.join()
    state.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
