#!/usr/bin/python3
"""Compares the workbook reader (through workbook-dump) with the reference readers on every book of
a shared corpus: xlrd for .xls (../shared/corpus), openpyxl for Office Open XML and odfpy for
OpenDocument (../shared/corpus-ooxml). Both sides apply the same table rules (table_of). Books the
.xlsx/.ods manifest expects to be refused must be refused with a message; damaged and hostile books
only have to be survived (the sanitizer build reads every book in tst_fuzz_regressions).
Usage: compare_with_references.py WORKBOOK_DUMP CORPUS_DIR
"""
import collections
import datetime
import io
import json
import math
import os
import re
import subprocess
import sys
import zipfile

try:
    import xlrd
except ImportError:
    xlrd = None
try:
    import odf.office
    import odf.opendocument
    import odf.teletype
    import openpyxl
except ImportError:
    odf = openpyxl = None

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


MAX_ROWS, MAX_COLUMNS = 1048576, 16384

NEGATIVE_SERIAL = ('a negative serial in a date format: openpyxl counts back from 1899-12-30, while the reader '
                   'writes the number, as it does for .xls (Excel shows ###### there)')
EARLY_1900 = ('a serial before 1900-03-01: openpyxl ignores the 1900-02-29 that Excel counts, so its dates '
              'there are a day early; the reader follows Excel, as for .xls')
MERGED = ('openpyxl blanks the cells a merged range covers; their values are in the file and the reader '
          'keeps them, as it does for .xls (xlrd agrees there)')
NOT_WORKSHEETS = 'openpyxl lists macro and dialog sheets as worksheets; they present no table and are left out'

# Books where the reader and the reference disagree and the reference is the one that is wrong.
REFERENCE_WRONG = {
    'SheetJS__test_files/LONumbers.xlsx': NEGATIVE_SERIAL,
    'SheetJS__test_files/LONumbers-2011.xlsx': NEGATIVE_SERIAL,
    'SheetJS__test_files/number_format.xlsm': NEGATIVE_SERIAL,
    'SheetJS__test_files/number_format_russian.xlsm': NEGATIVE_SERIAL,
    'apache__poi/test-data__spreadsheet__bug60858.xlsx': NEGATIVE_SERIAL,
    'ExcelDataReader__ExcelDataReader/src__TestData__Test_git_issue_283_TimeSpan.xlsx': EARLY_1900,
    'tidyverse__readxl/tests__testthat__sheets__dates-leap-year-1900-xlsx.xlsx': EARLY_1900,
    'PHPOffice__PhpSpreadsheet/tests__data__Reader__XLSX__issue.3654.xlsx': MERGED,
    'PHPOffice__PhpSpreadsheet/tests__data__Reader__XLSX__issue.3654c.xlsx': MERGED,
    'apache__poi/test-data__integration__stress002.xlsx': MERGED,
    'SheetJS__test_files/BlankSheetTypes.xlsm': NOT_WORKSHEETS,
    'apache__poi/test-data__spreadsheet__64420.xlsm': NOT_WORKSHEETS,
    'PHPOffice__PhpSpreadsheet/tests__data__Reader__XLSX__issue.3720.xlsx':
        'openpyxl writes a hyperlink\'s display text into its cell, here a formula cell without a cached '
        'value; the cell holds no value',
    'apache__poi/test-data__spreadsheet__57181.xlsm':
        'the format [=0]?;[<4.16666666666667][hh]:mm:ss;[hh]:mm shows a time; openpyxl\'s date test stops '
        'at the conditions, the reader applies the .xls rule (h outside brackets and quotes)',
}

PASSWORD_MESSAGE = 'パスワードで保護されたブックは読めません'

STRICT = {'http://purl.oclc.org/ooxml/spreadsheetml/main': 'http://schemas.openxmlformats.org/spreadsheetml/2006/main',
          'http://purl.oclc.org/ooxml/officeDocument/relationships':
              'http://schemas.openxmlformats.org/officeDocument/2006/relationships'}

ESCAPE = re.compile('_x([0-9A-Fa-f]{4})_')

