"""A real SMTP relay on loopback for the mail tests (Debian's python3-aiosmtpd). Prints "ready PORT",
then one line per event ("auth ok USER", "refused RCPT", "accepted N": DIR/N.eml and DIR/N.env, the
sender and recipients). Recipients starting "refused" get a 550, "busy" a 451, and "hangup" a closed
connection after the whole mail. It runs until stdin closes, never outliving its test.
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
        for prefix, answer in (("refused", "550 5.1.1 <%s>: no such user"), ("busy", "451 4.7.1 <%s>: try later")):
            if local.startswith(prefix):
                say(prefix + " " + address)
                return answer % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(r.startswith("hangup") for r in envelope.rcpt_tos):
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
    for option, default in (("--port", 0), ("--store", None), ("--cert", None), ("--tls", "starttls"),
                            ("--user", None), ("--password", None)):
        parser.add_argument(option, default=default, type=type(default) if default is not None else str)
    args = parser.parse_args()
    context = None
    if args.tls != "none":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(os.path.join(args.cert, "server.pem"), os.path.join(args.cert, "server.key"))

    def authenticate(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        login = auth_data.login.decode()
        ok = login == args.user and auth_data.password.decode() == args.password
        say(("auth ok " if ok else "auth refused ") + login)
        return AuthResult(success=ok, handled=False)

    handler = Handler(args.store)
    starttls = args.tls == "starttls"
    # Over implicit TLS aiosmtpd does not know the connection is encrypted.
    factory = lambda: SMTP(handler, hostname="relay.test", tls_context=context if starttls else None,
                           require_starttls=starttls, authenticator=authenticate if args.user else None,
                           auth_required=bool(args.user), auth_require_tls=starttls)

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(factory, host="127.0.0.1", port=args.port,
                                          ssl=context if args.tls == "implicit" else None)
        say("ready %d" % server.sockets[0].getsockname()[1])
        await loop.run_in_executor(None, sys.stdin.read)
        server.close()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
