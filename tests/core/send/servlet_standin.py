#!/usr/bin/env python3
"""A stand-in for the insert servlet on 127.0.0.1, for the sending tests.

Prints "PORT <n>" once it listens, then one line per request: "<method> <path> auth=<yes|no>".
With the arguments CERT KEY it speaks HTTPS with that certificate.
"""
import base64
import itertools
import json
import re
import socket
import ssl
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CODECS = {"shift_jis": "cp932", "sjis": "cp932"}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def answer(self, status, body, content_type="text/plain; charset=utf-8", **headers):
        self.send_response(status)
        for name, value in dict(headers, Content_Type=content_type, Content_Length=len(body)).items():
            self.send_header(name.replace("_", "-"), str(value))
        self.end_headers()
        self.wfile.write(body)

    def chunked(self, pieces, pause=0.0):
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        try:
            for piece in pieces:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
                time.sleep(pause)
            self.wfile.write(b"0\r\n\r\n")
        except OSError:
            self.close_connection = True

    def do_POST(self):
        authorization = self.headers.get("Authorization")
        print("%s %s auth=%s" % (self.command, self.path, "yes" if authorization else "no"), flush=True)
        length = int(self.headers.get("Content-Length") or 0)
        if self.path == "/slow-upload":  # takes the body at 6 MB/s at most
            while length > 0:
                length -= len(self.rfile.read(min(length, 65536)))
                time.sleep(0.01)
            self.answer(200, b"uploaded")
            return
        body = self.rfile.read(length)

        if self.path == "/loop":
            self.answer(307, b"", Location="/loop")
        elif self.path.startswith("/redirect/"):  # /redirect/<status>/<host>/<path>: to <host> on this port
            _, _, status, host, target = self.path.split("/", 4)
            location = "http://%s:%d/%s" % (host, self.server.server_address[1], target)
            self.answer(int(status), b"", Location=location)
        elif self.path.startswith("/redirect-to/"):  # a 307 to the URL that follows
            self.answer(307, b"", Location=self.path[len("/redirect-to/"):])
        elif self.path.startswith("http://"):  # through a proxy
            self.answer(200, ("proxied " + self.path).encode())
        elif self.path == "/insert":  # the form fields as JSON, decoded strictly in the Content-Type's charset,
            # else in the one the document declares, as a servlet calling setCharacterEncoding does
            content_type = self.headers.get("Content-Type", "")
            charset = content_type.partition("charset=")[2].strip()
            if not charset:
                declared = re.search(rb'encoding%3D%22([-\w.:]+)%22', body)
                charset = declared.group(1).decode() if declared else "utf-8"
            fields = urllib.parse.parse_qsl(body.decode("ascii"), keep_blank_values=True, strict_parsing=True,
                                            encoding=CODECS.get(charset.lower(), charset), errors="strict")
            reply = {"contentType": content_type, "fields": fields}
            self.answer(200, json.dumps(reply).encode(), "application/json")
        elif self.path in ("/auth", "/auth-utf8"):  # the second asks for UTF-8 credentials (RFC 7617)
            utf8 = self.path == "/auth-utf8"
            credentials = "山田:秘密".encode() if utf8 else b"scott:tiger"
            if authorization == "Basic " + base64.b64encode(credentials).decode():
                self.answer(200, "認証OK".encode())
            else:
                challenge = 'Basic realm="tessaly"' + (', charset="UTF-8"' if utf8 else "")
                self.answer(401, "認証が必要です".encode(), WWW_Authenticate=challenge)
        elif self.path == "/error-body":
            self.answer(500, "データベースエラー：ORA-00942".encode("euc_jp"), "text/plain; charset=EUC-JP")
        elif self.path == "/error-empty":
            self.answer(400, b"")
        elif self.path == "/silent":  # reads the request and never answers
            time.sleep(30)
        elif self.path == "/chunks":
            data = "".join("行%d:あいうえおｱｲｳｴｵ\r\n" % i for i in range(300)).encode()
            self.chunked(data[start:start + 700] for start in range(0, len(data), 700))
        elif self.path == "/undeclared":  # no charset named
            self.answer(200, "登録しました。ｶﾅ".encode("cp932"), "text/plain")
        elif self.path == "/endless":
            self.chunked(itertools.repeat(b"x" * 65536))
        elif self.path == "/trickle":
            self.chunked(itertools.repeat(b"x"), 0.2)
        elif self.path == "/gzip-broken":
            self.answer(200, b"\x1f\x8b\x08\x00" + b"\xff" * 60, Content_Encoding="gzip")
        else:
            self.answer(404, b"not found")


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    # A small receive window: what the client has sent is what the handler has read, give or take it.
    server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    if len(sys.argv) == 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[1], sys.argv[2])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
