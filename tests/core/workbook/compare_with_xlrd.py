#!/usr/bin/python3
"""Compares the workbook reader (through xls-dump) with xlrd on every book of the shared corpus.

Both sides apply the same table rules: used range of the cells that hold a value, first row as
column names (blank -> F<n>, otherwise mapped to an XML name), values written as text.
Usage: compare_with_xlrd.py XLS_DUMP CORPUS_DIR
"""
import datetime
import json
import math
import os
import subprocess
import sys

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


def number_text(value):
    if value == 0:
        value = 0.0
    return '%.15g' % value


def date_text(serial, datemode):
    if not serial >= 0:
        return number_text(serial)
    seconds = math.floor(serial * 86400 + 0.5)
    days, second_of_day = divmod(seconds, 86400)
    if datemode:
        epoch = datetime.date(1904, 1, 1)
    else:
        epoch = datetime.date(1899, 12, 30 if days >= 61 else 31)
    last = (datetime.date(9999, 12, 31) - epoch).days
    if days > last:
        return number_text(serial)
    time = '%02d:%02d:%02d' % (second_of_day // 3600, second_of_day // 60 % 60, second_of_day % 60)
    if days == 0:
        return time
    date = '1900-02-29' if not datemode and days == 60 else (epoch + datetime.timedelta(days)).isoformat()
    return date if second_of_day == 0 else date + ' ' + time


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


def is_name_start(c):
    o = ord(c)
    return (c.isascii() and (c.isalpha() or c == '_')) or 0xC0 <= o <= 0xD6 or 0xD8 <= o <= 0xF6 \
        or 0xF8 <= o <= 0x2FF or 0x370 <= o <= 0x37D or 0x37F <= o <= 0x1FFF or 0x200C <= o <= 0x200D \
        or 0x2070 <= o <= 0x218F or 0x2C00 <= o <= 0x2FEF or 0x3001 <= o <= 0xD7FF \
        or 0xF900 <= o <= 0xFDCF or 0xFDF0 <= o <= 0xFFFD or 0x10000 <= o <= 0xEFFFF


def is_name_char(c):
    o = ord(c)
    return is_name_start(c) or c in '-.0123456789\u00b7' or 0x300 <= o <= 0x36F or 0x203F <= o <= 0x2040


def xml_name(text):
    allowed = [is_name_start(c) if i == 0 else is_name_char(c) for i, c in enumerate(text)]
    if all(allowed):
        return text
    return ''.join(c if ok else '_x%04X_' % ord(c) for c, ok in zip(text, allowed))


def expected_table(sheet, datemode):
    cells = {}
    for row in range(sheet.nrows):
        for column, cell in enumerate(sheet.row(row)):
            text = cell_text(cell, datemode)
            if text:
                cells[row, column] = text
    if not cells:
        return {'columns': [], 'records': []}
    rows = [r for r, _ in cells]
    columns = [c for _, c in cells]
    first_row, last_row = min(rows), max(rows)
    first_column, last_column = min(columns), max(columns)
    names = []
    for column in range(first_column, last_column + 1):
        heading = cells.get((first_row, column), '')
        names.append(xml_name(heading) if heading else 'F%d' % (column - first_column + 1))
    records = [[cells.get((row, column), '') for column in range(first_column, last_column + 1)]
               for row in range(first_row + 1, last_row + 1)]
    return {'columns': names, 'records': records}


def first_difference(expected, actual):
    """Describes where two books differ, or returns None."""
    names = [s['name'] for s in actual.get('sheets', [])]
    if expected['names'] != names:
        return 'sheet names: xlrd %r, reader %r' % (expected['names'], names)
    for name, want, got in zip(names, expected['tables'], actual['sheets']):
        if 'error' in got:
            return 'sheet %r: reader error %s' % (name, got['error'])
        if want['columns'] != got['columns']:
            return 'sheet %r columns: xlrd %r, reader %r' % (name, want['columns'][:8], got['columns'][:8])
        if len(want['records']) != len(got['records']):
            return 'sheet %r: xlrd %d records, reader %d' % (name, len(want['records']), len(got['records']))
        for index, (w, g) in enumerate(zip(want['records'], got['records'])):
            if w != g:
                column = next(i for i, (a, b) in enumerate(zip(w, g)) if a != b)
                return 'sheet %r record %d column %d: xlrd %r, reader %r' % (name, index, column, w[column], g[column])
    return None


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
        print('xls-dump failed with status %d:\n%s' % (run.returncode, run.stderr))
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
