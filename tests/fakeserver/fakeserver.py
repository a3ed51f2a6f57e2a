#!/usr/bin/env python3
"""The remote server as the tests see it: HTTPS on 127.0.0.1, answering from
a scenario file, logging every request as one JSON line, injecting faults.

    fakeserver.py --scenario S --cert C --key K --log L --port-file P
                  [--max-seconds 600] [--blob-tool T] [--blob-cache D]
                  [--gate-dir G]

It listens on a free port, writes that port to P (whole, by rename) and
prints "fakeserver ready on port N" once it accepts connections. It serves
HTTP/1.1 with keep-alive, one thread per connection, the TLS handshake in
that thread. It stops on TERM or INT, after --max-seconds, or when the
process that started it is gone.

Scenario (JSON):

    {"base": "/ostrel",
     "accounts": [{"credentials": "user:pw" or "DOM\\user:pw",
                   "jsessionid": "J", "session": "S"}],
     "cleartext_dir": DIR,
     "rules": [RULE, ...]}

The server reads the scenario again before the first request that finds
the file's modification time changed (replace it by a rename, so that it
is never read half written): the new rules apply from that request on,
with their uses counted afresh, and an account of the same credentials
keeps its cookies live. A scenario that does not read (bad JSON, a blob
that does not encode) is logged and the one before stays in force until
the file changes again.

With accounts, a request passes with a live account's cookies ("Cookie:"
holding JSESSIONID=J and Session=S) or an account's credentials (header
x-quelfo-login-credentials, Base64); otherwise it gets 401. Without
accounts every request passes.

RULE: {"match": {"method", "path", "rpc", "args": {name: value}},
       "times": n, "reply": REPLY, "fault": FAULT}
  "path" is taken after the base ("" is the base itself, a POST's target);
  a trailing "*" matches any rest. "rpc" is the form field "rpc" or the
  header x-quelfo-rpc-name. "args" compares named arguments of "rpcargs"
  as sent (escapes kept). Absent keys match anything. The first rule that
  matches and has uses left answers; "times" absent means no limit.

Built in, after the rules: the login procedure (a POST whose rpc is
Ostrel_Norvane::login_rpc) answers the account's two cookies in
Set-Cookie headers and a status 0; a GET of <base>/logout ends the
account's cookies; a GET of <base>/cltxt/UUID/OID/MODE answers the
cleartext of that version (see "cleartext" below). Anything else
unmatched gets 500, logged "unmatched".

REPLY: {"http": 200, "headers": [[name, value]], "boundary": "B",
        "directory": [{"dirent": D, "scope": S, "obj": V, "elem": V}, ...],
        "metadata": {"scope": S, "obj": V, "elem": V},
        "vobinfo": {item: value},
        "stream": [ENTRY, ...],
        "parts": [{"id", "items": {...},
                   "body_text" | "body_b64" | "body_file" | "blob": [KIND, {...}]}],
        "status": {"code": 0, "message": ""} | null,
        "cleartext": true,
        "raw_text" | "raw_b64"}
  The body is the multipart document the client reads: the line
  "Content-Type: multipart/mixed; boundary=B", per part "--B", its
  Content-ID, its items, its Content-Length (unless the items give one),
  an empty line, the body and CR LF; then the "Status" part (absent for
  null; code 0 when not given), then "--B--". Part bodies from files are
  streamed. "raw_text"/"raw_b64" send that body instead of a document.

  The parts describing objects come first, in this order: per "directory"
  entry an "XdrDirectoryEntry" part (the dirent D) and its metadata parts;
  then the "metadata" parts: "Xdr_ObjScope" (S), "Xdr_ObjMetadata" (V),
  "Xdr_ElemMetadata" (V), each only when given; then a "VobInfo" part with
  the "vobinfo" items and no body; then the "stream" parts; then "parts".
  A "blob" body is the server record of that KIND (vstat, scope,
  synceleminfo, dirent) encoded from the JSON fields by the blob tool,
  which alone knows the wire form; S, V and D are such fields. Blobs are
  encoded when the scenario is read, all in one run of the tool: one that
  does not encode stops the server at start. With --blob-cache the tool's
  output is kept in D, named by the tool (its size and time) and the
  records, and a later scenario of the same records takes it from there;
  so is the whole document of a reply whose stream makes 10,000 entries
  or more (named by the reply, and built by the same tool and script),
  which a later server then reads instead of building it again.

  A view update's "stream", one ENTRY after the other:
    {"begin": GN}             "SyncFetchBegin", item OperationGn
    {"scope": S}              "ScopeFetchBegin", the scope record
    {"scope": S, "oid_from_request": true}
                              the same, its scope_oid the ScopeOid that the
                              request sent after the ScopePath equal to S's
                              pname; when it sent no such scope, this entry
                              and those up to the scope's end are left out
    {"vob": {"replica": R, "family": F}}
                              "VobFetchBegin", items ReplicaUuid, FamilyOid
    {"elem": {"path", "parent", "replica", "oid", "prev", "cur",
              "obj": V, "elem": V}}
                              "SyncElemInfo" (the synceleminfo record), then
                              "Xdr_ObjMetadata" and "Xdr_ElemMetadata" (V,
                              zero when absent); no metadata when "cur" is
                              empty or absent: an unload
    {"end": "scope" | "vob" | "operation"}
                              "ScopeFetchEnd", "VobFetchEnd", "SyncFetchEnd"
    {"part": PART}            PART as in "parts"
    {"repeat": N, "from": 0, "stream": [ENTRY, ...]}
                              the entries N times, with i = from, from + 1,
                              ...: in their texts each "{i}" or "{i:FORMAT}"
                              becomes i, formatted by FORMAT ("f{i}",
                              "0e000000-0000-4000-8000-{i:012x}")
  The reply's "Status" part follows the stream as usual.

  "cleartext": the body of GET <base>/cltxt/UUID/OID/MODE is the file
  DIR/UUID/OID/MODE of the scenario's "cleartext_dir", streamed as the
  "SyncElemData" part, then "Status" 0; no such file (or a path of another
  form) gets 404 with a "Status" part 2 "no such version". A rule whose
  reply has "cleartext" answers so under its faults.

FAULT: {"chunk": n}            body written in pieces of n bytes
       {"split_crlf": true}    every CR LF of the body split into two writes
       {"delay_ms": n}         wait before answering
       {"part_delay_ms": n}    wait before each part of the document
       {"hold": {"after_parts": k, "gate": NAME}}
                               the document stops after its first k parts
                               until the file NAME appears in --gate-dir
                               (at most 60 s, then it goes on); with
                               "then_close": true the connection is closed
                               there instead of going on
       {"drop_after": n}       close the connection after n body bytes
       {"short": true}         announce more body than is sent, then close
       {"deflate": true}       body compressed (Content-Encoding: deflate)
       {"http": code}          answer with that HTTP status
       {"expire_session": true} the account's cookies end after this answer
  Keys combine; a rule with "times": 1 makes any fault happen once. Without
  "chunk" or "split_crlf" the body goes out in writes of up to 64 KiB.

Log (JSON lines): {"event": "request", "seq", "conn", "method", "path",
"subpath", "headers" (raw lines), "form" ([name, value] in order), "rpc",
"rpcargs" ([name, value] or [name] in order), "auth", "rule" (index or
null), "builtin", "http", "scenario" (0 for the scenario read at start, then
1, 2, ... for each one read again)} when a request has arrived (before its
answer); {"event": "scenario", "scenario": n} when a changed scenario was
read, {"event": "scenario_error", "error"} when one did not read;
{"event": "request_end", "seq", "conn", "sent" (body bytes), "outcome":
"complete" | "dropped" | "client_gone", "gate": "opened" | "timeout" |
null} when its answer has ended; {"event": "tls_failed", "conn", "error"}
for a handshake that failed. Bytes are logged as latin-1 code points.
"""

