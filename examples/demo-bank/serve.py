#!/usr/bin/env python3
"""The demo bank's web server, on loopback only.

    serve.py [--port N] [--url-file PATH] [--delay-ms N]

Serves this folder. config.xml is filled in on the way out: {{BASE}} becomes the server's own
address, {{MD5:file}} and {{SHA1:file}} the digests of that file of this folder, so the document
always matches the installers it names. Port 0 (the default) picks a free port; the address of the
configuration document is printed on the first line of output and, with --url-file, written there.
"""
import argparse
import hashlib
import http.server
import os
import re
import sys
import time

ROOT = os.path.dirname(os.path.abspath(__file__))
PLACEHOLDER = re.compile(r"\{\{(BASE|MD5|SHA1)(?::([^}]+))?\}\}")


def digest(kind, relative):
    path = os.path.realpath(os.path.join(ROOT, relative))
    if not path.startswith(ROOT + os.sep):
        raise ValueError("outside the demo bank: " + relative)
    with open(path, "rb") as f:
        data = f.read()
    return (hashlib.md5 if kind == "MD5" else hashlib.sha1)(data).hexdigest()


def render_config(base):
    with open(os.path.join(ROOT, "config.xml"), encoding="utf-8") as f:
        text = f.read()

    def fill(match):
        kind, arg = match.group(1), match.group(2)
        return base if kind == "BASE" else digest(kind, arg)

    return PLACEHOLDER.sub(fill, text).encode("utf-8")


class Handler(http.server.SimpleHTTPRequestHandler):
    delay = 0.0

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=ROOT, **kwargs)

    def do_GET(self):
        if self.delay:
            time.sleep(self.delay)
        if self.path.split("?", 1)[0] == "/config.xml":
            host, port = self.server.server_address[:2]
            try:
                body = render_config("http://%s:%d/" % (host, port))
            except (OSError, ValueError) as error:
                self.send_error(500, str(error))
                return
            self.send_response(200)
            self.send_header("Content-Type", "text/xml; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        super().do_GET()

    def log_message(self, fmt, *args):
        sys.stderr.write("demo-bank: " + (fmt % args) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--url-file")
    parser.add_argument("--delay-ms", type=int, default=0, help="answer every request this much later")
    args = parser.parse_args()
    Handler.delay = args.delay_ms / 1000.0
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    url = "http://127.0.0.1:%d/config.xml" % server.server_address[1]
    print(url, flush=True)
    if args.url_file:
        tmp = args.url_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(url + "\n")
        os.replace(tmp, args.url_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
