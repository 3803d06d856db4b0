#!/usr/bin/env python3
"""A small SQL Server stand-in for the tests: it speaks TDS 7.4 on loopback
well enough for FreeTDS's ODBC driver to log in, list tables with sp_tables
and read whole tables, and nothing more.

    tds_server.py [--port N] [--log FILE]     serve; prints "PORT <n> SILENT <m> RELAY <r>" once listening
    tds_server.py --expected DATABASE TABLE   prints the cells a table's export must give, as JSON
    tds_server.py --make-certificates DIR     writes test certificates into DIR (see make_certificates)

Options for playing a real network:
    --encryption none|off|on|req   what PRELOGIN answers (default off: offered, not forced);
                                   the TLS handshake travels in PRELOGIN packets as with SQL Server
    --certificate FILE --key FILE  the certificate the TLS handshake presents (default: a self-signed
                                   one made at start, CN=QUORVANE-TDS)
    --relay strip|break|break-full a machine in the middle on the port RELAY, forwarding to this server:
                                   strip answers every PRELOGIN "encryption not supported" (and tells
                                   the server the client cannot encrypt); break cuts every TLS handshake;
                                   break-full cuts the handshakes of clients that ask for encryption
                                   ON or REQ and passes those that ask OFF (TLS for the login only).
                                   It logs "relay: clear LOGIN7|BATCH|RPC" for each such packet that
                                   crosses it unencrypted, "relay: answered encryption not supported"
                                   and "relay: broke a handshake"
    --wire FILE                    appends every byte that crosses a session's socket (and the relay) to FILE
    --browser INSTANCE             answers SQL Server Browser requests for INSTANCE on UDP 1434
    --tds 7.2|7.3|7.4              the TDS version LOGINACK settles on (2005, 2008, 2012 and later)
    --link-rate BYTES_PER_SECOND   sends no faster than a slow link would
SILENT is a second port that accepts connections and never says a word; RELAY is 0 without --relay.

The server ends when its standard input closes, so a test that dies takes it
along. Every request it does not understand is answered with an error and
logged with the word UNEXPECTED, so a test can fail on traffic nobody planned.

The fixture databases are defined at the end of this file. Large tables are
generated row by row and streamed packet by packet; nothing holds a whole
result.
"""
import argparse
import datetime
import decimal
import json
import os
import re
import select
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
from time import sleep
import uuid

D = decimal.Decimal
# decimal(38, s) and money need more than the default 28 digits, in every thread
decimal.DefaultContext.prec = 80
decimal.getcontext().prec = 80

# ----------------------------------------------------------------- encoding helpers


def u16(text):
    return text.encode("utf-16-le")


