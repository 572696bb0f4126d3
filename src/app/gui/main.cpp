// quorvel-gui: the desktop application. A client of the scheduler service
// ("quorvel daemon", started here when none runs): closing the window or
// quitting leaves running backups to the service.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include "app/AppController.h"
#include "app/gui/AssistantHost.h"
#include "app/gui/AssistantWindow.h"
#include "app/gui/FrontEnd.h"
#include "app/gui/LaunchSequence.h"
#include "app/gui/MainWindow.h"
#include "app/gui/Notifier.h"
#include "app/gui/RunLoopBridge.h"
#include "app/gui/TrayItem.h"
#include "foundation/UserDefaults.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Quorvel Varid");
  QApplication::setApplicationVersion(QUORVEL_VERSION);
  QApplication::setDesktopFileName("quorvel");

  QCommandLineParser parser;
  parser.setApplicationDescription("Quorvel Varid: backups of a folder to a disk, a server or the cloud.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption hidden("hidden", "Start in the tray, without the window (where the desktop has a tray).");
  QCommandLineOption noStart("no-start", "Never start the scheduler service; wait for one to run.");
  parser.addOption(hidden);
  parser.addOption(noStart);
  parser.process(application);

  quorvel::AppController::registerDefaults(quorvel::UserDefaults::standard());
  const std::string serviceProgram =
      parser.isSet(noStart) ? std::string() : (QApplication::applicationDirPath() + "/quorvel").toStdString();

  // What the engine posts to the main thread (the assistant's checks) runs on Qt's loop.
  quorvel::RunLoopBridge runLoop;
  quorvel::FrontEnd frontEnd(serviceProgram);
  quorvel::MainWindow window(frontEnd);
  quorvel::TrayItem tray(frontEnd);
  quorvel::AssistantHost assistantHost(frontEnd, window);
  quorvel::AssistantWindow assistant(assistantHost);
  assistantHost.attach(assistant);
  quorvel::UserDefaults& defaults = quorvel::UserDefaults::standard();
  quorvel::Notifier notifier(frontEnd, tray.icon());
  quorvel::LaunchSequence launch(frontEnd, defaults, &window);
  // With a tray the application lives on when its window closes, unless the
  // preferences say otherwise.
  QApplication::setQuitOnLastWindowClosed(!tray.isShown() || defaults.boolForKey("quitOnWindowClose"));
  QObject::connect(&tray, &quorvel::TrayItem::openWindowRequested, &window, [&window] {
    window.show();
    window.raise();
    window.activateWindow();
  });
  QObject::connect(&tray, &quorvel::TrayItem::quitRequested, &application, &QApplication::quit);
  const bool inTray = tray.isShown() && (parser.isSet(hidden) || !defaults.boolForKey("showWindowOnLaunch"));
  if (!inTray) window.show();
  QTimer::singleShot(0, &launch, &quorvel::LaunchSequence::start);
  return application.exec();
}
