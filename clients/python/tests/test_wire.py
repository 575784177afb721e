"""The client on byte streams: the conversation of docs/api.md's worked example, and
truncated, oversized and malformed packets."""

import asyncio
import io
import struct
import unittest

import tolvarapi
from tolvarapi import wire


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


# docs/api.md, "A worked example": what the program sends, and what the session sends.
SENT = [
    h("00000009 01 544f4c564152 0001"),
    h("00000001 02"),
    h("0000000e 03 05 616c696365 01 00000002 6869"),
    h("00000018 03 05 616c696365 01 0000000c 68657920796f757273656c66"),
]
RECEIVED = [
    h("0000000d 80 544f4c564152 0001 03 626f74"),
    h("00000008 85 00000003 48690a"),
    h("00000006 83 01 03 626f74"),
    h("00000015 81 0005 0001 0005 03 626f74 09 3139322e302e322e37"),
    h("0000001d 84 00000006 00000014 5573657220616c696365206e6f7420666f756e64"),
    h("00000008 83 01 05 616c696365"),
    h("0000001b 82 0000000065a8eed0 05 616c696365 03 626f74 01 00000003 686579"),
    h("00000024 82 0000000065a8eed1 03 626f74 05 616c696365 01 0000000c 68657920796f757273656c66"),
]
EXPECTED = [
    tolvarapi.Motd(b"Hi\n"),
    tolvarapi.UserState(True, "bot"),
    tolvarapi.OnlineUsers(5, (tolvarapi.UserEntry(5, "bot", "192.0.2.7"),)),
    tolvarapi.Error(6, b"User alice not found"),
    tolvarapi.UserState(True, "alice"),
    tolvarapi.Message(1705570000, "alice", "bot", 1, b"hey"),
    tolvarapi.Message(1705570001, "bot", "alice", 1, b"hey yourself"),
]


class Sink(io.BytesIO):
    def close(self):        # keep what was written readable after the client closes
        pass


class NoReadPastHeader(io.RawIOBase):
    """A stream that fails the test if more than a length field is read from it."""

    def __init__(self, header):
        self.header = header

    def readable(self):
        return True

    def read1(self, n):
        if not self.header:
            raise AssertionError("the body of an oversized packet was read")
        chunk, self.header = self.header[:n], self.header[n:]
        return chunk


def client_on(data, **kwargs):
    out = Sink()
    return tolvarapi.Client(io.BytesIO(data), out, **kwargs), out


def async_client_on(data):
    reader = asyncio.StreamReader()
    reader.feed_data(data)
    reader.feed_eof()
    return tolvarapi.AsyncClient(reader, AsyncSink())


class AsyncSink:
    def __init__(self):
        self.data = b""

    def write(self, b):
        self.data += b

    async def drain(self):
        pass

    def close(self):
        pass


class WorkedExample(unittest.TestCase):
    def test_blocking_client_speaks_the_documented_bytes(self):
        client, out = client_on(b"".join(RECEIVED))
        self.assertEqual(client.handshake(version=1), tolvarapi.Pass(1, "bot"))
        client.request_online_users()
        client.send_message("alice", "hi")
        client.send_message("alice", b"hey yourself")
        self.assertEqual(out.getvalue(), b"".join(SENT))
        self.assertEqual(list(client), EXPECTED)
        self.assertIsNone(client.read_event())   # the end stays the end

    def test_asyncio_client_speaks_the_documented_bytes(self):
        async def run():
            client = async_client_on(b"".join(RECEIVED))
            self.assertEqual(await client.handshake(version=1), tolvarapi.Pass(1, "bot"))
            await client.request_online_users()
            await client.send_message("alice", "hi")
            await client.send_message("alice", b"hey yourself")
            self.assertEqual(client._writer.data, b"".join(SENT))
            self.assertEqual([e async for e in client], EXPECTED)
        asyncio.run(run())


