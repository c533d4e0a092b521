#pragma once

#include "receiver/FormReader.h"
#include "receiver/TableStore.h"

#include <QString>

#include <functional>

namespace tessaly::receiver {

// What the receiver answers: an HTTP status and one Japanese line, and for the log the table
// and the rows inserted.
struct Answer {
    int status = 200;
    QString text;
    qsizetype rows = -1;
};

struct InsertSettings {
    DatabaseTarget database;
    bool createTables = false;
    bool emptyAsText = false;
};

// Puts the rows of one insert form into its table, in one transaction: all rows or none. A form
// with a requestId whose rows are already in the table inserts nothing. The work stops, and
// nothing is committed, once `clientConnected` says that the client has gone.
Answer insertForm(InsertForm form, const InsertSettings &settings, const std::function<bool()> &clientConnected);

} // namespace tessaly::receiver
