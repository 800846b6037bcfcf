"""Other hosts beside the station, answering from the same table of answers and handlers.

  GET /_sim/hosts   JSON {"second": port, "https": port, "https_cert": "PEM"}
        second      a plain HTTP listener on the same loopback address (a host that a redirect
                    leads to, or one that plays the monitor's own web server)
        https       a TLS listener on the same address; its certificate (self-signed, made at
                    start with the openssl command and held in memory only) names "localhost"
                    and nothing else, so https://localhost:<port>/ verifies against https_cert
                    and https://127.0.0.1:<port>/ fails the host name check. 0 and "" when the
                    openssl command is missing.
"""
import json
import os
import ssl
import subprocess
import tempfile
import threading

import simulator

HOSTS = {"second": 0, "https": 0, "https_cert": ""}


class TlsServer(simulator.Server):
    """The handshake runs on the connection's own thread, so a client that stalls or gives up
    in the middle of it holds nobody else up."""

    def finish_request(self, request, client_address):
        request.settimeout(10)
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        request.settimeout(None)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):  # a refused certificate is expected
        pass


def make_tls_context():
    """A key and a self-signed certificate for "localhost", made in a folder that is removed
    again at once. Returns (context, certificate PEM), or (None, "") without openssl."""
    with tempfile.TemporaryDirectory() as tmp:
        key = os.path.join(tmp, "key.pem")
        cert = os.path.join(tmp, "cert.pem")
        try:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                            "-addext", "subjectAltName=DNS:localhost"],
                           check=True, timeout=30, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.SubprocessError):
            return None, ""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        with open(cert) as f:
            return context, f.read()


def serve(server):
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()


def handle_hosts(handler, path, query):
    if path != "/_sim/hosts":
        return None
    return {"status": 200, "body": json.dumps(HOSTS), "content_type": "application/json"}


def setup(args):
    second = simulator.Server((args.host, 0), simulator.Handler)
    HOSTS["second"] = second.server_address[1]
    serve(second)
    context, pem = make_tls_context()
    if context is not None:
        tls = TlsServer((args.host, 0), simulator.Handler)
        tls.socket = context.wrap_socket(tls.socket, server_side=True, do_handshake_on_connect=False)
        HOSTS["https"] = tls.server_address[1]
        HOSTS["https_cert"] = pem
        serve(tls)
    simulator.register_handler("/_sim/hosts", handle_hosts)
