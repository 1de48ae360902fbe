// The service, the window and vettrix-cli on one table of hostile inputs: the real service binary
// on loopback answers /api/v1/imei/ with exactly the record vettrix-cli writes, and its lookup page
// shows the window's verdict.

#include <utility>  // before Boost's headers under C++20

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "app/Text.h"
#include "core/Fixture.h"
#include "core/HostileText.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::test {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// The service binary over `folder`, on a port of its choosing, stopped with the test.
class RunningService {
 public:
  explicit RunningService(const std::string& folder) {
    const std::string log = folder + "/service.log";
    pid_ = ::fork();
    if (pid_ == 0) {
      if (std::freopen(log.c_str(), "w", stderr) == nullptr) ::_exit(127);
      ::execl(VETTRIX_SERVICE, VETTRIX_SERVICE, "--data", folder.c_str(), "--listen", "127.0.0.1:0",
              "serve", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const std::regex listening("listening on 127\\.0\\.0\\.1:(\\d+)");
    for (int i = 0; i < 500 && port_.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream in(log);
      const std::string text((std::istreambuf_iterator<char>(in)), {});
      std::smatch match;
      if (std::regex_search(text, match, listening)) port_ = match[1];
    }
    if (port_.empty()) throw std::runtime_error("the service did not start");
    stream_.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                   static_cast<unsigned short>(std::stoi(port_))));
  }
  ~RunningService() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  // A GET on the one kept-alive connection: the status and the body.
  std::pair<int, std::string> Get(const std::string& target) {
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, "127.0.0.1");
    http::write(stream_, request);
    http::response<http::string_body> response;
    http::read(stream_, buffer_, response);
    return {static_cast<int>(response.result_int()), response.body()};
  }

 private:
  pid_t pid_ = -1;
  std::string port_;
  boost::asio::io_context io_;
  beast::tcp_stream stream_{io_};
  beast::flat_buffer buffer_;
};

std::string Encoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) != 0) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

TEST_F(AppTest, TheServiceTheWindowAndTheCommandLineAgree) {
  Start(MakeDatabase(60));
  std::mt19937_64 rng(20261207);
  std::vector<std::string> inputs = {"490154203237518", "10000001-234567-3",  "x2345678901234*",
                                     "12345678901234A", std::string(15, '0'), "10000001",
                                     "49015420323751",  "4901542032375186"};
  while (inputs.size() < 2000) inputs.push_back(HostileText(rng));
  std::string file;
  for (const std::string& input : inputs) file += input + "\n";
  folder.Write("inputs.txt", file);
  FILE* pipe = popen((std::string(VETTRIX_CLI) + " check --format jsonl --db '" + folder.str() +
                      "/mobidex.csv' '" + folder.str() + "/inputs.txt'")
                         .c_str(),
                     "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[65536];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  pclose(pipe);

  RunningService service(folder.str());
  std::istringstream records(output);
  std::size_t compared = 0, pages = 0;
  for (const std::string& input : inputs) {
    std::string record;
    ASSERT_TRUE(std::getline(records, record));
    SCOPED_TRACE("input: " + DisplayText(input));
    const auto [status, json] = service.Get("/api/v1/imei/" + Encoded(input));
    if (!IsValidUtf8(input)) {
      EXPECT_EQ(status, 400);  // the service takes text only; the command line takes any bytes
      continue;
    }
    if (input.empty()) {  // nothing to put in the address
      EXPECT_EQ(status, 400);
      continue;
    }
    ASSERT_EQ(status, 200) << json;
    // The command line's record without its file and line.
    EXPECT_EQ(json, "{" + record.substr(record.find("\"input\":")).substr(0, record.size()));
    ++compared;
    if (compared % 4 != 0) continue;
    Validate(input);
    if (NormalizeIMEI(TrimSpaces(input)).empty()) continue;  // the window draws a random IMEI
    const std::string page = service.Get("/?imei=" + Encoded(input)).second;
    EXPECT_NE(page.find("id=\"verdict\">" + form->Label16.caption.str() + "<"), std::string::npos);
    ++pages;
  }
  EXPECT_GT(compared, 1500u);
  EXPECT_GT(pages, 300u);
}

}  // namespace
}  // namespace vettrix::test
