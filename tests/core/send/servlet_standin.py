#!/usr/bin/env python3
"""A stand-in for the insert servlet on 127.0.0.1, for the sending tests.

Prints "PORT <n>" once it listens, then one line per request: "<method> <path> auth=<yes|no>".

  /insert          decodes the form body with the standard decoder, using the charset of the
                   Content-Type header (cp932 for Shift_JIS), and answers the fields as JSON
  /auth            Basic authentication as scott / tiger; 401 with a body otherwise
  /error-body      500 with a Shift_JIS text body that names its charset
  /error-empty     500 with an empty body
  /silent          reads the request and never answers
  /chunks          a UTF-8 answer of many lines in several chunks, without a charset
  /undeclared      a Shift_JIS answer without a charset
  /large           2 MiB of "x"
  absolute URL     (a request through a proxy) answers "proxied <url>"
"""
import base64
import json
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CODECS = {"shift_jis": "cp932", "sjis": "cp932"}


def chunk_lines():
    return "".join("行%d:あいうえおｱｲｳｴｵ\r\n" % i for i in range(300))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="text/plain; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.do_POST()

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        authorization = self.headers.get("Authorization")
        print("%s %s auth=%s" % (self.command, self.path, "yes" if authorization else "no"), flush=True)

        if self.path.startswith("http://"):
            self.answer(200, ("proxied " + self.path).encode())
        elif self.path == "/insert":
            content_type = self.headers.get("Content-Type", "")
            charset = content_type.partition("charset=")[2].strip() or "utf-8"
            codec = CODECS.get(charset.lower(), charset)
            fields = urllib.parse.parse_qsl(body.decode("ascii"), keep_blank_values=True,
                                            strict_parsing=True, encoding=codec, errors="strict")
            reply = {"contentType": content_type, "fields": fields}
            self.answer(200, json.dumps(reply).encode(), "application/json")
        elif self.path == "/auth":
            expected = "Basic " + base64.b64encode(b"scott:tiger").decode()
            if authorization == expected:
                self.answer(200, "認証OK".encode())
            else:
                self.send_response(401)
                self.send_header("WWW-Authenticate", 'Basic realm="tessaly"')
                page = "認証が必要です".encode()
                self.send_header("Content-Type", "text/plain; charset=utf-8")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)
        elif self.path == "/error-body":
            self.answer(500, "データベースエラー：ORA-00942".encode("cp932"), "text/plain; charset=Shift_JIS")
        elif self.path == "/error-empty":
            self.answer(500, b"")
        elif self.path == "/silent":
            time.sleep(30)
        elif self.path == "/chunks":
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            data = chunk_lines().encode()
            for start in range(0, len(data), 700):
                piece = data[start:start + 700]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
        elif self.path == "/undeclared":
            self.answer(200, "登録しました。ｶﾅ".encode("cp932"), "text/plain")
        elif self.path == "/large":
            self.answer(200, b"x" * (2 << 20))
        else:
            self.answer(404, b"not found")


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
