"""The packets of the tolvar API: constants, builders, and bounds-checked parsers.

Every packet, in both directions, is a 4-byte big-endian length (the number of bytes after
it, the type byte included), a type byte, and the fields of the type. A *name* is a 1-byte
length and that many bytes; a *text* is a 4-byte length and that many bytes. docs/api.md
gives every layout.

Parsers take one whole packet (length field included) and return an event object; every
field is read through :class:`Reader`, which raises :class:`MalformedPacket` when a field
runs past the end of the packet. Bytes after the last field are ignored, as the session
ignores them in requests.
"""

import struct
from dataclasses import dataclass
from typing import Tuple, Union

MAGIC = b"TOLVAR"

# The highest API version this library offers in its handshake; a session agrees on the lower
# of its own and this one. Version 2 adds the history request (GET_HISTORY) and its answers
# (HISTORY_MESSAGE, HISTORY_END); the request is allowed once a session has agreed to it.
VERSION = 2
HISTORY_VERSION = 2

# Program to session.
HELLO = 1
GET_ONLINE_USER = 2
SEND_MESSAGE = 3
GET_MOTD = 4
GET_HISTORY = 5
# Session to program.
PASS = 0x80
ONLINE_USERS = 0x81
RECEIVE_MESSAGE = 0x82
USER_STATE = 0x83
ERROR = 0x84
MOTD = 0x85
HISTORY_MESSAGE = 0x86
HISTORY_END = 0x87

# Message kinds.
KIND_PLAIN = 1
KIND_HTML = 2
KIND_IMAGE = 3

# Error codes. 1 to 5 end the session; 6 and 7 concern one request.
ERROR_SERVER_CLOSED = 1
ERROR_LOCAL_READ = 2
ERROR_LOCAL_PACKET_TOO_LARGE = 3
ERROR_OUT_OF_MEMORY = 4
ERROR_INTERNAL_ERROR = 5
ERROR_USER_NOT_FOUND = 6
ERROR_MOTD_NOT_AVAILABLE = 7
# Version 2 and later:
ERROR_DISCONNECTED = 8  # the administrator ended the session, or the login was refused
ERROR_MUTED = 9  # the sender is muted: the message was dropped

# The session ends on a packet it is sent whose length field is above this.
MAX_REQUEST_LENGTH = 1048576
# The default bound for packets read: a received message can be about 2 MiB.
DEFAULT_MAX_LENGTH = 4 << 20


class ProtocolError(Exception):
    """The session broke the protocol, or a request cannot be made."""


class MalformedPacket(ProtocolError):
    """A packet whose fields do not hold what its type needs."""


class PacketTooLarge(ProtocolError):
    """A length field above the reader's bound; the packet is not read."""


class TruncatedPacket(ProtocolError):
    """The stream ended in the middle of a packet."""


class HandshakeError(ProtocolError):
    """The session did not answer the handshake with PASS."""


# ---- events: what the session sends ----