import argparse
import array
import base64
import hashlib
import json
import mmap
import os
import re
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOGIN_RPC = "Ostrel_Norvane::login_rpc"
LOGOUT_PATH = "/logout"
CLEARTEXT_PATH = "/cltxt/"
CREDENTIALS_HEADER = "x-quelfo-login-credentials"
RPC_HEADER = "x-quelfo-rpc-name"
DEFAULT_BOUNDARY = "fakeserver-boundary"
FILE_BLOCK = 65536
WRITE_BLOCK = 65536
GATE_SECONDS = 60
GATE_POLL = 0.005
# A reply whose stream makes this many entries or more takes seconds to
# build: its document is kept in the blob cache.
LONG_STREAM = 10000


def text(data):
    """Bytes as latin-1 code points: lossless, and valid JSON."""
    return data.decode("latin-1")


class Log:
    """The JSON-lines log; each record is written whole and flushed."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="ascii")
        self._lock = threading.Lock()

    def write(self, record):
        line = json.dumps(record, ensure_ascii=True) + "\n"
        with self._lock:
            self._file.write(line)
            self._file.flush()


class Account:
    def __init__(self, entry):
        self.credentials = entry["credentials"]
        self.jsessionid = entry.get("jsessionid", "jsession-" + self.credentials)
        self.session = entry.get("session", "session-" + self.credentials)
        self.live = False


class Rule:
    def __init__(self, index, entry):
        self.index = index
        self.match = entry.get("match", {})
        self.times = entry.get("times")
        self.reply = entry.get("reply", {})
        self.fault = entry.get("fault", {})
        self.uses = 0
        self.document = None

    def has_uses_left(self):
        return self.times is None or self.uses < self.times

    def matches(self, request):
        m = self.match
        if "method" in m and m["method"] != request.method:
            return False
        if "path" in m:
            if request.subpath is None:
                return False
            want = m["path"]
            if want.endswith("*"):
                if not request.subpath.startswith(want[:-1]):
                    return False
            elif request.subpath != want:
                return False
        if "rpc" in m and m["rpc"] != request.rpc:
            return False
        named = {pair[0]: pair[1] for pair in request.rpcargs if len(pair) == 2}
        for name, value in m.get("args", {}).items():
            if named.get(name) != value:
                return False
        return True


class ScenarioError(Exception):
    pass


class BlobEncoder:
    """Server records from JSON fields, through the blob tool: the scenario
    asks for every record first (request), then one run of the tool encodes
    them all (run); each distinct record is encoded once. With a cache
    directory, the tool's output for the same records is read from there."""

    def __init__(self, tool, cache=None):
        self.tool = tool
        self.cache = cache
        self.keys = {}     # the record's line -> index
        self.lines = []
        self.encoded = []

    def request(self, kind, fields):
        line = json.dumps([kind, fields], sort_keys=True)
        if line not in self.keys:
            self.keys[line] = len(self.lines)
            self.lines.append(line)
        return self.keys[line]

    def run(self):
        if not self.lines:
            return
        if not self.tool:
            raise ScenarioError("a blob part needs --blob-tool")
        batch = "\n".join(self.lines).encode("utf-8")
        cached = self.cached_path(batch)
        out = read_cached(cached)
        if out is None or not self.split(out):
            done = subprocess.run([self.tool, "--batch"], input=batch, capture_output=True, timeout=120)
            if done.returncode != 0:
                raise ScenarioError("a blob does not encode: %s" % text_of(done.stderr))
            if not self.split(done.stdout):
                raise ScenarioError("the blob tool encoded %d of %d records"
                                    % (len(self.encoded), len(self.lines)))
            write_cached(cached, done.stdout)

    def split(self, out):
        """The tool's output, record by record (each after its length in four
        bytes); whether it holds exactly one record per line."""
        self.encoded = []
        at = 0
        while at + 4 <= len(out):
            size = int.from_bytes(out[at:at + 4], "big")
            self.encoded.append(out[at + 4:at + 4 + size])
            at += 4 + size
        return at == len(out) and len(self.encoded) == len(self.lines)

    def cached_path(self, batch):
        if not self.cache:
            return None
        try:
            st = os.stat(self.tool)
        except OSError:
            return None
        digest = hashlib.sha256(("%d %d\n" % (st.st_size, st.st_mtime_ns)).encode() + batch).hexdigest()
        return os.path.join(self.cache, digest[:2], digest)

    def bytes_of(self, index):
        return self.encoded[index]


