#!/usr/bin/env python3
"""An HTTPS origin for the Wine tests: answers every GET with a short page and writes each
request head it got, blank line included, to a log; a handshake that fails logs nothing.

    tls_origin.py PORT CERT.pem KEY.pem LOG
"""
import http.server
import ssl
import sys

port, certificate, key, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]


class Origin(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(log, "a", encoding="latin-1") as out:
            out.write(self.requestline + "\r\n" + str(self.headers))
        body = b"<html><body>inspected</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate, key)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Origin)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
