#pragma once

// The maker's own texts and the fixed web addresses of the program.

#include <string_view>

namespace vettrix {

inline constexpr std::string_view kAppTitle = "Vettrix";
// The program's version as shown to people, and as the number the published one is compared
// with. The Debian package takes its version from the first word of the text.
inline constexpr std::string_view kProgramVersionText = "2.1.3-r26 Professional Edition";
inline constexpr std::string_view kProgramVersionNumber = "21326";
// The version alone, without the edition: "2.1.3-r26".
inline constexpr std::string_view kProgramVersion =
    kProgramVersionText.substr(0, kProgramVersionText.find(' '));
inline constexpr std::string_view kMakerName = "Vettrix Labs";
inline constexpr std::string_view kMakerEmail = "support@vettrix.net";
inline constexpr std::string_view kMakerSocial = "@vettrix";
inline constexpr std::string_view kMakerSiteName = "vettrix.net";
inline constexpr std::string_view kMakerSiteUrl = "http://vettrix.net/";
inline constexpr std::string_view kTagline = "Exact IMEI checks, no guesswork.";

// The database web service: version files at "/ver" and "/dbver", pages at "/" and "/?imei=".
inline constexpr std::string_view kServiceUrl = VETTRIX_SERVICE_URL;
inline constexpr std::string_view kServiceSiteName = "Mobidex Online";

inline constexpr std::string_view kSourcePageUrl = "https://github.com/vettrix/vettrix";
inline constexpr std::string_view kCoveragePageUrl = "https://checkcoverage.apple.com/us/en/?sn=";
inline constexpr std::string_view kBannerUrl = "http://ads.vettrix.net/4680601?size=468x60";

}  // namespace vettrix
