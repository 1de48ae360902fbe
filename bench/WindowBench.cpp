// How cost grows with the database: every operation a user triggers, at 60, 1,000, 10,000 and
// 99,999 database lines, headless and on the real window (Qt's offscreen platform).

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "commands/Handlers.h"
#include "gui/MainWindow.h"
#include "gui/QtPlatform.h"
#include "validate/Synthesis.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::bench {
namespace {

using Clock = std::chrono::steady_clock;

void DatabaseSizes(benchmark::internal::Benchmark* b) {
  for (const int lines : {60, 1000, 10000, 99999}) b->Arg(lines);
  b->ArgName("lines");
}

// Batches of this many validations reuse one sample, and ValidList is emptied between batches,
// as a Generate run empties it, so the list does not grow for the whole run.
constexpr std::size_t kBatch = 4096;

// A valid IMEI on `tac`, its serial taken from `serial`.
std::string ValidOnTAC(std::string_view tac, int serial) {
  std::string imei(tac);
  const std::string digits = std::to_string(1000000 + serial % 9000000);
  imei += std::string_view(digits).substr(0, 6);
  imei += '0';
  for (char d = '0'; d <= '9'; ++d) {
    imei.back() = d;
    if (IsValidIMEI(imei)) break;
  }
  return imei;
}

// Valid IMEIs on TACs spread over the whole database, so lookups hit its whole range.
std::vector<std::string> SampleOverDatabase(const Form1& form, std::size_t count) {
  const int devices = form.Devices.LineCount() - 1;
  std::vector<std::string> sample;
  sample.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const int line = 1 + static_cast<int>(k * 7919 % static_cast<std::size_t>(devices));
    sample.push_back(ValidOnTAC(FieldOf(form.Devices.Line(line), 0), static_cast<int>(k)));
  }
  return sample;
}

