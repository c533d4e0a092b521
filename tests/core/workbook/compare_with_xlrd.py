#!/usr/bin/python3
"""Compares the workbook reader (through workbook-dump) with xlrd on every book of the shared corpus.

Both sides apply the same table rules (table_rules.py).
Usage: compare_with_xlrd.py WORKBOOK_DUMP CORPUS_DIR
"""
import json
import os
import subprocess
import sys

from table_rules import date_text, first_difference, number_text, table_of

SKIP = 77

try:
    import xlrd
except ImportError:
    if os.environ.get('CI') == 'true':
        sys.exit('xlrd is missing (python3-xlrd): the corpus comparison cannot run')
    print('SKIP: xlrd is missing (install python3-xlrd to compare with the corpus)')
    sys.exit(SKIP)

# Books where the reader and xlrd disagree and xlrd is the one that is wrong (path -> reason).
XLRD_WRONG = {
    'libxls__libxls/fuzz__corpus__xls2csv_ole_read_MSAT_body_637.xls':
        'a fuzzing reproducer whose OLE2 sector allocation table is inconsistent; xlrd reads past the '
        'damage, the reader refuses the broken container with a message, which is the right answer',
}

# BIFF2-4 books (bare streams from Excel 2.x-4.0) are refused by design; xlrd reads them.
OLD_BIFF_MESSAGE = 'BIFF2〜4 形式（Excel 4.0 以前）のファイルには対応していません'

ERRORS = {0x00: '#NULL!', 0x07: '#DIV/0!', 0x0F: '#VALUE!', 0x17: '#REF!', 0x1D: '#NAME?',
          0x24: '#NUM!', 0x2A: '#N/A'}


def cell_text(cell, datemode):
    if cell.ctype == xlrd.XL_CELL_TEXT:
        return cell.value
    if cell.ctype == xlrd.XL_CELL_NUMBER:
        return number_text(cell.value)
    if cell.ctype == xlrd.XL_CELL_DATE:
        return date_text(cell.value, datemode)
    if cell.ctype == xlrd.XL_CELL_BOOLEAN:
        return 'TRUE' if cell.value else 'FALSE'
    if cell.ctype == xlrd.XL_CELL_ERROR:
        return ERRORS.get(cell.value, '#N/A')
    return ''


def expected_table(sheet, datemode):
    cells = {}
    for row in range(sheet.nrows):
        for column, cell in enumerate(sheet.row(row)):
            text = cell_text(cell, datemode)
            if text:
                cells[row, column] = text
    return table_of(cells)


def read_with_xlrd(path):
    try:
        book = xlrd.open_workbook(path, logfile=open(os.devnull, 'w'))
        return {'names': book.sheet_names(),
                'tables': [expected_table(sheet, book.datemode) for sheet in book.sheets()]}
    except Exception as error:  # xlrd refuses the book: the reader only has to fail cleanly
        return {'xlrd_error': '%s: %s' % (type(error).__name__, error)}


def main():
    dump, corpus = sys.argv[1], sys.argv[2]
    if not os.path.isdir(corpus):
        print('SKIP: no corpus at %s' % corpus)
        return SKIP
    with open(os.path.join(corpus, 'MANIFEST.tsv'), encoding='utf-8') as manifest:
        rows = [line.split('\t') for line in manifest.read().splitlines()[1:] if line]
    files = [row[0] for row in rows]
    old_biff = {row[0] for row in rows if row[5] in ('BIFF2', 'BIFF3', 'BIFF4')}
    paths = [os.path.join(corpus, f) for f in files]
    run = subprocess.run([dump] + paths, capture_output=True, text=True)
    if run.returncode != 0:
        print('workbook-dump failed with status %d:\n%s' % (run.returncode, run.stderr))
        return 1
    results = [json.loads(line) for line in run.stdout.splitlines()]
    compared = agreed = refused = read_only = old_refused = 0
    failures = []
    for name, actual in zip(files, results):
        expected = read_with_xlrd(os.path.join(corpus, name))
        if 'xlrd_error' in expected:
            if 'error' in actual:
                refused += 1
                print('refused (xlrd too): %s: %s' % (name, actual['error']))
            else:
                read_only += 1
                print('read (xlrd refuses: %s): %s' % (expected['xlrd_error'], name))
            continue
        if name in old_biff and actual.get('error') == OLD_BIFF_MESSAGE:
            old_refused += 1
            continue
        compared += 1
        difference = first_difference(expected, actual) if 'error' not in actual else 'reader error: ' + actual['error']
        if difference is None:
            agreed += 1
        elif name in XLRD_WRONG:
            print('differs, xlrd wrong (%s): %s: %s' % (XLRD_WRONG[name], name, difference))
        else:
            failures.append('%s: %s' % (name, difference))
    print('compared %d books with xlrd: %d agree, %d differ where xlrd is wrong; %d BIFF2-4 books refused; '
          'of the books xlrd refuses, %d refused, %d read'
          % (compared, agreed, compared - agreed - len(failures), old_refused, refused, read_only))
    for failure in failures:
        print('MISMATCH ' + failure)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
