#pragma once

#include "core/workbook/OleStorage.h"
#include "core/workbook/Workbook.h"

namespace tessaly::workbook {

class ContinuedReader;
class RecordReader;
struct Record;

// Excel 5.0/95 and 97-2003 workbooks (BIFF5 and BIFF8).
class BiffWorkbook final : public Workbook {
public:
    // From the workbook stream of an OLE2 file, or a bare BIFF stream.
    static Result<std::unique_ptr<Workbook>> fromStream(WorkbookStream stream);

private:
    template <typename Sink> friend class SheetReader;
    friend class BiffSheetBands;
    explicit BiffWorkbook(WorkbookStream stream)
        : m_stream(std::move(stream))
    {
    }
    Result<SheetTable> readWorksheet(qsizetype index) const override;
    Result<std::unique_ptr<SheetBands>> readWorksheetInBands(qsizetype index, std::size_t bandCells) const override;
    // Bytes from the sheet's BOF to the next sheet's, or to the end of the stream.
    std::size_t sheetSize(qsizetype index) const;
    struct PendingGlobals;
    Outcome readGlobals();
    Outcome readOpeningBof(RecordReader &reader);
    void readGlobalRecord(const Record &record, RecordReader &reader, PendingGlobals &pending);
    void readSharedStrings(ContinuedReader &text);

    WorkbookStream m_stream;
    bool m_biff8 = true;
    bool m_uses1904 = false;
    quint16 m_codePage = 1252;
    QString m_sharedText;
    std::vector<std::pair<quint32, quint32>> m_sharedStrings; // offset and length in m_sharedText
    std::vector<bool> m_xfIsDate;
    std::vector<quint32> m_sheetOffsets;
};

} // namespace tessaly::workbook