def read_cached(path):
    if path is None:
        return None
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def write_cached(path, data):
    """Written whole or not at all (by rename), so that a server reading it
    at the same time never sees a part; a cache that cannot be written is
    only slower."""
    if path is None:
        return
    temporary = "%s.%d.tmp" % (path, os.getpid())
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(temporary, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass


METADATA_PARTS = (("scope", "Xdr_ObjScope", "scope"),
                  ("obj", "Xdr_ObjMetadata", "vstat"),
                  ("elem", "Xdr_ElemMetadata", "vstat"))

STREAM_ENDS = {"scope": "ScopeFetchEnd", "vob": "VobFetchEnd", "operation": "SyncFetchEnd"}

# An update stream's element: its keys and the synceleminfo fields they fill.
ELEM_FIELDS = (("path", "obj_pname"), ("parent", "parent_oid"), ("replica", "replica_uuid"),
               ("oid", "obj_oid"), ("prev", "prev_version"), ("cur", "cur_version"))


def metadata_parts(entry):
    return [{"id": part_id, "blob": [kind, entry[key]]}
            for key, part_id, kind in METADATA_PARTS if key in entry]


ITERATION = re.compile(r"\{i(?::([^{}]*))?\}")


def iteration_template(value):
    """A function of i that gives `value` with each "{i}" or "{i:FORMAT}" in
    its texts (keys too) replaced by i, formatted by FORMAT. What holds no
    such text is the same object for every i: a long repeat costs only its
    changing texts."""
    if isinstance(value, str):
        pieces = ITERATION.split(value)
        if len(pieces) == 1:
            return lambda i: value
        texts, formats = pieces[0::2], [f or "" for f in pieces[1::2]]
        return lambda i: texts[0] + "".join(format(i, f) + t for f, t in zip(formats, texts[1:]))
    if isinstance(value, list):
        items = [iteration_template(v) for v in value]
        if all(item(0) is v for item, v in zip(items, value)):
            return lambda i: value
        return lambda i: [item(i) for item in items]
    if isinstance(value, dict):
        pairs = [(iteration_template(k), iteration_template(v)) for k, v in value.items()]
        if all(key(0) is k and item(0) is v for (key, item), (k, v) in zip(pairs, value.items())):
            return lambda i: value
        return lambda i: {key(i): item(i) for key, item in pairs}
    return lambda i: value


def repeated(entries, first, count):
    """The entries `count` times, each "{i}" or "{i:FORMAT}" in their texts
    replaced by i (formatted by FORMAT)."""
    template = iteration_template(entries)
    for i in range(first, first + count):
        yield template(i)


def stream_parts(entries, parts):
    """Appends to `parts` the parts of an update stream's entries."""
    for entry in entries:
        if "repeat" in entry:
            for entries in repeated(entry.get("stream", []), entry.get("from", 0), entry["repeat"]):
                stream_parts(entries, parts)
        elif "begin" in entry:
            parts.append({"id": "SyncFetchBegin", "items": {"OperationGn": str(entry["begin"])}})
        elif "scope" in entry and entry.get("oid_from_request"):
            parts.append({"id": "ScopeFetchBegin", "scope_from_request": entry["scope"]})
        elif "scope" in entry:
            parts.append({"id": "ScopeFetchBegin", "blob": ["scope", entry["scope"]]})
        elif "vob" in entry:
            vob = entry["vob"]
            parts.append({"id": "VobFetchBegin", "items": {"ReplicaUuid": vob.get("replica", ""),
                                                           "FamilyOid": vob.get("family", "")}})
        elif "elem" in entry:
            elem = entry["elem"]
            info = {field: elem[key] for key, field in ELEM_FIELDS if key in elem}
            parts.append({"id": "SyncElemInfo", "blob": ["synceleminfo", info]})
            if elem.get("cur"):
                parts.append({"id": "Xdr_ObjMetadata", "blob": ["vstat", elem.get("obj", {})]})
                parts.append({"id": "Xdr_ElemMetadata", "blob": ["vstat", elem.get("elem", {})]})
        elif "end" in entry:
            if entry["end"] not in STREAM_ENDS:
                raise ScenarioError("no stream end %r" % entry["end"])
            parts.append({"id": STREAM_ENDS[entry["end"]]})
        elif "part" in entry:
            parts.append(entry["part"])
        else:
            raise ScenarioError("no stream entry %s" % json.dumps(entry))


def expand_reply(reply, blobs):
    """The reply with its object forms turned into plain parts whose blob
    bodies are asked of `blobs` (filled by fill_blobs once encoded)."""
    parts = []
    for entry in reply.get("directory", []):
        parts.append({"id": "XdrDirectoryEntry", "blob": ["dirent", entry.get("dirent", {})]})
        parts.extend(metadata_parts(entry))
    if "metadata" in reply:
        parts.extend(metadata_parts(reply["metadata"]))
    if "vobinfo" in reply:
        parts.append({"id": "VobInfo", "items": reply["vobinfo"]})
    stream_parts(reply.get("stream", []), parts)
    parts.extend(reply.get("parts", []))
    expanded = dict(reply)
    expanded.pop("stream", None)
    expanded["parts"] = []
    for part in parts:
        if "blob" in part:
            kind, fields = part["blob"]
            part = dict(part)
            del part["blob"]
            part["blob_index"] = blobs.request(kind, fields)
        expanded["parts"].append(part)
    return expanded


def fill_blobs(reply, blobs):
    for part in reply["parts"]:
        if "blob_index" in part:
            part["body_bytes"] = blobs.bytes_of(part.pop("blob_index"))


def text_of(data):
    return data.decode("utf-8", errors="replace")


def request_scope_oids(request):
    """The scope oids a request sent, by scope path: each ScopePath argument
    with the ScopeOid argument that follows it."""
    oids = {}
    path = None
    for pair in request.rpcargs:
        if len(pair) != 2:
            continue
        if pair[0] == "ScopePath":
            path = pair[1]
        elif pair[0] == "ScopeOid" and path is not None:
            oids.setdefault(path, pair[1])
            path = None
    return oids


def needs_request(reply):
    return any("scope_from_request" in part for part in reply.get("parts", []))


def parts_for_request(reply, request, encode):
    """The reply's parts with the scopes that take their oid from the request
    filled in, or left out with their entries when the request sent none;
    `encode(kind, fields)` gives a record's bytes."""
    oids = request_scope_oids(request)
    parts = []
    skipping = False
    for part in reply["parts"]:
        if skipping:
            skipping = part.get("id") != "ScopeFetchEnd"
            continue
        if "scope_from_request" not in part:
            parts.append(part)
            continue
        fields = dict(part["scope_from_request"])
        oid = oids.get(fields.get("pname"))
        if oid is None:
            skipping = True
            continue
        fields["scope_oid"] = oid
        parts.append({"id": part["id"], "body_bytes": encode("scope", fields)})
    return dict(reply, parts=parts)


def stream_length(entries):
    """How many entries an update stream makes, its repeats made."""
    return sum(entry["repeat"] * stream_length(entry.get("stream", [])) if "repeat" in entry else 1
               for entry in entries)


def file_stamp(path):
    st = os.stat(path)
    return "%s %d %d\n" % (path, st.st_size, st.st_mtime_ns)


class DocumentCache:
    """Where the document of a long reply is kept: one file for each such
    reply (named by the reply), holding what built it (the blob tool and
    this script, their sizes and times), so that a rebuilt tool replaces the
    file instead of adding one."""

    def __init__(self, reply, blob_tool, cache):
        self.path = None
        self.stamp = b""
        if not cache or not blob_tool or stream_length(reply.get("stream", [])) < LONG_STREAM:
            return
        try:
            self.stamp = (file_stamp(blob_tool) + file_stamp(os.path.abspath(__file__))).encode("utf-8")
        except OSError:
            return
        digest = hashlib.sha256(json.dumps(reply, sort_keys=True).encode("utf-8")).hexdigest()
        self.path = os.path.join(cache, "documents", digest[:2], digest)

    def read(self):
        """The kept document, or None when there is none, another tool or
        script built it, or it does not read as one (cut short, say). The
        file is mapped, not read: a cache file is replaced by a rename,
        never written in place."""
        if self.path is None:
            return None
        try:
            with open(self.path, "rb") as f:
                data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):
            return None
        head = len(self.stamp) + 16
        if len(data) < head or data[:len(self.stamp) + 8] != len(self.stamp).to_bytes(8, "little") + self.stamp:
            return None
        count = int.from_bytes(data[head - 8:head], "little")
        start = head + 8 * (count + 1)
        if start > len(data):
            return None
        offsets = array.array("Q")
        offsets.frombytes(data[head:start])
        if sys.byteorder != "little":
            offsets.byteswap()
        if offsets[0] != 0 or offsets[-1] != len(data) - start or any(a > b for a, b in zip(offsets, offsets[1:])):
            return None
        return KeptDocument(data, start, offsets)

    def write(self, sections):
        """Keeps a document of bytes only: the stamp after its length (8
        bytes), the number of sections (8 bytes), where each begins and
        where the last ends (8 bytes each), the bytes."""
        if self.path is None:
            return
        offsets = array.array("Q", [0])
        for section in sections:
            offsets.append(offsets[-1] + sum(len(piece) for piece in section))
        if sys.byteorder != "little":
            offsets.byteswap()
        write_cached(self.path, b"".join([len(self.stamp).to_bytes(8, "little"), self.stamp,
                                          len(sections).to_bytes(8, "little"), offsets.tobytes()]
                                         + [piece for section in sections for piece in section]))


