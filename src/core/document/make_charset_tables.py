#!/usr/bin/env python3
"""Writes CharsetTables.inc: which characters each character set writes as bytes.

A character is written as bytes only where every common decoder of the set's name reads those
bytes back as that character; everything else becomes a reference. The decoders are Python's
codecs and glibc's iconv, checked against each other here, code point by code point; for the sets
that Qt writes, ICU's converter (uconv, Debian package icu-devtools) must give the same bytes.

  make_charset_tables.py [OUTPUT]    (default: CharsetTables.inc beside this script)
  make_charset_tables.py --check F   exits 1 when F differs from what this machine generates

The Japanese sets get their bytes too, so that every platform writes the same bytes; the others
list the characters only and are encoded by the platform's converter.
"""
import ctypes
import ctypes.util
import os
import subprocess
import sys

# Japanese sets: (name in the table, Python codecs, iconv names); all must give the same bytes.
JAPANESE = [
    ("ShiftJis", ["shift_jis", "cp932"], ["SHIFT_JIS", "CP932"]),
    ("Windows31J", ["cp932"], ["CP932"]),
    ("EucJp", ["euc_jp"], ["EUC-JP"]),
    ("Iso2022Jp", ["iso2022_jp"], ["ISO-2022-JP"]),
]

# Other sets: (table name, Python codec, iconv name, ICU name). These are written by Qt's
# converter, which is ICU's on Linux, so ICU (through its uconv tool) must agree as well.
OTHERS = [
    ("UsAscii", "ascii", "ASCII", "US-ASCII"),
    ("Latin1", "latin_1", "ISO-8859-1", "ISO-8859-1"),
    ("Latin9", "iso8859_15", "ISO-8859-15", "ISO-8859-15"),
    ("Windows1252", "cp1252", "CP1252", "windows-1252"),
    ("Windows1251", "cp1251", "CP1251", "windows-1251"),
    ("Koi8R", "koi8_r", "KOI8-R", "KOI8-R"),
    ("Gb2312", "gb2312", "GB2312", "GB2312"),
    ("Gbk", "gbk", "GBK", "GBK"),
    ("Gb18030", "gb18030", "GB18030", "GB18030"),
    ("Big5", "big5", "BIG5", "Big5"),
    ("EucKr", "euc_kr", "EUC-KR", "EUC-KR"),
]

# GB18030 was revised in 2005 and 2022; decoders of either edition are common, so the code
# points whose mapping moved, and the private use area they moved from, stay references.
GB18030_REVISED = {0x1E3F, 0x9FB4, 0x9FB5, 0x9FBA, 0x9FBB, 0x9FBC, 0x9FBD, 0x9FBE, 0x9FBF,
                   0x20087, 0x20089, 0x200CC, 0x215D7, 0x2298F, 0x241FE} | set(range(0xFE10, 0xFE1A))

# A byte order mark inside a text is dropped by some converters.
EXCLUDED = {0xFEFF}

libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
libc.iconv_open.restype = ctypes.c_void_p
libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
libc.iconv.restype = ctypes.c_size_t
libc.iconv.argtypes = [ctypes.c_void_p] + [ctypes.c_void_p] * 4


class Iconv:
    def __init__(self, to, frm):
        self.cd = libc.iconv_open(to.encode(), frm.encode())
        if self.cd == ctypes.c_void_p(-1).value:
            raise SystemExit("iconv cannot convert %s to %s" % (frm, to))
        self.out = ctypes.create_string_buffer(64)

    def __call__(self, data):
        """The converted bytes, or None where iconv fails or converts irreversibly."""
        inbuf = ctypes.c_char_p(data)
        inleft = ctypes.c_size_t(len(data))
        outptr = ctypes.c_char_p(ctypes.addressof(self.out))
        outleft = ctypes.c_size_t(64)
        done = libc.iconv(self.cd, ctypes.byref(inbuf), ctypes.byref(inleft), ctypes.byref(outptr),
                          ctypes.byref(outleft))
        flushed = libc.iconv(self.cd, None, None, ctypes.byref(outptr), ctypes.byref(outleft))
        if done != 0 or flushed != 0 or inleft.value:
            libc.iconv(self.cd, None, None, None, None)
            return None
        return self.out.raw[:64 - outleft.value]


def python_bytes(char, codec):
    try:
        data = char.encode(codec)
        return data if data.decode(codec) == char else None
    except (UnicodeError, LookupError):
        return None


def iconv_bytes(char, encoder, decoder):
    data = encoder(char.encode("utf-8"))
    if data is None or decoder(data) != char.encode("utf-8"):
        return None
    return data


def agreed_bytes(code_point, codecs, iconvs):
    """The bytes every decoder gives for the code point, or None."""
    char = chr(code_point)
    found = set()
    for codec in codecs:
        found.add(python_bytes(char, codec))
    for encoder, decoder in iconvs:
        found.add(iconv_bytes(char, encoder, decoder))
    if len(found) != 1:
        return None
    return found.pop()


def candidates(codecs):
    """Non-ASCII code points that the first Python codec can encode at all."""
    for code_point in range(0x80, 0x110000):
        if 0xD800 <= code_point <= 0xDFFF or code_point in EXCLUDED:
            continue
        if python_bytes(chr(code_point), codecs[0]) is not None:
            yield code_point


