#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <span>

namespace tessaly::workbook {

// Prepares libgsf once and keeps its log off standard error.
void initGsf();

// A workbook stream's bytes and what keeps them: a bare BIFF file itself, or an OLE2 file with the
// reader of its stream. Where the stream's sectors lie in one run, as most writers leave them, the
// bytes are that run of the file: a large workbook is not held twice.
class WorkbookStream {
public:
    explicit WorkbookStream(QByteArray bareStream);
    std::span<const uchar> bytes() const { return m_bytes; }

private:
    friend Result<WorkbookStream> readWorkbookStream(QByteArray file);
    WorkbookStream() = default;

    QByteArray m_file;
    std::shared_ptr<void> m_reader; // the stream's libgsf input, owning the bytes when they are a copy
    std::span<const uchar> m_bytes;
};

// The workbook stream of an OLE2 compound file held in memory.
Result<WorkbookStream> readWorkbookStream(QByteArray file);

} // namespace tessaly::workbook