class BrokenStreams(unittest.TestCase):
    def test_every_truncation_raises_or_ends_between_packets(self):
        stream = b"".join(RECEIVED)
        bounds = {0}
        for p in RECEIVED:
            bounds.add(max(bounds) + len(p))
        for cut in range(len(stream)):
            client, _ = client_on(stream[:cut])
            if cut in bounds:
                self.assertEqual(len(list(client)), sum(1 for b in bounds if 0 < b <= cut))
            else:
                with self.assertRaises(tolvarapi.TruncatedPacket, msg=f"cut at {cut}"):
                    list(client)

    def test_asyncio_truncation_raises(self):
        async def run(data):
            return [e async for e in async_client_on(data)]
        for cut in (2, 7, len(RECEIVED[0]) - 1):
            with self.assertRaises(tolvarapi.TruncatedPacket):
                asyncio.run(run(RECEIVED[0][:cut]))

    def test_oversized_and_empty_length_fields_are_refused_before_any_body(self):
        for length in (wire.DEFAULT_MAX_LENGTH + 1, 0xFFFFFFFF):
            client = tolvarapi.Client(NoReadPastHeader(struct.pack(">I", length)), Sink())
            with self.assertRaises(tolvarapi.PacketTooLarge):
                client.read_event()
        small = tolvarapi.Client(NoReadPastHeader(struct.pack(">I", 100)), Sink(), max_length=99)
        with self.assertRaises(tolvarapi.PacketTooLarge):
            small.read_event()
        client, _ = client_on(h("00000000 85"))
        with self.assertRaises(tolvarapi.MalformedPacket):
            client.read_event()

        async def run():
            with self.assertRaises(tolvarapi.PacketTooLarge):
                await async_client_on(h("7fffffff 82 00")).read_event()
        asyncio.run(run())

    def test_fields_that_run_past_their_packet_are_malformed(self):
        cases = [   # framed right; the fields are what is wrong
            ("PASS: magic", "80 544f4c56"),
            ("PASS: user name", "80 544f4c564152 0001 09 626f74"),
            ("RECEIVE_MESSAGE: text", "82 0000000065a8eed0 01 61 01 62 01 000000ff 6869"),
            ("RECEIVE_MESSAGE: time", "82 000000"),
            ("ONLINE_USERS: entry 2 of 3", "81 0001 0003 0001 01 61 00 0002 01"),
            ("USER_STATE: user name", "83 01 05 61"),
            ("ERROR: text", "84 00000006 0000"),
            ("MOTD: text", "85 00001000 4869 0a0a"),
            ("HISTORY_END: count", "87 00"),
        ]
        cases = [(what, struct.pack(">I", len(h(f))) + h(f)) for what, f in cases]
        for what, packet in cases:
            with self.subTest(what):
                with self.assertRaises(tolvarapi.MalformedPacket) as caught:
                    client_on(packet)[0].read_event()
                self.assertIn(what, str(caught.exception))
        with self.assertRaisesRegex(tolvarapi.MalformedPacket, "wrong magic"):
            client_on(h("0000000a 80 544f4c564158 0001 00"))[0].read_event()
        # Unknown types are passed on, not refused; bytes after the last field are ignored.
        client, _ = client_on(h("00000003 90 0102") + h("00000007 83 00 03 626f74 ff"))
        self.assertEqual(list(client), [tolvarapi.UnknownPacket(0x90, b"\x01\x02"),
                                        tolvarapi.UserState(False, "bot")])

    def test_a_session_that_does_not_answer_pass_fails_the_handshake(self):
        for answer in (b"", RECEIVED[1]):
            client, _ = client_on(answer)
            with self.assertRaises(tolvarapi.HandshakeError):
                client.handshake()
        client, out = client_on(b"")
        with self.assertRaises(tolvarapi.ProtocolError):
            client.request_motd()   # before the handshake: the session would end
        self.assertEqual(out.getvalue(), b"")

    def test_oversized_requests_are_refused_before_they_are_sent(self):
        client, out = client_on(RECEIVED[0])
        client.handshake()
        with self.assertRaises(ValueError):
            client.send_message("x" * 256, b"hi")
        with self.assertRaises(ValueError):
            client.send_message("alice", b"x" * wire.MAX_REQUEST_LENGTH)
        client.send_message("alice", b"x" * (wire.MAX_REQUEST_LENGTH - 12))   # exactly the limit
        self.assertEqual(len(out.getvalue()), len(SENT[0]) + 4 + wire.MAX_REQUEST_LENGTH)


class History(unittest.TestCase):
    """Version 2's history request, on byte streams: refused by a version 1 session."""

    def test_request_history_needs_version_2(self):
        client, out = client_on(RECEIVED[0])
        client.handshake(version=2)
        self.assertEqual(client.version, 1)
        with self.assertRaisesRegex(tolvarapi.ProtocolError, "version 2"):
            client.request_history(10)
        self.assertEqual(out.getvalue(), h("00000009 01 544f4c564152 0002"))

    def test_history_answers_on_a_version_2_session(self):
        answer = (wire.build_pass(2, "bot") + wire.build_history_message(1705570000, "alice", "GLOBAL", 1, b"earlier") +
                  h("00000003 87 0001"))
        client, out = client_on(answer)
        client.handshake(version=2)
        client.request_history(10)
        self.assertEqual(out.getvalue()[13:], h("00000003 05 000a"))
        events = list(client)
        self.assertEqual(events, [tolvarapi.HistoryMessage(1705570000, "alice", "GLOBAL", 1, b"earlier"),
                                  tolvarapi.HistoryEnd(1)])
        self.assertEqual(wire.parse_request(h("00000003 05 000a")), wire.GetHistory(10))


if __name__ == "__main__":
    unittest.main()
