"""A real SMTP relay on loopback for the mail tests (aiosmtpd, Debian's python3-aiosmtpd).

    smtprelay.py --port N --store DIR [--tls starttls|implicit|none] [--cert F --key F]
                 [--user U --password P]

Prints "ready PORT" once it listens, then one line per event: "auth ok USER",
"auth refused USER", "refused RECIPIENT", "accepted N" (the message is in DIR/N.eml,
its envelope in DIR/N.env: sender, then recipients, one a line). Recipients decide how the
relay treats the mail:
    refused...@   550, refused for good
    busy...@      451, try again later
    hangup...@    the whole mail is read, then the connection closes without an answer
It runs until stdin closes, so it never outlives the test that started it.
"""

import argparse
import asyncio
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def say(line):
    print(line, flush=True)


class Handler:
    def __init__(self, store):
        self.store = store
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        local = address.split("@")[0]
        if local.startswith("refused"):
            say("refused " + address)
            return "550 5.1.1 <%s>: Recipient address rejected: no such user" % address
        if local.startswith("busy"):
            say("busy " + address)
            return "451 4.7.1 <%s>: try again later" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(r.split("@")[0].startswith("hangup") for r in envelope.rcpt_tos):
            say("hangup")
            server.transport.close()
            return "421 4.3.0 closing"  # never reaches the client
        self.count += 1
        base = os.path.join(self.store, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w") as f:
            f.write("\n".join([envelope.mail_from] + envelope.rcpt_tos) + "\n")
        say("accepted %d" % self.count)
        return "250 2.0.0 Ok: queued as %d" % self.count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--store", required=True)
    parser.add_argument("--tls", choices=["starttls", "implicit", "none"], default="starttls")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()

    context = None
    if args.tls != "none":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)

    def authenticate(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        login = auth_data.login.decode()
        ok = login == args.user and auth_data.password.decode() == args.password
        say(("auth ok " if ok else "auth refused ") + login)
        return AuthResult(success=ok, handled=False)

    handler = Handler(args.store)

    def factory():
        return SMTP(
            handler,
            hostname="relay.test",
            tls_context=context if args.tls == "starttls" else None,
            require_starttls=args.tls == "starttls",
            authenticator=authenticate if args.user else None,
            auth_required=bool(args.user),
            # Over implicit TLS aiosmtpd does not know the connection is encrypted.
            auth_require_tls=args.tls == "starttls",
        )

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            factory,
            host="127.0.0.1",
            port=args.port,
            ssl=context if args.tls == "implicit" else None,
        )
        say("ready %d" % server.sockets[0].getsockname()[1])
        # Until the test closes our stdin (or dies).
        await loop.run_in_executor(None, sys.stdin.read)
        server.close()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
