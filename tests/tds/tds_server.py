#!/usr/bin/python3
"""A small TDS server for the tests of the SQL Server path.

It lets the real FreeTDS ODBC driver log in over TDS 7.1 to 7.4 on 127.0.0.1 and runs
what it receives on one SQLite file per logical database, so that the tests can read
back what the upgrade program changed.  It records every request in a log of JSON lines,
answers master.dbo.xp_cmdshell the way the real procedure does (running a stand-in of
osql for the command line the upgrade program builds), and can be told to fail chosen
statements, optionally dooming the open transaction.  See README.md beside it.

Standard library only; a test fixture, never shipped.
"""

import argparse
import codecs
import json
import os
import re
import signal
import socket
import sqlite3
import struct
import sys
import threading

# ---------------------------------------------------------------------------------------
# Protocol constants

PKT_SQL_BATCH = 0x01
PKT_RPC = 0x03
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_TRANSACTION = 0x0E
PKT_LOGIN7 = 0x10
PKT_PRELOGIN = 0x12
STATUS_EOM = 0x01
HEADER = struct.Struct(">BBHHBB")

TOKEN_COLMETADATA = 0x81
TOKEN_RETURNSTATUS = 0x79
TOKEN_ERROR = 0xAA
TOKEN_INFO = 0xAB
TOKEN_LOGINACK = 0xAD
TOKEN_FEATUREEXTACK = 0xAE
TOKEN_ROW = 0xD1
TOKEN_ENVCHANGE = 0xE3
TOKEN_DONE = 0xFD
TOKEN_DONEPROC = 0xFE
TOKEN_DONEINPROC = 0xFF

ENV_DATABASE = 1
ENV_LANGUAGE = 2
ENV_PACKET_SIZE = 4
ENV_COLLATION = 7
ENV_BEGIN_TRAN = 8
ENV_COMMIT_TRAN = 9
ENV_ROLLBACK_TRAN = 10

DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020

TM_BEGIN = 5
TM_COMMIT = 7
TM_ROLLBACK = 8

PRELOGIN_VERSION = 0
PRELOGIN_ENCRYPTION = 1
PRELOGIN_INSTOPT = 2
PRELOGIN_THREADID = 3
PRELOGIN_MARS = 4
ENCRYPT_NOT_SUP = 2

TYPE_INTN = 0x26
TYPE_FLTN = 0x6D
TYPE_BIGVARBINARY = 0xA5
TYPE_NVARCHAR = 0xE7

# Chinese_PRC_CI_AS: LCID 0x0804, case-insensitive, kana- and width-insensitive.  varchar
# data of this collation is in code page 936 (GBK).
COLLATION = bytes([0x04, 0x08, 0xD0, 0x00, 0x00])
SERVER_CODEC = "gbk"
PRODUCT_NAME = "Microsoft SQL Server"
PRODUCT_VERSION = bytes([15, 0, 0x07, 0xD0])  # 15.0.2000
NVARCHAR_LIMIT = 4000  # characters in a non-MAX nvarchar column

# LOGIN7 TDS versions and the names used in the log.
TDS_VERSIONS = {
    0x71000001: (7, 1),
    0x07010000: (7, 1),
    0x72090002: (7, 2),
    0x730A0003: (7, 3),
    0x730B0003: (7, 3),
    0x74000004: (7, 4),
}


class TdsError(Exception):
    """An error the server reports with an ERROR token, as SQL Server would."""

    def __init__(self, number, message, severity=16, state=1, dooms=False, uncommittable=False):
        super().__init__(message)
        self.number = number
        self.message = message
        self.severity = severity
        self.state = state
        self.dooms = dooms
        self.uncommittable = uncommittable
        self.line = 1


class BatchAborted(Exception):
    """The rest of the batch is not run (after an error that ended the transaction)."""


# ---------------------------------------------------------------------------------------
# Event log and control


