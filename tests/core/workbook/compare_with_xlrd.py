#!/usr/bin/python3
"""Compares the workbook reader (through workbook-dump) with xlrd on every book of the shared corpus.

Both sides apply the same table rules (table_rules.py).
With --survive-only (the sanitizer pass) xlrd is not asked: every book is read, and workbook-dump
must exit cleanly.
Usage: compare_with_xlrd.py WORKBOOK_DUMP CORPUS_DIR [--survive-only]
"""
import os
import sys

from table_rules import compare_book, date_text, number_text, run_corpus_test, table_of

try:
    import xlrd
except ImportError:
    xlrd = None

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


def read_with_xlrd(path):
    try:
        book = xlrd.open_workbook(path, logfile=open(os.devnull, 'w'))
        tables = [table_of({(row, column): cell_text(cell, book.datemode)
                            for row in range(sheet.nrows) for column, cell in enumerate(sheet.row(row))})
                  for sheet in book.sheets()]
        return {'names': book.sheet_names(), 'tables': tables}
    except Exception as error:  # xlrd refuses the book: the reader only has to fail cleanly
        return {'xlrd_error': '%s: %s' % (type(error).__name__, error)}


def compare(corpus, rows, results, survive_only, failures):
    if survive_only:
        print('read all %d books' % len(results))
        return
    counts = dict(compared=0, agreed=0, explained=0, refused=0, read_only=0, old_refused=0)
    for row, actual in zip(rows, results):
        name = row[0]
        expected = read_with_xlrd(os.path.join(corpus, name))
        if 'xlrd_error' in expected:
            counts['refused' if 'error' in actual else 'read_only'] += 1
            print('xlrd refuses (%s): %s: reader %s' % (expected['xlrd_error'], name, actual.get('error', 'reads it')))
        elif row[5] in ('BIFF2', 'BIFF3', 'BIFF4') and actual.get('error') == OLD_BIFF_MESSAGE:
            counts['old_refused'] += 1
        else:
            compare_book(name, expected, actual, XLRD_WRONG, counts, failures)
    print('compared {compared} books with xlrd: {agreed} agree, {explained} differ where xlrd is wrong; '
          '{old_refused} BIFF2-4 books refused; of the books xlrd refuses, {refused} refused, {read_only} read'
          .format(**counts))


if __name__ == '__main__':
    sys.exit(run_corpus_test(compare, xlrd is None and 'xlrd is missing (install python3-xlrd to compare with the corpus)'))
