#!/usr/bin/env python3
"""A test HTTP server on 127.0.0.1 for sources that arrive over time.

    http_server.py ROOT LOG

Serves the files under ROOT at /NAME, prints its port on the first line of
standard output, and appends one line per request ("path range") to LOG.
The query string chooses how a file is served:

    trickle=SEED  pieces of 1 to 5,000 bytes with pauses of up to 2 ms
    nolength=1    no Content-Length; the connection closes at the end
    cut=N         announce the whole file, send N bytes, close the connection
    stall=N       announce the whole file, send N bytes, then send nothing more
    drip=MS       one byte every MS ms (for 20 s at most, then the connection closes)

A "Range: bytes=N-" header is answered with 206 and the rest of the file.
A missing file is a 404.
"""
import http.server
import os
import random
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        range_header = self.headers.get("Range", "")
        with open(self.server.log_path, "a") as log:
            log.write("%s %s\n" % (url.path, range_header or "-"))
        path = os.path.join(self.server.root, os.path.basename(url.path))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            body = f.read()
        status = 200
        if range_header.startswith("bytes=") and range_header.endswith("-"):
            start = int(range_header[6:-1])
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
            body = body[start:]
            status = 206
        if status == 200:
            self.send_response(200)
        if "nolength" in query:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if "cut" in query:
            self.wfile.write(body[: int(query["cut"])])
            self.wfile.flush()
            self.close_connection = True
            return
        if "stall" in query:
            self.wfile.write(body[: int(query["stall"])])
            self.wfile.flush()
            time.sleep(30)
            self.close_connection = True
            return
        if "drip" in query:
            pause = int(query["drip"]) / 1000.0
            deadline = time.monotonic() + 20
            for pos in range(len(body)):
                if time.monotonic() > deadline:
                    break
                self.wfile.write(body[pos : pos + 1])
                self.wfile.flush()
                time.sleep(pause)
            self.close_connection = True
            return
        if "trickle" in query:
            rng = random.Random(int(query["trickle"]))
            pos = 0
            while pos < len(body):
                n = rng.randint(1, 5000)
                self.wfile.write(body[pos : pos + n])
                self.wfile.flush()
                pos += n
                time.sleep(rng.random() * 0.002)
            return
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # clients close connections mid-file on purpose


def main():
    server = Server(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = sys.argv[1]
    server.log_path = sys.argv[2]
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
