#!/usr/bin/env python3
"""A stand-in transcription service for the upload test: it parses a /process body with
Python's own MIME parser (independent of the program's code), measures the audio part with
ffprobe, writes what it found to <folder>/request.json and answers like the service does."""
import json, os, subprocess, sys, time
from email.parser import BytesParser
from email.policy import HTTP
from http.server import BaseHTTPRequestHandler, HTTPServer

out_dir = sys.argv[1]


def describe(part):
    payload = part.get_payload(decode=True) or b""
    name = part.get_param("name", header="content-disposition")
    if name != "audio":
        return {"name": name, "text": payload.decode("utf-8")}
    with open(f"{out_dir}/audio", "wb") as f:
        f.write(payload)
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                            "csv=p=0", f"{out_dir}/audio"], capture_output=True, text=True)
    return {"name": name, "filename": part.get_filename(), "content_type": part.get("Content-Type"),
            "duration": float(probe.stdout or "0")}


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path != "/process":  # device registration
            return self.reply({})
        head = ("Content-Type: " + self.headers["Content-Type"] + "\r\n\r\n").encode()
        message = BytesParser(policy=HTTP).parsebytes(head + body)
        record = {"multipart": message.is_multipart(), "device": self.headers.get("x-device-id"),
                  "ends_with_closing": body.endswith(b"--\r\n"),
                  "parts": [describe(part) for part in message.iter_parts()]}
        with open(f"{out_dir}/request.json.new", "w") as f:
            json.dump(record, f)
        os.rename(f"{out_dir}/request.json.new", f"{out_dir}/request.json")
        self.server.recorded = True
        self.reply({"raw": "hello world", "refined": "Hello world.", "total_ms": 42})

    def reply(self, answer):
        data = json.dumps(answer).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


# Serves until one request is recorded, for 30 s at most.
server = HTTPServer(("127.0.0.1", 0), Handler)
server.timeout = 0.2
with open(f"{out_dir}/port.new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(f"{out_dir}/port.new", f"{out_dir}/port")  # whole, or not there yet
deadline = time.time() + 30
server.recorded = False
while time.time() < deadline and not server.recorded:
    server.handle_request()
