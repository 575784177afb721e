"""The client against real sessions through a real sshd. The project's end-to-end suite
runs this module with an sshd, the server and keys of its own, and tells it where they are:
TOLVAR_TEST_SSH_PORT, TOLVAR_TEST_KEYS (a directory with the keys alice, bob and carol) and
TOLVAR_TEST_TOLVARADM. Without them the tests are skipped."""

import asyncio
import os
import subprocess
import sys
import unittest

import tolvarapi

PORT = os.environ.get("TOLVAR_TEST_SSH_PORT")
KEYS = os.environ.get("TOLVAR_TEST_KEYS")
TOLVARADM = os.environ.get("TOLVAR_TEST_TOLVARADM")
WAIT = 20.0
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "echo_bot.py")


def ssh_options(user):
    return ["-F", "/dev/null", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "IdentitiesOnly=yes", "-o", "LogLevel=ERROR",
            "-o", "SendEnv=LANG", "-i", os.path.join(KEYS, user), "-p", PORT]


def connect(user):
    return tolvarapi.Client.connect_ssh("tolvar@127.0.0.1", ssh_options(user))


def tolvaradm(*args):
    subprocess.run([TOLVARADM, *args], check=True, stdout=subprocess.DEVNULL)


def wait_for(client, match):
    """Reads events until one matches; the others are skipped."""
    while True:
        event = client.read_event(timeout=WAIT)
        if event is None:
            raise AssertionError("the session ended")
        if match(event):
            return event


async def wait_for_async(client, match):
    while True:
        event = await asyncio.wait_for(client.read_event(), WAIT)
        if event is None:
            raise AssertionError("the session ended")
        if match(event):
            return event


def is_state(user, online):
    return lambda e: isinstance(e, tolvarapi.UserState) and e.user == user and e.online == online


def is_message_from(user):
    return lambda e: isinstance(e, tolvarapi.Message) and e.sender == user


@unittest.skipUnless(PORT and KEYS and TOLVARADM, "needs the end-to-end suite's sshd")
class RealSessions(unittest.TestCase):
    def test_handshake_motd_and_online_list(self):
        tolvaradm("setmotd", "-m", "Welcome to the test chat")
        with connect("alice") as alice:
            # Offered version 2, the session agrees to 2 and answers a history request.
            self.assertEqual(alice.handshake(version=2, timeout=WAIT), tolvarapi.Pass(2, "alice"))
            self.assertEqual(alice.read_event(timeout=WAIT), tolvarapi.Motd(b"Welcome to the test chat\n"))
            wait_for(alice, is_state("alice", True))
            alice.request_history(5)
            end = wait_for(alice, lambda e: isinstance(e, tolvarapi.HistoryEnd))
            self.assertLessEqual(end.count, 5)

            alice.request_online_users()
            online = wait_for(alice, lambda e: isinstance(e, tolvarapi.OnlineUsers))
            mine = [u for u in online.users if u.id == online.your_id]
            self.assertEqual([(u.user, u.host) for u in mine], [("alice", "127.0.0.1")])

            alice.request_motd()
            self.assertEqual(wait_for(alice, lambda e: isinstance(e, tolvarapi.Motd)).text,
                             b"Welcome to the test chat\n")
            tolvaradm("setmotd", "-d")
            alice.request_motd()
            error = wait_for(alice, lambda e: isinstance(e, tolvarapi.Error))
            self.assertEqual(error.code, tolvarapi.ERROR_MOTD_NOT_AVAILABLE)
            self.assertFalse(error.ends_session)
            self.assertEqual(alice.close(), 0)

    def test_messages_and_presence_between_a_blocking_and_an_asyncio_client(self):
        async def run():
            with connect("alice") as alice:
                alice.handshake(timeout=WAIT)
                wait_for(alice, is_state("alice", True))

                bob = await tolvarapi.AsyncClient.connect_ssh("tolvar@127.0.0.1", ssh_options("bob"))
                self.assertEqual(await bob.handshake(), tolvarapi.Pass(2, "bob"))
                wait_for(alice, is_state("bob", True))

                # Private, from the asyncio client to the blocking one.
                await bob.send_message("alice", "psst, alice")
                got = wait_for(alice, is_message_from("bob"))
                self.assertEqual((got.recipient, got.kind, got.decode()), ("alice", 1, "psst, alice"))
                self.assertTrue(got.is_private)

                # To everybody (from version 2 on "*" arrives as sent), HTML, the other way.
                alice.send_message("*", b"<b>hello all</b>", tolvarapi.KIND_HTML)
                got = await wait_for_async(bob, is_message_from("alice"))
                self.assertEqual((got.recipient, got.kind, got.text), ("*", 2, b"<b>hello all</b>"))

                alice.send_message("nobody", "anyone there?")
                error = wait_for(alice, lambda e: isinstance(e, tolvarapi.Error))
                self.assertEqual((error.code, error.text), (tolvarapi.ERROR_USER_NOT_FOUND, b"User nobody not found"))

                self.assertEqual(await bob.close(), 0)
                wait_for(alice, is_state("bob", False))
        asyncio.run(run())

    def test_example_bot_echoes_private_messages(self):
        with connect("alice") as alice:
            alice.handshake(timeout=WAIT)
            wait_for(alice, is_state("alice", True))
            bot = subprocess.Popen([sys.executable, EXAMPLE, "ssh", "-T", *ssh_options("carol"),
                                    "tolvar@127.0.0.1", "api"], stdin=subprocess.DEVNULL)
            try:
                wait_for(alice, is_state("carol", True))
                alice.send_message("carol", "ping")
                got = wait_for(alice, is_message_from("carol"))
                self.assertEqual((got.recipient, got.text), ("alice", b"echo: ping"))
            finally:
                bot.kill()
                bot.wait()

if __name__ == "__main__":
    unittest.main()