def skip(reason):
    """Skips the test with a message (ctest's skip code 77); under CI=true a missing tool or corpus is a failure."""
    print('SKIP: ' + reason)
    return 1 if os.environ.get('CI') == 'true' else 77


def number_text(value):
    return '%.15g' % (value or 0.0)  # -0 is written 0


def boolean_text(value):
    return 'TRUE' if value else 'FALSE'


def date_text(serial, datemode):
    if not serial >= 0:
        return number_text(serial)
    seconds = math.floor(serial * 86400 + 0.5)
    days, second_of_day = divmod(seconds, 86400)
    epoch = datetime.date(1904, 1, 1) if datemode else datetime.date(1899, 12, 30 if days >= 61 else 31)
    if days > (datetime.date(9999, 12, 31) - epoch).days:
        return number_text(serial)
    time = '%02d:%02d:%02d' % (second_of_day // 3600, second_of_day // 60 % 60, second_of_day % 60)
    if days == 0:
        return time
    date = '1900-02-29' if not datemode and days == 60 else (epoch + datetime.timedelta(days)).isoformat()
    return date if second_of_day == 0 else date + ' ' + time


def table_of(cells):
    """The table the reader presents of a sheet's cells ({(row, column): text}, empty texts hold no value):
    the used range, the first row as headings (blank ones empty)."""
    cells = {place: text for place, text in cells.items() if text}
    if not cells:
        return {'columns': [], 'records': []}
    first_row, last_row = min(r for r, _ in cells), max(r for r, _ in cells)
    columns = range(min(c for _, c in cells), max(c for _, c in cells) + 1)
    names = [cells.get((first_row, c), '') for c in columns]
    records = [[cells.get((row, c), '') for c in columns] for row in range(first_row + 1, last_row + 1)]
    return {'columns': names, 'records': records}


def first_difference(expected, actual):
    """Describes where two books differ, or returns None."""
    names = [s['name'] for s in actual.get('sheets', [])]
    if expected['names'] != names:
        return 'sheet names: reference %r, reader %r' % (expected['names'], names)
    for name, want, got in zip(names, expected['tables'], actual['sheets']):
        if 'error' in got:
            return 'sheet %r: reader error %s' % (name, got['error'])
        if want['columns'] != got['columns']:
            return 'sheet %r columns: reference %r, reader %r' % (name, want['columns'][:8], got['columns'][:8])
        if len(want['records']) != len(got['records']):
            return 'sheet %r: reference %d records, reader %d' % (name, len(want['records']), len(got['records']))
        for index, (w, g) in enumerate(zip(want['records'], got['records'])):
            if w != g:
                column = next(i for i, (a, b) in enumerate(zip(w, g)) if a != b)
                return 'sheet %r record %d column %d: reference %r, reader %r' % (name, index, column, w[column], g[column])
    return None


def cell_text(cell, datemode):
    texts = {xlrd.XL_CELL_TEXT: str, xlrd.XL_CELL_NUMBER: number_text, xlrd.XL_CELL_DATE: lambda v: date_text(v, datemode),
             xlrd.XL_CELL_BOOLEAN: boolean_text, xlrd.XL_CELL_ERROR: lambda v: ERRORS.get(v, '#N/A')}
    return texts.get(cell.ctype, lambda v: '')(cell.value)


def read_with_xlrd(path):
    book = xlrd.open_workbook(path, logfile=open(os.devnull, 'w'))
    tables = [table_of({(row, column): cell_text(cell, book.datemode)
                        for row in range(sheet.nrows) for column, cell in enumerate(sheet.row(row))})
              for sheet in book.sheets()]
    return {'names': book.sheet_names(), 'tables': tables}


def datetime_text(value):
    if isinstance(value, datetime.timedelta):
        value = datetime.datetime(1899, 12, 30) + value
    if isinstance(value, datetime.time):
        value = datetime.datetime.combine(datetime.date(1899, 12, 30), value)
    elif not isinstance(value, datetime.datetime):
        return value.isoformat()
    value = (value + datetime.timedelta(microseconds=500000)).replace(microsecond=0)
    if value.date() == datetime.date(1899, 12, 30):
        return value.strftime('%H:%M:%S')
    text = '%04d-%02d-%02d' % (value.year, value.month, value.day)
    return text if value.time() == datetime.time() else text + value.strftime(' %H:%M:%S')


def openpyxl_value(value):
    if value is None:
        return ''
    if isinstance(value, bool):
        return boolean_text(value)
    if isinstance(value, (int, float)):
        return number_text(value)
    if isinstance(value, str):  # openpyxl leaves Excel's _xHHHH_ escapes in the text; Excel shows the characters
        return ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), value)
    return datetime_text(value)


