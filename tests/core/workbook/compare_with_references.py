#!/usr/bin/python3
"""Compares the workbook reader (through workbook-dump) with the reference readers on every book of
the shared .xlsx/.xlsm/.ods corpus: openpyxl for Office Open XML, odfpy for OpenDocument.

Both sides apply the same table rules (table_rules.py). Books the manifest expects to be refused
must be refused with a message; damaged and hostile books only have to be survived.
With --survive-only (the sanitizer pass) no reference is asked: every book is read, the books to
refuse must be refused, and workbook-dump must exit cleanly.
Usage: compare_with_references.py WORKBOOK_DUMP CORPUS_DIR [--survive-only]
"""
import datetime
import io
import os
import re
import sys
import zipfile

from table_rules import compare_book, date_text, number_text, run_corpus_test, table_of

try:
    import odf.opendocument
    import openpyxl
    MISSING_REFERENCE = None
except ImportError as import_error:
    MISSING_REFERENCE = '%s (install python3-openpyxl and python3-odf)' % import_error

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
        return 'TRUE' if value else 'FALSE'
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


def odf_text(element):
    """A paragraph's text with its spaces, tabs and line breaks; annotations left out."""
    out = ''
    for node in element.childNodes:
        if node.nodeType == node.TEXT_NODE:
            out += node.data
        elif node.nodeType == node.ELEMENT_NODE:
            name = node.qname[1]
            if name == 's':
                out += ' ' * int(node.getAttribute('c') or 1)
            elif name in ('tab', 'line-break'):
                out += '\t' if name == 'tab' else '\n'
            elif name != 'annotation':
                out += odf_text(node)
    return out


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
        return 'TRUE' if value('boolean-value') == 'true' else 'FALSE'
    return ''


def read_with_odfpy(path):
    document = odf.opendocument.load(path)
    names, tables = [], []
    for table in odf_children(document.spreadsheet, 'table'):
        names.append(table.getAttribute('name'))
        cells = {}
        row = 0
        for row_element in odf_children(table, 'table-row'):
            rows = int(row_element.getAttribute('numberrowsrepeated') or 1)
            column = 0
            filled = []
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
        return read_with_odfpy(path) if kind == 'ods' else read_with_openpyxl(path)
    except Exception as error:  # the reference refuses the book: the reader only has to fail cleanly
        return {'reference_error': '%s: %s' % (type(error).__name__, error)}


def compare(corpus, rows, results, survive_only, failures):
    counts = dict(compared=0, agreed=0, explained=0, refused=0, reference_refuses=0)
    for row, actual in zip(rows, results):
        name, kind, expect = row[0], row[5], row[6]
        if expect == 'refuse':
            # An encrypted book must say so: the user can save it without a password and try again.
            reason = PASSWORD_MESSAGE if 'encrypted OOXML' in row[11] else actual.get('error')
            if reason and actual.get('error') == reason:
                counts['refused'] += 1
            else:
                failures.append('MISMATCH %s: should be refused (%s), reader %s'
                                % (name, reason or 'with a message', actual.get('error', 'reads it')))
            continue
        if expect == 'no-crash' or survive_only:
            continue
        expected = read_with_reference(os.path.join(corpus, name), kind)
        if 'reference_error' in expected:
            counts['reference_refuses'] += 1
            print('reference refuses (%s): %s: reader %s' % (expected['reference_error'][:100], name,
                                                             actual.get('error', 'reads it')))
        else:
            compare_book(name, expected, actual, REFERENCE_WRONG, counts, failures)
    if survive_only:
        print('read all %d books; %d refused as expected' % (len(results), counts['refused']))
    else:
        print('compared {compared} books with openpyxl/odfpy: {agreed} agree, {explained} differ as explained; '
              '{refused} books refused as expected; the reference refuses {reference_refuses}'.format(**counts))


if __name__ == '__main__':
    sys.exit(run_corpus_test(compare, MISSING_REFERENCE))
