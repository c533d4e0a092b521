#!/usr/bin/python3
"""pandas' read_excel of the first sheet of an .ods workbook with the odf engine."""
import sys

import pandas

print(len(pandas.read_excel(sys.argv[1], engine='odf', sheet_name=0, header=None)))
