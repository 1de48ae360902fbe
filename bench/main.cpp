// The window benchmarks need a QApplication before any widget exists, so the benchmarks get
// their own main instead of benchmark_main.

#include <benchmark/benchmark.h>

#include <QApplication>

namespace {

QtMessageHandler qtHandler = nullptr;

// The offscreen platform warns about size hints on every fixed-size window it shows; that says
// nothing about the program and would bury the results.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QLatin1String("propagateSizeHints"))) return;
  qtHandler(type, context, message);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Runs without a display; an explicit QT_QPA_PLATFORM still wins, to compare with a real one.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qtHandler = qInstallMessageHandler(QuietHandler);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
