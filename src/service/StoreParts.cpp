#include "service/StoreParts.h"

#include "service/Digest.h"

namespace vettrix::service {

std::string ClientKey(std::string_view salt, std::string_view client) {
  std::string salted(salt);
  salted += client;
  return Sha256Hex(salted);
}

std::string SelectSubmissions(std::string_view integerAs) {
  std::string sql = "SELECT ";
  for (const std::string_view field : kSubmissionFields) {
    if (sql.size() > 7) sql += ", ";
    sql += field;
    if (field == "id" || field == "received") sql += integerAs;
  }
  return sql + " FROM submissions ";
}

}  // namespace vettrix::service
