// The one reader of the records the search leaves: "Vontal.log" (model line, exponent headers,
// found records, end-of-exponent records with their check values, and notes such as a kernel's
// failed self-test) and "Result.txt" (found records only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vontal::cluster {

enum class RecordKind {
    Model,   // "Model 6  2400MHz"
    Header,  // "n=50  k from 20e12": an exponent begun afresh
    Found,   // "found m=12,  k=7,  n=14" and "7.2^14+1 divides F_12"
    End,     // " up to 30e12, CODO=BB1C9EA2C6, Date/Time:..." closes the exponent of the header before
    Note,    // any other line (the program's notes); not a record of the search
};

struct Record {
    RecordKind kind = RecordKind::Note;
    size_t line = 0;  // where it begins, counted from 1
    uint32_t n = 0;   // Header, Found
    uint32_t m = 0;   // Found
    int64_t k = 0;    // Found
    std::string kText;       // Header: the first k as quoted; End: the last k as quoted
    std::string checkValue;  // End
    std::string dateTime;    // End
    std::string text;        // Note: the line
};

struct RecordsRead {
    std::vector<Record> records;
    // Empty when every record reads; else the first damaged one: "line 12: ...".
    std::string problem;
};

// Reads the records of a log or result file. Lines end in CR LF (a lone LF is taken too). A line
// that begins like a record but does not read as one is damage, except at the very end of a file
// without a line end after it: that is a record still being written by a running search, and is
// left out.
RecordsRead ReadRecords(const std::string& text);

}  // namespace vontal::cluster
