"""An asyncio client of one tolvar API session."""

import asyncio
from typing import Optional, Sequence, Union

from . import wire
from .client import _Session, ssh_command


class AsyncClient(_Session):
    """One API session over an asyncio StreamReader (what the session sends) and a
    StreamWriter (what the program sends). ``async for event in client`` reads events until
    the session ends; a malformed packet raises a :class:`wire.ProtocolError`. A read that
    is cancelled (by asyncio.wait_for, say) keeps what it has read for the next one."""

    def __init__(self, reader: asyncio.StreamReader, writer, *, process=None,
                 max_length: int = wire.DEFAULT_MAX_LENGTH, encoding: str = "utf-8"):
        super().__init__(encoding)
        self._reader = reader
        self._writer = writer
        self._process = process
        self._max_length = max_length
        self._header = None     # the length field of a packet whose body is still to come

    @classmethod
    async def spawn(cls, argv: Sequence[str], **kwargs) -> "AsyncClient":
        """Runs a command that speaks the API on its standard input and output."""
        process = await asyncio.create_subprocess_exec(
            *argv, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE)
        return cls(process.stdout, process.stdin, process=process, **kwargs)

    @classmethod
    async def connect_ssh(cls, destination: str, ssh_options: Sequence[str] = (), ssh: str = "ssh",
                          **kwargs) -> "AsyncClient":
        """Starts ``ssh -T [options] destination api``; the key chooses the chat user."""
        return await cls.spawn(ssh_command(destination, ssh_options, ssh), **kwargs)

    # ---- requests ----

    async def _send(self, packet: bytes):
        self._writer.write(packet)
        await self._writer.drain()

    async def handshake(self, version: int = wire.VERSION) -> wire.Pass:
        """Sends HELLO and waits for PASS. A message of the day may follow as an event."""
        await self._send(wire.build_hello(version))
        return self._accept_pass(await self.read_event())

    async def send_message(self, recipient: str, text: Union[str, bytes], kind: int = wire.KIND_PLAIN):
        """Sends text to a user, or to "GLOBAL" for everybody."""
        self._require_handshake()
        await self._send(wire.build_send_message(recipient, self._text(text), kind))

    async def request_online_users(self):
        self._require_handshake()
        await self._send(wire.build_get_online_user())

    async def request_motd(self):
        self._require_handshake()
        await self._send(wire.build_get_motd())

    async def request_history(self, count: int):
        """Asks for the last ``count`` messages (API version 2 and later)."""
        await self._send(self._history_request(count))

    # ---- events ----

    async def read_packet(self) -> Optional[bytes]:
        """One whole packet, or None when the session has ended between packets."""
        if self._header is None:
            try:
                self._header = await self._reader.readexactly(4)
            except asyncio.IncompleteReadError as e:
                if e.partial:
                    raise wire.TruncatedPacket(
                        f"the session ended inside a length field ({len(e.partial)} of 4 bytes)") from None
                return None
        length = wire.packet_length(self._header, self._max_length)
        try:
            body = await self._reader.readexactly(length)
        except asyncio.IncompleteReadError as e:
            raise wire.TruncatedPacket(
                f"the session ended inside a packet ({len(e.partial)} of {length} bytes)") from None
        packet = self._header + body
        self._header = None
        return packet

    async def read_event(self) -> Optional[wire.Event]:
        """The next event, or None when the session has ended."""
        packet = await self.read_packet()
        return None if packet is None else wire.parse_event(packet)

    def __aiter__(self):
        return self

    async def __anext__(self) -> wire.Event:
        event = await self.read_event()
        if event is None:
            raise StopAsyncIteration
        return event

    # ---- the end ----

    async def close(self, timeout: float = 10.0) -> Optional[int]:
        """Closes the program's side, which ends the session; waits for a spawned command and
        returns its exit status (killed after timeout seconds)."""
        self._writer.close()
        if self._process is None:
            return None
        try:
            return await asyncio.wait_for(self._process.wait(), timeout)
        except asyncio.TimeoutError:
            self._process.kill()
            return await self._process.wait()

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(self, *exc):
        await self.close()