def b_varchar(text):
    data = u16(text)
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = u16(text)
    return struct.pack("<H", len(data) // 2) + data


# SQL_Latin1_General_CP1_CI_AS: LCID 0x0409, flags, sort id 52 (code page 1252)
COLLATION = b"\x09\x04\xd0\x00\x34"
SERVER_NAME = "QUORVANE-TDS"
TDS74 = 0x74000004
TDS_VERSIONS = {"7.2": 0x72090002, "7.3": 0x730A0003, "7.4": TDS74}

# tokens
COLMETADATA, ROW, NBCROW, DONE, DONEPROC, DONEINPROC = 0x81, 0xD1, 0xD2, 0xFD, 0xFE, 0xFF
ERROR, INFO, LOGINACK, ENVCHANGE, RETURNSTATUS = 0xAA, 0xAB, 0xAD, 0xE3, 0x79
DONE_MORE, DONE_ERROR, DONE_COUNT, DONE_ATTN = 0x01, 0x02, 0x10, 0x20
# packet types
BATCH, RPC, ATTENTION, LOGIN7, PRELOGIN, TRANSACTION, REPLY = 0x01, 0x03, 0x06, 0x10, 0x12, 0x0E, 0x04

DATE_ZERO = datetime.date(1, 1, 1)
DATETIME_ZERO = datetime.date(1900, 1, 1)


def message(token, number, state, severity, text, line=1):
    body = (struct.pack("<iBB", number, state, severity) + us_varchar(text) + b_varchar(SERVER_NAME)
            + b_varchar("") + struct.pack("<i", line))
    return bytes([token]) + struct.pack("<H", len(body)) + body


def error(number, text, severity=16, state=1):
    return message(ERROR, number, state, severity, text)


def done(status=0, count=0, token=DONE, command=0xC1):
    return struct.pack("<BHHQ", token, status, command, count)


def envchange(kind, new, old):
    if kind == 7:
        body = bytes([kind, len(new)]) + new + bytes([len(old)]) + old
    else:
        body = bytes([kind]) + b_varchar(new) + b_varchar(old)
    return bytes([ENVCHANGE]) + struct.pack("<H", len(body)) + body


def plp(data):
    if not data:
        return struct.pack("<QI", 0, 0)
    out = [struct.pack("<Q", len(data))]
    for at in range(0, len(data), 8000):
        chunk = data[at:at + 8000]
        out.append(struct.pack("<I", len(chunk)) + chunk)
    out.append(struct.pack("<I", 0))
    return b"".join(out)


PLP_NULL = struct.pack("<Q", 0xFFFFFFFFFFFFFFFF)

# ----------------------------------------------------------------- column types
#
# Each type knows its TYPE_INFO as COLMETADATA carries it, how one non-null
# value goes on the wire, and what a NULL looks like in a ROW token.


class SqlType:
    user_type = 0
    table_name = False  # text, ntext and image carry a table name in COLMETADATA

    def type_info(self):
        raise NotImplementedError

    def encode(self, value):
        raise NotImplementedError

    null = b"\x00"


class IntN(SqlType):
    def __init__(self, size):
        self.size = size
        self.fmt = {1: "<B", 2: "<h", 4: "<i", 8: "<q"}[size]

    def type_info(self):
        return bytes([0x26, self.size])

    def encode(self, value):
        return bytes([self.size]) + struct.pack(self.fmt, value)


class Bit(SqlType):
    def type_info(self):
        return bytes([0x68, 1])

    def encode(self, value):
        return b"\x01" + bytes([1 if value else 0])


class Decimal(SqlType):
    def __init__(self, precision, scale, token=0x6A):
        self.precision, self.scale, self.token = precision, scale, token
        self.size = 5 if precision <= 9 else 9 if precision <= 19 else 13 if precision <= 28 else 17

    def type_info(self):
        return bytes([self.token, self.size, self.precision, self.scale])

    def encode(self, value):
        scaled = int(D(value).scaleb(self.scale).to_integral_value(rounding=decimal.ROUND_HALF_EVEN))
        return (bytes([self.size, 0 if scaled < 0 else 1])
                + abs(scaled).to_bytes(self.size - 1, "little"))


class Money(SqlType):
    def __init__(self, size):
        self.size = size

    def type_info(self):
        return bytes([0x6E, self.size])

    def encode(self, value):
        scaled = int(D(value).scaleb(4))
        if self.size == 4:
            return b"\x04" + struct.pack("<i", scaled)
        return b"\x08" + struct.pack("<iI", scaled >> 32, scaled & 0xFFFFFFFF)


class Float(SqlType):
    def __init__(self, size):
        self.size = size

    def type_info(self):
        return bytes([0x6D, self.size])

    def encode(self, value):
        return bytes([self.size]) + struct.pack("<f" if self.size == 4 else "<d", value)


class DateTime(SqlType):
    """datetime (8 bytes: days from 1900, 1/300 s) and smalldatetime (4: days, minutes)."""

    def __init__(self, size):
        self.size = size

    def type_info(self):
        return bytes([0x6F, self.size])

    def encode(self, value):
        days = (value.date() - DATETIME_ZERO).days
        seconds = value.hour * 3600 + value.minute * 60 + value.second
        if self.size == 4:
            return b"\x04" + struct.pack("<HH", days, seconds // 60)
        ticks = seconds * 300 + round(value.microsecond * 300 / 1000000)
        return b"\x08" + struct.pack("<iI", days, ticks)


def time_bytes(scale, hour, minute, second, fraction):
    """fraction: integer count of 10^-7 s."""
    units = ((hour * 3600 + minute * 60 + second) * 10 ** 7 + fraction) // 10 ** (7 - scale)
    size = 3 if scale <= 2 else 4 if scale <= 4 else 5
    return units.to_bytes(size, "little")


def date_bytes(day):
    return (day - DATE_ZERO).days.to_bytes(3, "little")


class Date(SqlType):
    def type_info(self):
        return b"\x28"

    def encode(self, value):
        return b"\x03" + date_bytes(value)


class Time(SqlType):
    """Values are "HH:MM:SS[.fffffff]" so that seven fraction digits stay exact."""

    def __init__(self, scale=7):
        self.scale = scale

    def type_info(self):
        return bytes([0x29, self.scale])

    def encode(self, value):
        data = time_bytes(self.scale, *parse_time(value))
        return bytes([len(data)]) + data


class DateTime2(SqlType):
    """Values are "YYYY-MM-DD HH:MM:SS[.fffffff]"."""

    def __init__(self, scale=7):
        self.scale = scale

    def type_info(self):
        return bytes([0x2A, self.scale])

    def encode(self, value):
        day, clock = value.split(" ")
        data = time_bytes(self.scale, *parse_time(clock)) + date_bytes(datetime.date.fromisoformat(day))
        return bytes([len(data)]) + data


class DateTimeOffset(SqlType):
    """Values are "YYYY-MM-DD HH:MM:SS[.fffffff] +HH:MM" in local time; the wire holds UTC."""

    def __init__(self, scale=7):
        self.scale = scale

    def type_info(self):
        return bytes([0x2B, self.scale])

    def encode(self, value):
        day, clock, zone = value.split(" ")
        offset = (1 if zone[0] == "+" else -1) * (int(zone[1:3]) * 60 + int(zone[4:6]))
        hour, minute, second, fraction = parse_time(clock)
        local = datetime.datetime.fromisoformat(day) + datetime.timedelta(hours=hour, minutes=minute,
                                                                          seconds=second)
        utc = local - datetime.timedelta(minutes=offset)
        data = (time_bytes(self.scale, utc.hour, utc.minute, utc.second, fraction) + date_bytes(utc.date())
                + struct.pack("<h", offset))
        return bytes([len(data)]) + data


def parse_time(text):
    clock, _, fraction = text.partition(".")
    hour, minute, second = (int(part) for part in clock.split(":"))
    return hour, minute, second, int((fraction + "0000000")[:7])


class Chars(SqlType):
    """char, varchar, nchar, nvarchar; max=True for the (max) kinds, sent as PLP."""

    def __init__(self, length, wide=False, fixed=False, max=False):
        self.length, self.wide, self.fixed, self.max = length, wide, fixed, max
        self.token = (0xEF if fixed else 0xE7) if wide else (0xAF if fixed else 0xA7)
        if max:
            self.null = PLP_NULL
        else:
            self.null = b"\xff\xff"

    def type_info(self):
        size = 0xFFFF if self.max else self.length * (2 if self.wide else 1)
        return bytes([self.token]) + struct.pack("<H", size) + COLLATION

    def data(self, value):
        if self.fixed:
            value = value.ljust(self.length)
        return u16(value) if self.wide else value.encode("cp1252")

    def encode(self, value):
        data = self.data(value)
        return plp(data) if self.max else struct.pack("<H", len(data)) + data


class Binary(SqlType):
    def __init__(self, length, fixed=False, max=False, user_type=0):
        self.length, self.fixed, self.max, self.user_type = length, fixed, max, user_type
        self.null = PLP_NULL if max else b"\xff\xff"

    def type_info(self):
        return bytes([0xAD if self.fixed else 0xA5]) + struct.pack("<H", 0xFFFF if self.max else self.length)

    def encode(self, value):
        if self.fixed:
            value = value.ljust(self.length, b"\x00")
        return plp(value) if self.max else struct.pack("<H", len(value)) + value


class Legacy(SqlType):
    """text, ntext and image: a text pointer and a time stamp before the data."""

    table_name = True

    def __init__(self, token):
        self.token = token

    def type_info(self):
        info = bytes([self.token]) + struct.pack("<i", 0x7FFFFFFF if self.token != 0x63 else 0x7FFFFFFE)
        return info + (COLLATION if self.token != 0x22 else b"")

    def encode(self, value):
        data = value if self.token == 0x22 else u16(value) if self.token == 0x63 else value.encode("cp1252")
        return b"\x10" + b"\x01" * 16 + b"\x00" * 8 + struct.pack("<i", len(data)) + data


class Udt(SqlType):
    """A CLR type (hierarchyid, geography, geometry): its bytes as PLP."""

    null = PLP_NULL

    def __init__(self, name):
        self.name = name

    def type_info(self):
        return (b"\xf0" + struct.pack("<H", 0xFFFF) + b_varchar("Quorvane") + b_varchar("sys") + b_varchar(self.name)
                + us_varchar("Microsoft.SqlServer.Types.Sql%s, Microsoft.SqlServer.Types" % self.name))

    def encode(self, value):
        return plp(value)


class Guid(SqlType):
    def type_info(self):
        return b"\x24\x10"

    def encode(self, value):
        return b"\x10" + uuid.UUID(value).bytes_le


class Xml(SqlType):
    null = PLP_NULL

    def type_info(self):
        return b"\xf1\x00"

    def encode(self, value):
        return plp(u16(value))


class Variant(SqlType):
    """sql_variant: values are (base type name, value)."""

    null = b"\x00\x00\x00\x00"

    def type_info(self):
        return b"\x62" + struct.pack("<i", 8009)

    def encode(self, value):
        kind, v = value
        if kind == "int":
            body = b"\x38\x00" + struct.pack("<i", v)
        elif kind == "bigint":
            body = b"\x7f\x00" + struct.pack("<q", v)
        elif kind == "decimal":
            precision, scale, number = v
            scaled = int(D(number).scaleb(scale))
            body = (bytes([0x6A, 2, precision, scale, 0 if scaled < 0 else 1])
                    + abs(scaled).to_bytes(16, "little"))
        elif kind == "date":
            body = b"\x28\x00" + date_bytes(datetime.date.fromisoformat(v))
        elif kind == "datetime":
            body = b"\x3d\x00" + DateTime(8).encode(datetime.datetime.fromisoformat(v))[1:]
        elif kind == "float":
            body = b"\x3e\x00" + struct.pack("<d", v)
        elif kind == "uniqueidentifier":
            body = b"\x24\x00" + uuid.UUID(v).bytes_le
        elif kind == "nvarchar":
            data = u16(v)
            body = b"\xe7\x07" + COLLATION + struct.pack("<H", 8000) + data
        elif kind == "varchar":
            data = v.encode("cp1252")
            body = b"\xa7\x07" + COLLATION + struct.pack("<H", 8000) + data
        else:
            raise ValueError(kind)
        return struct.pack("<i", len(body)) + body


# ----------------------------------------------------------------- tables


class Column:
    def __init__(self, name, sql_type):
        self.name, self.type = name, sql_type

    def metadata(self):
        flags = 0x0001 | 0x0008  # nullable, updatable
        out = struct.pack("<IH", self.type.user_type, flags) + self.type.type_info()
        if self.type.table_name:
            out += b"\x01" + us_varchar("t")
        return out + b_varchar(self.name)


class Table:
    """rows: a function from row index to a tuple of values (None for NULL).
    expected: None, or a function from row index to the cells of that row as
    the workbook must hold them: ("number", float), ("text", str),
    ("boolean", bool), ("date", serial) or None for an empty cell."""

    def __init__(self, schema, name, columns, count, rows, kind="TABLE", expected=None, period=None,
                 cut_after=None, then_refuse=False, stall_after=None):
        self.schema, self.name, self.columns, self.count, self.rows = schema, name, columns, count, rows
        self.kind, self.expected, self.period = kind, expected, period
        # A fault: the server goes away after this many rows of the table, and
        # with then_refuse stays away for every later login to its database.
        self.cut_after, self.then_refuse = cut_after, then_refuse
        # Another: after this many rows the server falls silent on that connection.
        self.stall_after = stall_after
        self._cache = None

    def colmetadata(self):
        return (bytes([COLMETADATA]) + struct.pack("<H", len(self.columns))
                + b"".join(c.metadata() for c in self.columns))

    def encoded_row(self, index):
        if self.period:
            if self._cache is None:
                self._cache = [encode_row(self.columns, self.rows(i)) for i in range(self.period)]
            return self._cache[index % self.period]
        return encode_row(self.columns, self.rows(index))


def encode_row(columns, values):
    nulls = sum(1 for v in values if v is None)
    # SQL Server sends a row with several NULLs as NBCROW (a bitmap instead of
    # each NULL's own marker); both kinds appear here.
    if nulls >= 2:
        bitmap = bytearray((len(columns) + 7) // 8)
        parts = []
        for i, (column, value) in enumerate(zip(columns, values)):
            if value is None:
                bitmap[i // 8] |= 1 << (i % 8)
            else:
                parts.append(column.type.encode(value))
        return bytes([NBCROW]) + bytes(bitmap) + b"".join(parts)
    return bytes([ROW]) + b"".join(c.type.null if v is None else c.type.encode(v)
                                   for c, v in zip(columns, values))


class Database:
    def __init__(self, name, tables, list_stall_after=None):
        self.name, self.tables, self.list_stall_after = name, tables, list_stall_after

    def find(self, schema, name):
        for table in self.tables:
            if table.schema.lower() == schema.lower() and table.name.lower() == name.lower():
                return table
        return None


LOGINS = {
    "sa": "Quorvane-1433",
    "tester": "secret",
    # every character the connection string treats specially
    "braces": "p;w{d}x",
    "brace-first": "{a}b;c",
}

# ----------------------------------------------------------------- the connection


class Attention(Exception):
    pass


class Session(socketserver.BaseRequestHandler):
    def setup(self):
        self.sock = self.request
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.packet_size = 4096
        self.packet_id = 1
        self.database = None
        self.user = ""
        self.out = bytearray()
        self.tls = None  # the TLS session once the handshake is done
        self.login_only = False  # TLS for the first LOGIN7 packet only

    def log(self, text):
        self.server.log(text)

    def unexpected(self, text):
        self.log("UNEXPECTED " + text)

    # ---- packets

    def raw_recv(self, count):
        data = self.sock.recv(count)
        self.server.wire(data)
        return data

    def write(self, data):
        if self.tls:
            self.tls.write(data)
            data = self.tls_out.read()
        self.server.wire(data)
        self.sock.sendall(data)
        if self.server.link_rate:
            sleep(len(data) / self.server.link_rate)  # a slow link

    def read_exact(self, count):
        data = bytearray()
        while len(data) < count:
            try:
                chunk = self.tls.read(count - len(data)) if self.tls else self.raw_recv(count - len(data))
            except ssl.SSLWantReadError:  # a TLS record still to come
                chunk = self.raw_recv(65536)
                self.tls_in.write(chunk)
                if chunk:
                    continue
            if not chunk:
                raise EOFError
            data += chunk
        return bytes(data)

    def read_message(self):
        kind, payload = None, bytearray()
        while True:
            header = self.read_exact(8)
            ptype, status, length = header[0], header[1], struct.unpack(">H", header[2:4])[0]
            payload += self.read_exact(length - 8)
            kind = ptype if kind is None else kind
            if self.login_only:  # FreeTDS leaves TLS after the first packet
                self.tls, self.login_only = None, False
            if status & 0x01:
                return kind, bytes(payload)

    def send(self, data, last=False):
        """Queues token bytes; full packets go out at once, the rest with the last one."""
        self.out += data
        room = self.packet_size - 8
        while len(self.out) > room:
            self.packet(bytes(self.out[:room]), False)
            del self.out[:room]
            self.check_attention()
        if last:
            self.packet(bytes(self.out), True)
            self.out.clear()

    def packet(self, chunk, final, kind=REPLY):
        self.write(struct.pack(">BBHHBB", kind, 1 if final else 0, len(chunk) + 8, 51, self.packet_id, 0) + chunk)
        self.packet_id = (self.packet_id + 1) % 256

    def check_attention(self):
        readable, _, _ = select.select([self.sock], [], [], 0)
        if readable:
            kind, _ = self.read_message()
            if kind == ATTENTION:
                self.log("attention in the middle of a reply")
                raise Attention()
            self.unexpected("packet of type 0x%02x in the middle of a reply" % kind)

    # ---- the conversation

    def handle(self):
        try:
            while True:
                kind, payload = self.read_message()
                try:
                    if kind == PRELOGIN:
                        if not self.prelogin(payload):
                            return
                    elif kind == LOGIN7:
                        if not self.login(payload):
                            return
                    elif self.database is None:
                        self.unexpected("packet of type 0x%02x before login" % kind)
                        return
                    elif kind == BATCH:
                        self.batch(payload)
                    elif kind == RPC:
                        self.rpc(payload)
                    elif kind == ATTENTION:
                        self.log("attention after a reply")
                        self.out.clear()
                        self.send(done(DONE_ATTN), last=True)
                    else:
                        self.unexpected("packet of type 0x%02x" % kind)
                        self.send(error(50000, "The test server does not understand packets of type 0x%02x."
                                        % kind) + done(DONE_ERROR), last=True)
                except Attention:
                    # The rows already queued end the token that the last packet
                    # cut in two; the acknowledgement follows them.
                    self.send(done(DONE_ATTN), last=True)
        except (EOFError, ConnectionError):
            pass
        except ssl.SSLError as e:
            self.log("TLS failed: %s" % e)

    def prelogin(self, payload):
        client, at = 2, 0  # the client's ENCRYPTION option; NOT_SUP when it has none
        while at + 5 <= len(payload) and payload[at] != 0xFF:
            token, offset, length = struct.unpack(">BHH", payload[at:at + 5])
            if token == 1 and length:
                client = payload[offset]
            at += 5
        # OFF offers encryption and follows the client: its OFF gets a TLS login only, its ON or REQ all of it.
        answer = {"none": 2, "on": 1, "req": 3}.get(self.server.encryption, 1 if client in (1, 3) else client)
        options = [(0, bytes([15, 0, 0x07, 0xD0, 0, 0])),  # version 15.0.2000
                   (1, bytes([answer])),
                   (2, b"\x00"),
                   (3, b""),
                   (4, b"\x00")]
        header, data = bytearray(), bytearray()
        offset = len(options) * 5 + 1
        for token, value in options:
            header += struct.pack(">BHH", token, offset + len(data), len(value))
            data += value
        self.send(bytes(header) + b"\xff" + bytes(data), last=True)
        if client == 2 and answer != 2:
            self.log("refusing a client that cannot encrypt")
            return False
        if answer == 2:
            self.log("encryption none")
            return True
        # The handshake travels in PRELOGIN packets; then TLS records carry whole packets.
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.server.tls.wrap_bio(incoming, outgoing, server_side=True)
        while True:
            try:
                tls.do_handshake()
                finished = True
            except ssl.SSLWantReadError:
                finished = False
            flight, room = outgoing.read(), self.packet_size - 8
            for at in range(0, len(flight), room):
                self.packet(flight[at:at + room], at + room >= len(flight), PRELOGIN)
            if finished:
                break
            kind, payload = self.read_message()
            if kind != PRELOGIN:
                self.unexpected("packet of type 0x%02x in the TLS handshake" % kind)
                return False
            incoming.write(payload)
        self.tls, self.tls_in, self.tls_out, self.login_only = tls, incoming, outgoing, answer == 0
        self.log("encryption login-only" if answer == 0 else "encryption full")
        return True

    def login(self, p):
        version, packet_size = struct.unpack("<II", p[4:12])

        def field(at):
            offset, length = struct.unpack("<HH", p[at:at + 4])
            return p[offset:offset + 2 * length]

        user = field(40).decode("utf-16-le")
        scrambled = field(44)
        password = bytes(((b ^ 0xA5) << 4 & 0xF0) | ((b ^ 0xA5) >> 4) for b in scrambled).decode("utf-16-le")
        database = field(68).decode("utf-16-le") or "master"
        self.log("login user=%r database=%r tds=0x%08x packet=%d" % (user, database, version, packet_size))
        if version != TDS74:
            self.log("client asked for TDS 0x%08x" % version)
        if packet_size >= 512:
            self.packet_size = min(packet_size, 32767)
        if database.lower() in self.server.gone:
            self.log("not answering: %s has gone away" % database)
            return False
        if LOGINS.get(user) != password:
            self.send(error(18456, "Login failed for user '%s'." % user, 14) + done(DONE_ERROR), last=True)
            return False
        if database.lower() not in self.server.databases:
            self.send(error(4060, 'Cannot open database "%s" requested by the login. The login failed.'
                            % database, 11)
                      + error(18456, "Login failed for user '%s'." % user, 14) + done(DONE_ERROR), last=True)
            return False
        self.database = self.server.databases[database.lower()]
        self.user = user
        name = u16("Microsoft SQL Server")
        ack = (bytes([1]) + struct.pack(">I", self.server.tds_version) + bytes([len(name) // 2]) + name
               + bytes([15, 0, 0x07, 0xD0]))
        self.log("loginack tds=0x%08x" % self.server.tds_version)
        self.send(envchange(1, self.database.name, "master")
                  + message(INFO, 5701, 2, 0, "Changed database context to '%s'." % self.database.name)
                  + envchange(7, COLLATION, b"")
                  + envchange(2, "us_english", "")
                  + message(INFO, 5703, 1, 0, "Changed language setting to us_english.")
                  + bytes([LOGINACK]) + struct.pack("<H", len(ack)) + ack
                  + envchange(4, str(self.packet_size), "4096")
                  + done(0), last=True)
        return True

    # ---- SQL batches

    NAME = r"\[((?:[^\]]|\]\])*)\]"
    OBJECT = r"(?:%s\.)?%s" % (NAME, NAME)
    COUNT = re.compile(r"SELECT\s+COUNT\(\*\)\s+FROM\s+\(\s*SELECT\s+\*\s+FROM\s+%s\s*\)\s+AS\s+q\s*;?\s*$"
                       % OBJECT, re.I | re.S)
    SELECT = re.compile(r"SELECT\s+\*\s+FROM\s+%s\s*;?\s*$" % OBJECT, re.I | re.S)

    def batch(self, payload):
        headers = struct.unpack("<I", payload[:4])[0]
        text = payload[headers:].decode("utf-16-le", "replace").strip()
        self.log("batch %s" % text)
        for pattern, count_only in ((self.COUNT, True), (self.SELECT, False)):
            m = pattern.fullmatch(text)
            if m:
                schema = (m.group(1) or "dbo").replace("]]", "]")
                name = m.group(2).replace("]]", "]")
                table = self.database.find(schema, name)
                if table is None:
                    shown = name if m.group(1) is None else schema + "." + name
                    self.send(error(208, "Invalid object name '%s'." % shown) + done(DONE_ERROR), last=True)
                    return
                if count_only:
                    self.send(bytes([COLMETADATA]) + struct.pack("<H", 1) + Column("", IntN(4)).metadata()
                              + bytes([ROW]) + IntN(4).encode(table.count) + done(DONE_COUNT, 1), last=True)
                else:
                    self.stream(table)
                return
        self.unexpected("batch %r" % text)
        self.send(error(50000, "The test server does not understand this batch: %s" % text)
                  + done(DONE_ERROR), last=True)

    def stream(self, table, final=True):
        self.send(table.colmetadata())
        for index in range(table.count):
            if index == table.cut_after:
                self.go_away(table)
            if index == table.stall_after:
                self.stall(table)
            self.send(table.encoded_row(index))
        if final:
            self.send(done(DONE_COUNT, table.count), last=True)
        else:
            self.send(done(DONE_COUNT, table.count, DONEINPROC))

    def go_away(self, table):
        """Sends the rows queued so far, then drops the connection in the middle of the reply."""
        if self.out:
            self.packet(bytes(self.out), False)
            self.out.clear()
        if table.then_refuse:
            self.server.gone.add(self.database.name.lower())
        self.log("dropping the connection after %d rows of %s.%s" % (table.cut_after, table.schema, table.name))
        self.sock.shutdown(socket.SHUT_RDWR)
        raise EOFError

    def stall(self, table):
        """Sends the rows queued so far, then nothing more: not even an attention gets an answer."""
        if self.out:
            self.packet(bytes(self.out), False)
            self.out.clear()
        self.log("stalling after %d rows of %s.%s" % (table.stall_after, table.schema, table.name))
        while self.raw_recv(65536):
            pass
        raise EOFError

    # ---- remote procedure calls

    def rpc(self, payload):
        headers = struct.unpack("<I", payload[:4])[0]
        p = payload[headers:]
        length = struct.unpack("<H", p[:2])[0]
        if length == 0xFFFF:
            name, rest = "#%d" % struct.unpack("<H", p[2:4])[0], p[6:]
        else:
            name, rest = p[2:2 + 2 * length].decode("utf-16-le"), p[4 + 2 * length:]
        self.log("rpc %s (%d bytes of parameters)" % (name, len(rest)))
        if name.lower() == "sp_tables" and not rest:
            self.sp_tables()
            return
        self.unexpected("rpc %s with %d bytes of parameters" % (name, len(rest)))
        self.send(error(50000, "The test server does not understand the call of %s." % name)
                  + done(DONE_ERROR, token=DONEPROC), last=True)

    def sp_tables(self):
        sysname = Chars(128, wide=True)
        columns = [Column("TABLE_QUALIFIER", sysname), Column("TABLE_OWNER", sysname),
                   Column("TABLE_NAME", sysname), Column("TABLE_TYPE", Chars(32)), Column("REMARKS", Chars(254))]
        rows = sorted(((t.kind, self.database.name, t.schema, t.name) for t in self.database.tables),
                      key=lambda r: (r[0], r[1].lower(), r[2].lower(), r[3].lower()))
        listing = Table("sys", "sp_tables", columns, len(rows),
                        lambda i: (rows[i][1], rows[i][2], rows[i][3], rows[i][0], None),
                        stall_after=self.database.list_stall_after)
        self.stream(listing, final=False)
        self.send(bytes([RETURNSTATUS]) + struct.pack("<i", 0) + done(0, 0, DONEPROC, 0xE0), last=True)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, log_path, encryption="off", wire_path=None, tds="7.4", certificate=None):
        super().__init__(("127.0.0.1", port), Session)
        self.databases = {db.name.lower(): db for db in DATABASES}
        self.gone = set()  # databases whose server "went away" for good
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.log_lock = threading.Lock()
        self.wire_file = open(wire_path, "ab") if wire_path else None
        self.encryption, self.tds_version = encryption, TDS_VERSIONS[tds]
        self.link_rate = 0  # bytes a second; 0: as fast as the loopback goes
        if encryption != "none":
            # SQL Server speaks TLS 1.2 inside TDS 7.x, with the certificate it was given (a pair of
            # files), else with one it made itself
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.maximum_version = ssl.TLSVersion.TLSv1_2
            if certificate:
                self.tls.load_cert_chain(*certificate)
            else:
                with tempfile.TemporaryDirectory() as folder:
                    key, cert = folder + "/key.pem", folder + "/cert.pem"
                    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                    "-subj", "/CN=" + SERVER_NAME, "-keyout", key, "-out", cert],
                                   check=True, capture_output=True)
                    self.tls.load_cert_chain(cert, key)

    def wire(self, data):
        if self.wire_file and data:
            with self.log_lock:
                self.wire_file.write(data)
                self.wire_file.flush()

    def log(self, text):
        line = "%s %s\n" % (datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3], text[:2000])
        with self.log_lock:
            if self.log_file:
                self.log_file.write(line)
                self.log_file.flush()
            else:
                sys.stderr.write(line)


# ----------------------------------------------------------------- a machine in the middle

PACKET_NAMES = {LOGIN7: "LOGIN7", BATCH: "BATCH", RPC: "RPC"}


def take_frame(buffer):
    """Removes and returns the first whole TDS packet or TLS record of `buffer`, or None while it is
    incomplete. The two never share a first byte: TLS records start with 0x14 to 0x17."""
    if not buffer:
        return None
    if 0x14 <= buffer[0] <= 0x17:
        if len(buffer) < 5:
            return None
        size = 5 + struct.unpack(">H", buffer[3:5])[0]
    else:
        if len(buffer) < 8:
            return None
        size = max(8, struct.unpack(">H", buffer[2:4])[0])
    if len(buffer) < size:
        return None
    frame = bytes(buffer[:size])
    del buffer[:size]
    return frame


def prelogin_encryption(packet, replace=None):
    """The ENCRYPTION option of a PRELOGIN packet (None when it has none), and the packet with that
    option set to `replace` when given."""
    payload, at = bytearray(packet[8:]), 0
    while at + 5 <= len(payload) and payload[at] != 0xFF:
        token, offset, length = struct.unpack(">BHH", payload[at:at + 5])
        if token == 1 and length and offset < len(payload):
            value = payload[offset]
            if replace is not None:
                payload[offset] = replace
            return value, packet[:8] + bytes(payload)
        at += 5
    return None, packet


class Relay(socketserver.ThreadingTCPServer):
    """Listens on a port of its own and forwards every connection to `target`, meddling as `mode` says."""

    daemon_threads = True

    def __init__(self, target, mode):
        super().__init__(("127.0.0.1", 0), RelaySession)
        self.target, self.mode = target, mode


class RelaySession(socketserver.BaseRequestHandler):
    def handle(self):
        target, client = self.server.target, self.request
        try:
            upstream = socket.create_connection(("127.0.0.1", target.server_address[1]))
        except OSError as e:
            target.log("relay: cannot reach the server: %s" % e)
            return
        for sock in (client, upstream):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.prelogins = 0  # the client's PRELOGIN packets so far: the first asks, the later carry TLS
        self.cut = self.server.mode == "break"
        # Until the server's first packet (its PRELOGIN answer) has passed, its stream is framed too.
        answered = False
        from_client, from_server = bytearray(), bytearray()
        try:
            while True:
                readable, _, _ = select.select([client, upstream], [], [])
                for sock in readable:
                    data = sock.recv(65536)
                    if not data:
                        return
                    target.wire(data)
                    if sock is client:
                        from_client += data
                        while (frame := take_frame(from_client)) is not None:
                            frame = self.from_client(frame)
                            if frame is None:
                                return
                            upstream.sendall(frame)
                    elif answered:
                        client.sendall(data)
                    else:
                        from_server += data
                        frame = take_frame(from_server)
                        if frame is None:
                            continue
                        answered = True
                        if self.server.mode == "strip" and frame[0] == REPLY:
                            _, frame = prelogin_encryption(frame, replace=2)
                            target.log("relay: answered encryption not supported")
                        client.sendall(frame + bytes(from_server))
                        from_server.clear()
        except OSError:
            pass
        finally:
            for sock in (client, upstream):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            upstream.close()

    def from_client(self, frame):
        """What goes on to the server in place of the client's `frame`; None cuts the connection."""
        target, kind = self.server.target, frame[0]
        if 0x14 <= kind <= 0x17:  # a TLS record: nothing to see
            return frame
        if kind == PRELOGIN:
            self.prelogins += 1
            if self.prelogins == 1:
                asked, stripped = prelogin_encryption(frame, replace=2 if self.server.mode == "strip" else None)
                if self.server.mode == "break-full":
                    self.cut = asked in (1, 3)
                if self.server.mode == "strip":
                    # The server is told the client cannot encrypt, so both sides go on in clear.
                    return stripped
            elif self.cut:
                target.log("relay: broke a handshake")
                return None
        elif kind in PACKET_NAMES:
            target.log("relay: clear %s" % PACKET_NAMES[kind])
        return frame


class Silent(socketserver.BaseRequestHandler):
    """A server that accepts a connection and never answers: it reads until the client gives up."""

    def handle(self):
        while self.request.recv(65536):
            pass


def browser(instance, server):
    """Answers SQL Server Browser requests (0x04, the instance's name, a NUL) for one instance with its
    TCP port; like the real one it says nothing about instances it does not have."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind(("127.0.0.1", 1434))
    except OSError as e:
        sys.exit("tds_server.py: cannot answer as SQL Server Browser on UDP 127.0.0.1:1434: %s" % e)

    def answer():
        while True:
            request, peer = sock.recvfrom(1024)
            if request[:1] != b"\x04":
                server.log("UNEXPECTED browser request %r" % request)
                continue
            name = request[1:].rstrip(b"\x00").decode("latin-1")
            server.log("browser asked for %s" % name)
            if name.lower() == instance.lower():
                reply = ("ServerName;%s;InstanceName;%s;IsClustered;No;Version;15.0.2000.5;tcp;%d;;"
                         % (SERVER_NAME, instance, server.server_address[1])).encode("ascii")
                sock.sendto(b"\x05" + struct.pack("<H", len(reply)) + reply, peer)

    threading.Thread(target=answer, daemon=True).start()


# ----------------------------------------------------------------- the cells a value must give

EPOCH_1900 = datetime.datetime(1899, 12, 30)


def serial(text):
    """The 1900 date system's serial of "YYYY-MM-DD[ HH:MM:SS[.fffffff]]" (1900-03-01 to 9999-12-31;
    earlier days are text)."""
    day, _, clock = text.partition(" ")
    value = (datetime.date.fromisoformat(day) - EPOCH_1900.date()).days
    assert value >= 61, text
    if clock:
        hour, minute, second, fraction = parse_time(clock)
        value += (hour * 3600 + minute * 60 + second + fraction / 10 ** 7) / 86400
    return value


def number(text):
    return ("number", float(D(text)))


def text(value):
    return ("text", value)


def date(value):
    return ("date", serial(value))


def time(value):
    hour, minute, second, fraction = parse_time(value)
    return ("date", (hour * 3600 + minute * 60 + second + fraction / 10 ** 7) / 86400)


BINARY = text("{BINARY DATA}")

# ----------------------------------------------------------------- fixture databases

# One column of every type. Each row gives, per column, the value the server
# holds and the cell the workbook must show for it, by the rules in the README.
EVERY_TYPE = [
    ("c_tinyint", IntN(1), [(0, number("0")), (255, number("255")), (7, number("7")), (None, None)]),
    ("c_smallint", IntN(2), [(-32768, number("-32768")), (32767, number("32767")), (0, number("0")),
                             (None, None)]),
    ("c_int", IntN(4), [(-2147483648, number("-2147483648")), (2147483647, number("2147483647")),
                        (42, number("42")), (None, None)]),
    ("c_bigint", IntN(8), [(-9223372036854775808, text("-9223372036854775808")),
                           (9223372036854775807, text("9223372036854775807")),
                           (2 ** 53, number(str(2 ** 53))), (None, None)]),
    ("c_bit", Bit(), [(False, ("boolean", False)), (True, ("boolean", True)), (True, ("boolean", True)),
                      (None, None)]),
    ("c_decimal", Decimal(38, 10), [
        ("1234567890123456789012345678.0123456789", text("1234567890123456789012345678.0123456789")),
        ("0.0000000001", number("0.0000000001")), ("-99.5", number("-99.5")), (None, None)]),
    ("c_numeric", Decimal(18, 4, 0x6C), [("-98765.4321", number("-98765.4321")),
                                         ("99999999999999.9999", text("99999999999999.9999")),
                                         ("0.07", number("0.07")), (None, None)]),
    ("c_money", Money(8), [("922337203685477.5807", text("922337203685477.5807")),
                           ("-922337203685477.5808", text("-922337203685477.5808")),
                           ("9.8", number("9.8")), (None, None)]),
    ("c_smallmoney", Money(4), [("214748.3647", number("214748.3647")), ("-214748.3648", number("-214748.3648")),
                                ("0.01", number("0.01")), (None, None)]),
    ("c_float", Float(8), [(0.1, number("0.1")), (-1e-300, number("-1e-300")),
                           # the file keeps 16 digits, so a double that needs 17 stays exact as text
                           (1.7976931348623157e308, text("1.7976931348623157e+308")), (None, None)]),
    ("c_real", Float(4), [(0.1, number("0.1")), (-1.5, number("-1.5")),
                          (3.4028234663852886e38, number("3.4028235e38")), (None, None)]),
    ("c_date", Date(), [(datetime.date(1, 1, 1), text("0001-01-01")), (datetime.date(1900, 1, 1), text("1900-01-01")),
                        (datetime.date(9999, 12, 31), date("9999-12-31")), (None, None)]),
    ("c_datetime", DateTime(8), [
        (datetime.datetime(1753, 1, 1), text("1753-01-01 00:00:00.000")),
        (datetime.datetime(2024, 1, 31, 12, 30, 45, 500000), date("2024-01-31 12:30:45.5")),
        (datetime.datetime(9999, 12, 31, 23, 59, 59, 250000), date("9999-12-31 23:59:59.25")), (None, None)]),
    ("c_smalldatetime", DateTime(4), [
        (datetime.datetime(1900, 1, 1), text("1900-01-01 00:00:00")),
        (datetime.datetime(2079, 6, 6, 23, 59), date("2079-06-06 23:59:00")),
        (datetime.datetime(1900, 3, 1, 12, 0), date("1900-03-01 12:00:00")), (None, None)]),
    ("c_datetime2", DateTime2(7), [
        ("0001-01-01 00:00:00.0000000", text("0001-01-01 00:00:00.0000000")),
        ("9999-12-31 23:59:59.9999999", date("9999-12-31 23:59:59.999")),
        ("2024-05-06 07:08:09.1234567", date("2024-05-06 07:08:09.1234567")), (None, None)]),
    ("c_time", Time(7), [("00:00:00", time("00:00:00")), ("23:59:59.9999999", time("23:59:59.9999999")),
                         ("12:00:00.5", time("12:00:00.5")), (None, None)]),
    ("c_datetimeoffset", DateTimeOffset(7), [
        ("2024-05-06 07:08:09.1234567 +02:00", text("2024-05-06 07:08:09.1234567 +02:00")),
        ("0001-01-01 00:00:00.0000000 -05:30", text("1-01-01 00:00:00.0000000 -05:30")),
        ("9999-12-31 23:59:59.9999999 +14:00", text("9999-12-31 23:59:59.9999999 +14:00")),
        (None, None)]),
    ("c_char", Chars(10, fixed=True), [("abc", text("abc       ")), ("00123", text("00123     ")),
                                        ("Café", text("Café      ")), (None, None)]),
    ("c_varchar", Chars(50), [("00123", text("00123")), ("Café ü", text("Café ü")), ("1/2", text("1/2")),
                              (None, None)]),
    ("c_nchar", Chars(5, wide=True, fixed=True), [("Ωμέγ", text("Ωμέγ ")), ("a", text("a    ")),
                                                   ("中文字", text("中文字  ")), (None, None)]),
    ("c_nvarchar", Chars(100, wide=True), [("Grüße 😀", text("Grüße 😀")), ("=1+1", text("=1+1")),
                                           ("tab\there\x01", text("tab\there\x01")), (None, None)]),
    ("c_text", Legacy(0x23), [("long text", text("long text")), ("Ærø", text("Ærø")), ("0042", text("0042")),
                              (None, None)]),
    ("c_ntext", Legacy(0x63), [("ünï", text("ünï")), ("Ελληνικά", text("Ελληνικά")),
                               ("_x0041_ and _x005F_ stay", text("_x0041_ and _x005F_ stay")),
                               (None, None)]),
    ("c_xml", Xml(), [('<a b="1">x</a>', text('<a b="1">x</a>')), ("<r/>", text("<r/>")),
                      ("<z>é</z>", text("<z>é</z>")), (None, None)]),
    ("c_varchar_max", Chars(0, max=True), [("x" * 40000, text("x" * 32767)), ("short", text("short")),
                                           ("y" * 32767, text("y" * 32767)), (None, None)]),
    ("c_nvarchar_max", Chars(0, wide=True, max=True), [("😀" * 20000, text("😀" * 16383)), ("ж", text("ж")),
                                                       ("a" + "😀" * 16383, text("a" + "😀" * 16383)),
                                                       (None, None)]),
    ("c_uniqueidentifier", Guid(), [("6F9619FF-8B86-D011-B42D-00C04FC964FF",
                                     text("6F9619FF-8B86-D011-B42D-00C04FC964FF")),
                                    ("00000000-0000-0000-0000-000000000000",
                                     text("00000000-0000-0000-0000-000000000000")),
                                    ("01234567-89AB-CDEF-0123-456789ABCDEF",
                                     text("01234567-89AB-CDEF-0123-456789ABCDEF")), (None, None)]),
    ("c_binary", Binary(4, fixed=True), [(b"\x00\x01\xab\xff", text("0x0001ABFF")), (b"\x01", text("0x01000000")),
                                         (b"\x00\x00\x00\x00", text("0x00000000")), (None, None)]),
    ("c_varbinary", Binary(16), [(b"\xde\xad\xbe\xef", text("0xDEADBEEF")), (b"\x00", text("0x00")),
                                 (bytes(range(16)), text("0x000102030405060708090A0B0C0D0E0F")), (None, None)]),
    ("c_rowversion", Binary(8, fixed=True, user_type=80), [
        (b"\x00\x00\x00\x00\x00\x00\x07\xd1", text("0x00000000000007D1")),
        (b"\xff" * 8, text("0xFFFFFFFFFFFFFFFF")), (b"\x00" * 7 + b"\x01", text("0x0000000000000001")),
        (b"\x00" * 8, text("0x0000000000000000"))]),
    ("c_varbinary_max", Binary(0, max=True), [(b"\x89PNG" * 10000, BINARY), (b"", BINARY), (b"\x00", BINARY),
                                              (None, None)]),
    ("c_image", Legacy(0x22), [(b"GIF89a", BINARY), (b"\x00" * 100, BINARY), (b"\xff", BINARY), (None, None)]),
    ("c_hierarchyid", Udt("hierarchyid"), [(b"\x58", BINARY), (None, None), (b"\x5a\xc0", BINARY), (None, None)]),
    ("c_variant", Variant(), [(("int", 42), text("42")), (("nvarchar", "Grüße"), text("Grüße")),
                              (("decimal", (10, 2, "12.34")), text("12.34")), (None, None)]),
]


def every_type_table():
    columns = [Column(name, t) for name, t, _ in EVERY_TYPE]
    count = len(EVERY_TYPE[0][2])
    return Table("dbo", "Every Type", columns, count,
                 lambda i: tuple(cases[i][0] for _, _, cases in EVERY_TYPE),
                 expected=lambda i: [cases[i][1] for _, _, cases in EVERY_TYPE])


VARIANTS = [(("int", -7), text("-7")), (("bigint", 9007199254740993), text("9007199254740993")),
            (("decimal", (18, 4, "-98765.4321")), text("-98765.4321")), (("date", "2024-02-29"), text("2024-02-29")),
            (("datetime", "2024-02-29T13:14:15.500"), text("2024-02-29 13:14:15.500")),
            (("float", 0.5), text("0.5")),
            (("uniqueidentifier", "6F9619FF-8B86-D011-B42D-00C04FC964FF"),
             text("6F9619FF-8B86-D011-B42D-00C04FC964FF")),
            (("varchar", "plain"), text("plain")), (None, None)]


def cents(i):
    return "%d.%02d" % divmod(i + 1, 100)


# A row of ten mixed columns, as the benchmark reads them.
BENCH_COLUMNS = [Column("Id", IntN(4)), Column("Amount", Decimal(12, 2)), Column("Ratio", Float(8)),
                 Column("Placed", Date()), Column("Stamp", DateTime(8)), Column("Code", Chars(10)),
                 Column("Name", Chars(50, wide=True)), Column("Note", Chars(200, wide=True)),
                 Column("Flag", Bit()), Column("Price", Money(8))]


def bench_row(i):
    return (i, cents(i % 10000), i / 7.0, datetime.date(2000, 1, 1) + datetime.timedelta(days=i % 9000),
            datetime.datetime(2020, 1, 1, i % 24, i % 60, i % 60), "%05d" % (i % 100000),
            "Kundin Nr. %d" % i, None if i % 10 == 0 else "Bemerkung %d: " % i + "x" * (i % 60),
            i % 2 == 0, "%d.%04d" % (i % 1000, i % 10000))


INT_N = [Column("N", IntN(4))]


def numbered(count):
    """Tables dbo.T1 to dbo.T<count>, one row each."""
    return [Table("dbo", "T%d" % n, INT_N, 1, lambda i: (1,)) for n in range(1, count + 1)]


CUSTOMERS = Table("dbo", "Customers", [Column("Id", IntN(4)), Column("Code", Chars(10)), Column("Name", Chars(50, True))],
                  3, lambda i: [(1, "00123", "Ada"), (2, "042", None), (3, "7", "Zoë")][i],
                  expected=lambda i: [[number("1"), text("00123"), text("Ada")], [number("2"), text("042"), None],
                                      [number("3"), text("7"), text("Zoë")]][i])

DATABASES = [
    # A name that is no file name: a dot and a slash in it.
    Database("Sales 2024.v2/EU", [CUSTOMERS]),
    Database("master", []),
    Database("Quorvane", [
        CUSTOMERS,
        Table("sales", "Orders", [Column("Id", IntN(4)), Column("Source", Chars(20))], 2,
              lambda i: (i + 1, "sales"), expected=lambda i: [number(str(i + 1)), text("sales")]),
        Table("archive", "Orders", [Column("Id", IntN(4)), Column("Source", Chars(20))], 3,
              lambda i: (i + 101, "archive"), expected=lambda i: [number(str(i + 101)), text("archive")]),
        Table("dbo", "Odd]Name", [Column("A]B", IntN(4))], 1, lambda i: (5,), expected=lambda i: [number("5")]),
        every_type_table(),
        Table("dbo", "Variants", [Column("Id", IntN(4)), Column("V", Variant())], len(VARIANTS),
              lambda i: (i, VARIANTS[i][0]), expected=lambda i: [number(str(i)), VARIANTS[i][1]]),
        Table("dbo", "Cents", [Column("Amount", Decimal(12, 2)), Column("Price", Money(8)),
                               Column("Small", Decimal(10, 2))], 9999,
              lambda i: (cents(i), cents(i), cents(i)), expected=lambda i: [number(cents(i))] * 3),
        Table("dbo", "Last Moment", [Column("Id", IntN(4)), Column("At", DateTime2(7))], 3,
              lambda i: (i, ["2024-01-01 00:00:00", "9999-12-31 23:59:59.9999999", "2000-02-29 12:00:00"][i]),
              expected=lambda i: [number(str(i)), date(["2024-01-01", "9999-12-31 23:59:59.999",
                                                        "2000-02-29 12:00:00"][i])]),
        Table("dbo", "Big", [Column("N", IntN(4))], 1048580, lambda i: (i + 1,)),
        Table("dbo", "sysdiagrams", [Column("Id", IntN(4))], 0, lambda i: ()),
        Table("dbo", "MySystem", [Column("Id", IntN(4))], 0, lambda i: ()),
        Table("dbo", "Customer View", [Column("Name", Chars(50, True))], 0, lambda i: (), kind="VIEW"),
        Table("sys", "objects", [Column("Id", IntN(4))], 0, lambda i: (), kind="SYSTEM TABLE"),
    ]),
    # Faults: the server goes away in the middle of Cut; for Faults it comes back, for Doomed it does not.
    Database("Faults", [
        Table("dbo", "A Before", [Column("N", IntN(4))], 2, lambda i: (i + 1,)),
        Table("dbo", "B Cut", [Column("N", IntN(4)), Column("Label", Chars(20, True))], 5000,
              lambda i: (i + 1, "row %d" % (i + 1)), cut_after=1000),
        Table("dbo", "C After", [Column("N", IntN(4))], 3, lambda i: (i + 1,)),
    ]),
    Database("Doomed", [
        Table("dbo", "B Cut", [Column("N", IntN(4)), Column("Label", Chars(20, True))], 5000,
              lambda i: (i + 1, "row %d" % (i + 1)), cut_after=1000, then_refuse=True),
        Table("dbo", "C After", [Column("N", IntN(4))], 3, lambda i: (i + 1,)),
        Table("dbo", "D Later", [Column("N", IntN(4))], 3, lambda i: (i + 1,)),
    ]),
    Database("Bench", [Table("dbo", "Bench", BENCH_COLUMNS, 200000, bench_row, period=10000)]),
    # Stalls: the server falls silent in the middle of B Stalls, on that connection only.
    Database("Stalls", [
        Table("dbo", "A Before", INT_N, 2, lambda i: (i + 1,)),
        Table("dbo", "B Stalls", [Column("N", IntN(4)), Column("Label", Chars(20, True))], 5000,
              lambda i: (i + 1, "row %d" % (i + 1)), stall_after=1000),
        Table("dbo", "C After", INT_N, 3, lambda i: (i + 1,)),
    ]),
    Database("Many", numbered(10000)),
    # Long values, each more than a cell holds, for a slow link (--link-rate).
    Database("Long Values", [Table("dbo", "Notes", [Column("Id", IntN(4)), Column("Body", Chars(0, True, max=True))],
                                   50, lambda i: (i + 1, chr(0x41 + i % 26) * 40000))]),
    Database("Stalled List", numbered(5000), list_stall_after=100),  # sp_tables falls silent after 100 rows
]


def expected_cells(database, table_name):
    for db in DATABASES:
        if db.name.lower() == database.lower():
            for table in db.tables:
                if "%s.%s" % (table.schema, table.name) == table_name or table.name == table_name:
                    header = [text(c.name) for c in table.columns]
                    return [header] + [table.expected(i) for i in range(table.count)]
    raise SystemExit("no table %s in %s" % (table_name, database))


# ----------------------------------------------------------------- certificates


def make_certificates(folder):
    """Writes into `folder` a test authority (authority.pem, authority.key) and, each as NAME.pem with
    its key NAME.key: loopback, issued by it for IP 127.0.0.1 and DNS localhost; other-name, issued
    by it for DNS elsewhere.example only; self-a and self-b, two self-signed ones named as the
    certificate SQL Server makes for itself when nobody gave it one. EC keys, for speed; valid three days."""
    os.makedirs(folder, exist_ok=True)

    def path(name):
        return os.path.join(folder, name)

    with tempfile.TemporaryDirectory() as scratch:
        # A configuration of our own, so that no extension comes from the system's defaults.
        config = os.path.join(scratch, "openssl.cnf")
        with open(config, "w") as f:
            f.write("[req]\ndistinguished_name = dn\nprompt = no\n[dn]\n")

        def make(name, subject, extensions, issuer=None):
            command = ["openssl", "req", "-x509", "-config", config, "-newkey", "ec",
                       "-pkeyopt", "ec_paramgen_curve:prime256v1", "-noenc", "-days", "3", "-subj", subject,
                       "-keyout", path(name + ".key"), "-out", path(name + ".pem")]
            if issuer:
                command += ["-CA", path(issuer + ".pem"), "-CAkey", path(issuer + ".key")]
            for extension in extensions:
                command += ["-addext", extension]
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                sys.exit("tds_server.py: openssl could not make %s: %s" % (name, done.stderr.strip()))

        server = ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature",
                  "extendedKeyUsage=serverAuth"]
        make("authority", "/CN=Quorvane Test Authority",
             ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign",
              "subjectKeyIdentifier=hash"])
        make("loopback", "/CN=localhost", server + ["subjectAltName=IP:127.0.0.1,DNS:localhost"], "authority")
        make("other-name", "/CN=elsewhere.example", server + ["subjectAltName=DNS:elsewhere.example"], "authority")
        for name in ("self-a", "self-b"):
            make(name, "/CN=SSL_Self_Signed_Fallback", ["extendedKeyUsage=serverAuth"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log")
    parser.add_argument("--expected", nargs=2, metavar=("DATABASE", "TABLE"))
    parser.add_argument("--encryption", choices=["none", "off", "on", "req"], default="off")
    parser.add_argument("--wire")
    parser.add_argument("--browser", metavar="INSTANCE")
    parser.add_argument("--tds", choices=sorted(TDS_VERSIONS), default="7.4")
    parser.add_argument("--link-rate", type=int, default=0, metavar="BYTES_PER_SECOND")
    parser.add_argument("--make-certificates", metavar="DIR")
    parser.add_argument("--certificate", metavar="FILE")
    parser.add_argument("--key", metavar="FILE")
    parser.add_argument("--relay", choices=["strip", "break", "break-full"])
    args = parser.parse_args()
    if args.expected:
        json.dump(expected_cells(*args.expected), sys.stdout, ensure_ascii=True)
        return
    if args.make_certificates:
        make_certificates(args.make_certificates)
        return
    if bool(args.certificate) != bool(args.key):
        parser.error("--certificate and --key go together")
    server = Server(args.port, args.log, args.encryption, args.wire, args.tds,
                    (args.certificate, args.key) if args.certificate else None)
    server.link_rate = args.link_rate
    silent = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Silent)
    silent.daemon_threads = True
    relay = Relay(server, args.relay) if args.relay else None
    if args.browser:
        browser(args.browser, server)
    for listener in (server, silent, relay):
        if listener:
            threading.Thread(target=listener.serve_forever, daemon=True).start()
    print("PORT %d SILENT %d RELAY %d" % (server.server_address[1], silent.server_address[1],
                                          relay.server_address[1] if relay else 0), flush=True)
    # Serve until whoever started us goes away.
    try:
        while sys.stdin.read(4096):
            pass
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