class EventLog:
    """Appends one JSON object per line; readers may follow it while the server runs."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._lock = threading.Lock()
        self._seq = 0

    def write(self, event, **fields):
        with self._lock:
            self._seq += 1
            if self._file is None:
                return
            record = {"seq": self._seq, "event": event}
            record.update(fields)
            self._file.write(json.dumps(record, ensure_ascii=False) + "\n")
            self._file.flush()


KNOWN_MESSAGES = {
    1205: (13, 51, "Transaction (Process ID {spid}) was deadlocked on lock resources with another "
           "process and has been chosen as the deadlock victim. Rerun the transaction."),
    208: (16, 1, "Invalid object name 'x'."),
    547: (16, 0, "The INSERT statement conflicted with a constraint."),
    2627: (14, 1, "Violation of PRIMARY KEY constraint. Cannot insert duplicate key."),
    8152: (16, 14, "String or binary data would be truncated."),
}


class FailureRule:
    """One entry of the control file: fail what matches, with this error."""

    def __init__(self, spec):
        self.on = spec.get("on", "statement")
        self.match = " ".join(str(spec.get("match", "")).split()).lower()
        self.number = int(spec.get("number", 50000))
        severity, state, message = KNOWN_MESSAGES.get(
            self.number, (16, 1, "Test server: refused with error {number}."))
        self.severity = int(spec.get("severity", severity))
        self.state = int(spec.get("state", state))
        self.message = spec.get("message", message)
        self.dooms = bool(spec.get("dooms", False))
        self.uncommittable = bool(spec.get("uncommittable", False))
        self.times = spec.get("times")  # None: every time

    def applies(self, on, text):
        if self.on != on or (self.times is not None and self.times <= 0):
            return False
        return self.match in " ".join(text.split()).lower()

    def error(self, spid):
        if self.times is not None:
            self.times -= 1
        message = self.message.format(spid=spid, number=self.number)
        return TdsError(self.number, message, self.severity, self.state, self.dooms,
                        self.uncommittable)


class Control:
    """Failure rules from a JSON file, read again whenever the file changes."""

    def __init__(self, path):
        self._path = path
        self._stamp = None
        self._rules = []
        self._lock = threading.Lock()

    def _reload(self):
        if not self._path:
            return
        try:
            info = os.stat(self._path)
        except FileNotFoundError:
            self._stamp, self._rules = None, []
            return
        stamp = (info.st_ino, info.st_mtime_ns, info.st_size)
        if stamp == self._stamp:
            return
        with open(self._path, encoding="utf-8") as handle:
            text = handle.read()
        spec = json.loads(text) if text.strip() else {}
        self._rules = [FailureRule(rule) for rule in spec.get("failures", [])]
        self._stamp = stamp

    def failure(self, on, text, spid):
        """The error to raise for this request, or None."""
        with self._lock:
            self._reload()
            for rule in self._rules:
                if rule.applies(on, text):
                    return rule.error(spid)
        return None


# ---------------------------------------------------------------------------------------
# Token writer


def b_varchar(text):
    data = text.encode("utf-16-le")
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = text.encode("utf-16-le")
    return struct.pack("<H", len(data) // 2) + data


def b_varbyte(data):
    return bytes([len(data)]) + data


class Column:
    """A result column: name and the TDS type chosen for its values."""

    def __init__(self, name, kind, size=0):
        self.name = name
        self.kind = kind  # "int", "bigint", "float", "text", "longtext", "bytes"
        self.size = size


def describe_columns(names, rows, version):
    columns = []
    for index, name in enumerate(names):
        values = [row[index] for row in rows if row[index] is not None]
        if values and all(isinstance(v, int) for v in values):
            small = all(-2**31 <= v < 2**31 for v in values)
            columns.append(Column(name, "int" if small else "bigint"))
        elif values and all(isinstance(v, (int, float)) for v in values):
            columns.append(Column(name, "float"))
        elif values and all(isinstance(v, bytes) for v in values):
            columns.append(Column(name, "bytes"))
        else:
            longest = max((len(str(v)) for v in values), default=1)
            if longest > NVARCHAR_LIMIT:
                if version < (7, 2):
                    raise TdsError(50000, "Test server: text longer than 4000 characters "
                                   "needs TDS 7.2 or later.")
                columns.append(Column(name, "longtext"))
            else:
                columns.append(Column(name, "text", max(longest, 1)))
    return columns


class TokenStream:
    """Collects the tokens of one reply; DONE_MORE is set on every DONE but the last."""

    def __init__(self, version):
        self.version = version
        self._parts = []

    @property
    def tds72(self):
        return self.version >= (7, 2)

    def raw(self, data):
        self._parts.append(data)

    def envchange(self, kind, new, old):
        if kind in (ENV_COLLATION, ENV_BEGIN_TRAN, ENV_COMMIT_TRAN, ENV_ROLLBACK_TRAN):
            body = bytes([kind]) + b_varbyte(new) + b_varbyte(old)
        else:
            body = bytes([kind]) + b_varchar(new) + b_varchar(old)
        self.raw(bytes([TOKEN_ENVCHANGE]) + struct.pack("<H", len(body)) + body)

    def message(self, token, number, state, severity, text, server, procedure="", line=1):
        body = (struct.pack("<iBB", number, state, severity) + us_varchar(text)
                + b_varchar(server) + b_varchar(procedure)
                + (struct.pack("<i", line) if self.tds72 else struct.pack("<H", line)))
        self.raw(bytes([token]) + struct.pack("<H", len(body)) + body)

    def loginack(self, version_word):
        body = (bytes([1]) + struct.pack(">I", version_word) + b_varchar(PRODUCT_NAME)
                + PRODUCT_VERSION)
        self.raw(bytes([TOKEN_LOGINACK]) + struct.pack("<H", len(body)) + body)

    def done(self, token=TOKEN_DONE, status=0, count=None, command=0):
        if count is not None:
            status |= DONE_COUNT
        self._parts.append([token, status, command, count or 0])

    def return_status(self, value):
        self.raw(bytes([TOKEN_RETURNSTATUS]) + struct.pack("<i", value))

    @property
    def empty(self):
        return not self._parts

    def end_as_procedure(self):
        """Turns a closing DONE into DONEPROC: a failed RPC still ends as a procedure."""
        if self._parts and isinstance(self._parts[-1], list):
            self._parts[-1][0] = TOKEN_DONEPROC

    def result_set(self, columns, rows):
        meta = struct.pack("<H", len(columns))
        for column in columns:
            meta += struct.pack("<I", 0) if self.tds72 else struct.pack("<H", 0)
            meta += struct.pack("<H", 0x0001)  # nullable
            if column.kind == "int":
                meta += bytes([TYPE_INTN, 4])
            elif column.kind == "bigint":
                meta += bytes([TYPE_INTN, 8])
            elif column.kind == "float":
                meta += bytes([TYPE_FLTN, 8])
            elif column.kind == "bytes":
                meta += bytes([TYPE_BIGVARBINARY]) + struct.pack("<H", 8000)
            elif column.kind == "longtext":
                meta += bytes([TYPE_NVARCHAR]) + struct.pack("<H", 0xFFFF) + COLLATION
            else:
                meta += bytes([TYPE_NVARCHAR]) + struct.pack("<H", column.size * 2) + COLLATION
            meta += b_varchar(column.name)
        self.raw(bytes([TOKEN_COLMETADATA]) + meta)
        for row in rows:
            data = bytearray([TOKEN_ROW])
            for column, value in zip(columns, row):
                data += encode_value(column, value)
            self.raw(bytes(data))

    def bytes(self):
        last_done = max((i for i, p in enumerate(self._parts) if isinstance(p, list)),
                        default=None)
        out = bytearray()
        for index, part in enumerate(self._parts):
            if isinstance(part, list):
                token, status, command, count = part
                if index != last_done and token != TOKEN_DONEINPROC:
                    status |= DONE_MORE
                if token == TOKEN_DONEINPROC:
                    status |= DONE_MORE
                out += struct.pack("<BHH", token, status, command)
                out += struct.pack("<Q", count) if self.tds72 else struct.pack("<I", count)
            else:
                out += part
        return bytes(out)


def encode_value(column, value):
    if column.kind in ("int", "bigint"):
        if value is None:
            return bytes([0])
        size = 4 if column.kind == "int" else 8
        return bytes([size]) + int(value).to_bytes(size, "little", signed=True)
    if column.kind == "float":
        return bytes([0]) if value is None else bytes([8]) + struct.pack("<d", float(value))
    if column.kind == "bytes":
        return struct.pack("<H", 0xFFFF) if value is None else struct.pack("<H", len(value)) + value
    if column.kind == "longtext":
        if value is None:
            return struct.pack("<Q", 0xFFFFFFFFFFFFFFFF)
        data = str(value).encode("utf-16-le")
        return struct.pack("<QI", len(data), len(data)) + data + struct.pack("<I", 0)
    if value is None:
        return struct.pack("<H", 0xFFFF)
    data = str(value).encode("utf-16-le")
    return struct.pack("<H", len(data)) + data


# ---------------------------------------------------------------------------------------
# Packets


class Channel:
    """Whole messages over TDS packets: reads until end-of-message, writes in packets."""

    def __init__(self, sock, spid):
        self.sock = sock
        self.spid = spid
        self.packet_size = 4096

    def _read_exact(self, count):
        data = bytearray()
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                return None
            data += chunk
        return bytes(data)

    def read_message(self):
        """(type, payload), or None when the client has gone."""
        payload = bytearray()
        message_type = None
        while True:
            header = self._read_exact(HEADER.size)
            if header is None:
                return None
            packet_type, status, length, _, _, _ = HEADER.unpack(header)
            body = self._read_exact(length - HEADER.size)
            if body is None:
                return None
            if packet_type == PKT_ATTENTION:
                return PKT_ATTENTION, b""
            message_type = packet_type
            payload += body
            if status & STATUS_EOM:
                return message_type, bytes(payload)

    def send(self, payload, packet_type=PKT_REPLY):
        room = self.packet_size - HEADER.size
        chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
        out = bytearray()
        for number, chunk in enumerate(chunks, start=1):
            status = STATUS_EOM if number == len(chunks) else 0
            out += HEADER.pack(packet_type, status, len(chunk) + HEADER.size, self.spid,
                               number % 256, 0)
            out += chunk
        self.sock.sendall(bytes(out))


# ---------------------------------------------------------------------------------------
# T-SQL: tokens, statements, and translation onto SQLite

TOKEN_RE = re.compile(r"""
    (?P<ws>\s+)
  | (?P<comment>--[^\n]*|/\*.*?\*/)
  | (?P<string>[Nn]?'(?:[^']|'')*')
  | (?P<unclosed>[Nn]?'.*)
  | (?P<bracket>\[(?:[^\]]|\]\])*\])
  | (?P<dquote>"(?:[^"]|"")*")
  | (?P<number>\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+)
  | (?P<word>@@\w+|@\w+|[\#\w$]+)
  | (?P<op><>|!=|>=|<=|\|\||.)
""", re.S | re.X)


class Token:
    def __init__(self, kind, text, line):
        self.kind = kind
        self.text = text
        self.line = line

    @property
    def upper(self):
        return self.text.upper() if self.kind == "word" else None

    @property
    def significant(self):
        return self.kind not in ("ws", "comment")

    def __repr__(self):
        return "Token(%s, %r)" % (self.kind, self.text)


def tokenize(text):
    tokens, line = [], 1
    for match in TOKEN_RE.finditer(text):
        kind = match.lastgroup
        value = match.group()
        if kind == "unclosed":
            raise TdsError(105, "Unclosed quotation mark after the character string '%s'."
                           % value.lstrip("Nn")[1:], 15, 1)
        tokens.append(Token(kind, value, line))
        line += value.count("\n")
    return tokens


STARTERS = {
    "SELECT", "INSERT", "UPDATE", "DELETE", "CREATE", "DROP", "ALTER", "SET", "USE", "BEGIN",
    "COMMIT", "ROLLBACK", "SAVE", "IF", "ELSE", "PRINT", "RAISERROR", "EXEC", "EXECUTE",
    "DECLARE", "WHILE", "RETURN", "TRUNCATE", "GRANT", "REVOKE", "DENY", "END",
}
CONTINUES_AFTER = {"ON", "FOR", "AFTER", "OF", "UNION", "ALL", "EXCEPT", "INTERSECT", "AS",
                   "TABLE", "VIEW", "INDEX", "PROC", "PROCEDURE", "FUNCTION", "TRIGGER",
                   "DATABASE", "SCHEMA", "EXISTS", "NOT"}
WHOLE_BATCH_OBJECTS = {"PROC", "PROCEDURE", "VIEW", "TRIGGER", "FUNCTION"}


class Statement:
    def __init__(self, tokens):
        self.tokens = tokens
        words = [t for t in tokens if t.significant]
        self.words = words
        self.head = words[0].upper if words else None
        self.line = words[0].line if words else 1

    @property
    def text(self):
        return "".join(t.text for t in self.tokens).strip()


class IfStatement:
    def __init__(self, condition, then, otherwise, line):
        self.condition = condition
        self.then = then
        self.otherwise = otherwise
        self.line = line


class Block:
    def __init__(self, body, line):
        self.body = body
        self.line = line


class Parser:
    """Splits a batch into statements the way T-SQL does without requiring semicolons."""

    def __init__(self, tokens):
        self.tokens = tokens
        self.pos = 0

    def _skip(self):
        while self.pos < len(self.tokens) and (not self.tokens[self.pos].significant
                                               or self.tokens[self.pos].text == ";"):
            self.pos += 1

    def _peek_word(self, offset=0):
        index, seen = self.pos, -1
        while index < len(self.tokens):
            if self.tokens[index].significant:
                seen += 1
                if seen == offset:
                    return self.tokens[index].upper
            index += 1
        return None

    def parse_batch(self):
        statements = []
        while True:
            self._skip()
            if self.pos >= len(self.tokens):
                return statements
            statements.append(self.parse_statement())

    def parse_statement(self):
        self._skip()
        if self.pos >= len(self.tokens):
            raise TdsError(102, "Incorrect syntax near the end of the batch.", 15, 1)
        first = self.tokens[self.pos]
        head = first.upper
        if head == "IF":
            self.pos += 1
            condition = self._scan_until_starter("IF")
            then = self.parse_statement()
            otherwise = None
            if self._peek_word() == "ELSE":
                self._skip()
                self.pos += 1
                otherwise = self.parse_statement()
            return IfStatement(condition, then, otherwise, first.line)
        if head == "BEGIN" and self._peek_word(1) not in ("TRAN", "TRANSACTION", "DISTRIBUTED"):
            self.pos += 1
            body = []
            while True:
                self._skip()
                if self.pos >= len(self.tokens):
                    raise TdsError(102, "Incorrect syntax near the end of the batch: "
                                   "BEGIN without END.", 15, 1)
                if self.tokens[self.pos].upper == "END":
                    self.pos += 1
                    return Block(body, first.line)
                body.append(self.parse_statement())
        if head in ("CREATE", "ALTER") and self._peek_word(1) in WHOLE_BATCH_OBJECTS:
            tokens = self.tokens[self.pos:]
            self.pos = len(self.tokens)
            return Statement(tokens)
        start = self.pos
        self.pos += 1
        self._scan_until_starter(head)
        return Statement(self.tokens[start:self.pos])

    def _scan_until_starter(self, head):
        """Advances to the start of the next statement; returns the tokens passed."""
        start, depth, case_depth = self.pos, 0, 0
        seen = set()
        previous = None
        while self.pos < len(self.tokens):
            token = self.tokens[self.pos]
            if not token.significant:
                self.pos += 1
                continue
            if token.text == ";" and depth == 0:
                break
            word = token.upper
            if token.text == "(":
                depth += 1
            elif token.text == ")":
                depth = max(depth - 1, 0)
            elif word == "CASE":
                case_depth += 1
            elif word == "END" and case_depth > 0:
                case_depth -= 1
                word = None
            elif word == "ELSE" and case_depth > 0:
                word = None
            if word in STARTERS and depth == 0 and self._starts_statement(word, head, previous,
                                                                          seen):
                break
            if word:
                seen.add(word)
            previous = token.upper or token.text
            self.pos += 1
        return self.tokens[start:self.pos]

    @staticmethod
    def _starts_statement(word, head, previous, seen):
        if previous in CONTINUES_AFTER or previous in ("(", ",", "="):
            return False
        if word == "SELECT" and head == "INSERT" and not seen & {"SELECT", "VALUES"}:
            return False
        if word == "SET" and head == "UPDATE" and "SET" not in seen:
            return False
        if word in ("DROP", "ALTER", "SET") and head == "ALTER":
            return False
        return True


def quote(text):
    return "'" + str(text).replace("'", "''") + "'"


def unquote_name(token):
    text = token.text
    if token.kind == "bracket":
        return text[1:-1].replace("]]", "]")
    if token.kind == "dquote":
        return text[1:-1].replace('""', '"')
    if token.kind == "string":
        return text.lstrip("Nn")[1:-1].replace("''", "'")
    return text


def quote_name(name):
    return '"' + name.replace('"', '""') + '"'


def transaction_name(words):
    """The name after BEGIN/ROLLBACK/SAVE TRAN[SACTION], upper case (names are compared
    without letter case here), or None."""
    if not words or words[0].kind not in ("word", "bracket", "dquote"):
        return None
    if words[0].upper in ("WITH", "SELECT", "INSERT", "UPDATE", "DELETE"):
        return None
    return unquote_name(words[0]).upper()


def string_literal(tokens):
    """The value of a single string literal, or None."""
    significant = [t for t in tokens if t.significant]
    if len(significant) == 1 and significant[0].kind == "string":
        return unquote_name(significant[0])
    return None


# ---------------------------------------------------------------------------------------
# Databases and sessions


class Catalog:
    """Logical databases: DIR/<name>.db, names compared without letter case."""

    def __init__(self, data_dir, lock_timeout):
        self.data_dir = data_dir
        self.lock_timeout = lock_timeout

    def find(self, name):
        """(canonical name, file) or None.  master always exists."""
        wanted = name.lower()
        for entry in sorted(os.listdir(self.data_dir)):
            if entry.lower().endswith(".db") and entry[:-3].lower() == wanted:
                return entry[:-3], os.path.join(self.data_dir, entry)
        if wanted == "master":
            return "master", ":memory:"
        return None

    def connect(self, path):
        connection = sqlite3.connect(path, timeout=self.lock_timeout, isolation_level=None,
                                     check_same_thread=False)
        return connection


SQLITE_ERRORS = [
    (re.compile(r"no such table: (?:main\.)?(.+)"), 208, 16, 1, "Invalid object name '{0}'."),
    (re.compile(r"no such column: (.+)"), 207, 16, 1, "Invalid column name '{0}'."),
    (re.compile(r'near "(.*)": syntax error'), 102, 15, 1, "Incorrect syntax near '{0}'."),
    (re.compile(r"incomplete input"), 102, 15, 1, "Incorrect syntax near the end of the input."),
    (re.compile(r"UNIQUE constraint failed: (\w+)\.(.+)"), 2627, 14, 1,
     "Violation of PRIMARY KEY constraint 'PK_{0}'. Cannot insert duplicate key in object "
     "'dbo.{0}'."),
    (re.compile(r"NOT NULL constraint failed: (\w+)\.(.+)"), 515, 16, 2,
     "Cannot insert the value NULL into column '{1}', table '{0}'; column does not allow "
     "nulls. INSERT fails."),
    (re.compile(r"(?:table|index|view) (.+) already exists"), 2714, 16, 6,
     "There is already an object named '{0}' in the database."),
    (re.compile(r"no such function: (.+)"), 195, 15, 10,
     "'{0}' is not a recognized built-in function name."),
    (re.compile(r"database is locked"), 1222, 16, 56, "Lock request time out period exceeded."),
]


def sqlite_error(error):
    text = str(error)
    for pattern, number, severity, state, message in SQLITE_ERRORS:
        match = pattern.search(text)
        if match:
            return TdsError(number, message.format(*match.groups()), severity, state)
    return TdsError(50000, "Test server: SQLite refused the statement: " + text, 16, 1)


class Session:
    """One connection's state: database, transaction, options; runs T-SQL on SQLite."""

    def __init__(self, server, conn_id, spid, version, origin):
        self.server = server
        self.conn_id = conn_id
        self.spid = spid
        self.version = version
        self.origin = origin
        self.database = None
        self.sqlite = None
        self.trancount = 0
        self.transaction_name = None  # the outermost BEGIN TRAN's name, upper case
        self.savepoints = []  # SAVE TRAN names in order, upper case
        self.uncommittable = False  # open, but only reads and a roll-back are left
        self.descriptor = b"\0" * 8
        self.implicit_transactions = False
        self.xact_abort = False
        self.nocount = False
        self.last_error = 0
        self.last_rowcount = 0

    def log(self, event, **fields):
        self.server.log.write(event, conn=self.conn_id, **fields)

    # Databases -------------------------------------------------------------------------

    def use(self, name):
        found = self.server.catalog.find(name)
        if found is None:
            raise TdsError(911, "Database '%s' does not exist. Make sure that the name is "
                           "entered correctly." % name, 16, 1)
        if self.trancount:
            raise TdsError(50000, "Test server: USE inside a transaction is not supported.")
        canonical, path = found
        if self.sqlite is not None:
            self.sqlite.close()
        self.sqlite = self.server.catalog.connect(path)
        old, self.database = self.database, canonical
        return old, canonical

    def close(self):
        if self.sqlite is not None:
            if self.trancount:
                self.sqlite.execute("ROLLBACK")
                self.log("transaction", action="rollback", via="disconnect", trancount=0)
                self.trancount = 0
                self.uncommittable = False
            self.sqlite.close()
            self.sqlite = None

    # Transactions ----------------------------------------------------------------------

    def begin(self, out, via, name=None):
        self.refuse_if_uncommittable()
        if self.trancount == 0:
            self.transaction_name = name
            self.savepoints = []
            self.sqlite.execute("BEGIN")
            self.server.descriptors += 1
            self.descriptor = struct.pack("<Q", self.server.descriptors)
            if out.tds72:
                out.envchange(ENV_BEGIN_TRAN, self.descriptor, b"")
        self.trancount += 1
        self.log("transaction", action="begin", via=via, trancount=self.trancount)

    def commit(self, out, via):
        if self.trancount == 0:
            raise TdsError(3902, "The COMMIT TRANSACTION request has no corresponding "
                           "BEGIN TRANSACTION.", 16, 1)
        self.refuse_if_uncommittable()
        self.trancount -= 1
        if self.trancount == 0:
            self.transaction_name = None
            self.savepoints = []
            self.sqlite.execute("COMMIT")
            if out.tds72:
                out.envchange(ENV_COMMIT_TRAN, b"", self.descriptor)
            self.descriptor = b"\0" * 8
        self.log("transaction", action="commit", via=via, trancount=self.trancount)

    def rollback(self, out, via, action="rollback"):
        if self.trancount == 0:
            raise TdsError(3903, "The ROLLBACK TRANSACTION request has no corresponding "
                           "BEGIN TRANSACTION.", 16, 1)
        self.sqlite.execute("ROLLBACK")
        self.trancount = 0
        self.transaction_name = None
        self.savepoints = []
        self.uncommittable = False
        if out.tds72:
            out.envchange(ENV_ROLLBACK_TRAN, b"", self.descriptor)
        self.descriptor = b"\0" * 8
        self.log("transaction", action=action, via=via, trancount=0)

    def rollback_named(self, out, name):
        """ROLLBACK TRAN name: to a savepoint (the levels stay), or everything when it
        names the outermost transaction; any other name is an error."""
        if self.trancount and name in self.savepoints:
            self.sqlite.execute("ROLLBACK TO " + quote_name(name))
            del self.savepoints[self.savepoints.index(name) + 1:]
            self.uncommittable = False
            self.log("transaction", action="rollback_to", via="sql", trancount=self.trancount)
        elif self.trancount and name == self.transaction_name:
            self.rollback(out, "sql")
        else:
            raise TdsError(6401, "Cannot roll back %s. No transaction or savepoint of that name "
                           "was found." % name, 16, 1)

    def save(self, name):
        if not self.trancount:
            raise TdsError(628, "Cannot issue SAVE TRANSACTION when there is no active "
                           "transaction.", 16, 1)
        self.refuse_if_uncommittable()
        self.sqlite.execute("SAVEPOINT " + quote_name(name))
        self.savepoints.append(name)
        self.log("transaction", action="save", via="sql", trancount=self.trancount)

    def xact_state(self):
        if self.uncommittable:
            return -1
        return 1 if self.trancount else 0

    def refuse_if_uncommittable(self):
        if self.uncommittable:
            raise TdsError(3930, "The current transaction cannot be committed and cannot "
                           "support operations that write to the log file. Roll back the "
                           "transaction.", 16, 1)

    # Batches ---------------------------------------------------------------------------

    def run_batch(self, text, out):
        """Runs a batch, writing results to `out` (a TokenStream or an osql renderer)."""
        try:
            statements = Parser(tokenize(text)).parse_batch()
        except TdsError as error:
            self.report(error, out)
            return
        try:
            for statement in statements:
                self.run_node(statement, out)
        except BatchAborted:
            pass

    def report(self, error, out):
        self.last_error = error.number
        self.log("error", number=error.number, message=error.message, line=error.line)
        out.message(TOKEN_ERROR, error.number, error.state, error.severity, error.message,
                    self.server.name, "", error.line)
        out.done(status=DONE_ERROR)

    def run_node(self, node, out):
        if isinstance(node, Block):
            for inner in node.body:
                self.run_node(inner, out)
        elif isinstance(node, IfStatement):
            try:
                value = self.evaluate(node.condition)
            except TdsError as error:
                error.line = node.line
                self.fail(error, out, "IF")
                return
            branch = node.then if value else node.otherwise
            if branch is not None:
                self.run_node(branch, out)
        else:
            self.run_statement(node, out)

    def fail(self, error, out, text):
        self.report(error, out)
        if error.uncommittable and self.trancount and not self.uncommittable:
            # SQL Server's uncommittable state: the transaction stays open, XACT_STATE()
            # is -1, nothing more may be written and only a roll-back ends it.
            self.uncommittable = True
            self.log("transaction", action="uncommittable", via="server",
                     trancount=self.trancount)
            self.log("doomed", statement=text, number=error.number)
            raise BatchAborted()
        if (error.dooms or self.xact_abort) and self.trancount:
            self.rollback(out, "server", action="doomed")
            self.log("doomed", statement=text, number=error.number)
            raise BatchAborted()

    def run_statement(self, statement, out):
        text = statement.text
        try:
            injected = self.server.control.failure("statement", text, self.spid)
            if injected is not None:
                self.log("statement", origin=self.origin, text=text, injected=True)
                raise injected
            self.log("statement", origin=self.origin, text=text, trancount=self.trancount)
            if self.uncommittable and self.writes(statement):
                self.refuse_if_uncommittable()
            self.execute(statement, out)
        except TdsError as error:
            error.line = statement.line
            self.fail(error, out, text)

    def execute(self, statement, out):
        head = statement.head
        words = statement.words
        second = words[1].upper if len(words) > 1 else None
        if head == "SET":
            self.set_option(words[1:])
            out.done()
        elif head == "USE":
            name = "".join(unquote_name(t) for t in words[1:])
            old, new = self.use(name)
            out.envchange(ENV_DATABASE, new, old or "")
            out.message(TOKEN_INFO, 5701, 1, 0, "Changed database context to '%s'." % new,
                        self.server.name)
            out.done()
        elif head == "BEGIN" and second in ("TRAN", "TRANSACTION"):
            self.begin(out, "sql", transaction_name(words[2:]))
            out.done()
        elif head == "COMMIT":
            # COMMIT [TRAN[SACTION] [name]] | COMMIT WORK: the name changes nothing.
            self.commit(out, "sql")
            out.done()
        elif head == "ROLLBACK":
            name = transaction_name(words[2:]) if second in ("TRAN", "TRANSACTION") else None
            if name is None:
                self.rollback(out, "sql")
            else:
                self.rollback_named(out, name)
            out.done()
        elif head == "SAVE" and second in ("TRAN", "TRANSACTION") and len(words) > 2:
            self.save(transaction_name(words[2:]))
            out.done()
        elif head in ("CREATE", "ALTER") and second in ("PROC", "PROCEDURE"):
            self.define_procedure(head, words[2:])
            out.done()
        elif head == "PRINT":
            value = self.evaluate(words[1:], scalar=True)
            out.message(TOKEN_INFO, 0, 1, 0, "" if value is None else str(value),
                        self.server.name, "", statement.line)
            out.done()
        elif head == "RAISERROR":
            self.raiserror(words[1:])
        elif head in ("EXEC", "EXECUTE"):
            self.exec_text(words[1:], out)
        elif head in ("DECLARE", "WHILE", "SAVE", "RETURN", "GRANT", "REVOKE", "DENY"):
            raise TdsError(50000, "Test server: %s is not supported." % head)
        else:
            self.run_sqlite(statement, out)

    def define_procedure(self, head, words):
        """CREATE or ALTER PROC[EDURE] name [AS] body, without parameters: the body is
        kept as text and run as a batch by EXEC name."""
        if not words:
            raise TdsError(102, "Incorrect syntax near the end of the batch.", 15, 1)
        name = unquote_name(words[0]).split(".")[-1].upper()
        body = words[1:]
        if body and body[0].upper == "AS":
            body = body[1:]
        key = (self.database.lower(), name)
        known = key in self.server.procedures
        if head == "CREATE" and known:
            raise TdsError(2714, "There is already an object named '%s' in the database."
                           % unquote_name(words[0]), 16, 3)
        if head == "ALTER" and not known:
            raise TdsError(208, "Invalid object name '%s'." % unquote_name(words[0]), 16, 1)
        self.server.procedures[key] = " ".join(token.text for token in body)

    def run_procedure(self, body, out):
        """A user procedure's body; SQL Server tells a level the body changed (error 266)
        after the body ran, which leaves the change in place."""
        before = self.trancount
        self.run_batch(body, out)
        if self.trancount != before:
            self.report(TdsError(266, "Transaction count after EXECUTE indicates a mismatching "
                                 "number of BEGIN and COMMIT statements. Previous count = %d, "
                                 "current count = %d." % (before, self.trancount), 16, 2), out)

    @staticmethod
    def writes(statement):
        """False for what an uncommittable transaction still allows: reads, options and
        the roll-back."""
        head = statement.head
        if head == "SELECT":
            return any(word.upper == "INTO" for word in statement.words)
        return head not in ("SET", "PRINT", "ROLLBACK", "RAISERROR", "DECLARE")

    def set_option(self, words):
        option = words[0].upper if words else None
        value = words[-1].upper if len(words) > 1 else None
        if option == "IMPLICIT_TRANSACTIONS":
            self.implicit_transactions = value == "ON"
        elif option == "XACT_ABORT":
            self.xact_abort = value == "ON"
        elif option == "NOCOUNT":
            self.nocount = value == "ON"
        # Other options (TEXTSIZE, QUOTED_IDENTIFIER, ...) change nothing here.

    def raiserror(self, words):
        inner = words[1:-1] if words and words[0].text == "(" else words
        parts, current, depth = [], [], 0
        for token in inner:
            if token.text == "(":
                depth += 1
            elif token.text == ")":
                if depth == 0:
                    break
                depth -= 1
            if token.text == "," and depth == 0:
                parts.append(current)
                current = []
            else:
                current.append(token)
        parts.append(current)
        message = string_literal(parts[0]) if parts else None
        if message is None:
            raise TdsError(50000, "Test server: RAISERROR needs a message text.")
        severity = int(self.evaluate(parts[1], scalar=True)) if len(parts) > 1 else 16
        state = int(self.evaluate(parts[2], scalar=True)) if len(parts) > 2 else 1
        raise TdsError(50000, message, severity, state)

    # SQLite ----------------------------------------------------------------------------

    def translate(self, tokens):
        """T-SQL tokens to SQLite text: session functions, N'' literals, dbo. prefixes."""
        out = []
        limit = None
        items = list(tokens)
        i = 0
        while i < len(items):
            token = items[i]
            upper = token.upper
            nxt = self._next_significant(items, i)
            if token.kind == "string":
                out.append(quote(unquote_name(token)))
            elif upper == "@@TRANCOUNT":
                out.append(str(self.trancount))
            elif upper == "@@SPID":
                out.append(str(self.spid))
            elif upper == "@@ERROR":
                out.append(str(self.last_error))
            elif upper == "@@ROWCOUNT":
                out.append(str(self.last_rowcount))
            elif upper == "@@VERSION":
                out.append(quote(PRODUCT_NAME + " 2019 (TDS test server)"))
            elif upper == "@@SERVERNAME":
                out.append(quote(self.server.name))
            elif upper and upper.startswith("@"):
                raise TdsError(137, "Must declare the scalar variable \"%s\"." % token.text,
                               15, 2)
            elif upper in ("XACT_STATE", "GETDATE", "DB_NAME", "NEWID") and nxt \
                    and nxt[1].text == "(":
                close = self._next_significant(items, nxt[0])
                if close is None or close[1].text != ")":
                    raise TdsError(174, "The %s function takes no arguments." % upper, 15, 1)
                out.append({
                    "XACT_STATE": lambda: str(self.xact_state()),
                    "GETDATE": lambda: "(datetime('now','localtime'))",
                    "DB_NAME": lambda: quote(self.database),
                    "NEWID": lambda: "(upper(hex(randomblob(16))))",
                }[upper]())
                i = close[0]
            elif upper == "OBJECT_ID" and nxt and nxt[1].text == "(":
                arg = self._next_significant(items, nxt[0])
                if arg is None or arg[1].kind != "string":
                    raise TdsError(50000, "Test server: OBJECT_ID needs a string literal.")
                name = unquote_name(arg[1]).split(".")[-1].strip("[]")
                out.append("(SELECT rowid FROM sqlite_master WHERE lower(name) = lower(%s))"
                           % quote(name))
                i = arg[0]
                while i < len(items) and items[i].text != ")":
                    i += 1
            elif upper in ("LEN", "ISNULL") and nxt and nxt[1].text == "(":
                out.append({"LEN": "length", "ISNULL": "ifnull"}[upper])
            elif upper == "DBO" and nxt and nxt[1].text == ".":
                i = nxt[0]
            elif token.kind == "bracket" and token.text.lower() == "[dbo]" and nxt \
                    and nxt[1].text == ".":
                i = nxt[0]
            elif upper == "IDENTITY" and nxt and nxt[1].text == "(":
                while i < len(items) and items[i].text != ")":
                    i += 1
            elif upper == "TOP" and nxt and nxt[1].kind == "number":
                limit = nxt[1].text
                i = nxt[0]
            else:
                out.append(token.text)
            i += 1
        text = "".join(out).strip()
        if limit is not None:
            text += " LIMIT " + limit
        return text

    @staticmethod
    def _next_significant(items, i):
        j = i + 1
        while j < len(items):
            if items[j].significant:
                return j, items[j]
            j += 1
        return None

    def evaluate(self, tokens, scalar=False):
        """The value of an expression; as a condition, true or false."""
        expression = self.translate(tokens)
        if not expression:
            raise TdsError(102, "Incorrect syntax near the end of the expression.", 15, 1)
        sql = ("SELECT " + expression) if scalar else \
            "SELECT CASE WHEN (%s) THEN 1 ELSE 0 END" % expression
        try:
            return self.sqlite.execute(sql).fetchone()[0]
        except sqlite3.Error as error:
            raise sqlite_error(error) from None

    def run_sqlite(self, statement, out):
        sql = self.translate(statement.tokens)
        if self.implicit_transactions and self.trancount == 0 and statement.head in (
                "SELECT", "INSERT", "UPDATE", "DELETE", "CREATE", "DROP", "ALTER", "TRUNCATE"):
            self.begin(out, "implicit")
        if statement.head == "TRUNCATE":
            sql = re.sub(r"(?i)^\s*truncate\s+table\s+", "DELETE FROM ", sql)
        try:
            cursor = self.sqlite.execute(sql)
            rows = cursor.fetchall() if cursor.description else None
        except sqlite3.Error as error:
            raise sqlite_error(error) from None
        if rows is not None:
            names = [d[0] for d in cursor.description]
            out.result_set(describe_columns(names, rows, out.version), rows)
            self.last_rowcount = len(rows)
            out.done(count=None if self.nocount else len(rows), command=0xC1)
        elif cursor.rowcount >= 0 and statement.head in ("INSERT", "UPDATE", "DELETE"):
            self.last_rowcount = cursor.rowcount
            out.done(count=None if self.nocount else cursor.rowcount)
        else:
            self.last_rowcount = 0
            out.done()

    # Procedures ------------------------------------------------------------------------

    def exec_text(self, words, out):
        """EXEC name 'argument' in a batch: only xp_cmdshell is known."""
        name_end = 0
        while name_end < len(words) and (words[name_end].kind in ("word", "bracket")
                                         or words[name_end].text == "."):
            name_end += 1
        name = "".join(unquote_name(t) for t in words[:name_end])
        args = [t for t in words[name_end:] if t.text != ","]
        values = [unquote_name(t) for t in args if t.kind == "string"]
        self.call_procedure(name, values, out, token=TOKEN_DONE)

    def call_procedure(self, name, values, out, token=TOKEN_DONEPROC):
        injected = self.server.control.failure("rpc", name, self.spid)
        if injected is not None:
            raise injected
        short = name.lower().replace("[", "").replace("]", "").split(".")[-1]
        if short == "xp_cmdshell" and len(values) == 1:
            self.xp_cmdshell(values[0], out, token)
        elif short == "sp_executesql" and values:
            self.run_batch(values[0], out)
        elif self.database and (self.database.lower(), short.upper()) in self.server.procedures:
            self.run_procedure(self.server.procedures[(self.database.lower(), short.upper())],
                               out)
        else:
            raise TdsError(2812, "Could not find stored procedure '%s'." % name, 16, 62)

    def xp_cmdshell(self, command, out, token):
        """Answers like the real procedure: output lines, a NULL row, a return status."""
        command = command if command is not None else ""
        match = OSQL_COMMAND.match(command)
        self.log("xp_cmdshell", command=command, osql=bool(match),
                 database=match.group("database") if match else None,
                 path=match.group("path") if match else None)
        if match:
            lines = self.server.osql.run(match.group("database"), match.group("path"))
            status = 0
        else:
            program = command.split()[0] if command.split() else command
            lines = ["'%s' is not recognized as an internal or external command," % program,
                     "operable program or batch file."]
            status = 1
        self.log("xp_cmdshell_output", output=lines, status=status)
        rows = [[line] for line in lines] + [[None]]
        out.result_set([Column("output", "text", 255)], rows)
        out.done(token=TOKEN_DONEINPROC, count=len(rows), command=0xC1)
        out.return_status(status)
        if token == TOKEN_DONEPROC:
            out.done(token=TOKEN_DONEPROC)
        else:
            out.done()


# The command line the upgrade program hands to xp_cmdshell.
OSQL_COMMAND = re.compile(
    r'^osql\s+-E\s+-S\s+\(local\)\s+-d\s+(?P<database>\S+)\s+-i\s+"(?P<path>[^"]*)"\s*$',
    re.I)


# ---------------------------------------------------------------------------------------
# osql stand-in


class OsqlOutput:
    """Renders what a batch produces as osql prints it."""

    def __init__(self, server_name, lines):
        self.server_name = server_name
        self.lines = lines
        self.version = (7, 4)
        self.tds72 = True

    def envchange(self, *args):
        pass

    def message(self, token, number, state, severity, text, server, procedure="", line=1):
        if token == TOKEN_ERROR:
            self.lines.append("Msg %d, Level %d, State %d, Server %s, Line %d"
                              % (number, severity, state, self.server_name, line))
        if number != 5701:
            self.lines.append(text)

    def done(self, token=TOKEN_DONE, status=0, count=None, command=0):
        if count is not None:
            self.lines.append("(%d row%s affected)" % (count, "" if count == 1 else "s"))

    def return_status(self, value):
        pass

    def result_set(self, columns, rows):
        self.lines.append(" " + " ".join(c.name for c in columns))
        self.lines.append(" " + " ".join("-" * max(len(c.name), 1) for c in columns))
        for row in rows:
            self.lines.append(" " + " ".join("NULL" if v is None else str(v) for v in row))


def resolve_path(path, dos_devices=None):
    """The file as the server's shell would find it: separators and letter case as on
    the system the program was written for. With `dos_devices` (a Wine prefix's folder of
    drive links) a path with a drive letter is read through that drive, as a server on
    the machine of a Windows program running under Wine would read it."""
    drive = re.match(r"^([A-Za-z]):[\\/]", path)
    if dos_devices and drive:
        path = os.path.join(dos_devices, drive.group(1).lower() + ":", path[3:])
    candidates = [path, path.replace("\\", "/")]
    for candidate in candidates:
        if os.path.isfile(candidate):
            return candidate
    parts = path.replace("\\", "/").split("/")
    current = "/" if path.startswith(("/", "\\")) else "."
    for part in parts:
        if part in ("", "."):
            continue
        try:
            entries = os.listdir(current)
        except OSError:
            return None
        matches = [e for e in entries if e.lower() == part.lower()]
        if not matches:
            return None
        current = os.path.join(current, part if part in matches else matches[0])
    return current if os.path.isfile(current) else None


def decode_script(data, ansi_codec):
    if data.startswith(codecs.BOM_UTF16_LE):
        return data[2:].decode("utf-16-le", errors="replace")
    if data.startswith(codecs.BOM_UTF8):
        return data[3:].decode("utf-8", errors="replace")
    return data.decode(ansi_codec, errors="replace")


class OsqlStandIn:
    """Runs a script file on a database outside any transaction, batch by batch at GO."""

    def __init__(self, server):
        self.server = server
        self._count = 0
        self._lock = threading.Lock()

    def run(self, database, path):
        with self._lock:
            self._count += 1
            conn_id = "osql-%d" % self._count
        lines = []
        out = OsqlOutput(self.server.name, lines)
        session = Session(self.server, conn_id, 0, (7, 4), "osql")
        try:
            try:
                session.use(database)
            except TdsError:
                lines.append("Msg 4060, Level 11, State 1, Server %s, Line 1" % self.server.name)
                lines.append("Cannot open database \"%s\" requested by the login. The login "
                             "failed." % database)
                return lines
            found = resolve_path(path, self.server.dos_devices)
            if found is None:
                lines.append("Cannot open input file - '%s'" % path)
                return lines
            with open(found, "rb") as handle:
                text = decode_script(handle.read(), self.server.ansi_codec)
            for batch in split_go(text):
                session.run_batch(batch, out)
        finally:
            session.close()
        return lines


def split_go(text):
    batches, current = [], []
    for line in text.replace("\r\n", "\n").split("\n"):
        if line.strip().upper() == "GO":
            batches.append("\n".join(current))
            current = []
        else:
            current.append(line)
    if any(line.strip() for line in current):
        batches.append("\n".join(current))
    return [batch for batch in batches if batch.strip()]


# ---------------------------------------------------------------------------------------
# Requests


def read_b_varchar(data, pos):
    length = data[pos]
    return data[pos + 1:pos + 1 + 2 * length].decode("utf-16-le"), pos + 1 + 2 * length


def skip_all_headers(data, version):
    if version < (7, 2) or len(data) < 4:
        return 0
    total = struct.unpack_from("<I", data, 0)[0]
    return total if 4 <= total <= len(data) else 0


def parse_prelogin(data):
    options, pos = {}, 0
    while pos < len(data) and data[pos] != 0xFF:
        token, offset, length = struct.unpack_from(">BHH", data, pos)
        options[token] = data[offset:offset + length]
        pos += 5
    instance = options.get(PRELOGIN_INSTOPT, b"").split(b"\0")[0].decode("latin-1")
    encryption = options.get(PRELOGIN_ENCRYPTION, b"\0")[:1]
    return {"instance": instance, "encryption": encryption[0] if encryption else None,
            "mars": options.get(PRELOGIN_MARS, b"\0")[:1].hex()}


def prelogin_reply():
    fields = [(PRELOGIN_VERSION, PRODUCT_VERSION + b"\0\0"),
              (PRELOGIN_ENCRYPTION, bytes([ENCRYPT_NOT_SUP])),
              (PRELOGIN_INSTOPT, b"\0"),
              (PRELOGIN_THREADID, b""),
              (PRELOGIN_MARS, b"\0")]
    offset = len(fields) * 5 + 1
    table, body = bytearray(), bytearray()
    for token, value in fields:
        table += struct.pack(">BHH", token, offset + len(body), len(value))
        body += value
    return bytes(table) + b"\xFF" + bytes(body)


def parse_login7(data):
    version_word = struct.unpack_from("<I", data, 4)[0]
    packet_size = struct.unpack_from("<I", data, 8)[0]
    flags3 = data[27]

    def field(offset):
        start, count = struct.unpack_from("<HH", data, offset)
        return data[start:start + 2 * count]

    password = bytes((((b ^ 0xA5) << 4) & 0xF0) | ((b ^ 0xA5) >> 4) for b in field(44))
    return {
        "version_word": version_word,
        "packet_size": packet_size,
        "feature_ext": bool(flags3 & 0x10),
        "host": field(36).decode("utf-16-le"),
        "user": field(40).decode("utf-16-le"),
        "password": password.decode("utf-16-le"),
        "app": field(48).decode("utf-16-le"),
        "server": field(52).decode("utf-16-le"),
        "library": field(60).decode("utf-16-le"),
        "language": field(64).decode("utf-16-le"),
        "database": field(68).decode("utf-16-le"),
    }


def read_type_info(data, pos):
    kind = data[pos]
    pos += 1
    fixed = {0x30: 1, 0x34: 2, 0x38: 4, 0x7F: 8, 0x32: 1, 0x3B: 4, 0x3E: 8, 0x1F: 0}
    if kind in fixed:
        return {"type": kind, "fixed": fixed[kind]}, pos
    if kind in (0x26, 0x68, 0x6D, 0x6E, 0x6F):
        return {"type": kind, "size": data[pos]}, pos + 1
    if kind in (0x6A, 0x6C):
        return {"type": kind, "size": data[pos], "scale": data[pos + 2]}, pos + 3
    if kind in (0xE7, 0xA7, 0xEF, 0xAF):
        return {"type": kind, "size": struct.unpack_from("<H", data, pos)[0]}, pos + 7
    if kind in (0xA5, 0xAD):
        return {"type": kind, "size": struct.unpack_from("<H", data, pos)[0]}, pos + 2
    if kind in (0x63, 0x23):
        return {"type": kind, "size": struct.unpack_from("<I", data, pos)[0]}, pos + 9
    raise TdsError(50000, "Test server: RPC parameter type 0x%02X is not supported." % kind)


TYPE_NAMES = {0xE7: "nvarchar", 0xA7: "varchar", 0xEF: "nchar", 0xAF: "char", 0x63: "ntext",
              0x23: "text", 0x26: "int", 0x38: "int", 0xA5: "varbinary"}


def read_value(info, data, pos, ansi_codec):
    kind = info["type"]
    if "fixed" in info:
        raw = data[pos:pos + info["fixed"]]
        return int.from_bytes(raw, "little", signed=True) if raw else None, pos + info["fixed"]
    if kind in (0x26, 0x68, 0x6D, 0x6E, 0x6F, 0x6A, 0x6C):
        length = data[pos]
        raw = data[pos + 1:pos + 1 + length]
        if length == 0:
            return None, pos + 1
        if kind == 0x6D:
            value = struct.unpack("<d" if length == 8 else "<f", raw)[0]
        elif kind in (0x6A, 0x6C):
            value = int.from_bytes(raw[1:], "little") * (1 if raw[0] else -1)
            value = value / (10 ** info["scale"]) if info["scale"] else value
        else:
            value = int.from_bytes(raw, "little", signed=True)
        return value, pos + 1 + length
    if kind in (0x63, 0x23):
        length = struct.unpack_from("<i", data, pos)[0]
        pos += 4
        if length < 0:
            return None, pos
        raw = data[pos:pos + length]
        pos += length
    elif info["size"] == 0xFFFF:  # PLP
        total = struct.unpack_from("<Q", data, pos)[0]
        pos += 8
        if total == 0xFFFFFFFFFFFFFFFF:
            return None, pos
        raw = bytearray()
        while True:
            chunk = struct.unpack_from("<I", data, pos)[0]
            pos += 4
            if chunk == 0:
                break
            raw += data[pos:pos + chunk]
            pos += chunk
        raw = bytes(raw)
    else:
        length = struct.unpack_from("<H", data, pos)[0]
        pos += 2
        if length == 0xFFFF:
            return None, pos
        raw = data[pos:pos + length]
        pos += length
    if kind in (0xE7, 0xEF, 0x63):
        return raw.decode("utf-16-le"), pos
    if kind in (0xA7, 0xAF, 0x23):
        return raw.decode(ansi_codec, errors="replace"), pos
    return raw, pos


PROC_IDS = {10: "sp_executesql", 1: "sp_cursor", 13: "sp_prepexec", 12: "sp_execute"}


def parse_rpc(data, version, ansi_codec):
    pos = skip_all_headers(data, version)
    name_length = struct.unpack_from("<H", data, pos)[0]
    pos += 2
    if name_length == 0xFFFF:
        proc_id = struct.unpack_from("<H", data, pos)[0]
        name = PROC_IDS.get(proc_id, "#%d" % proc_id)
        pos += 2
    else:
        name = data[pos:pos + 2 * name_length].decode("utf-16-le")
        pos += 2 * name_length
    pos += 2  # option flags
    params = []
    while pos < len(data) and data[pos] not in (0x80, 0xFF, 0xFE):
        param_name, pos = read_b_varchar(data, pos)
        status = data[pos]
        pos += 1
        info, pos = read_type_info(data, pos)
        value, pos = read_value(info, data, pos, ansi_codec)
        params.append({"name": param_name, "type": TYPE_NAMES.get(info["type"],
                                                                  "0x%02X" % info["type"]),
                       "output": bool(status & 1),
                       "value": value if not isinstance(value, bytes) else value.hex()})
    return name, params


# ---------------------------------------------------------------------------------------
# Connections


class ClientConnection:
    """One TCP client from PRELOGIN to disconnect."""

    def __init__(self, server, sock, conn_id):
        self.server = server
        self.conn_id = conn_id
        self.spid = 50 + conn_id
        self.channel = Channel(sock, self.spid)
        self.session = None
        self.version = (7, 4)

    def log(self, event, **fields):
        self.server.log.write(event, conn=self.conn_id, **fields)

    def serve(self):
        try:
            if self.login():
                self.requests()
        except (ConnectionError, OSError):
            pass
        finally:
            if self.session is not None:
                self.session.close()
            self.log("disconnect")
            try:
                self.channel.sock.close()
            except OSError:
                pass

    def login(self):
        message = self.channel.read_message()
        if message is None:
            return False
        kind, payload = message
        if kind == PKT_PRELOGIN:
            prelogin = parse_prelogin(payload)
            self.log("prelogin", **prelogin)
            self.channel.send(prelogin_reply())
            message = self.channel.read_message()
            if message is None:
                return False
            kind, payload = message
        if kind != PKT_LOGIN7:
            self.log("refused", reason="expected LOGIN7, got packet type %d" % kind)
            return False
        login = parse_login7(payload)
        version = TDS_VERSIONS.get(login["version_word"])
        self.log("login", user=login["user"], database=login["database"],
                 tds_version="%d.%d" % version if version else hex(login["version_word"]),
                 app=login["app"], server=login["server"], library=login["library"],
                 feature_ext=login["feature_ext"])
        out = TokenStream(version or (7, 1))
        if version is None:
            out.message(TOKEN_ERROR, 50000, 1, 20, "Test server: TDS version 0x%08X is not "
                        "supported." % login["version_word"], self.server.name)
            out.done(status=DONE_ERROR)
            self.channel.send(out.bytes())
            return False
        self.version = version
        login_failed = (18456, 14, 1, "Login failed for user '%s'." % login["user"])
        if (login["user"], login["password"]) != self.server.login:
            return self.refuse(out, [login_failed])
        requested = login["database"] or "master"
        session = Session(self.server, self.conn_id, self.spid, version, "batch")
        try:
            session.use(requested)
        except TdsError:
            return self.refuse(out, [(4060, 11, 1, "Cannot open database \"%s\" requested by "
                                      "the login. The login failed." % requested), login_failed])
        self.session = session
        packet_size = min(max(login["packet_size"] or 4096, 512), 32767)
        out.envchange(ENV_DATABASE, session.database, "master")
        out.message(TOKEN_INFO, 5701, 2, 0, "Changed database context to '%s'."
                    % session.database, self.server.name)
        out.envchange(ENV_COLLATION, COLLATION, b"")
        out.envchange(ENV_LANGUAGE, "us_english", "")
        out.message(TOKEN_INFO, 5703, 1, 0, "Changed language setting to us_english.",
                    self.server.name)
        out.loginack(login["version_word"] if login["version_word"] != 0x07010000
                     else 0x07010000)
        if login["feature_ext"]:
            out.raw(bytes([TOKEN_FEATUREEXTACK, 0xFF]))
        out.envchange(ENV_PACKET_SIZE, str(packet_size), "4096")
        out.done()
        # Logged before the answer goes out, so that the log's order is the order in
        # which the client saw things happen.
        self.log("logged_in", database=session.database, spid=self.spid)
        self.channel.send(out.bytes())
        self.channel.packet_size = packet_size
        return True

    def refuse(self, out, errors):
        """Refuses the login with SQL Server's errors, in its order."""
        self.log("login_failed", numbers=[e[0] for e in errors], messages=[e[3] for e in errors])
        for number, severity, state, text in errors:
            out.message(TOKEN_ERROR, number, state, severity, text, self.server.name)
        out.done(status=DONE_ERROR)
        self.channel.send(out.bytes())
        return False

    def requests(self):
        while True:
            message = self.channel.read_message()
            if message is None:
                return
            kind, payload = message
            out = TokenStream(self.version)
            if kind == PKT_SQL_BATCH:
                text = payload[skip_all_headers(payload, self.version):].decode("utf-16-le")
                self.log("batch", text=text, trancount=self.session.trancount)
                self.session.run_batch(text, out)
            elif kind == PKT_TRANSACTION:
                self.transaction_request(payload, out)
            elif kind == PKT_RPC:
                self.rpc(payload, out)
            elif kind == PKT_ATTENTION:
                self.log("attention")
                out.done(status=DONE_ATTN)
            else:
                self.log("unsupported", packet_type=kind)
                out.message(TOKEN_ERROR, 50000, 1, 16, "Test server: packet type %d is not "
                            "supported." % kind, self.server.name)
                out.done(status=DONE_ERROR)
            if out.empty:
                out.done()
            self.channel.send(out.bytes())

    def transaction_request(self, payload, out):
        pos = skip_all_headers(payload, self.version)
        request = struct.unpack_from("<H", payload, pos)[0]
        pos += 2
        names = {TM_BEGIN: "begin", TM_COMMIT: "commit", TM_ROLLBACK: "rollback"}
        begin_new = False
        if request in (TM_COMMIT, TM_ROLLBACK):
            _, pos = read_b_varchar(payload, pos)
            begin_new = pos < len(payload) and bool(payload[pos] & 0x01)
        self.log("tm", request=names.get(request, str(request)), begin_new=begin_new,
                 trancount=self.session.trancount)
        session = self.session
        try:
            injected = self.server.control.failure(names.get(request, ""), "", self.spid)
            if injected is not None:
                raise injected
            if request == TM_BEGIN:
                session.begin(out, "tm")
            elif request == TM_COMMIT:
                session.commit(out, "tm")
            elif request == TM_ROLLBACK:
                session.rollback(out, "tm")
            else:
                raise TdsError(50000, "Test server: transaction request %d is not supported."
                               % request)
            if begin_new:
                session.begin(out, "tm")
            out.done()
        except TdsError as error:
            session.report(error, out)

    def rpc(self, payload, out):
        try:
            name, params = parse_rpc(payload, self.version, self.server.ansi_codec)
        except (TdsError, struct.error, IndexError, UnicodeDecodeError) as error:
            self.log("rpc", name=None, error=str(error))
            out.message(TOKEN_ERROR, 50000, 1, 16, "Test server: cannot read the RPC request: "
                        "%s" % error, self.server.name)
            out.done(token=TOKEN_DONEPROC, status=DONE_ERROR)
            return
        self.log("rpc", name=name, params=params, trancount=self.session.trancount)
        try:
            self.session.call_procedure(name, [p["value"] for p in params], out)
        except TdsError as error:
            self.session.report(error, out)
            out.end_as_procedure()


# ---------------------------------------------------------------------------------------
# SQL Server Browser (UDP)


class Browser:
    """Answers instance look-ups the way the SQL Server Browser does on UDP."""

    def __init__(self, server, port, instance):
        self.server = server
        self.instance = instance
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))

    def describe(self):
        return ("ServerName;%s;InstanceName;%s;IsClustered;No;Version;15.0.2000.5;tcp;%d;;"
                % (self.server.name, self.instance, self.server.port))

    def serve(self):
        while True:
            try:
                data, address = self.sock.recvfrom(1024)
            except OSError:
                return
            if not data:
                continue
            asked = data[1:].split(b"\0")[0].decode("latin-1") if data[0] == 4 else None
            self.server.log.write("browser", request=data[0], instance=asked)
            if data[0] in (2, 3) or (data[0] == 4 and asked.lower() == self.instance.lower()):
                body = self.describe().encode("ascii")
                self.sock.sendto(bytes([5]) + struct.pack("<H", len(body)) + body, address)


