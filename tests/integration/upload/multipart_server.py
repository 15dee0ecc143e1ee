#!/usr/bin/env python3
"""A stand-in transcription service for upload tests: it parses each /process body with
Python's own MIME parser (independent of the program's code), stores what it found in a JSON
file and the audio part beside it, and answers like the service does."""
import json
import os
import sys
from email.parser import BytesParser
from email.policy import HTTP
from http.server import BaseHTTPRequestHandler, HTTPServer

out_dir = sys.argv[1]


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.reply(200, {"update_available": False})

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path != "/process":
            self.reply(200, {})
            return
        head = ("Content-Type: " + self.headers["Content-Type"] + "\r\n\r\n").encode()
        message = BytesParser(policy=HTTP).parsebytes(head + body)
        parts = []
        for index, part in enumerate(message.iter_parts()):
            payload = part.get_payload(decode=True) or b""
            name = part.get_param("name", header="content-disposition")
            parts.append({
                "name": name,
                "filename": part.get_filename(),
                "content_type": part.get("Content-Type"),
                "size": len(payload),
                "text": payload.decode("utf-8") if name != "audio" else None,
            })
            if name == "audio":
                with open(f"{out_dir}/audio-{index}", "wb") as f:
                    f.write(payload)
        record = {
            "multipart": message.is_multipart(),
            "device": self.headers.get("x-device-id"),
            "ends_with_closing": body.endswith(b"--\r\n"),
            "parts": parts,
        }
        with open(f"{out_dir}/request.json", "w") as f:
            json.dump(record, f)
        self.reply(200, {"raw": "hello world", "refined": "Hello world.", "total_ms": 42})

    def reply(self, status, obj):
        data = json.dumps(obj).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


server = HTTPServer(("127.0.0.1", 0), Handler)
with open(f"{out_dir}/port.new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(f"{out_dir}/port.new", f"{out_dir}/port")  # whole, or not there yet
server.serve_forever()
