#!/usr/bin/env python3
"""An example bot: answers every private message with its text prefixed by "echo: ".

    echo_bot.py [-v] ssh -T -i bot-key tolvar@chat.example api

It runs the command and talks API over its standard input and output. Messages that
already start with "echo: " get no answer, so two bots cannot keep each other busy.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from tolvarapi import Client, Error, Message, Motd, UserState  # noqa: E402

PREFIX = b"echo: "


def main(argv):
    verbose = len(argv) > 1 and argv[1] == "-v"
    command = argv[2:] if verbose else argv[1:]
    if not command:
        print(__doc__.strip(), file=sys.stderr)
        return 255
    with Client.spawn(command) as client:
        me = client.handshake()
        if verbose:
            print(f"echo bot: {me.user}, API version {me.version}", file=sys.stderr)
        for event in client:
            if isinstance(event, Message):
                if event.is_private and event.sender != me.user and not event.text.startswith(PREFIX):
                    client.send_message(event.sender, PREFIX + event.text, event.kind)
            elif isinstance(event, Error) and event.ends_session:
                print(f"echo bot: the session ends: {event.text.decode(errors='replace')}", file=sys.stderr)
            elif verbose and isinstance(event, (UserState, Motd)):
                print(f"echo bot: {event}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
