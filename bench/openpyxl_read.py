#!/usr/bin/python3
"""openpyxl's read-only load of the first worksheet, every cell's value read."""
import sys

import openpyxl

book = openpyxl.load_workbook(sys.argv[1], read_only=True, data_only=True)
cells = sum(1 for row in book.worksheets[0].iter_rows(values_only=True) for value in row if value is not None)
print(cells)
