#pragma once

#include "core/workbook/Workbook.h"

namespace tessaly::xls {

class ContinuedReader;

// Excel 5.0/95 and 97-2003 workbooks (BIFF5 and BIFF8).
class BiffWorkbook final : public Workbook {
public:
    // From the workbook stream of an OLE2 file, or a bare BIFF stream.
    static std::unique_ptr<Workbook> fromStream(QByteArray stream, QString *errorString);

private:
    friend class SheetReader;
    BiffWorkbook() = default;
    std::optional<SheetTable> readWorksheet(qsizetype index, QString *errorString) const override;
    bool readGlobals(QString *errorString);
    void readSharedStrings(ContinuedReader &text);

    QByteArray stream_;
    bool biff8_ = true;
    bool uses1904_ = false;
    quint16 codePage_ = 1252;
    QString sharedText_;
    std::vector<std::pair<quint32, quint32>> sharedStrings_; // offset and length in sharedText_
    std::vector<bool> xfIsDate_;
    std::vector<quint32> sheetOffsets_;
};

} // namespace tessaly::xls
