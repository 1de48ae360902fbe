// Headless benchmarks of the core: validation, synthesis, lookup and generation.

#include <benchmark/benchmark.h>

#include <vector>

#include "BenchSupport.h"
#include "commands/Handlers.h"
#include "db/Mobidex.h"
#include "validate/Synthesis.h"
#include "validate/ValidateIMEI.h"

namespace vettrix::bench {
namespace {

// Valid 15-digit IMEIs on TACs of the shipped database, found by trial.
std::vector<std::string> ValidSample(Form1& form, int count) {
  std::vector<std::string> sample;
  for (int k = 1; static_cast<int>(sample.size()) < count; ++k) {
    const std::string tac(FieldOf(form.Devices.Line(1 + k % (form.Devices.LineCount() - 1)), 0));
    for (int serial = 0; serial < 10; ++serial) {
      std::string imei = tac + "12345" + std::to_string(serial) + "0";
      for (char d = '0'; d <= '9'; ++d) {
        imei.back() = d;
        if (IsValidIMEI(imei)) break;
      }
      if (IsValidIMEI(imei)) {
        sample.push_back(imei);
        break;
      }
    }
  }
  return sample;
}

void BM_ValidateIMEI_Headless(benchmark::State& state) {
  const auto folder = ShippedDatabaseFolder();
  HeadlessApp app(folder->str());
  const std::vector<std::string> sample = ValidSample(app.form, 4096);
  std::size_t i = 0;
  for (auto _ : state) {
    app.form.CurrentIMEI = sample[i++ & 4095];
    benchmark::DoNotOptimize(ValidateIMEI(app.form, app.form.CurrentIMEI));
  }
  state.counters["validations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ValidateIMEI_Headless);

void BM_IsValidIMEI(benchmark::State& state) {
  const auto folder = ShippedDatabaseFolder();
  HeadlessApp app(folder->str());
  const std::vector<std::string> sample = ValidSample(app.form, 4096);
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(IsValidIMEI(sample[i++ & 4095]));
  state.counters["checks/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IsValidIMEI);

void BM_GetRandomIMEI(benchmark::State& state) {
  const auto folder = ShippedDatabaseFolder();
  HeadlessApp app(folder->str());
  app.form.StartTick = app.platform.TickCount();
  for (auto _ : state) benchmark::DoNotOptimize(GetRandomIMEI(app.form));
  state.counters["valid IMEIs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetRandomIMEI);

void BM_ValidateClick_Headless(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str());
  for (auto _ : state) {
    app.form.Text1.text = "490154203237518";
    Command1_Click(app.form);
  }
}
BENCHMARK(BM_ValidateClick_Headless)->Arg(60)->Arg(1000)->Arg(10000)->Arg(99999);

// The TAC lookup through the program's own watch on mobidex.csv; with polling, as on a file
// system that gives no change notifications.
void LookUp(benchmark::State& state, WatchMode watchMode) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str(), watchMode);
  const std::string imei(app.form.Devices.Line(app.form.Devices.LineCount() / 2));
  for (auto _ : state) {
    app.form.TACFound = false;
    Mobidex(app.form, imei);
    benchmark::DoNotOptimize(app.form.TACFound);
  }
}
void BM_Lookup(benchmark::State& state) {
  LookUp(state, WatchMode::kNotified);
}
BENCHMARK(BM_Lookup)->Arg(60)->Arg(1000)->Arg(10000)->Arg(99999);
void BM_Lookup_Polling(benchmark::State& state) {
  LookUp(state, WatchMode::kPolling);
}
BENCHMARK(BM_Lookup_Polling)->Arg(99999);

void BM_Generate_Headless_S8_1000(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str());
  for (auto _ : state) {
    app.form.Combo1.text = "Samsung Galaxy S8";
    app.form.Combo1.listIndex = 27;
    app.form.Combo2.text = "1000";
    Command2_Click(app.form);
  }
  state.SetLabel("quantity 1000");
}
BENCHMARK(BM_Generate_Headless_S8_1000)->Arg(60)->Arg(99999)->Unit(benchmark::kMillisecond);

void BM_Generate_Headless_DatabaseDevice_100(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  HeadlessApp app(folder.str());
  for (auto _ : state) {
    app.form.Combo1.Select(31);
    app.form.Combo2.text = "100";
    Command2_Click(app.form);
  }
}
BENCHMARK(BM_Generate_Headless_DatabaseDevice_100)
    ->Arg(60)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(99999)
    ->Unit(benchmark::kMillisecond);

void BM_FormLoad_Headless(benchmark::State& state) {
  BenchFolder folder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    HeadlessApp app(folder.str());
    benchmark::DoNotOptimize(app.form.Combo1.list.size());
  }
}
BENCHMARK(BM_FormLoad_Headless)
    ->Arg(60)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(99999)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vettrix::bench
