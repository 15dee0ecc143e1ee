#!/usr/bin/env python3
"""A loopback proxy in front of the transcription service that makes /process fail on demand.

    fault-proxy.py SERVICE_URL MODE_FILE COUNT_FILE [PORT]

Prints the port it listens on. Everything is forwarded to the service, except /process, which
follows the word in MODE_FILE, read again for every request: "pass" forwards it, "reset" reads
it and resets the connection, "500", "503" and "429" answer that status, "slow" reads it and
answers nothing for longer than the program waits. Each 200 answer to /process it relays adds
a line to COUNT_FILE.
"""
import http.client
import http.server
import socket
import struct
import sys
import time
import urllib.parse

upstream = urllib.parse.urlsplit(sys.argv[1])
mode_file, count_file = sys.argv[2], sys.argv[3]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # answers "Expect: 100-continue"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            if name.lower() not in ("connection", "content-length", "transfer-encoding"):
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        mode = open(mode_file).read().strip() if self.path.startswith("/process") else "pass"
        if mode == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.rfile.close()
            self.wfile.close()
            self.connection.close()
            return
        if mode == "slow":
            time.sleep(30)
            self.close_connection = True
            return
        if mode in ("500", "503", "429"):
            self.answer(int(mode), b'{"error": "fault %s"}' % mode.encode(),
                        [("Content-Type", "application/json")])
            return
        service = http.client.HTTPConnection(upstream.hostname, upstream.port, timeout=120)
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("expect", "connection")}
        service.request(self.command, self.path, body, headers)
        response = service.getresponse()
        data = response.read()
        if self.path.startswith("/process") and response.status == 200:
            with open(count_file, "a") as f:
                f.write("200\n")
        self.answer(response.status, data, response.getheaders())

    do_GET = do_POST = do_PUT = do_DELETE = handle_any


server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[4]) if len(sys.argv) > 4 else 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