# ---------------------------------------------------------------------------------------
# Server


class Server:
    def __init__(self, options):
        self.name = options.server_name
        user, _, password = options.login.partition(":")
        self.login = (user, password)
        self.ansi_codec = options.ansi_codec
        self.dos_devices = options.dos_devices
        self.catalog = Catalog(options.data_dir, options.lock_timeout)
        self.control = Control(options.control)
        self.log = EventLog(options.log)
        self.osql = OsqlStandIn(self)
        self.descriptors = 0
        self.procedures = {}  # (database, name) in lower case: the body's text
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", options.port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self._connections = 0

    def serve(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self._connections += 1
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            client = ClientConnection(self, sock, self._connections)
            self.log.write("connect", conn=self._connections)
            threading.Thread(target=client.serve, daemon=True).start()


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1; 0: a free one")
    parser.add_argument("--data-dir", required=True, help="folder of the <database>.db files")
    parser.add_argument("--log", help="JSON-lines file of everything received")
    parser.add_argument("--control", help="JSON file of failure rules, read again on change")
    parser.add_argument("--login", default="zelt2002:kp4719", help="the one accepted USER:PASSWORD")
    parser.add_argument("--server-name", default="TDSTEST")
    parser.add_argument("--instance", default="MSSQLSERVER", help="instance name for the browser")
    parser.add_argument("--browser-port", type=int,
                        help="also answer SQL Server Browser requests on this UDP port")
    parser.add_argument("--ansi-codec", default=SERVER_CODEC,
                        help="code page of varchar data and of osql input files without BOM")
    parser.add_argument("--dos-devices",
                        help="a Wine prefix's dosdevices folder: osql reads C:\\... through it")
    parser.add_argument("--lock-timeout", type=float, default=5.0,
                        help="seconds a statement waits for another connection's lock")
    parser.add_argument("--exit-on-stdin-eof", action="store_true",
                        help="stop when standard input closes (the test process has gone)")
    return parser.parse_args(argv)


def main(argv):
    options = parse_arguments(argv)
    # Every thread started from here on leaves SIGTERM and SIGINT to sigwait below.
    stop_signals = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    server = Server(options)
    print(server.port, flush=True)
    if options.browser_port is not None:
        try:
            browser = Browser(server, options.browser_port, options.instance)
        except OSError as error:
            print("browser:busy %s" % error, flush=True)
        else:
            print("browser:ok", flush=True)
            threading.Thread(target=browser.serve, daemon=True).start()
    server.log.write("started", port=server.port, pid=os.getpid())
    threading.Thread(target=server.serve, daemon=True).start()
    if options.exit_on_stdin_eof:
        def watch_stdin():
            while os.read(0, 4096):
                pass
            os.kill(os.getpid(), signal.SIGTERM)
        threading.Thread(target=watch_stdin, daemon=True).start()
    signal.sigwait(stop_signals)
    server.log.write("stopped")
    server.listener.close()
    # Client threads may be in the middle of a request; nothing of theirs is kept.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
