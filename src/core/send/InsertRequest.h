#pragma once

#include "core/Result.h"
#include "core/settings/Settings.h"
#include "core/send/Transfer.h"
#include "core/workbook/Workbook.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace tessaly {

// An insert request worked out from the settings and the document before anything is sent: the
// POST of the form fields command, tabName, requestId and xmlText, or why nothing is sent (the
// status line's text).
using InsertRequest = Result<TransferRequest>;

// A new random identifier for a composed document, sent with every send of it as the form field
// requestId: a receiver that records it inserts the rows once, however often they are sent.
QString newRequestId();

// The status line while a request runs, and the refusals of a send.
QString sentStatusText();
QString blankUrlStatusText();
QString busyStatusText();

// Appends the form encoding of application/x-www-form-urlencoded: letters, digits and "*-._"
// stay, a space becomes "+", every other byte becomes %XX.
void appendFormEncoded(QByteArray &out, QByteArrayView bytes);

// The request for a document held as text, and for a worksheet's document composed piece by
// piece: the form body is built in one buffer, a piece at a time. Without a requestId the form
// has no such field.
InsertRequest buildInsertRequest(const Settings &settings, QStringView document, const QString &requestId = {});
InsertRequest buildInsertRequest(const Settings &settings, const workbook::SheetTable &table, const QString &requestId = {});
// The same for a document held in UTF-8, as the window shows it. The request shares the bytes and
// composes its body while it is sent, so that a large document is not held twice over.
InsertRequest buildUtf8InsertRequest(const Settings &settings, const QByteArray &utf8Document, const QString &requestId = {});

// The send button's work: refuses while a request runs or when the request cannot be built,
// otherwise starts the POST. Success means the POST started: the status line then shows
// sentStatusText() until the transfer ends; a failure holds the refusal for the status line.
Outcome sendInsert(Transfer &transfer, const InsertRequest &request);

} // namespace tessaly
