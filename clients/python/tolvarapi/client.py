"""A blocking client of one tolvar API session."""

import select
import subprocess
import time
from typing import Iterator, Optional, Sequence, Union

from . import wire


def ssh_command(destination: str, ssh_options: Sequence[str] = (), ssh: str = "ssh") -> list:
    """The command line that opens an API session: ssh without a terminal, asking for "api"."""
    return [ssh, "-T", *ssh_options, destination, "api"]


class _Session:
    """What both clients share: the agreed version, the user name, and the requests."""

    def __init__(self, encoding: str):
        self.encoding = encoding
        self.version = 0        # agreed API version; 0 until the handshake
        self.user = None        # this program's chat user name, from PASS

    def _text(self, text: Union[str, bytes]) -> bytes:
        return text.encode(self.encoding) if isinstance(text, str) else bytes(text)

    def _accept_pass(self, event) -> wire.Pass:
        if event is None:
            raise wire.HandshakeError(
                "the session ended without answering the handshake (is the key registered, "
                "and was the command \"api\"?)")
        if not isinstance(event, wire.Pass):
            raise wire.HandshakeError(f"the session answered the handshake with {event!r}, not PASS")
        self.version = event.version
        self.user = event.user
        return event

    def _history_request(self, count: int) -> bytes:
        if self.version < wire.HISTORY_VERSION:
            raise wire.ProtocolError(
                f"the history needs API version {wire.HISTORY_VERSION}; the session agreed to "
                f"version {self.version}")
        return wire.build_get_history(count)

    def _require_handshake(self):
        if self.version == 0:
            raise wire.ProtocolError("no handshake yet: the session ends on any other first packet")


class Client(_Session):
    """One API session over a pair of byte streams: ``reader`` gives what the session sends
    (read or read1), ``writer`` takes what the program sends (write, flush).

    Use :meth:`connect_ssh` (or :meth:`spawn`) to start ssh as a subprocess, then
    :meth:`handshake`. Events come from :meth:`read_event`, or by iterating over the client
    until the session ends. A malformed packet raises a :class:`wire.ProtocolError`.
    """

    def __init__(self, reader, writer, *, process: Optional[subprocess.Popen] = None,
                 max_length: int = wire.DEFAULT_MAX_LENGTH, encoding: str = "utf-8"):
        super().__init__(encoding)
        self._reader = reader
        self._read = getattr(reader, "read1", reader.read)
        self._writer = writer
        self._process = process
        self._max_length = max_length
        self._buffer = bytearray()     # a packet read in part, kept across time-outs

    @classmethod
    def spawn(cls, argv: Sequence[str], **kwargs) -> "Client":
        """Runs a command that speaks the API on its standard input and output."""
        process = subprocess.Popen(list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        return cls(process.stdout, process.stdin, process=process, **kwargs)

    @classmethod
    def connect_ssh(cls, destination: str, ssh_options: Sequence[str] = (), ssh: str = "ssh",
                    **kwargs) -> "Client":
        """Starts ``ssh -T [options] destination api``; the key chooses the chat user."""
        return cls.spawn(ssh_command(destination, ssh_options, ssh), **kwargs)

    # ---- requests ----

    def _send(self, packet: bytes):
        # A raw stream (the pipes of spawn) may take part of a packet per call.
        view = memoryview(packet)
        while view:
            written = self._writer.write(view)
            if written is None:
                raise BlockingIOError("the session's input takes no more now (a non-blocking stream?)")
            view = view[written:]
        self._writer.flush()

    def handshake(self, version: int = wire.VERSION, timeout: Optional[float] = None) -> wire.Pass:
        """Sends HELLO and waits for PASS. A message of the day may follow as an event."""
        self._send(wire.build_hello(version))
        return self._accept_pass(self.read_event(timeout))

    def send_message(self, recipient: str, text: Union[str, bytes], kind: int = wire.KIND_PLAIN):
        """Sends text to a user, or to "GLOBAL" for everybody. A str is encoded with the
        client's encoding, which should be the session's (its LANG)."""
        self._require_handshake()
        self._send(wire.build_send_message(recipient, self._text(text), kind))

    def request_online_users(self):
        """Asks for the online users; an OnlineUsers event answers."""
        self._require_handshake()
        self._send(wire.build_get_online_user())

    def request_motd(self):
        """Asks for the message of the day; a Motd event, or Error 7, answers."""
        self._require_handshake()
        self._send(wire.build_get_motd())

    def request_history(self, count: int):
        """Asks for the last ``count`` messages (API version 2 and later): HistoryMessage
        events, then HistoryEnd."""
        self._send(self._history_request(count))

    # ---- events ----

    def _fill(self, size: int, deadline: Optional[float]) -> bool:
        while len(self._buffer) < size:
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._reader], [], [], left)[0]:
                    raise TimeoutError("no packet from the session in time")
            chunk = self._read(size - len(self._buffer))
            if not chunk:
                return False
            self._buffer += chunk
        return True

    def read_packet(self, timeout: Optional[float] = None) -> Optional[bytes]:
        """One whole packet, or None when the session has ended between packets. With a
        timeout (seconds; the reader must be a pipe or socket without a buffer of its own,
        as connect_ssh makes it) raises TimeoutError and keeps what it has read."""
        deadline = None if timeout is None else time.monotonic() + timeout
        if not self._fill(4, deadline):
            if self._buffer:
                raise wire.TruncatedPacket(f"the session ended inside a length field ({len(self._buffer)} of 4 bytes)")
            return None
        length = wire.packet_length(bytes(self._buffer[:4]), self._max_length)
        if not self._fill(4 + length, deadline):
            raise wire.TruncatedPacket(
                f"the session ended inside a packet ({len(self._buffer) - 4} of {length} bytes)")
        packet = bytes(self._buffer[:4 + length])
        del self._buffer[:4 + length]
        return packet

    def read_event(self, timeout: Optional[float] = None) -> Optional[wire.Event]:
        """The next event, or None when the session has ended."""
        packet = self.read_packet(timeout)
        return None if packet is None else wire.parse_event(packet)

    def __iter__(self) -> Iterator[wire.Event]:
        while True:
            event = self.read_event()
            if event is None:
                return
            yield event

    # ---- the end ----

    def close(self, timeout: float = 10.0) -> Optional[int]:
        """Closes the program's side, which ends the session; waits for a spawned command and
        returns its exit status (killed after timeout seconds)."""
        try:
            self._writer.close()
        except OSError:
            pass
        if self._process is None:
            return None
        try:
            status = self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            status = self._process.wait()
        if self._process.stdout is not None:
            self._process.stdout.close()
        return status

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc):
        self.close()


__all__ = ["Client", "ssh_command"]
