#pragma once

// The one address of the web service, for the version checks, the links to its pages and the
// database download: the user's setting when there is a usable one, else the build setting.

#include <string>
#include <string_view>
#include <vector>

#include "seam/Folders.h"

namespace vettrix {

// An http or https address with a host.
bool IsWebAddress(std::string_view url);

struct ServiceAddress {
  std::string url;
  std::string problem;  // why the setting was passed over, when it was
};
ServiceAddress ResolveServiceAddress(const ServiceSetting& setting);

// The keys a settings file may hold.
inline constexpr std::string_view kServiceSettingKeys[] = {"service-url"};

// Where the address used came from, for a message on a service that could not be reached: the
// setting and its file, or the build setting and why it was used; then, unless told apart, the
// settings files' unknown keys (UnknownSettingKeys).
std::string ServiceAddressNote(const ServiceSetting& setting, bool withUnknownKeys = true);

// The keys of the settings file `file` whose bytes are `bytes`, as QSettings reads an INI file,
// where they stand: "key = value" lines, in a [section] other than [General] as "section/key",
// with QSettings' escapes (%XX, %UXXXX, \ for /) read as it reads them. A line ends at a line
// break or a ';' outside quotes (a comment follows); a quoted text may hold line breaks, and a
// backslash escapes the character after it. A line that begins with '#' is a comment too.
std::vector<SettingKey> SettingKeysOf(std::string_view bytes, const std::string& file);

// One message for each key of the settings files that is not a setting: its file, its line and,
// when there is one, the known key it is close to ("did you mean service-url?").
std::vector<std::string> UnknownSettingKeys(const ServiceSetting& setting);

}  // namespace vettrix
