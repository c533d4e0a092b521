#!/usr/bin/env python3
"""Reads a saved document and an insert request back with every common decoder of the charset's
name (Python's codecs and glibc's iconv, independently of the program) and compares every element
name and text with the composed document. Prints one line per difference; exits 1 if any.

  read_back.py CHARSET DIR TABLE
DIR holds expected.xml (the composed document, UTF-8), saved.xml (the file's bytes) and body.txt
(the form body) with content-type.txt (its Content-Type header).
"""
import subprocess
import sys
import urllib.parse
import xml.etree.ElementTree as ET

# Python's codecs and iconv know every other charset by the name the program uses.
DECODERS = {
    "shift_jis": (["shift_jis", "cp932"], ["SHIFT_JIS", "CP932"]),
    "windows-31j": (["cp932"], ["WINDOWS-31J"]),
}


def decodings(charset, data):
    """(decoder, text or None) for every decoder of the name."""
    codecs, iconvs = DECODERS.get(charset.lower(), ([charset], [charset]))
    for codec in codecs:
        try:
            yield codec, data.decode(codec)
        except UnicodeDecodeError:
            yield codec, None
    for name in iconvs:
        run = subprocess.run(["iconv", "-f", name, "-t", "UTF-8"], input=data, capture_output=True)
        yield "iconv " + name, run.stdout.decode("utf-8") if run.returncode == 0 else None


def elements(text):
    """The declaration, then every element's name and text. The declaration is cut off before
    parsing: it would make the parser decode the text again."""
    declaration, _, rest = text.lstrip("\ufeff").partition("?>")
    return [("?xml", declaration)] + [(element.tag, element.text or "") for element in ET.fromstring(rest).iter()]


def ends_in_ascii(data):
    return data.rfind(b"\x1b$") <= data.rfind(b"\x1b(B")


def compare(what, charset, data, expected, problems):
    if charset.lower() == "iso-2022-jp" and not all(ends_in_ascii(line) for line in data.split(b"\n")):
        problems.append("%s: a line does not end in ASCII" % what)
    for decoder, text in decodings(charset, data):
        try:
            found = elements(text) if text is not None else "undecodable"
        except ET.ParseError as error:
            found = "not well-formed: %s" % error
        if found != expected:
            wrong = [pair for pair in zip(found, expected) if pair[0] != pair[1]] if isinstance(found, list) else found
            problems.append("%s: %s: %s" % (what, decoder, wrong or "%d elements" % len(found)))


def form_fields(body):
    """The raw bytes of each field of the form body."""
    fields = {}
    for pair in body.split(b"&"):
        name, _, value = pair.partition(b"=")
        fields[name.decode("ascii")] = urllib.parse.unquote_to_bytes(value.replace(b"+", b" "))
    return fields


def main():
    charset, folder, table = sys.argv[1:4]
    read = lambda name: open("%s/%s" % (folder, name), "rb").read()
    expected = elements(read("expected.xml").decode("utf-8"))
    problems = []
    compare("file", charset, read("saved.xml"), expected, problems)

    content_type = read("content-type.txt").decode("ascii")
    field_charset = content_type.partition("charset=")[2]
    fields = form_fields(read("body.txt"))
    if sorted(fields) != ["command", "tabName", "xmlText"] or fields["command"] != b"insert":
        problems.append("form: fields %r" % sorted(fields))
    compare("xmlText", field_charset, fields.get("xmlText", b""), expected, problems)
    for decoder, text in decodings(field_charset, fields.get("tabName", b"")):
        if text != table or (field_charset.lower() == "iso-2022-jp" and not ends_in_ascii(fields["tabName"])):
            problems.append("tabName: %s reads %r" % (decoder, text))
    print("\n".join(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
