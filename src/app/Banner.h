#pragma once

#include <string>
#include <string_view>

namespace vettrix {

// What the banner shows of an HTML page: its visible text, without tags, comments, scripts,
// styles and the title, common entities decoded and runs of white space made one space. The
// page's bytes are read as the window reads any text (UTF-8, else Latin-1).
std::string BannerText(std::string_view html);

}  // namespace vettrix