int ListPosition(const Form1& form, std::string_view entry) {
  const auto& list = form.Combo1.list;
  return static_cast<int>(std::find(list.begin(), list.end(), entry) - list.begin());
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The real platform, but over the benchmark's folder, and with message boxes recorded instead
// of shown: a box waits for a person, and that wait is no part of the command's cost.
class BenchQtPlatform : public QtPlatform {
 public:
  explicit BenchQtPlatform(std::string folder) : folder_(std::move(folder)) {}
  void MsgBox(std::string_view text) override { lastMessage.assign(text); }
  std::string ProgramFolder() override { return folder_; }

  std::string lastMessage;

 private:
  std::string folder_;
};

// Lets Qt deliver the show until the window is on the (offscreen) screen.
bool WaitExposed(QWidget& window) {
  QElapsedTimer waited;
  waited.start();
  while (window.windowHandle() == nullptr || !window.windowHandle()->isExposed()) {
    if (waited.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

void DrainEvents() {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The program as main() starts it, over `folder`, its window shown.
struct WindowApp {
  explicit WindowApp(const std::string& folder) : platform(folder), form(platform), window(form) {
    // No benchmark waits on the advertising banner's network request.
    form.Scriptlet1.url.clear();
    platform.SetWindow(&window);
    Form_Load(form);
    window.Sync();
    window.show();
    shown = !form.closed && WaitExposed(window);
    DrainEvents();
  }
  ~WindowApp() {
    window.close();
    DrainEvents();
  }
  QPushButton* Button(const char* name) {
    return window.findChild<QPushButton*>(QString::fromLatin1(name));
  }

  BenchQtPlatform platform;
  Form1 form;
  MainWindow window;
  bool shown = false;
};

void BM_ValidateIMEI_Headless_BySize(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str());
  const std::vector<std::string> sample = SampleOverDatabase(app.form, kBatch);
  std::size_t i = 0;
  for (auto _ : state) {
    if (i % kBatch == 0) app.form.ValidList.clear();
    app.form.CurrentIMEI = sample[i++ % kBatch];
    benchmark::DoNotOptimize(ValidateIMEI(app.form, app.form.CurrentIMEI));
  }
  if (!app.form.TACFound) state.SkipWithError("the sample's TACs were not found");
  state.counters["validations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ValidateIMEI_Headless_BySize)->Apply(DatabaseSizes);

void BM_GetRandomIMEI_BySize(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str());
  app.form.StartTick = app.platform.TickCount();
  std::size_t i = 0;
  for (auto _ : state) {
    if (i++ % kBatch == 0) app.form.ValidList.clear();
    benchmark::DoNotOptimize(GetRandomIMEI(app.form));
  }
  state.counters["valid IMEIs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["candidates/valid"] =
      static_cast<double>(app.form.GeneratedCount) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_GetRandomIMEI_BySize)->Apply(DatabaseSizes);

void BM_Generate_Headless_S8_1000_BySize(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str());
  const int s8 = ListPosition(app.form, "Samsung Galaxy S8");
  for (auto _ : state) {
    app.form.Combo1.Select(s8);
    app.form.Combo2.text = "1000";
    Command2_Click(app.form);
  }
  if (app.form.ValidCount != 1000) state.SkipWithError("Generate did not make 1000 IMEIs");
}
BENCHMARK(BM_Generate_Headless_S8_1000_BySize)->Apply(DatabaseSizes)->Unit(benchmark::kMillisecond);

// A click on Validate as the user makes it: the handler, then the sync of the widgets from the
// model. Two IMEIs on different database lines alternate, so every click changes the captions.
// The paint that follows once the event loop runs again is timed apart.
void BM_ValidateClick_Window(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  WindowApp app(folder.str());
  if (!app.shown) {
    state.SkipWithError("the window did not start");
    return;
  }
  QPushButton* validate = app.Button("Command1");
  const int lines = app.form.Devices.LineCount();
  const std::string imeis[2] = {ValidOnTAC(FieldOf(app.form.Devices.Line(lines / 2), 0), 1),
                                ValidOnTAC(FieldOf(app.form.Devices.Line(lines / 3), 0), 2)};
  std::vector<double> clicks, paints;
  std::size_t i = 0;
  for (auto _ : state) {
    app.form.Text1.text = imeis[i++ & 1];
    const auto start = Clock::now();
    validate->click();
    const auto clicked = Clock::now();
    QCoreApplication::processEvents();
    const auto painted = Clock::now();
    const double seconds = std::chrono::duration<double>(clicked - start).count();
    state.SetIterationTime(seconds);
    clicks.push_back(seconds);
    paints.push_back(std::chrono::duration<double>(painted - clicked).count());
    if (i % kBatch == 0) app.form.ValidList.clear();
  }
  if (!app.form.TACFound) state.SkipWithError("the IMEIs' TACs were not found");
  state.counters["median_us"] = Median(clicks) * 1e6;
  state.counters["paint_median_us"] = Median(paints) * 1e6;
}
BENCHMARK(BM_ValidateClick_Window)
    ->Apply(DatabaseSizes)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Generate clicked on the window: the run with its event pump and syncs, and the report file.
// A database device can end past the quantity: each cycle counts the IMEI made on its TAC as
// well as the candidate it then checks.
void GenerateOnWindow(benchmark::State& state, const char* device, int position, int quantity) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  WindowApp app(folder.str());
  if (!app.shown) {
    state.SkipWithError("the window did not start");
    return;
  }
  QPushButton* generate = app.Button("Command2");
  if (device != nullptr) position = ListPosition(app.form, device);
  for (auto _ : state) {
    app.form.Combo1.Select(position);
    app.form.Combo2.text = std::to_string(quantity);
    app.platform.lastMessage.clear();
    generate->click();
    QCoreApplication::processEvents();
  }
  if (app.platform.lastMessage.rfind("Calculation completed", 0) != 0)
    state.SkipWithError(("Generate did not complete: " + app.platform.lastMessage).c_str());
  else if (app.form.ValidCount < quantity)
    state.SkipWithError(
        ("Generate made only " + std::to_string(app.form.ValidCount) + " IMEIs").c_str());
}

void BM_Generate_Window_S8_1000(benchmark::State& state) {
  GenerateOnWindow(state, "Samsung Galaxy S8", 0, 1000);
}
BENCHMARK(BM_Generate_Window_S8_1000)->Apply(DatabaseSizes)->Unit(benchmark::kMillisecond);

void BM_Generate_Window_DatabaseDevice_100(benchmark::State& state) {
  GenerateOnWindow(state, nullptr, 31, 100);
}
BENCHMARK(BM_Generate_Window_DatabaseDevice_100)
    ->Apply(DatabaseSizes)
    ->Unit(benchmark::kMillisecond);

// A long run of the catalogue's S8, on the headless model and on the window in the same
// iteration: what the window's event handling and syncs add to the run itself.
void BM_Generate_S8_100000_WindowVsHeadless(benchmark::State& state) {
  constexpr int kQuantity = 100'000;
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp headless(folder.str());
  WindowApp app(folder.str());
  if (!app.shown) {
    state.SkipWithError("the window did not start");
    return;
  }
  QPushButton* generate = app.Button("Command2");
  const int s8 = ListPosition(app.form, "Samsung Galaxy S8");
  std::vector<double> headlessSeconds, windowSeconds;
  for (auto _ : state) {
    headless.form.Combo1.Select(s8);
    headless.form.Combo2.text = std::to_string(kQuantity);
    auto start = Clock::now();
    Command2_Click(headless.form);
    headlessSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());

    app.form.Combo1.Select(s8);
    app.form.Combo2.text = std::to_string(kQuantity);
    start = Clock::now();
    generate->click();
    windowSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    QCoreApplication::processEvents();
  }
  if (headless.form.ValidCount != kQuantity || app.form.ValidCount != kQuantity)
    state.SkipWithError("Generate did not make 100,000 IMEIs");
  state.counters["headless_s"] = Median(headlessSeconds);
  state.counters["window_s"] = Median(windowSeconds);
  state.counters["window_per_headless"] = Median(windowSeconds) / Median(headlessSeconds);
}
BENCHMARK(BM_Generate_S8_100000_WindowVsHeadless)
    ->Arg(99999)
    ->ArgName("lines")
    ->Iterations(3)
    ->Unit(benchmark::kSecond);

// Start-up as main() runs it, from Form_Load until the window is shown on the screen.
void BM_Startup_Window(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto platform = std::make_unique<BenchQtPlatform>(folder.str());
    auto form = std::make_unique<Form1>(*platform);
    form->Scriptlet1.url.clear();
    auto window = std::make_unique<MainWindow>(*form);
    platform->SetWindow(window.get());

    const auto start = Clock::now();
    Form_Load(*form);
    if (form->closed || platform->IsClosed()) {
      state.SkipWithError(("start-up failed: " + platform->lastMessage).c_str());
      break;
    }
    window->Sync();
    window->show();
    const bool shown = WaitExposed(*window);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!shown) {
      state.SkipWithError("the window was not shown");
      break;
    }

    window->close();
    window.reset();
    DrainEvents();
  }
}
BENCHMARK(BM_Startup_Window)->Apply(DatabaseSizes)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vettrix::bench