def transitional_copy(path):
    """openpyxl 3.0.9 knows only the Transitional namespaces: a Strict book is read from a copy that
    has the Strict namespaces renamed, which is all that tells the two apart for cell values."""
    source = zipfile.ZipFile(path)
    names = source.namelist()
    if not any(b'purl.oclc.org/ooxml' in source.read(n) for n in names if n.lower().endswith('workbook.xml')):
        return path
    copy = io.BytesIO()
    with zipfile.ZipFile(copy, 'w') as target:
        for name in names:
            data = source.read(name)
            for strict, transitional in STRICT.items():
                data = data.replace(strict.encode(), transitional.encode())
            target.writestr(name, data)
    return copy


def read_with_openpyxl(path):
    book = openpyxl.load_workbook(transitional_copy(path), data_only=True)
    # The cell store, not iter_rows: a sparse sheet's full rectangle can hold billions of cells.
    tables = [table_of({(row, column): openpyxl_value(cell.value) for (row, column), cell in sheet._cells.items()
                        if row <= MAX_ROWS and column <= MAX_COLUMNS})
              for sheet in book.worksheets]
    return {'names': [sheet.title for sheet in book.worksheets], 'tables': tables}


def odf_children(element, *names):
    """The descendants named `names` (qualified local names), not entering nested tables."""
    for child in element.childNodes:
        if child.nodeType != child.ELEMENT_NODE:
            continue
        if child.qname[1] in names:
            yield child
        elif child.qname[1] not in ('table', 'annotation'):
            yield from odf_children(child, *names)


def odf_text(paragraph):
    """A paragraph's text with its spaces, tabs and line breaks; annotations left out."""
    for note in paragraph.getElementsByType(odf.office.Annotation):
        note.parentNode.removeChild(note)
    return odf.teletype.extractText(paragraph)


def duration_days(text):
    match = re.fullmatch(r'(-?)P(?:(\d+(?:\.\d*)?)D)?(?:T(?:(\d+(?:\.\d*)?)H)?(?:(\d+(?:\.\d*)?)M)?(?:(\d+(?:\.\d*)?)S)?)?', text)
    days, hours, minutes, seconds = (float(g or 0) for g in match.group(2, 3, 4, 5))
    total = days + hours / 24 + minutes / 1440 + seconds / 86400
    return -total if match.group(1) else total


def odf_cell_text(cell):
    attributes = {name[1]: (name[0], value) for name, value in cell.attributes.items()}
    kind = attributes.get('value-type', (None, None))[1]
    if cell.qname[1] == 'covered-table-cell' or kind is None:
        return ''
    value = lambda name: attributes.get(name, (None, None))[1]
    calc_error = [v for (ns, local), v in cell.attributes.items() if local == 'value-type' and 'calcext' in ns]
    if calc_error == ['error'] or kind == 'string':
        return '\n'.join(odf_text(paragraph) for paragraph in odf_children(cell, 'p', 'h'))
    if kind in ('float', 'percentage', 'currency'):
        return number_text(float(value('value'))) if value('value') else ''
    if kind == 'date':
        return datetime_text(datetime.datetime.fromisoformat(value('date-value')[:19]))
    if kind == 'time':
        return date_text(duration_days(value('time-value')), 0)
    if kind == 'boolean':
        return boolean_text(value('boolean-value') == 'true')
    return ''


