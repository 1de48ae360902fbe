#include "update/ServiceAddress.h"

#include <algorithm>
#include <cctype>
#include <optional>

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

namespace {

constexpr std::string_view kIniSpace = " \t\n\v\f\r";

// As QByteArray::trimmed: ASCII white space.
std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kIniSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kIniSpace) - first + 1);
}

// A hexadecimal number as QString::toUShort(&ok, 16) reads one: white space around it, an
// optional + and 0x, at least one digit.
std::optional<unsigned> LenientHex(std::string_view text) {
  text = Trimmed(text);
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

// A key or section name as QSettings reads it from an INI file: %XX and %UXXXX stand for the
// character of that code, a backslash for a slash; a % that starts neither is itself.
std::string IniName(std::string_view text) {
  std::string name;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\') {
      name += '/';
      ++i;
      continue;
    }
    if (text[i] == '%' && i + 1 < text.size()) {
      const bool wide = text[i + 1] == 'U';
      const std::size_t first = i + (wide ? 2 : 1), digits = wide ? 4 : 2;
      const std::optional<unsigned> code =
          first + digits <= text.size() ? LenientHex(text.substr(first, digits)) : std::nullopt;
      if (code) {
        // UTF-8, as the name is compared and shown.
        if (*code < 0x80) {
          name += static_cast<char>(*code);
        } else if (*code < 0x800) {
          name += static_cast<char>(0xC0 | (*code >> 6));
          name += static_cast<char>(0x80 | (*code & 0x3F));
        } else {
          name += static_cast<char>(0xE0 | (*code >> 12));
          name += static_cast<char>(0x80 | ((*code >> 6) & 0x3F));
          name += static_cast<char>(0x80 | (*code & 0x3F));
        }
        i = first + digits;
        continue;
      }
    }
    name += text[i++];
  }
  return name;
}

}  // namespace

std::vector<SettingKey> SettingKeysOf(std::string_view bytes, const std::string& file) {
  std::vector<SettingKey> keys;
  std::string section;
  std::size_t at = 0;
  int number = 1;  // of the line `at` is on
  // Moves `at` to `to`, counting the line ends passed (CR LF is one).
  const auto moveTo = [&](std::size_t to) {
    for (; at < to; ++at)
      if (bytes[at] == '\n' || (bytes[at] == '\r' && bytes.substr(at + 1, 1) != "\n")) ++number;
  };
  for (;;) {
    // A line begins at the first character that is no white space.
    const std::size_t start = bytes.find_first_not_of(kIniSpace, at);
    if (start == std::string_view::npos) break;
    moveTo(start);
    const int line = number;
    // It ends at a line break or a ';' outside quotes: a quote takes line breaks in, and a
    // backslash the character after it (a line break too, CR LF or LF CR as one). A ';' that
    // begins a line, and whatever follows a ';' on its line, is a comment.
    bool quoted = false;
    std::size_t equals = std::string_view::npos, end = start;
    for (; end < bytes.size(); ++end) {
      const char c = bytes[end];
      if (c == '"') {
        quoted = !quoted;
      } else if (c == '\\') {
        const std::string_view next = bytes.substr(end + 1, 2);
        end += next == "\r\n" || next == "\n\r" ? std::size_t{2} : std::size_t{1};
      } else if (quoted) {
        continue;
      } else if (c == '=') {
        if (equals == std::string_view::npos) equals = end;
      } else if (c == '\n' || c == '\r' || c == ';') {
        break;
      }
    }
    end = std::min(end, bytes.size());
    const std::string_view text = Trimmed(bytes.substr(start, end - start));
    moveTo(end);
    if (end < bytes.size() && bytes[end] == ';')
      moveTo(std::min(bytes.find_first_of("\r\n", end), bytes.size()));
    if (text.empty() || text.starts_with('#')) continue;
    if (text.starts_with('[')) {
      // The name ends at the first ']'. [General], in any case, is no section: its keys are
      // those before any section; [%General] is the section of that name.
      const std::string_view name = Trimmed(text.substr(1, text.find(']') - 1));
      const auto is = [name](std::string_view word) {
        return std::equal(name.begin(), name.end(), word.begin(), word.end(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == b;
        });
      };
      section = is("general")    ? std::string()
                : is("%general") ? std::string(name.substr(1))
                                 : IniName(name);
      continue;
    }
    std::string key = section.empty() ? std::string() : section + '/';
    key += IniName(equals == std::string_view::npos ? text
                                                    : Trimmed(bytes.substr(start, equals - start)));
    keys.push_back({file, line, std::move(key)});
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
