#pragma once

// The one address of the web service, for the version checks, the links to its pages and the
// database download: the user's setting when there is a usable one, else the build setting.

#include <string>
#include <string_view>

#include "app/Form1.h"

namespace vettrix {

// An http or https address with a host.
bool IsWebAddress(std::string_view url);

struct ServiceAddress {
  std::string url;
  std::string problem;  // why the setting was passed over, when it was
};
ServiceAddress ResolveServiceAddress(const ServiceSetting& setting);

// The window's: a setting that is no web address is reported once, then the build setting used.
std::string ServiceUrl(Form1& form);

// Where the address is set, for a message: "service-url in FILE".
std::string ServiceSettingHint(const ServiceSetting& setting);

}  // namespace vettrix