class KeptDocument:
    """A document read back from the cache: its sections (one piece each)
    cut from the mapped file as they are sent, not all read at start."""

    def __init__(self, data, start, offsets):
        self.data = data
        self.start = start
        self.offsets = offsets

    def __len__(self):
        return len(self.offsets) - 1

    def __getitem__(self, index):
        if not 0 <= index < len(self):
            raise IndexError(index)
        return [self.data[self.start + self.offsets[index]:self.start + self.offsets[index + 1]]]

    def __iter__(self):
        for index in range(len(self)):
            yield self[index]


def without_objects(reply):
    """A reply whose document is already made: what answering it still
    reads (its status, headers), without the entries its parts came from."""
    kept = {key: value for key, value in reply.items()
            if key not in ("directory", "metadata", "vobinfo", "stream", "parts")}
    kept["parts"] = []
    return kept


class Scenario:
    """What the server answers; the state of its accounts and rules."""

    def __init__(self, path, blob_tool=None, generation=0, blob_cache=None):
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        self.generation = generation
        self.blob_tool = blob_tool
        self.blob_cache = blob_cache
        self.encoded = {}  # records encoded for single requests, by their line
        self.base = data.get("base", "/ostrel")
        self.cleartext_dir = data.get("cleartext_dir")
        self.accounts = [Account(a) for a in data.get("accounts", [])]
        self.rules = [Rule(i, r) for i, r in enumerate(data.get("rules", []))]
        blobs = BlobEncoder(blob_tool, blob_cache)
        building = []  # (rule, where its document is to be kept)
        for rule in self.rules:
            kept = DocumentCache(rule.reply, blob_tool, blob_cache)
            rule.document = kept.read()
            if rule.document is not None:
                rule.reply = without_objects(rule.reply)
                continue
            rule.reply = expand_reply(rule.reply, blobs)
            building.append((rule, kept))
        blobs.run()
        for rule, kept in building:
            fill_blobs(rule.reply, blobs)
            # Built once, so that a long stream costs its building at start
            # only; files are sized when they are sent, and parts taken
            # from the request are made for it.
            if (not rule.reply.get("cleartext") and not needs_request(rule.reply)
                    and not any("body_file" in part for part in rule.reply["parts"])):
                rule.document = document(rule.reply)
                kept.write(rule.document)

    def keep_sessions(self, before):
        """Accounts of the same credentials stay logged in as they were."""
        live = {account.credentials for account in before.accounts if account.live}
        for account in self.accounts:
            account.live = account.credentials in live

    def encode(self, kind, fields):
        """One record's bytes for one request (the caller holds the server's lock)."""
        line = json.dumps([kind, fields], sort_keys=True)
        if line not in self.encoded:
            blobs = BlobEncoder(self.blob_tool, self.blob_cache)
            index = blobs.request(kind, fields)
            blobs.run()
            self.encoded[line] = blobs.bytes_of(index)
        return self.encoded[line]

    def document_for(self, reply, request):
        """The document of a rule's reply for this request."""
        if needs_request(reply):
            reply = parts_for_request(reply, request, self.encode)
        return document(reply)

    def cleartext_file(self, request):
        """The file of a GET <base>/cltxt/UUID/OID/MODE, or None."""
        if self.cleartext_dir is None or request.subpath is None:
            return None
        names = request.subpath.split("?", 1)[0].split("/")
        if len(names) != 5 or names[:2] != ["", "cltxt"]:
            return None
        if any(name in ("", ".", "..") for name in names[2:]):
            return None
        path = os.path.join(self.cleartext_dir, *names[2:])
        return path if os.path.isfile(path) else None

    def authenticate(self, request):
        """(how, account): how is "open", "cookie", "credentials" or None."""
        if not self.accounts:
            return "open", None
        cookies = request.cookies()
        for account in self.accounts:
            if (account.live and cookies.get("JSESSIONID") == account.jsessionid
                    and cookies.get("Session") == account.session):
                return "cookie", account
        given = request.header(CREDENTIALS_HEADER)
        if given is not None:
            try:
                decoded = base64.b64decode(given.strip(), validate=True).decode("utf-8")
            except (ValueError, UnicodeDecodeError):
                decoded = None
            for account in self.accounts:
                if decoded == account.credentials:
                    return "credentials", account
        return None, None

    def find_rule(self, request):
        for rule in self.rules:
            if rule.has_uses_left() and rule.matches(request):
                rule.uses += 1
                return rule
        return None