def _name_str(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


@dataclass(frozen=True)
class Pass:
    """The handshake was accepted: the agreed version and this program's user name."""
    version: int
    user: str


@dataclass(frozen=True)
class Message:
    """A message for this user. ``recipient`` is this user's name or "GLOBAL"."""
    time: int           # Unix time at which the session passed it on
    sender: str
    recipient: str
    kind: int
    text: bytes         # plain text is in the encoding of the session's locale

    @property
    def is_private(self) -> bool:
        return self.recipient != "GLOBAL"

    def decode(self, encoding: str = "utf-8", errors: str = "replace") -> str:
        return self.text.decode(encoding, errors)


@dataclass(frozen=True)
class HistoryMessage(Message):
    """An earlier message, in answer to a history request (version 2)."""


@dataclass(frozen=True)
class HistoryEnd:
    """The end of a history answer: how many messages it held (version 2)."""
    count: int


@dataclass(frozen=True)
class UserEntry:
    id: int
    user: str
    host: str


@dataclass(frozen=True)
class OnlineUsers:
    """One entry per session; the entry whose id is ``your_id`` is this session."""
    your_id: int
    users: Tuple[UserEntry, ...]


@dataclass(frozen=True)
class UserState:
    """A user's first session logged in (online) or last session ended."""
    online: bool
    user: str


@dataclass(frozen=True)
class Error:
    """An error report: act on ``code``; ``text`` is for people and may be translated."""
    code: int
    text: bytes

    @property
    def ends_session(self) -> bool:
        return self.code < ERROR_USER_NOT_FOUND or self.code == ERROR_DISCONNECTED


@dataclass(frozen=True)
class Motd:
    """The message of the day."""
    text: bytes


@dataclass(frozen=True)
class UnknownPacket:
    """A packet of a type this library does not know; programs ignore it."""
    type: int
    fields: bytes


# What a program sends, as parsed (a fake session in tests reads these).

@dataclass(frozen=True)
class Hello:
    version: int


@dataclass(frozen=True)
class SendMessage:
    recipient: str
    kind: int
    text: bytes


@dataclass(frozen=True)
class GetHistory:
    count: int


Event = Union[Pass, Message, HistoryMessage, HistoryEnd, OnlineUsers, UserState, Error, Motd, UnknownPacket]


# ---- reading ----

class Reader:
    """Reads the fields of one packet front to back; nothing is read past its end."""

    def __init__(self, data: bytes, what: str):
        self._data = memoryview(data)
        self._offset = 0
        self._what = what

    def _take(self, n: int, field: str) -> bytes:
        end = self._offset + n
        if end > len(self._data):
            raise MalformedPacket(
                f"{self._what}: {field} needs {n} bytes at offset {self._offset}, "
                f"but the packet has {len(self._data)} bytes")
        chunk = bytes(self._data[self._offset:end])
        self._offset = end
        return chunk

    def u8(self, field: str) -> int:
        return self._take(1, field)[0]

    def u16(self, field: str) -> int:
        return struct.unpack(">H", self._take(2, field))[0]

    def u32(self, field: str) -> int:
        return struct.unpack(">I", self._take(4, field))[0]

    def u64(self, field: str) -> int:
        return struct.unpack(">Q", self._take(8, field))[0]

    def raw(self, n: int, field: str) -> bytes:
        return self._take(n, field)

    def name(self, field: str) -> str:
        n = self.u8(field + " length")
        return _name_str(self._take(n, field))

    def text(self, field: str) -> bytes:
        n = self.u32(field + " length")
        return self._take(n, field)

    def remaining(self) -> int:
        return len(self._data) - self._offset


def packet_length(header: bytes, max_length: int = DEFAULT_MAX_LENGTH) -> int:
    """The length field of a packet's first 4 bytes, checked against 1 and max_length."""
    length = struct.unpack(">I", header)[0]
    if length == 0:
        raise MalformedPacket("a packet with a length field of 0 (it must hold the type)")
    if length > max_length:
        raise PacketTooLarge(f"a packet of {length} bytes, above the bound of {max_length}")
    return length


def open_packet(packet: bytes) -> Tuple[int, Reader]:
    """The type of one whole packet and a reader of its fields."""
    if len(packet) < 5:
        raise MalformedPacket(f"a packet of {len(packet)} bytes, shorter than a length and a type")
    length = struct.unpack(">I", packet[:4])[0]
    if length != len(packet) - 4:
        raise MalformedPacket(f"a length field of {length} on a packet of {len(packet) - 4} bytes")
    ptype = packet[4]
    return ptype, Reader(packet[5:], _TYPE_NAMES.get(ptype, f"packet type {ptype:#x}"))


def _parse_pass(r: Reader) -> Pass:
    if r.raw(len(MAGIC), "magic") != MAGIC:
        raise MalformedPacket("PASS: wrong magic")
    version = r.u16("version")
    return Pass(version, r.name("user name"))


def _parse_online_users(r: Reader) -> OnlineUsers:
    your_id = r.u16("own id")
    count = r.u16("entry count")
    users = []
    for i in range(count):
        entry = f"entry {i + 1} of {count}"
        uid = r.u16(entry + " id")
        users.append(UserEntry(uid, r.name(entry + " user"), r.name(entry + " host")))
    return OnlineUsers(your_id, tuple(users))


def _message_fields(r: Reader):
    return (r.u64("time"), r.name("sender"), r.name("recipient"), r.u8("kind"), r.text("text"))


def _parse_message(r: Reader) -> Message:
    return Message(*_message_fields(r))


def _parse_history_message(r: Reader) -> HistoryMessage:
    return HistoryMessage(*_message_fields(r))


def _parse_history_end(r: Reader) -> HistoryEnd:
    return HistoryEnd(r.u16("count"))


def _parse_user_state(r: Reader) -> UserState:
    online = r.u8("state") != 0
    return UserState(online, r.name("user name"))


def _parse_error(r: Reader) -> Error:
    code = r.u32("code")
    return Error(code, r.text("text"))


def _parse_motd(r: Reader) -> Motd:
    return Motd(r.text("text"))


def _parse_hello(r: Reader) -> Hello:
    if r.remaining() != 8:
        raise MalformedPacket(f"HELLO: {r.remaining() + 1} bytes after the length field, not 9")
    if r.raw(len(MAGIC), "magic") != MAGIC:
        raise MalformedPacket("HELLO: wrong magic")
    return Hello(r.u16("version"))


def _parse_send_message(r: Reader) -> SendMessage:
    recipient = r.name("recipient")
    kind = r.u8("kind")
    return SendMessage(recipient, kind, r.text("text"))


def _parse_get_history(r: Reader) -> GetHistory:
    return GetHistory(r.u16("count"))


# type: (name, parser of the fields)
_PARSERS = {
    PASS: ("PASS", _parse_pass),
    ONLINE_USERS: ("ONLINE_USERS", _parse_online_users),
    RECEIVE_MESSAGE: ("RECEIVE_MESSAGE", _parse_message),
    USER_STATE: ("USER_STATE", _parse_user_state),
    ERROR: ("ERROR", _parse_error),
    MOTD: ("MOTD", _parse_motd),
    HISTORY_MESSAGE: ("HISTORY_MESSAGE", _parse_history_message),
    HISTORY_END: ("HISTORY_END", _parse_history_end),
}
_REQUEST_PARSERS = {
    HELLO: ("HELLO", _parse_hello),
    GET_ONLINE_USER: ("GET_ONLINE_USER", None),
    SEND_MESSAGE: ("SEND_MESSAGE", _parse_send_message),
    GET_MOTD: ("GET_MOTD", None),
    GET_HISTORY: ("GET_HISTORY", _parse_get_history),
}
_TYPE_NAMES = {t: row[0] for t, row in list(_PARSERS.items()) + list(_REQUEST_PARSERS.items())}


def parse_event(packet: bytes) -> Event:
    """The event in one whole packet from a session; UnknownPacket for a type it lacks."""
    ptype, r = open_packet(packet)
    row = _PARSERS.get(ptype)
    if row is None:
        return UnknownPacket(ptype, bytes(packet[5:]))
    return row[1](r)


def parse_request(packet: bytes):
    """What one whole packet from a program asks: Hello, SendMessage, GetHistory, or the
    request's type number for the requests without fields."""
    ptype, r = open_packet(packet)
    row = _REQUEST_PARSERS.get(ptype)
    if row is None:
        raise MalformedPacket(f"an unknown request type {ptype:#x}")
    return ptype if row[1] is None else row[1](r)


# ---- building ----

def _name(value: Union[str, bytes], field: str) -> bytes:
    raw = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else bytes(value)
    if len(raw) > 255:
        raise ValueError(f"{field} of {len(raw)} bytes: a name has at most 255")
    return bytes([len(raw)]) + raw


def _text(value: bytes, field: str) -> bytes:
    if len(value) > 0xFFFFFFFF:
        raise ValueError(f"{field} of {len(value)} bytes does not fit its length field")
    return struct.pack(">I", len(value)) + value


def build_packet(ptype: int, fields: bytes = b"") -> bytes:
    """A packet of the given type with the given fields."""
    if len(fields) + 1 > 0xFFFFFFFF:
        raise ValueError("a packet too large for its length field")
    return struct.pack(">IB", len(fields) + 1, ptype) + fields


def build_hello(version: int = VERSION) -> bytes:
    if not 1 <= version <= 0xFFFF:
        raise ValueError(f"API version {version}: it is 1 to 65535")
    return build_packet(HELLO, MAGIC + struct.pack(">H", version))


def build_get_online_user() -> bytes:
    return build_packet(GET_ONLINE_USER)


def build_get_motd() -> bytes:
    return build_packet(GET_MOTD)


def build_get_history(count: int) -> bytes:
    """Asks for the last ``count`` messages (version 2)."""
    if not 0 <= count <= 0xFFFF:
        raise ValueError(f"a history of {count} messages: it is 0 to 65535")
    return build_packet(GET_HISTORY, struct.pack(">H", count))


def build_send_message(recipient: Union[str, bytes], text: bytes, kind: int = KIND_PLAIN) -> bytes:
    """A message to a user, or to "GLOBAL" for everybody. The session uses the recipient's
    first 31 bytes, and ends on a packet over MAX_REQUEST_LENGTH: such a text is refused."""
    if not 0 <= kind <= 255:
        raise ValueError(f"message kind {kind}: it is one byte")
    packet = build_packet(SEND_MESSAGE, _name(recipient, "recipient") + bytes([kind]) + _text(text, "text"))
    if len(packet) - 4 > MAX_REQUEST_LENGTH:
        raise ValueError(f"a message packet of {len(packet) - 4} bytes: the session takes at most "
                         f"{MAX_REQUEST_LENGTH}")
    return packet


def build_pass(version: int, user: Union[str, bytes]) -> bytes:
    return build_packet(PASS, MAGIC + struct.pack(">H", version) + _name(user, "user name"))


def build_online_users(your_id: int, users) -> bytes:
    """users: (id, user, host) triples or UserEntry objects."""
    body = struct.pack(">HH", your_id, len(users))
    for u in users:
        uid, user, host = (u.id, u.user, u.host) if isinstance(u, UserEntry) else u
        body += struct.pack(">H", uid) + _name(user, "user name") + _name(host, "host")
    return build_packet(ONLINE_USERS, body)


def _message_body(time: int, sender, recipient, kind: int, text: bytes) -> bytes:
    return (struct.pack(">Q", time) + _name(sender, "sender") + _name(recipient, "recipient") +
            bytes([kind]) + _text(text, "text"))


def build_message(time: int, sender, recipient, kind: int, text: bytes) -> bytes:
    return build_packet(RECEIVE_MESSAGE, _message_body(time, sender, recipient, kind, text))


def build_history_message(time: int, sender, recipient, kind: int, text: bytes) -> bytes:
    return build_packet(HISTORY_MESSAGE, _message_body(time, sender, recipient, kind, text))


def build_history_end(count: int) -> bytes:
    return build_packet(HISTORY_END, struct.pack(">H", count))


def build_user_state(online: bool, user) -> bytes:
    return build_packet(USER_STATE, bytes([1 if online else 0]) + _name(user, "user name"))


def build_error(code: int, text: bytes) -> bytes:
    return build_packet(ERROR, struct.pack(">I", code) + _text(text, "text"))


def build_motd(text: bytes) -> bytes:
    return build_packet(MOTD, _text(text, "text"))
