"""A client library for programs (bots) that chat through a tolvar API session.

A program connects with ssh to the service account and asks for the command "api"; its key
decides the chat user it is. This library starts that ssh (or takes any pair of byte
streams), makes the handshake, sends requests and reads the session's packets as typed
events, blocking (:class:`Client`) or with asyncio (:class:`AsyncClient`)::

    from tolvarapi import Client, Message

    with Client.connect_ssh("tolvar@chat.example", ["-i", "bot-key"]) as client:
        client.handshake()
        for event in client:
            if isinstance(event, Message) and event.is_private:
                client.send_message(event.sender, b"echo: " + event.text)

It needs only the standard library. docs/api.md describes the protocol.
"""

from .wire import (  # noqa: F401
    DEFAULT_MAX_LENGTH, HISTORY_VERSION, KIND_HTML, KIND_IMAGE, KIND_PLAIN, MAX_REQUEST_LENGTH, VERSION,
    ERROR_INTERNAL_ERROR, ERROR_LOCAL_PACKET_TOO_LARGE, ERROR_LOCAL_READ, ERROR_MOTD_NOT_AVAILABLE,
    ERROR_OUT_OF_MEMORY, ERROR_SERVER_CLOSED, ERROR_USER_NOT_FOUND,
    Error, HandshakeError, HistoryEnd, HistoryMessage, MalformedPacket, Message, Motd, OnlineUsers,
    PacketTooLarge, Pass, ProtocolError, TruncatedPacket, UnknownPacket, UserEntry, UserState,
)
from .client import Client, ssh_command  # noqa: F401
from .aio import AsyncClient  # noqa: F401

__version__ = "0.1.0"
