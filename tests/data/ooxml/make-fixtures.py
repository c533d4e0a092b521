#!/usr/bin/python3
"""Writes the hand-made .xlsx and .ods test workbooks: the value rules and hostile packages, each
part written out here so that what is tested is visible. Rerun after a change; outputs are committed."""
import zipfile

MAIN = 'http://schemas.openxmlformats.org/spreadsheetml/2006/main'
REL = 'http://schemas.openxmlformats.org/officeDocument/2006/relationships'
PKG = 'http://schemas.openxmlformats.org/package/2006/relationships'
STRICT_MAIN = 'http://purl.oclc.org/ooxml/spreadsheetml/main'
STRICT_REL = 'http://purl.oclc.org/ooxml/officeDocument/relationships'
XML = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def write_zip(name, parts):
    with zipfile.ZipFile(name, 'w', zipfile.ZIP_DEFLATED) as package:
        for part, data in parts:
            package.writestr(zipfile.ZipInfo(part, (2024, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)


def xlsx(name, sheets, shared=None, styles=None, workbook_pr='', main=MAIN, rel=REL, names={}, doctype=''):
    """sheets: (name, kind, state, xml) with kind worksheet/chartsheet/xlMacrosheet; names: other part names."""
    types = ('<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
             '<Default Extension="xml" ContentType="application/xml"/>'
             '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/></Types>')
    parts = [('[Content_Types].xml', XML + types),
             (names.get('rels', '_rels/.rels'), XML + '<Relationships xmlns="%s"><Relationship Id="r1" Type="%s/officeDocument" '
              'Target="xl/workbook.xml"/></Relationships>' % (PKG, rel))]
    sheet_list = ''.join('<sheet name="%s" sheetId="%d" %s r:id="s%d"/>' % (n, i + 1, 'state="%s"' % st if st else '', i + 1)
                         for i, (n, _, st, _) in enumerate(sheets))
    parts.append((names.get('workbook', 'xl/workbook.xml'),
                  XML + '<workbook xmlns="%s" xmlns:r="%s"><workbookPr %s/><sheets>%s</sheets></workbook>'
                  % (main, rel, workbook_pr, sheet_list)))
    links = ''.join('<Relationship Id="s%d" Type="%s/%s" Target="%s"/>'
                    % (i + 1, rel, kind, names.get('target', 'worksheets/sheet%d.xml') % (i + 1))
                    for i, (_, kind, _, _) in enumerate(sheets))
    if shared is not None:
        links += '<Relationship Id="t" Type="%s/sharedStrings" Target="sharedStrings.xml"/>' % rel
        parts.append(('xl/sharedStrings.xml', XML + doctype + '<sst xmlns="%s">%s</sst>' % (main, shared)))
    if styles is not None:
        links += '<Relationship Id="y" Type="%s/styles" Target="styles.xml"/>' % rel
        parts.append(('xl/styles.xml', XML + '<styleSheet xmlns="%s">%s</styleSheet>' % (main, styles)))
    parts.append((names.get('workbookRels', 'xl/_rels/workbook.xml.rels'),
                  XML + '<Relationships xmlns="%s">%s</Relationships>' % (PKG, links)))
    for i, (_, _, _, data) in enumerate(sheets):
        parts.append((names.get('sheet', 'xl/worksheets/sheet%d.xml') % (i + 1),
                      XML + '<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (main, data)))
    write_zip(name, parts)


SHARED = ('<si><t>plain</t></si>'
          '<si><r><t>rich </t></r><r><rPr><b/></rPr><t>runs</t></r><rPh sb="0" eb="1"><t>ふりがな</t></rPh></si>'
          '<si><t>line_x000D_break_x005F_x0041_</t></si>')
# numFmt 164 is a custom date, 165 a custom number with a quoted "d"; xf 1: built-in 14 (date),
# xf 2: 164, xf 3: 165, xf 4: [h]:mm:ss elapsed time.
STYLES = ('<numFmts><numFmt numFmtId="164" formatCode="yyyy/mm/dd"/><numFmt numFmtId="165" formatCode="0.0&quot;d&quot;"/>'
          '<numFmt numFmtId="166" formatCode="[h]:mm:ss"/></numFmts>'
          '<cellStyleXfs><xf numFmtId="14"/></cellStyleXfs>'
          '<cellXfs><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="164"/><xf numFmtId="165"/><xf numFmtId="166"/></cellXfs>')
VALUES = ('<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="inlineStr"><is><t>inline</t></is></c></row>'
          '<row r="2"><c r="A2" t="s"><v>1</v></c><c r="B2" t="inlineStr"><is><r><t>in</t></r><r><t>line</t></r>'
          '<rPh><t>よみ</t></rPh></is></c></row>'
          '<row r="3"><c r="A3" t="str"><f>"x"</f><v>formula text</v></c><c r="B3" t="b"><v>1</v></c></row>'
          '<row r="4"><c r="A4" t="e"><v>#DIV/0!</v></c><c r="B4" t="b"><v>0</v></c></row>'
          '<row r="5"><c r="A5"><v>1.5</v></c><c r="B5"><v>0.1</v></c></row>'
          '<row r="6"><c r="A6" s="1"><v>45352</v></c><c r="B6" s="2"><v>45352.5</v></c></row>'
          '<row r="7"><c r="A7" s="3"><v>45352</v></c><c r="B7" s="4"><v>1.25</v></c></row>'
          '<row r="8"><c r="A8" t="d"><v>2024-03-01T12:30:00.6Z</v></c><c r="B8" t="d"><v>2024-03-01</v></c></row>'
          '<row r="9"><c r="A9" t="s"><v>2</v></c><c r="B9" t="d"><v>23:44:51.894</v></c></row>'
          '<row><c><v>10</v></c><c><v>11</v></c></row>'
          '<row><c r="B11"><v>12</v></c><c><v>13</v></c></row>'
          '<row r="12"><c r="A12"><v>-1E+20</v></c><c r="B12"><v>123456789012345678</v></c></row>')
xlsx('values.xlsx', [('Values', 'worksheet', '', VALUES), ('Chart', 'chartsheet', '', ''),
                     ('Hidden', 'worksheet', 'veryHidden', '<row r="1"><c r="A1" t="inlineStr"><is><t>secret</t></is></c></row>'),
                     ('Macro', 'xlMacrosheet', '', '<row r="1"><c r="A1"><v>1</v></c></row>')],
     shared=SHARED, styles=STYLES)
xlsx('dates1904-strict.xlsx', [('Dates', 'worksheet', '', '<row r="1"><c r="A1" s="1"><v>0</v></c><c r="B1" s="1"><v>1.5</v></c></row>')],
     styles=STYLES, workbook_pr='date1904="true"', main=STRICT_MAIN, rel=STRICT_REL)
# Part names in another case and with backslashes, an absolute relationship target.
xlsx('odd-part-names.xlsx', [('Odd', 'worksheet', '', '<row r="1"><c r="A1" t="inlineStr"><is><t>found</t></is></c></row>')],
     names={'workbook': 'XL/Workbook.xml', 'workbookRels': 'xl\\_rels\\workbook.xml.rels',
            'sheet': 'xl\\worksheets\\Sheet%d.XML', 'target': '/xl/worksheets/sheet%d.xml'})

# Hostile packages.
BOMB = '<!DOCTYPE sst [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>'
xlsx('entity-bomb.xlsx', [('Bomb', 'worksheet', '', '<row r="1"><c r="A1" t="s"><v>0</v></c></row>')],
     shared='<si><t>&b;</t></si>', doctype=BOMB)
xlsx('huge-shared-string.xlsx',
     [('Huge', 'worksheet', '', ''.join('<row r="%d"><c r="A%d" t="s"><v>0</v></c></row>' % (r, r) for r in range(1, 12001)))],
     shared='<si><t>%s</t></si>' % ('x' * 1000000))
xlsx('sparse-corners.xlsx', [('Sparse', 'worksheet', '', '<row r="1"><c r="A1"><v>1</v></c></row>'
                                                   '<row r="1048576"><c r="XFD1048576"><v>2</v></c></row>')])
write_zip('no-workbook.xlsx', [('[Content_Types].xml', XML + '<Types/>'), ('docProps/app.xml', XML + '<Properties/>')])
with open('values.xlsx', 'rb') as source, open('truncated.xlsx', 'wb') as target:
    target.write(source.read()[:700])

ODF = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
       'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
       'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
       'xmlns:calcext="urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0"')


def ods(name, tables, manifest_extra=''):
    body = ''.join('<table:table table:name="%s">%s</table:table>' % t for t in tables)
    manifest = ('<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0">'
                '<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>'
                '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml">%s</manifest:file-entry>'
                '</manifest:manifest>' % manifest_extra)
    write_zip(name, [('mimetype', 'application/vnd.oasis.opendocument.spreadsheet'),
                     ('META-INF/manifest.xml', XML + manifest),
                     ('content.xml', XML + '<office:document-content %s><office:body><office:spreadsheet>%s'
                      '</office:spreadsheet></office:body></office:document-content>' % (ODF, body))])


def cell(value_type, attributes='', text='', repeat=1):
    extra = ' table:number-columns-repeated="%d"' % repeat if repeat > 1 else ''
    kind = ' office:value-type="%s"' % value_type if value_type else ''
    return '<table:table-cell%s%s %s>%s</table:table-cell>' % (kind, extra, attributes, text)


ODS_VALUES = (
    '<table:table-row>' + cell('string', text='<text:p>heading</text:p>') + cell('string', text='<text:p>B</text:p>') + '</table:table-row>'
    '<table:table-row>' + cell('float', 'office:value="1.5"') + cell('percentage', 'office:value="0.25"') + '</table:table-row>'
    '<table:table-row>' + cell('currency', 'office:value="-3"') + cell('boolean', 'office:boolean-value="true"') + '</table:table-row>'
    '<table:table-row>' + cell('date', 'office:date-value="2024-03-01"') + cell('date', 'office:date-value="2024-03-01T06:00:00"') + '</table:table-row>'
    '<table:table-row>' + cell('time', 'office:time-value="PT12H30M00S"') + cell('time', 'office:time-value="PT36H00M00S"') + '</table:table-row>'
    '<table:table-row>' + cell('float', 'office:value="0" calcext:value-type="error"', '<text:p>#DIV/0!</text:p>')
    + cell('string', text='<office:annotation><text:p>note</text:p></office:annotation><text:p>a<text:s text:c="3"/>b<text:tab/>c'
           '<text:line-break/>d</text:p><text:p>second <text:span>para</text:span></text:p>') + '</table:table-row>'
    '<table:table-row table:number-rows-repeated="2">' + cell('string', text='<text:p>rep</text:p>', repeat=2)
    + cell('', repeat=16382) + '</table:table-row>'
    '<table:table-row>' + cell('string', 'table:number-columns-spanned="2"', '<text:p>merged</text:p>')
    + '<table:covered-table-cell office:value-type="string"><text:p>hidden</text:p></table:covered-table-cell></table:table-row>'
    '<table:table-row table:number-rows-repeated="1048567">' + cell('', repeat=16384) + '</table:table-row>')
ods('values.ods', [('Values', ODS_VALUES), ('Empty', '<table:table-row>' + cell('') + '</table:table-row>')])
ods('repeat-bomb.ods', [('Bomb', '<table:table-row table:number-rows-repeated="999999999">'
                         + cell('string', text='<text:p>x</text:p>', repeat=999999999) + '</table:table-row>')])
# Empty repeats cost nothing: the value lands in the last row, then in the last column.
ods('repeated-empty.ods', [('LastRow', '<table:table-row table:number-rows-repeated="1048575">' + cell('', repeat=999999999)
                            + '</table:table-row><table:table-row>' + cell('float', 'office:value="1"') + '</table:table-row>'
                            + '<table:table-row table:number-rows-repeated="999999999"/>'),
                           ('LastColumn', '<table:table-row table:number-rows-repeated="3"/><table:table-row>'
                            + cell('', repeat=16383) + cell('float', 'office:value="2"') + cell('', repeat=999999999)
                            + '</table:table-row>')])
ods('encrypted.ods', [('Secret', '')], '<manifest:encryption-data manifest:checksum-type="SHA1" manifest:checksum="x"/>')
