#include "update/ServiceAddress.h"

#include <algorithm>
#include <cctype>

#include "app/Branding.h"
#include "app/Text.h"

namespace vettrix {

bool IsWebAddress(std::string_view url) {
  // Schemes are told apart without regard to case: HTTP://host is a web address.
  const auto opens = [url](std::string_view scheme) {
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
             return a == std::tolower(static_cast<unsigned char>(b));
           });
  };
  for (const std::string_view scheme :
       {std::string_view("http://"), std::string_view("https://")}) {
    if (!opens(scheme)) continue;
    const std::string_view rest = url.substr(scheme.size());
    const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    return !host.empty() && host.find_first_of(" \t\r\n\"<>\\^`{|}") == std::string_view::npos;
  }
  return false;
}

ServiceAddress ResolveServiceAddress(const ServiceSetting& setting) {
  if (setting.value.empty()) return {std::string(kServiceUrl), {}};
  if (IsWebAddress(setting.value)) return {setting.value, {}};
  return {std::string(kServiceUrl), "The service address " + Quoted(setting.value, 200) +
                                        " (service-url in " + DisplayText(setting.source) +
                                        ") is not a web address (http:// or https://); " +
                                        std::string(kServiceUrl) + " is used instead."};
}

std::string ServiceUrl(Form1& form) {
  ServiceAddress address = ResolveServiceAddress(form.platform.ServiceUrlSetting());
  if (!address.problem.empty() && !form.serviceSettingReported) {
    form.serviceSettingReported = true;
    form.platform.MsgBox(address.problem);
  }
  return std::move(address.url);
}

std::string ServiceAddressNote(const ServiceSetting& setting, bool withUnknownKeys) {
  const std::string builtIn = "The built-in address " + std::string(kServiceUrl) + " was used";
  std::string note;
  if (setting.source.empty()) {
    note = builtIn + ": no settings file sets service-url" +
           (setting.userFile.empty() ? std::string(".")
                                     : " (the user's is " + DisplayText(setting.userFile) + ").");
  } else if (!IsWebAddress(setting.value)) {
    note = builtIn + ": service-url in " + DisplayText(setting.source) + " is not a web address.";
  } else {
    note = "The service's address is set by service-url in " + DisplayText(setting.source) + ".";
  }
  if (withUnknownKeys)
    for (const std::string& unknown : UnknownSettingKeys(setting)) {
      note += ' ';
      note += unknown;
    }
  return note;
}

std::vector<SettingKey> SettingKeysOf(std::string_view bytes, const std::string& file) {
  // As QByteArray::trimmed: ASCII white space.
  const auto trimmed = [](std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return std::string_view();
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
  };
  std::vector<SettingKey> keys;
  std::string section;
  int number = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t end = bytes.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string_view line = trimmed(bytes.substr(at, end - at));
    ++number;
    at = end + (bytes.substr(end, 2) == "\r\n" ? 2 : 1);
    if (line.empty() || line.starts_with(';') || line.starts_with('#')) continue;
    if (line.size() >= 2 && line.starts_with('[') && line.ends_with(']')) {
      section = trimmed(line.substr(1, line.size() - 2));
      if (section == "General") section.clear();
      continue;
    }
    const std::size_t equals = line.find('=');
    std::string key = section.empty() ? std::string() : section + '/';
    key += equals == std::string_view::npos ? line : trimmed(line.substr(0, equals));
    keys.push_back({file, number, std::move(key)});
  }
  return keys;
}

std::vector<std::string> UnknownSettingKeys(const ServiceSetting& setting) {
  std::string known;
  for (const std::string_view name : kServiceSettingKeys)
    known += (known.empty() ? "" : ", ") + std::string(name);
  // A file of anything but settings is told of in a few lines, not one a key.
  constexpr std::size_t kShown = 3;
  std::vector<std::string> messages;
  std::size_t unknown = 0;
  for (const SettingKey& key : setting.keys) {
    if (std::find(std::begin(kServiceSettingKeys), std::end(kServiceSettingKeys), key.key) !=
            std::end(kServiceSettingKeys) ||
        ++unknown > kShown)
      continue;
    const std::string_view close = CloseName(kServiceSettingKeys, key.key);
    messages.push_back("Unknown key " + Quoted(key.key, 60) + " in " + DisplayText(key.file) +
                       " line " + std::to_string(key.line) +
                       (close.empty() ? " (known keys: " + known + ")."
                                      : " (did you mean " + std::string(close) + "?)."));
  }
  if (unknown > kShown)
    messages.push_back("And " + std::to_string(unknown - kShown) + " more unknown keys.");
  return messages;
}

}  // namespace vettrix
