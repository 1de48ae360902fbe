#include "records/Columns.h"

#include <cstring>

namespace vettrix::records {

FieldScan FieldAt(std::string_view record, char delimiter, std::size_t index, std::string& field) {
  FieldScan scan;
  field.clear();
  std::size_t i = 0, f = 0;
  for (;; ++f) {
    const bool wanted = f == index;
    if (i < record.size() && record[i] == '"') {
      ++i;
      for (;;) {
        const std::size_t quote = record.find('"', i);
        if (quote == std::string_view::npos) {
          if (wanted) field.append(record.substr(i));
          scan.present = scan.present || wanted;
          scan.continues = true;
          return scan;
        }
        if (wanted) field.append(record.substr(i, quote - i));
        if (quote + 1 < record.size() && record[quote + 1] == '"') {
          if (wanted) field += '"';
          i = quote + 2;
          continue;
        }
        i = quote + 1;
        break;
      }
    }
    // Unquoted, or what follows a closing quote up to the delimiter.
    const std::size_t end = std::min(record.find(delimiter, i), record.size());
    if (wanted) {
      field.append(record.substr(i, end - i));
      scan.present = true;
    }
    if (end == record.size()) return scan;
    i = end + 1;
  }
}

}  // namespace vettrix::records
