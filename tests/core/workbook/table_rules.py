"""What the corpus tests share: the table rules (how a reference reader's cells become the table the
workbook reader presents: used range of the cells that hold a value, first row as column names,
blank -> F<n>, otherwise mapped to an XML name; numbers and dates as text), reading the corpus
through workbook-dump, and comparing one book."""
import datetime
import json
import math
import os
import subprocess
import sys

SKIP = 77


def skip(reason):
    """Skips the test with a message; under CI=true a missing tool or corpus is a failure."""
    print('SKIP: ' + reason)
    return 1 if os.environ.get('CI') == 'true' else SKIP


def run_corpus_test(compare, missing_reference):
    """Arguments: WORKBOOK_DUMP CORPUS_DIR [--survive-only]. Skips without the corpus, or without the
    reference readers (missing_reference says which) unless only surviving is asked; reads every book
    of the manifest with workbook-dump, which must exit cleanly, then calls
    compare(corpus, manifest rows, dumped books, survive_only, failures) and reports the failures."""
    dump, corpus = sys.argv[1], sys.argv[2]
    survive_only = sys.argv[3:] == ['--survive-only']
    if not os.path.isdir(corpus):
        return skip('no corpus at %s' % corpus)
    if missing_reference and not survive_only:
        return skip(missing_reference)
    with open(os.path.join(corpus, 'MANIFEST.tsv'), encoding='utf-8') as manifest:
        rows = [line.split('\t') for line in manifest.read().splitlines()[1:] if line]
    run = subprocess.run([dump] + [os.path.join(corpus, row[0]) for row in rows], capture_output=True, text=True)
    results = [json.loads(line) for line in run.stdout.splitlines()]
    if run.returncode != 0 or len(results) != len(rows):
        print('workbook-dump exited with %d after %d books of %d:\n%s'
              % (run.returncode, len(results), len(rows), run.stderr))
        return 1
    failures = []
    compare(corpus, rows, results, survive_only, failures)
    print('\n'.join(failures))
    return 1 if failures else 0


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


def table_of(cells):
    """The table of a sheet's cells ({(row, column): text}); empty texts hold no value."""
    cells = {place: text for place, text in cells.items() if text}
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


def compare_book(name, expected, actual, reference_wrong, counts, failures):
    """Counts one book as agreeing, differing where the reference is wrong (explained), or failing."""
    counts['compared'] += 1
    difference = first_difference(expected, actual) if 'error' not in actual else 'reader error: ' + actual['error']
    if difference is None:
        counts['agreed'] += 1
    elif name in reference_wrong:
        counts['explained'] += 1
        print('differs, the reference is wrong (%s): %s: %s' % (reference_wrong[name], name, difference))
    else:
        failures.append('MISMATCH %s: %s' % (name, difference))
