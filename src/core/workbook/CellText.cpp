#include "core/workbook/CellText.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace tessaly::xls {
namespace {

void appendAscii(QString &out, const char *begin, const char *end)
{
    out.append(QLatin1StringView(begin, end - begin));
}

// Writes value as two or four digits.
char *writeDigits(char *out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

struct CivilDate {
    int year;
    int month;
    int day;
};

// Gregorian date of a day count since 1970-01-01 (H. Hinnant's civil_from_days).
CivilDate civilFromDays(std::int64_t days)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    return {int(era * 400 + yearOfEra + (month <= 2)), int(month), int(day)};
}

// Day numbers (since 1970-01-01) of serial 0 in each date system; the 1900 system counts a
// 1900-02-29 that never existed, so serials from 61 on are one day ahead of the calendar.
constexpr std::int64_t kEpoch1900 = -25569; // 1899-12-30
constexpr std::int64_t kEpoch1904 = -24107; // 1904-01-01
constexpr std::int64_t kLastDay = 2932896;  // 9999-12-31
constexpr int kFictitiousLeapDay = 60;

} // namespace

bool isBuiltInDateFormat(quint16 formatIndex)
{
    return (formatIndex >= 14 && formatIndex <= 22) || (formatIndex >= 27 && formatIndex <= 36)
        || (formatIndex >= 45 && formatIndex <= 47) || (formatIndex >= 50 && formatIndex <= 58);
}

bool isDateFormatCode(QStringView code)
{
    enum class State { Plain, Quoted, Escaped, Bracketed } state = State::Plain;
    for (const QChar ch : code) {
        const char16_t c = ch.unicode();
        switch (state) {
        case State::Quoted:
            if (c == u'"')
                state = State::Plain;
            break;
        case State::Escaped:
            state = State::Plain;
            break;
        case State::Bracketed:
            if (c == u']')
                state = State::Plain;
            break;
        case State::Plain:
            if (c == u'"')
                state = State::Quoted;
            else if (c == u'\\' || c == u'_' || c == u'*')
                state = State::Escaped;
            else if (c == u'[')
                state = State::Bracketed;
            else if (QStringView(u"ymdhsYMDHS").contains(ch))
                return true;
            break;
        }
    }
    return false;
}

void appendNumber(QString &out, double value)
{
    char buffer[32];
    // Whole numbers below 10^15 print in full under %.15g; integer formatting is much faster.
    // It also writes -0 as 0.
    if (std::abs(value) < 1e15 && value == std::trunc(value)) {
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::int64_t(value));
        appendAscii(out, buffer, result.ptr);
        return;
    }
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    appendAscii(out, buffer, result.ptr);
}

void appendDateTime(QString &out, double serial, bool uses1904)
{
    const std::int64_t epoch = uses1904 ? kEpoch1904 : kEpoch1900;
    const double lastSerial = double(kLastDay - epoch);
    if (!(serial >= 0) || serial >= lastSerial + 1) {
        appendNumber(out, serial);
        return;
    }
    const auto totalSeconds = std::int64_t(std::floor(serial * 86400.0 + 0.5));
    std::int64_t days = totalSeconds / 86400;
    const int secondOfDay = int(totalSeconds % 86400);
    if (days > kLastDay - epoch) {
        appendNumber(out, serial);
        return;
    }
    char buffer[20];
    char *end = buffer;
    if (days > 0) {
        CivilDate date{1900, 2, 29};
        if (uses1904 || days != kFictitiousLeapDay)
            date = civilFromDays(epoch + days + (!uses1904 && days < kFictitiousLeapDay ? 1 : 0));
        end = writeDigits(end, date.year, 4);
        *end++ = '-';
        end = writeDigits(end, date.month, 2);
        *end++ = '-';
        end = writeDigits(end, date.day, 2);
        if (secondOfDay == 0) {
            appendAscii(out, buffer, end);
            return;
        }
        *end++ = ' ';
    }
    end = writeDigits(end, secondOfDay / 3600, 2);
    *end++ = ':';
    end = writeDigits(end, secondOfDay / 60 % 60, 2);
    *end++ = ':';
    end = writeDigits(end, secondOfDay % 60, 2);
    appendAscii(out, buffer, end);
}

QLatin1StringView errorText(quint8 code)
{
    switch (code) {
    case 0x00: return QLatin1StringView("#NULL!");
    case 0x07: return QLatin1StringView("#DIV/0!");
    case 0x0F: return QLatin1StringView("#VALUE!");
    case 0x17: return QLatin1StringView("#REF!");
    case 0x1D: return QLatin1StringView("#NAME?");
    case 0x24: return QLatin1StringView("#NUM!");
    default: return QLatin1StringView("#N/A");
    }
}

} // namespace tessaly::xls
