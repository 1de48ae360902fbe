#pragma once

// Fields of CSV and TSV records: a field in double quotes may hold the delimiter, line ends and
// doubled quotes; a quote elsewhere is an ordinary character.

#include <cstddef>
#include <string>
#include <string_view>

namespace vettrix::records {

struct FieldScan {
  bool present = false;    // the record has that many fields
  bool continues = false;  // the record ends inside quotes: it goes on in the next line
};

// Field `index` (from 0) of `record` into `field`, without its quotes.
FieldScan FieldAt(std::string_view record, char delimiter, std::size_t index, std::string& field);

}  // namespace vettrix::records
