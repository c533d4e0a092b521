#pragma once

#include <QHash>
#include <QString>
#include <QStringView>

// How cell values are written as text, independent of the machine's locale.
namespace tessaly::workbook {

// True for Excel's built-in number formats that show a date or a time.
bool isBuiltInDateFormat(quint16 formatIndex);

// True when a number format code shows a date or time: y, m, d, h or s outside quoted text,
// [brackets] and escaped characters.
bool isDateFormatCode(QStringView code);

// Which number formats show a date or time: the workbook's own format codes, else the built-in ones.
class DateFormats {
public:
    void define(quint32 formatIndex, QStringView code) { m_isDate.insert(formatIndex, isDateFormatCode(code)); }
    bool isDate(quint32 formatIndex) const
    {
        return m_isDate.value(formatIndex, formatIndex <= 0xFFFF && isBuiltInDateFormat(quint16(formatIndex)));
    }

private:
    QHash<quint32, bool> m_isDate;
};

// The most characters appendNumber and appendDateTime append ("-1.23456789012345e-308").
inline constexpr qsizetype kLongestNumberText = 22;

// Appends value as C's %.15g would write it; -0 is written 0.
void appendNumber(QString &out, double value);

// Appends a date serial as HH:MM:SS (below one day), YYYY-MM-DD or YYYY-MM-DD HH:MM:SS, rounded to
// the second; negative serials and serials past 9999-12-31 are appended as numbers.
void appendDateTime(QString &out, double serial, bool uses1904);

// Appends an ISO 8601 date, date and time, or time ("2024-03-01", "2024-03-01T12:30:00.5Z",
// "12:30:00") as appendDateTime writes them, rounded to the second; returns false, appending
// nothing, when iso is no such text.
bool appendIsoDateTime(QString &out, QStringView iso);

// The text Excel shows for a BOOLERR/FORMULA error code.
QLatin1StringView errorText(quint8 code);

} // namespace tessaly::workbook
