#include "validate/ReportingBodies.h"

namespace vettrix {
namespace {

constexpr std::array<bool, 9> Boxes(int a = 0, int b = 0) {
  std::array<bool, 9> boxes{};
  if (a) boxes[static_cast<std::size_t>(a)] = true;
  if (b) boxes[static_cast<std::size_t>(b)] = true;
  return boxes;
}

}  // namespace

const std::array<ReportingBody, 19> kReportingBodies = {{
    {"00", "00 (Test and pre-series)", Boxes()},
    {"01", "01 (PCS Type Certification Review Board (PTCRB), North America)", Boxes(8)},
    {"10", "10 (DECT PP with GSM functionality)", Boxes()},
    {"30", "30 (Iridium)", Boxes(3)},
    {"31", "31 (ICO Satellite Management)", Boxes(3)},
    {"33", "33 (Directorate General of Posts and Telecommunications (DGTP), France)", Boxes(7)},
    {"35", "35 (British Approvals Board of Telecommunications (BABT), Great Britain)", Boxes(4)},
    {"44", "44 (British Approvals Board of Telecommunications (BABT), Great Britain)", Boxes(4)},
    {"45", "45 (National Telecom Agency (NTA), Denmark)", Boxes(6)},
    {"49", "49 (BZT / BAPT / Regulatory Authority / Federal Network Agency (FNA), Germany)",
     Boxes(4, 5)},
    {"50", "50 (BZT ETS Certification GmbH, Germany)", Boxes(5)},
    {"51", "51 (CETECOM GmbH, Germany)", Boxes(5)},
    {"52", "52 (CETECOM GmbH, Germany)", Boxes(5)},
    {"53", "53 (T\u00DCV Product Service GmbH, Germany)", Boxes(5)},
    {"54", "54 (Phoenix Test-Lab GmbH, Germany)", Boxes(5)},
    {"86", "86 (Telecommunication Terminal Testing & Approval Forum (TAF), China)", Boxes(1)},
    {"91", "91 (Mobile Standard Alliance of India (MSAI), India)", Boxes(2)},
    {"98", "98 (British Approvals Board of Telecommunications (BAPT), Great Britain)", Boxes(4)},
    {"99", "99 (Global Hexadecimal Administrator (GHA), the world)", Boxes()},
}};

const ReportingBody* FindReportingBody(std::string_view imei) {
  // Every code is two digits: index the table by their value instead of comparing texts.
  static const std::array<const ReportingBody*, 100> kByCode = [] {
    std::array<const ReportingBody*, 100> byCode{};
    for (const ReportingBody& body : kReportingBodies) {
      const int value = (body.code[0] - '0') * 10 + (body.code[1] - '0');
      if (byCode[static_cast<std::size_t>(value)] == nullptr)
        byCode[static_cast<std::size_t>(value)] = &body;
    }
    return byCode;
  }();
  if (imei.size() < 2 || imei[0] < '0' || imei[0] > '9' || imei[1] < '0' || imei[1] > '9')
    return nullptr;
  const int code = (imei[0] - '0') * 10 + (imei[1] - '0');
  return kByCode[static_cast<std::size_t>(code)];
}

}  // namespace vettrix
