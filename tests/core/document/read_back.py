#!/usr/bin/env python3
"""read_back.py CHARSET DIR: reads DIR/saved.xml back with every common decoder of the charset's name
(Python's codecs and glibc's iconv, independently of the program) and compares every element name and
text, as expat reads them (ElementTree), with DIR/expected.xml (the composed document, UTF-8). Prints one line per difference; exits 1 if any.
"""
import subprocess
import sys
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
    """The declaration, then every element's name and text (the parser must not see the declaration)."""
    declaration, _, rest = text.lstrip("\ufeff").partition("?>")
    return [("?xml", declaration)] + [(element.tag, element.text or "") for element in ET.fromstring(rest).iter()]


def main():
    charset, folder = sys.argv[1:3]
    expected = elements(open(folder + "/expected.xml", "rb").read().decode("utf-8"))
    data = open(folder + "/saved.xml", "rb").read()
    problems = []
    # ISO-2022-JP: every line must end in ASCII, or a reader that goes by lines shifts the next one.
    lines = data.split(b"\n") if charset.lower() == "iso-2022-jp" else []
    if any(line.rfind(b"\x1b$") > line.rfind(b"\x1b(B") for line in lines):
        problems.append("a line does not end in ASCII")
    for decoder, text in decodings(charset, data):
        try:
            found = elements(text) if text is not None else "undecodable"
        except ET.ParseError as error:
            found = "not well-formed: %s" % error
        if found != expected:
            wrong = [pair for pair in zip(found, expected) if pair[0] != pair[1]] if isinstance(found, list) else found
            problems.append("%s: %s" % (decoder, wrong or "%d elements" % len(found)))
    return "\n".join(problems) or None  # sys.exit prints a text and exits 1


if __name__ == "__main__":
    sys.exit(main())
