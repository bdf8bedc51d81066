#!/usr/bin/python3
"""A broken DNS-over-HTTPS front end for the transport tests: it takes the
POST of a query over TLS (HTTP/1.1; clients that offer h2 fall back) and
answers wrongly in one chosen way.

Usage: doh_front.py PORT CERT KEY MODE
  MODE status500   every request gets 500 Internal Server Error
       wrongtype   200 with the query echoed back as text/html
       notanswer   200 application/dns-message with a reply of another id

Listens on 127.0.0.1:PORT until SIGTERM.
"""
import http.server
import signal
import ssl
import sys


def main():
    port, cert, key, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            query = self.rfile.read(length)
            if mode == "status500":
                body, ctype, status = b"broken", "text/plain", 500
            elif mode == "wrongtype":
                body, ctype, status = query, "text/html", 200
            else:
                # Same question, another identifier, the reply flag set.
                reply = bytearray(query)
                reply[0] ^= 0xFF
                reply[2] |= 0x80
                body, ctype, status = bytes(reply), "application/dns-message", 200
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["http/1.1"])
    server.socket = context.wrap_socket(server.socket, server_side=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server.serve_forever()


if __name__ == "__main__":
    main()
