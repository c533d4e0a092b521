#pragma once

#include "core/settings/Settings.h"
#include "core/document/DocumentEncoding.h"
#include "core/workbook/Workbook.h"

#include <QIODevice>
#include <QString>

#include <functional>

namespace tessaly {

// The document of one worksheet: the declaration naming `charset`, the root element `rowset`, one
// `row` element per record holding one element per column. Every line ends with CR LF. Cell text is
// escaped and characters XML cannot hold are dropped, so the document is always well-formed; tag
// names hold only characters `charset` can write (others as _xHHHH_).
QString buildDocument(const workbook::SheetTable &table, const Settings &settings);

// A column's tag name before it is fitted to a character set: its heading as an XML name, or F
// and the column's number (from 1) when the heading is blank.
QString columnTagName(const workbook::SheetTable &table, qsizetype column);

// Refuses a table whose document would pass kMaxDocumentLength: every record spells out every
// column, empty or not, so a sparse sheet can pass it with a handful of cells.
Outcome checkDocumentLength(const workbook::SheetTable &table);
// The same for a sheet of `recordCount` records and `textLength` characters of text, with the
// headings of `headings`.
Outcome checkDocumentLength(const workbook::SheetTable &headings, qsizetype recordCount, quint64 textLength);

// Reads a worksheet band by band for writing its document; refused as checkDocumentLength refuses
// its table.
Result<std::unique_ptr<workbook::SheetBands>> readSheetForDocument(const workbook::Workbook &book, qsizetype sheet);

// The same document in UTF-8: half the memory of the text for a document shown in the window.
// `recordsDone`, when given, is told the number of records composed after each record (it may be
// called on any thread the composing runs on).
QByteArray buildUtf8Document(const workbook::SheetTable &table, const Settings &settings,
                             const std::function<void(qsizetype)> &recordsDone = {});

// Writes the bytes that a save of this worksheet's document writes, piece by piece while the
// bands are read, without holding the whole document or table: for large sheets going straight
// to a file or a pipe. Nothing is written when the character set is unknown. `pieceLength` is the
// number of bytes composed before they are written.
Outcome writeDocumentFile(QIODevice &device, workbook::SheetBands &bands, const Settings &settings,
                          qsizetype pieceLength = 1 << 16);

// Hands the document's bytes in `charset` to `take` in pieces of about `pieceLength` bytes, each
// ending at a line end, without holding the whole document.
void composeDocumentInPieces(const workbook::SheetTable &table, const Settings &settings, const DocumentCharset &charset,
                             const std::function<void(QByteArrayView)> &take, qsizetype pieceLength = 1 << 16);

// Where the piece of a document that starts at `start` ends: after the first line end from
// `pieceLength` bytes on, or at the document's end.
qsizetype documentPieceEnd(QByteArrayView document, qsizetype start, qsizetype pieceLength);

// Hands the bytes of a document held in UTF-8 (as buildUtf8Document composes it) to `take` in
// `charset`, in pieces of about `pieceLength` bytes that each end at a line end, so that the
// document is never held twice over.
void recodeUtf8DocumentInPieces(QByteArrayView utf8Document, const DocumentCharset &charset,
                                const std::function<void(QByteArrayView)> &take, qsizetype pieceLength = 1 << 16);

// The bytes a save writes: the document in the `charset` character set (after a byte order mark
// for UTF-16 and UTF-32), followed by one CR LF.
Result<QByteArray> documentFileBytes(const QString &document, const QString &charset);

// Writes the bytes a save writes for a document held in UTF-8, piece by piece.
Outcome writeUtf8Document(QIODevice &device, QByteArrayView utf8Document, const DocumentCharset &charset);

// Writes them to `path`, replacing an existing file only by a complete new one.
Outcome saveUtf8Document(const QString &path, QByteArrayView utf8Document, const QString &charset);

// The same for a worksheet's document, written piece by piece as `writeDocumentFile` does.
Outcome saveDocument(const QString &path, workbook::SheetBands &bands, const Settings &settings);

} // namespace tessaly
