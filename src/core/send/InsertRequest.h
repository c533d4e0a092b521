#pragma once

#include "core/settings/Settings.h"
#include "core/send/Transfer.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

namespace tessaly {

// An insert request worked out from the settings and the document before anything is sent.
struct InsertRequest {
    QString refusal;          // non-empty: the status line's text, and nothing is sent
    TransferRequest transfer; // the POST of the form fields command, tabName and xmlText
};

// The status line while a request runs, and the refusals of a send.
QString sentStatusText();
QString blankUrlStatusText();
QString busyStatusText();

// The time-out setting read as a single-precision number and rounded to the nearest whole number,
// ties to the even neighbour; nothing when the text is no number or the result is negative or does
// not fit a 32-bit integer.
std::optional<int> requestTimeoutSeconds(const QString &text);

// The form encoding of application/x-www-form-urlencoded: letters, digits and "*-._" stay,
// a space becomes "+", every other byte becomes %XX.
QByteArray formEncode(const QByteArray &bytes);

InsertRequest buildInsertRequest(const Settings &settings, QStringView document);

// The send button's work: refuses while a request runs or when the request cannot be built,
// otherwise starts the POST. Returns the status line's text.
QString sendInsert(Transfer &transfer, const Settings &settings, QStringView document);

} // namespace tessaly
