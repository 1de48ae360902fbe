#include <QApplication>
#include <QDirIterator>
#include <QIcon>

#include "app/Branding.h"
#include "commands/Handlers.h"
#include "gui/MainWindow.h"
#include "gui/QtPlatform.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(
      QString::fromUtf8(vettrix::kAppTitle.data(), vettrix::kAppTitle.size()));
  // The desktop entry's name lets the desktop match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("net.vettrix.Vettrix"));
  QIcon icon;
  for (QDirIterator png(QStringLiteral(":/icons"), QDirIterator::Subdirectories); png.hasNext();)
    icon.addFile(png.next());
  QApplication::setWindowIcon(icon);

  vettrix::QtPlatform platform;
  vettrix::Form1 form(platform);
  vettrix::MainWindow window(form);
  platform.SetWindow(&window);

  // Start-up fills the model before anything is shown; a fatal failure ends it unseen.
  vettrix::Form_Load(form);
  if (form.closed) return 0;

  platform.ShowWindow();
  return app.exec();
}
