#include "core/workbook/CellText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>

namespace tessaly::workbook {
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

// Day count since 1970-01-01 of a Gregorian date (H. Hinnant's days_from_civil).
std::int64_t daysFromCivil(int year, int month, int day)
{
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = unsigned(year - era * 400);
    const unsigned dayOfYear = (153 * unsigned(month > 2 ? month - 3 : month + 9) + 2) / 5 + unsigned(day) - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return std::int64_t(era) * 146097 + std::int64_t(dayOfEra) - 719468;
}

// Reads exactly `width` digits at `at`; -1 when they are not there.
// "YYYY-MM-DD" and "HH:MM:SS", as every date and time cell is shown.
char *writeDate(char *out, const CivilDate &date)
{
    out = writeDigits(out, date.year, 4);
    *out++ = '-';
    out = writeDigits(out, date.month, 2);
    *out++ = '-';
    return writeDigits(out, date.day, 2);
}

char *writeTime(char *out, int secondOfDay)
{
    out = writeDigits(out, secondOfDay / 3600, 2);
    *out++ = ':';
    out = writeDigits(out, secondOfDay / 60 % 60, 2);
    *out++ = ':';
    return writeDigits(out, secondOfDay % 60, 2);
}

int readDigits(QStringView text, qsizetype &at, int width)
{
    if (at + width > text.size())
        return -1;
    int value = 0;
    for (int i = 0; i < width; ++i) {
        const char16_t c = text[at + i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    at += width;
    return value;
}

bool skip(QStringView text, qsizetype &at, char16_t expected)
{
    if (at < text.size() && text[at] == expected) {
        ++at;
        return true;
    }
    return false;
}

// Day numbers (since 1970-01-01) of serial 0 in each date system; the 1900 system counts a
// 1900-02-29 that never existed, so serials from 61 on are one day ahead of the calendar.
constexpr std::int64_t kEpoch1900 = -25569; // 1899-12-30
constexpr std::int64_t kEpoch1904 = -24107; // 1904-01-01
constexpr std::int64_t kLastDay = 2932896; // 9999-12-31
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
        end = writeDate(end, date);
        if (secondOfDay == 0) {
            appendAscii(out, buffer, end);
            return;
        }
        *end++ = ' ';
    }
    end = writeTime(end, secondOfDay);
    appendAscii(out, buffer, end);
}

bool appendIsoDateTime(QString &out, QStringView iso)
{
    qsizetype at = 0;
    // A time alone ("23:44:51.894") stands for a time of day, as a serial below 1 does.
    const bool timeOnly = iso.size() > 2 && iso[2] == u':';
    std::optional<std::int64_t> days;
    if (!timeOnly) {
        const int year = readDigits(iso, at, 4);
        const bool dashes = skip(iso, at, u'-');
        const int month = readDigits(iso, at, 2);
        if (dashes && !skip(iso, at, u'-'))
            return false;
        const int day = readDigits(iso, at, 2);
        if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31)
            return false;
        days = daysFromCivil(year, month, day);
        if (civilFromDays(*days).day != day)
            return false;
    }
    double seconds = 0;
    if (timeOnly || skip(iso, at, u'T') || skip(iso, at, u' ')) {
        const int hour = readDigits(iso, at, 2);
        const int minute = skip(iso, at, u':') ? readDigits(iso, at, 2) : -1;
        int second = 0;
        double fraction = 0;
        if (skip(iso, at, u':')) {
            second = readDigits(iso, at, 2);
            if (skip(iso, at, u'.') || skip(iso, at, u',')) {
                for (double scale = 0.1; at < iso.size() && iso[at].isDigit(); ++at, scale /= 10)
                    fraction += (iso[at].unicode() - u'0') * scale;
            }
        }
        if (hour < 0 || hour > 24 || minute < 0 || minute > 59 || second < 0 || second > 60)
            return false;
        seconds = hour * 3600.0 + minute * 60.0 + second + fraction;
    }
    // A zone designator (Z, +09:00) is not shown: the cell shows the wall-clock time it was given.
    if (at < iso.size() && iso[at] != u'Z' && iso[at] != u'+' && iso[at] != u'-')
        return false;
    auto secondOfDay = std::int64_t(std::floor(seconds + 0.5));
    char buffer[20];
    char *end = buffer;
    if (days) {
        const CivilDate date = civilFromDays(*days + secondOfDay / 86400);
        if (date.year < 1 || date.year > 9999)
            return false;
        end = writeDate(end, date);
    }
    secondOfDay %= 86400;
    if (secondOfDay != 0 || !days) {
        if (days)
            *end++ = ' ';
        end = writeTime(end, int(secondOfDay));
    }
    appendAscii(out, buffer, end);
    return true;
}

QLatin1StringView errorText(quint8 code)
{
    switch (code) {
    case 0x00:
        return QLatin1StringView("#NULL!");
    case 0x07:
        return QLatin1StringView("#DIV/0!");
    case 0x0F:
        return QLatin1StringView("#VALUE!");
    case 0x17:
        return QLatin1StringView("#REF!");
    case 0x1D:
        return QLatin1StringView("#NAME?");
    case 0x24:
        return QLatin1StringView("#NUM!");
    default:
        return QLatin1StringView("#N/A");
    }
}

} // namespace tessaly::workbook
