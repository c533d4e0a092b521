#!/bin/sh
# Writes the reader's test workbooks from the .gnumeric sources with Gnumeric's own Excel writer.
# Run from anywhere; needs ssconvert (Debian package gnumeric). The outputs are committed.
set -eu
cd "$(dirname "$0")"

# fixtures.gnumeric: several worksheets (one hidden, one header-only, one empty), Japanese
# headings and values, empty cells inside the range, & < > and a CR in text, a heading with a
# space, a blank heading, dates, times, booleans, errors and formula results.
ssconvert --recalc -T Gnumeric_Excel:excel_biff8 fixtures.gnumeric fixtures-biff8.xls
# BIFF5 stores 8-bit text in the code page of the writer's Windows language: Japanese is CP932.
WINDOWS_LANGUAGE=ja ssconvert --recalc -T Gnumeric_Excel:excel_biff7 fixtures.gnumeric fixtures-biff5-ja.xls
# The same content as Office Open XML and OpenDocument: every format must read the same tables.
ssconvert -T Gnumeric_Excel:xlsx fixtures.gnumeric fixtures.xlsx
ssconvert -T Gnumeric_OpenCalc:odf fixtures.gnumeric fixtures.ods

# dates1904.gnumeric: a workbook in the 1904 date system (Excel for Mac).
ssconvert -T Gnumeric_Excel:excel_biff8 dates1904.gnumeric dates1904-biff8.xls
ssconvert -T Gnumeric_Excel:excel_biff7 dates1904.gnumeric dates1904-biff5.xls

# hard-cases.csv: headings and text that character sets disagree on or cannot hold (①, 髙, 﨑,
# 〜 and ～, － and −, ¥, half-width katakana, astral characters, CR, markup characters).
ssconvert -T Gnumeric_Excel:excel_biff8 hard-cases.csv hard-cases-biff8.xls

# name-headings.csv: headings of real Japanese sheets that XML 1.0 fifth edition allows in a name
# but expat and the JDK's parser do not (full-width and half-width forms, circled and Roman
# numerals, ー and 々 first, astral characters, × and ÷).
ssconvert -T Gnumeric_Excel:excel_biff8 name-headings.csv name-headings-biff8.xls
