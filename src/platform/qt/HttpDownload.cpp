#include "platform/qt/HttpDownload.h"

namespace vettrix {

DownloadResult HttpDownload(std::string_view, const std::string&) { return {false, "not built yet"}; }

}  // namespace vettrix
