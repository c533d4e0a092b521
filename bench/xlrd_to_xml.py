#!/usr/bin/python3
"""The reference point for tessaly-cli convert: the same rows-to-XML document written with xlrd."""
import sys
from xml.sax.saxutils import escape

import xlrd

book = xlrd.open_workbook(sys.argv[1])
sheet = book.sheet_by_index(0)
names = [str(cell.value) for cell in sheet.row(0)]
lines = ['<?xml version="1.0" encoding="Shift_JIS"?>', "<ROWSET>"]
for row in range(1, sheet.nrows):
    lines.append("<ROW>")
    for name, cell in zip(names, sheet.row(row)):
        lines.append(f"<{name}>{escape(str(cell.value))}</{name}>")
    lines.append("</ROW>")
lines.append("</ROWSET>")
with open(sys.argv[2], "wb") as out:
    out.write(("\r\n".join(lines) + "\r\n\r\n").encode("cp932", "xmlcharrefreplace"))