def read_with_odfpy(path):
    document = odf.opendocument.load(path)
    names, tables = [], []
    for table in odf_children(document.spreadsheet, 'table'):
        names.append(table.getAttribute('name'))
        cells, row = {}, 0
        for row_element in odf_children(table, 'table-row'):
            rows = int(row_element.getAttribute('numberrowsrepeated') or 1)
            column, filled = 0, []  # the row's (column, text) pairs, written to each of its repeats
            for cell in odf_children(row_element, 'table-cell', 'covered-table-cell'):
                columns = int(cell.attributes.get((cell.qname[0], 'number-columns-repeated'), 1))
                text = odf_cell_text(cell)
                if text:
                    filled += [(c, text) for c in range(column, min(column + columns, MAX_COLUMNS))]
                column += columns
            for r in range(row, min(row + rows, MAX_ROWS)) if filled else ():
                for c, text in filled:
                    cells[r, c] = text
            row += rows
        tables.append(table_of(cells))
    return {'names': names, 'tables': tables}


def read_with_reference(path, kind):
    try:
        return {'xls': read_with_xlrd, 'ods': read_with_odfpy}.get(kind, read_with_openpyxl)(path)
    except Exception as error:  # the reference refuses the book: the reader only has to fail cleanly
        return {'reference_error': '%s: %s' % (type(error).__name__, error)}


def compare(corpus, rows, results, xls):
    """Compares each book the reader should read with its reference; returns the failures."""
    counts, failures = collections.Counter(), []
    for row, actual in zip(rows, results):
        name, kind, expect = row[0], 'xls' if xls else row[5], 'open' if xls else row[6]
        error = actual.get('error')
        if expect == 'refuse':
            # An encrypted book must say so: the user can save it without a password and try again.
            reason = PASSWORD_MESSAGE if 'encrypted OOXML' in row[11] else error
            if reason and error == reason:
                counts['refused as expected'] += 1
            else:
                failures.append('MISMATCH %s: should be refused (%s), reader %s' % (name, reason or 'with a message',
                                                                                   error or 'reads it'))
            continue
        if expect == 'no-crash':
            continue
        if xls and row[5] in ('BIFF2', 'BIFF3', 'BIFF4') and error == OLD_BIFF_MESSAGE:
            counts['BIFF2-4 refused'] += 1
            continue
        expected = read_with_reference(os.path.join(corpus, name), kind)
        if 'reference_error' in expected:
            counts['the reference refuses, the reader ' + ('too' if error else 'reads it')] += 1
            print('the reference refuses (%s): %s: reader %s' % (expected['reference_error'][:100], name, error or 'reads it'))
            continue
        counts['compared'] += 1
        difference = 'reader error: ' + error if error else first_difference(expected, actual)
        reference_wrong = (XLRD_WRONG if xls else REFERENCE_WRONG).get(name)
        if difference is None:
            counts['agree'] += 1
        elif reference_wrong:
            counts['differ where the reference is wrong'] += 1
            print('differs, the reference is wrong (%s): %s: %s' % (reference_wrong, name, difference))
        else:
            failures.append('MISMATCH %s: %s' % (name, difference))
    print('; '.join('%s: %d' % item for item in counts.items()))
    return failures


def main():
    dump, corpus = sys.argv[1:3]
    if not os.path.isdir(corpus):
        return skip('no corpus at %s' % corpus)
    with open(os.path.join(corpus, 'MANIFEST.tsv'), encoding='utf-8') as manifest:
        header, *rows = [line.split('\t') for line in manifest.read().splitlines() if line]
    xls = 'biff_version' in header
    if (xlrd if xls else openpyxl) is None:
        return skip('install %s to compare with the corpus'
                    % ('python3-xlrd' if xls else 'python3-openpyxl and python3-odf'))
    run = subprocess.run([dump] + [os.path.join(corpus, row[0]) for row in rows], capture_output=True, text=True)
    results = [json.loads(line) for line in run.stdout.splitlines()]
    if run.returncode != 0 or len(results) != len(rows):
        print('workbook-dump exited with %d after %d books of %d:\n%s'
              % (run.returncode, len(results), len(rows), run.stderr))
        return 1
    failures = compare(corpus, rows, results, xls)
    print('\n'.join(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