class Request:
    def __init__(self, method, path, raw_headers, body, base):
        self.method = method
        self.path = path
        self.headers = raw_headers  # raw lines, without CR LF
        self.body = body
        bare = path.split("?", 1)[0]
        self.subpath = bare[len(base):] if bare.startswith(base) else None
        self.form = parse_form(self.header("Content-Type"), body)
        fields = dict(self.form)
        self.rpc = fields.get("rpc", self.header(RPC_HEADER))
        self.rpcargs = parse_rpcargs(fields.get("rpcargs", ""))

    def header(self, name):
        """The first header of that name (any case), its value stripped."""
        for line in self.headers:
            key, sep, value = line.partition(":")
            if sep and key.strip().lower() == name.lower():
                return value.strip()
        return None

    def cookies(self):
        result = {}
        for line in self.headers:
            key, sep, value = line.partition(":")
            if sep and key.strip().lower() == "cookie":
                for item in value.split(";"):
                    k, eq, v = item.strip().partition("=")
                    if eq:
                        result.setdefault(k, v)
        return result


def parse_form(content_type, body):
    """The fields of a multipart/form-data body, [name, value] in order."""
    if not content_type or not content_type.lower().startswith("multipart/form-data"):
        return []
    boundary = None
    for param in content_type.split(";")[1:]:
        key, _, value = param.strip().partition("=")
        if key.lower() == "boundary":
            boundary = value.strip('"')
    if not boundary:
        return []
    fields = []
    delimiter = b"--" + boundary.encode("latin-1")
    for chunk in body.split(delimiter)[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, content = chunk.partition(b"\r\n\r\n")
        if content.endswith(b"\r\n"):
            content = content[:-2]
        name = None
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-disposition:"):
                for param in line.split(b";")[1:]:
                    key, _, value = param.strip().partition(b"=")
                    if key.lower() == b"name":
                        name = text(value.strip(b'"'))
        fields.append([name, text(content)])
    return fields


def parse_rpcargs(args):
    """Argument lines as [name, value] (escapes kept) or [name] for a bare one."""
    pairs = []
    for line in args.split("\n")[:-1] if args.endswith("\n") else args.split("\n"):
        if line == "":
            continue
        name, eq, value = line.partition("=")
        pairs.append([name, value] if eq else [name])
    return pairs


def part_body(part):
    if "body_file" in part:
        return ("file", part["body_file"])
    if "body_bytes" in part:
        return part["body_bytes"]
    if "body_b64" in part:
        return base64.b64decode(part["body_b64"])
    return part.get("body_text", "").encode("utf-8")


def document(reply):
    """The reply body as sections (the document's head, each part, its end),
    each a list of pieces: bytes, or ("file", path) to stream."""
    if "raw_b64" in reply:
        return [[base64.b64decode(reply["raw_b64"])]]
    if "raw_text" in reply:
        return [[reply["raw_text"].encode("utf-8")]]
    boundary = reply.get("boundary", DEFAULT_BOUNDARY)
    sections = [[("Content-Type: multipart/mixed; boundary=%s\r\n" % boundary).encode("utf-8")]]
    parts = list(reply.get("parts", []))
    status = reply.get("status", {"code": 0})
    if status is not None:
        message = status.get("message", "")
        parts.append({"id": "Status",
                      "items": {"Status": str(status.get("code", 0)),
                                "HasNonOkMsg": "1" if message else "0"},
                      "body_text": message})
    for part in parts:
        body = part_body(part)
        head = "--%s\r\n" % boundary
        if "id" in part:
            head += "Content-ID: %s\r\n" % part["id"]
        items = part.get("items", {})
        for name, value in items.items():
            head += "%s: %s\r\n" % (name, value)
        if "Content-Length" not in items:
            head += "Content-Length: %d\r\n" % piece_size(body)
        head = (head + "\r\n").encode("utf-8")
        if isinstance(body, tuple):
            sections.append([head, body, b"\r\n"])
        else:
            sections.append([head + body + b"\r\n"])
    sections.append([("--%s--\r\n" % boundary).encode("utf-8")])
    return sections


def cleartext_document(path):
    """The reply to a cleartext GET: the file's contents, or 404."""
    if path is None:
        return 404, document({"status": {"code": 2, "message": "no such version"}})
    return 200, document({"parts": [{"id": "SyncElemData", "body_file": path}]})


def piece_size(piece):
    return os.path.getsize(piece[1]) if isinstance(piece, tuple) else len(piece)


def section_blocks(section):
    for piece in section:
        if isinstance(piece, tuple):
            with open(piece[1], "rb") as f:
                while True:
                    block = f.read(FILE_BLOCK)
                    if not block:
                        break
                    yield block
        elif piece:
            yield piece


def file_signature(path):
    """What tells that the scenario file changed: its modification time (and
    its inode and size, so that a file replaced within one clock tick counts
    too); None when it cannot be read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_ino, st.st_size)


class Dropped(Exception):
    """The fault's byte limit was reached: the connection is to be cut."""


class BodyWriter:
    """Writes the body as the fault shapes it: pieces of "chunk" bytes,
    every CR LF split, cut after "drop_after" bytes; otherwise in writes of
    up to WRITE_BLOCK bytes (flush before anything waits)."""

    def __init__(self, wfile, fault):
        self.wfile = wfile
        self.chunk = fault.get("chunk")
        self.split = fault.get("split_crlf")
        self.limit = fault.get("drop_after")
        self.sent = 0
        self.pending = []
        self.pending_size = 0

    def write(self, block):
        if self.split:
            cuts = [0] + [i + 1 for i in range(len(block) - 1) if block[i:i + 2] == b"\r\n"]
            cuts.append(len(block))
            writes = [block[a:b] for a, b in zip(cuts, cuts[1:]) if b > a]
        else:
            writes = [block]
        for data in writes:
            if self.chunk:
                self.flush()
                for i in range(0, len(data), self.chunk):
                    self.send(data[i:i + self.chunk])
            elif self.split:
                self.flush()
                self.send(data)
            else:
                self.pending.append(data)
                self.pending_size += len(data)
                if self.pending_size >= WRITE_BLOCK:
                    self.flush()

    def flush(self):
        if self.pending:
            data = b"".join(self.pending)
            self.pending = []
            self.pending_size = 0
            for i in range(0, len(data), WRITE_BLOCK):
                self.send(data[i:i + WRITE_BLOCK])

    def send(self, data):
        if self.limit is not None and self.sent + len(data) >= self.limit:
            self.wfile.write(data[:self.limit - self.sent])
            self.sent = self.limit
            raise Dropped()
        self.wfile.write(data)
        self.sent += len(data)


def wait_for_gate(path, seconds=GATE_SECONDS):
    """True when the gate file appeared within `seconds`."""
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return False
        time.sleep(GATE_POLL)
    return True


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fakeserver"

    def __init__(self, request, client_address, server, conn):
        self.conn = conn
        super().__init__(request, client_address, server)

    def log_message(self, *args):
        pass  # the JSON log says what happened

    def setup(self):
        super().setup()
        self.rfile = LineRecorder(self.rfile)

    def handle_one_request(self):
        self.rfile.lines = []
        super().handle_one_request()

    def do_GET(self):
        self.serve()

    def do_POST(self):
        self.serve()

    def read_body(self):
        length = self.headers.get("Content-Length")
        if length is not None:
            return self.rfile.read(int(length))
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                chunk = self.rfile.read(size + 2)
                if size == 0:
                    return body
                body += chunk[:-2]
        return b""

    def serve(self):
        server = self.server
        raw = [text(line).rstrip("\r\n") for line in self.rfile.lines[1:]]
        raw = [line for line in raw if line]
        body = self.read_body()
        extra_headers = []
        fault = {}
        sections = None
        with server.lock:
            scenario = server.current_scenario()
            request = Request(self.command, self.path, raw, body, scenario.base)
            record = {"event": "request", "conn": self.conn, "method": request.method,
                      "path": request.path, "subpath": request.subpath, "headers": request.headers,
                      "form": request.form, "rpc": request.rpc, "rpcargs": request.rpcargs,
                      "rule": None, "builtin": None, "scenario": scenario.generation}
            record["seq"] = server.next_seq()
            how, account = scenario.authenticate(request)
            record["auth"] = how or "refused"
            rule = scenario.find_rule(request) if how else None
            if how is None:
                reply = {"http": 401, "status": {"code": 30002, "message": "not logged in"}}
                record["builtin"] = "refused"
            elif rule is not None:
                record["rule"] = rule.index
                reply, fault, sections = rule.reply, rule.fault, rule.document
            elif request.method == "POST" and request.rpc == LOGIN_RPC:
                record["builtin"] = "login"
                reply = {}
                if account is not None:
                    account.live = True
                    extra_headers = [("Set-Cookie", "JSESSIONID=%s; Path=%s; Secure"
                                      % (account.jsessionid, scenario.base)),
                                     ("Set-Cookie", "Session=%s; Path=%s; Secure"
                                      % (account.session, scenario.base))]
            elif request.method == "GET" and request.subpath == LOGOUT_PATH:
                record["builtin"] = "logout"
                reply = {}
                if account is not None:
                    account.live = False
            elif (request.method == "GET" and request.subpath is not None
                  and request.subpath.startswith(CLEARTEXT_PATH)):
                record["builtin"] = "cleartext"
                reply = {"cleartext": True}
            else:
                record["builtin"] = "unmatched"
                reply = {"http": 500, "status": {"code": 1, "message": "no rule"}}
            if fault.get("expire_session") and account is not None:
                account.live = False
            status = fault.get("http", reply.get("http", 200))
            if reply.get("cleartext"):
                found, sections = cleartext_document(scenario.cleartext_file(request))
                status = fault.get("http", found)
            elif sections is None:
                try:
                    sections = scenario.document_for(reply, request)
                except ScenarioError as e:
                    reply = {"http": 500, "status": {"code": 1, "message": str(e)}}
                    status = 500
                    sections = document(reply)
            record["http"] = status
        server.log.write(record)
        headers = extra_headers + [tuple(h) for h in reply.get("headers", [])]
        end = {"event": "request_end", "seq": record["seq"], "conn": self.conn,
               "sent": 0, "outcome": "complete", "gate": None}
        try:
            self.answer(status, headers, sections, fault, end)
        except OSError:
            self.close_connection = True  # the client went away
            end["outcome"] = "client_gone"
        server.log.write(end)

    def answer(self, status, headers, sections, fault, end):
        if fault.get("delay_ms"):
            time.sleep(fault["delay_ms"] / 1000.0)
        if fault.get("deflate"):
            sections = [[zlib.compress(b"".join(b for section in sections
                                                for b in section_blocks(section)))]]
            headers = headers + [("Content-Encoding", "deflate")]
        total = sum(piece_size(p) for section in sections for p in section)
        self.send_response_only(status)
        self.send_header("Content-Type", "multipart/mixed")
        if status == 302:
            self.send_header("Location", "/elsewhere")
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(total + (1000 if fault.get("short") else 0)))
        self.end_headers()
        writer = BodyWriter(self.wfile, fault)
        hold = fault.get("hold")
        part_delay = fault.get("part_delay_ms")
        try:
            # Section 0 is the document's head, then one per part, then its end.
            for index, section in enumerate(sections):
                if part_delay and 0 < index < len(sections) - 1:
                    writer.flush()
                    time.sleep(part_delay / 1000.0)
                for block in section_blocks(section):
                    writer.write(block)
                if hold and index == hold.get("after_parts", 0):
                    writer.flush()
                    gate = os.path.join(self.server.gate_dir or ".", hold["gate"])
                    end["gate"] = "opened" if wait_for_gate(gate) else "timeout"
                    if hold.get("then_close"):
                        raise Dropped()
            writer.flush()
        except Dropped:
            end["sent"] = writer.sent
            end["outcome"] = "dropped"
            self.hang_up()
            return
        finally:
            end["sent"] = writer.sent
        if fault.get("short") or fault.get("drop_after") is not None:
            self.hang_up()

    def hang_up(self):
        """Closes the connection abruptly: no TLS close, no more answers."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class LineRecorder:
    """A reader that keeps the lines read through it (the request head)."""

    def __init__(self, raw):
        self.raw = raw
        self.lines = []

    def readline(self, *args):
        line = self.raw.readline(*args)
        self.lines.append(line)
        return line

    def __getattr__(self, name):
        return getattr(self.raw, name)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, scenario_path, scenario, context, log, gate_dir=None):
        self.scenario_path = scenario_path
        self.scenario = scenario
        self.signature = file_signature(scenario_path)
        self.failed_signature = None
        self.gate_dir = gate_dir
        self.context = context
        self.log = log
        self.lock = threading.Lock()
        self._seq = 0
        self._conn = 0
        super().__init__(("127.0.0.1", 0), None)

    def server_bind(self):
        # No name lookup of the address, which may wait for a resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = "localhost", self.server_address[1]

    def current_scenario(self):
        """The scenario, read again when its file changed since it was read
        (the caller holds the lock)."""
        signature = file_signature(self.scenario_path)
        if signature is None or signature in (self.signature, self.failed_signature):
            return self.scenario
        try:
            scenario = Scenario(self.scenario_path, self.scenario.blob_tool, self.scenario.generation + 1,
                                self.scenario.blob_cache)
        except (OSError, ValueError, KeyError, TypeError, AttributeError, ScenarioError,
                subprocess.TimeoutExpired) as e:
            # Logged once; read again when the file changes again.
            self.failed_signature = signature
            self.log.write({"event": "scenario_error", "error": str(e)})
            print("fakeserver: scenario not read again: %s" % e, file=sys.stderr, flush=True)
            return self.scenario
        scenario.keep_sessions(self.scenario)
        self.scenario = scenario
        self.signature = signature
        self.log.write({"event": "scenario", "scenario": scenario.generation})
        return scenario

    def next_seq(self):
        self._seq += 1
        return self._seq

    def finish_request(self, request, client_address):
        with self.lock:
            self._conn += 1
            conn = self._conn
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.log.write({"event": "tls_failed", "conn": conn, "error": str(e)})
            return
        try:
            Handler(tls, client_address, self, conn)
        except OSError:
            pass
        finally:
            tls.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--max-seconds", type=float, default=600)
    parser.add_argument("--blob-tool")
    parser.add_argument("--blob-cache")
    parser.add_argument("--gate-dir")
    args = parser.parse_args()

    try:
        scenario = Scenario(args.scenario, args.blob_tool, blob_cache=args.blob_cache)
    except ScenarioError as e:
        print("fakeserver: %s" % e, file=sys.stderr, flush=True)
        return 2
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server = Server(args.scenario, scenario, context, Log(args.log), args.gate_dir)
    port = server.server_address[1]

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()

    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % port)
    os.replace(temporary, args.port_file)
    print("fakeserver ready on port %d" % port, flush=True)

    parent = os.getppid()
    deadline = time.monotonic() + args.max_seconds
    while not stop.wait(0.05):
        if time.monotonic() > deadline or os.getppid() != parent:
            break
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
