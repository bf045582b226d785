#pragma once
// Reading the 17-digit local timestamp "YYYYMMDDhhmmssmmm" that names saved
// images and travels with every queued record.

#include <algorithm>
#include <ctime>
#include <string>

// Splits the first 14 digits into calendar fields (tm_isdst -1: the zone
// decides about summer time) and the next three, when present, into
// milliseconds. False when the text does not start with 14 digits.
inline bool parseTimestampText(const std::string& text, std::tm& fields, int& milliseconds)
{
    auto digits = [&](size_t from, size_t count) {
        if (text.size() < from + count)
            return -1;
        int value = 0;
        for (size_t i = from; i < from + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const int year = digits(0, 4), month = digits(4, 2), day = digits(6, 2);
    const int hour = digits(8, 2), minute = digits(10, 2), second = digits(12, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0)
        return false;
    fields = std::tm{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    milliseconds = std::max(digits(14, 3), 0);
    return true;
}