def iconv_pairs(names):
    return [(Iconv(name, "UTF-8"), Iconv("UTF-8", name)) for name in names]


def ascii_kept(codecs, iconvs):
    """Which ASCII characters every decoder keeps as their own byte (glibc's SHIFT_JIS reads 0x5C
    and 0x7E as JIS X 0201's yen sign and overline): a 128-bit mask as two 64-bit halves."""
    mask = 0
    for code_point in range(0x80):
        if agreed_bytes(code_point, codecs, iconvs) == bytes([code_point]):
            mask |= 1 << code_point
    return mask & (2**64 - 1), mask >> 64


def ascii_line(name, codecs, iconvs):
    low, high = ascii_kept(codecs, iconvs)
    return "inline constexpr AsciiMask k%sAscii = {0x%XULL, 0x%XULL};" % (name, low, high)


def japanese_code(name, data):
    """The JIS or multi-byte code as a number; None for a form the table does not keep."""
    if name == "Iso2022Jp":
        # Only JIS X 0208 designated by ESC $ B; JIS X 0201 Roman (ESC ( J) is left to references.
        if len(data) == 5 + 3 and data.startswith(b"\x1b$B") and data.endswith(b"\x1b(B"):
            return int.from_bytes(data[3:5], "big")
        return None
    return int.from_bytes(data, "big")


def japanese_table(name, codecs, iconv_names):
    iconvs = iconv_pairs(iconv_names)
    entries = []
    for code_point in candidates(codecs):
        data = agreed_bytes(code_point, codecs, iconvs)
        if data is not None and (code := japanese_code(name, data)) is not None:
            entries.append((code_point, code))
    return entries, ascii_line(name, codecs, iconvs)


def ranges(code_points):
    result = []
    for code_point in code_points:
        if result and result[-1][1] + 1 == code_point:
            result[-1][1] = code_point
        else:
            result.append([code_point, code_point])
    return result


def icu_bytes(code_points, icu_name):
    """ICU's bytes for each code point, one conversion of them all; None where it has none."""
    text = "".join(chr(code_point) + "\n" for code_point in code_points).encode("utf-8")
    run = subprocess.run(["uconv", "-f", "UTF-8", "-t", icu_name, "--callback", "skip"], input=text,
                         capture_output=True, check=True)
    pieces = run.stdout.split(b"\n")[:len(code_points)]
    if len(pieces) != len(code_points):
        raise SystemExit("uconv %s: unexpected output" % icu_name)
    return [piece or None for piece in pieces]


def other_table(name, codec, iconv_name, icu_name):
    iconvs = iconv_pairs([iconv_name])
    agreed = []
    for code_point in candidates([codec]):
        if name == "Gb18030" and (code_point in GB18030_REVISED or 0xE000 <= code_point <= 0xF8FF):
            continue
        if (data := agreed_bytes(code_point, [codec], iconvs)) is not None:
            agreed.append((code_point, data))
    icu = icu_bytes([code_point for code_point, _ in agreed], icu_name)
    chosen = [code_point for (code_point, data), written in zip(agreed, icu) if written == data]
    return ranges(chosen), ascii_line(name, [codec], iconvs)


def rows(items, per_line):
    return "\n".join("    " + " ".join(items[i:i + per_line]) for i in range(0, len(items), per_line))


def generate():
    out = ["// Generated by make_charset_tables.py from Python's codecs and glibc's iconv; do not edit.",
           "// Per set: the ASCII characters kept as their own byte, then the other characters.", ""]
    for name, codecs, iconv_names in JAPANESE:
        entries, ascii = japanese_table(name, codecs, iconv_names)
        out.append(ascii)
        out.append("// %s: %d characters (%s; iconv %s)" % (name, len(entries), ", ".join(codecs),
                                                            ", ".join(iconv_names)))
        out.append("inline constexpr CodeEntry k%s[] = {" % name)
        out.append(rows(["{0x%X, 0x%X}," % entry for entry in entries], 6))
        out.append("};")
        out.append("")
    for name, codec, iconv_name, icu_name in OTHERS:
        spans, ascii = other_table(name, codec, iconv_name, icu_name)
        out.append(ascii)
        out.append("// %s: %d ranges (%s; iconv %s; ICU %s)" % (name, len(spans), codec, iconv_name, icu_name))
        out.append("inline constexpr CodeRange k%s[] = {" % name)
        out.append(rows(["{0x%X, 0x%X}," % tuple(span) for span in spans], 6) if spans else "    {0, 0},")
        out.append("};")
        out.append("")
    return "\n".join(out)


def command_line(generate, output_name, source):
    """The generators' command line: writes OUTPUT (default: output_name beside this script), or
    with --check F exits 1 when F differs from what generate() makes from this machine's source."""
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        with open(sys.argv[2], encoding="utf-8") as committed:
            same = committed.read() == generate()
        print("the tables %s this machine's %s" % ("match" if same else "differ from", source))
        return 0 if same else 1
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, output_name)
    with open(path, "w", encoding="utf-8") as out:
        out.write(generate())
    return 0


if __name__ == "__main__":
    sys.exit(command_line(generate, "CharsetTables.inc", "decoders"))
