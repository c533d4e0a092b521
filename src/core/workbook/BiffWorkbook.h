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

    QByteArray m_stream;
    bool m_biff8 = true;
    bool m_uses1904 = false;
    quint16 m_codePage = 1252;
    QString m_sharedText;
    std::vector<std::pair<quint32, quint32>> m_sharedStrings; // offset and length in m_sharedText
    std::vector<bool> m_xfIsDate;
    std::vector<quint32> m_sheetOffsets;
};

} // namespace tessaly::xls
