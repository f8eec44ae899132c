// Zentu: one copy per user, the window created hidden, the tray, the event loop.
#include <QApplication>
#include <QMessageBox>
#include <QScopeGuard>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/app_logic.h"
#include "app/main_window.h"
#include "app/mpris.h"
#include "app/quit_signals.h"
#include "platform/exceptions.h"
#include "platform/power_off.h"
#include "platform/qt_main_loop.h"
#include "platform/single_instance.h"

namespace {

void ShowErrorBox(std::exception_ptr error) {
    QMessageBox::critical(nullptr, QStringLiteral("Zentu v1.1"), QString::fromStdString(zentu::ExceptionText(error)));
}

std::string ExecutablePath(const char* argv0) {
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? std::string(argv0) : path.toStdString();
}

}  // namespace

int main(int argc, char* argv[]) {
    // A second copy ends at once, without a word; where no lock can be made, none starts.
    const zentu::TSingleInstanceLock instance("zentu");
    if (instance.AnotherCopyRuns()) return 0;
    if (!instance.Acquired()) {
        std::cerr << "zentu: no lock file could be made (" << instance.Path() << "): not started\n";
        return 1;
    }

    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("zentu"));
    application.setQuitOnLastWindowClosed(false);
    application.setFont(zentu::WindowFont());

    zentu::TQtMainLoop loop;
    loop.SetExceptionDisplay(ShowErrorBox);
    zentu::SetMainLoop(&loop);

    zentu::TSystemPowerControl power;
    zentu::TFOptions options;
    for (int i = 1; i < argc; ++i) options.args.emplace_back(argv[i]);
    options.powerControl = &power;
    options.executablePath = ExecutablePath(argv[0]);
    options.minuteMs = zentu::app::MinuteLength(std::getenv("ZENTU_MINUTE_MS"));
    const char* trace = std::getenv("ZENTU_TRACE");
    if (trace && std::string(trace) == "1") options.trace = &std::cout;

    int result = 0;
    {
        zentu::TF window(std::move(options));
        // While the window lives, the player's errors are shown through it.
        loop.SetExceptionDisplay([&window](std::exception_ptr error) { window.ShowPlaybackError(error); });
        const auto plainDisplay = qScopeGuard([&loop] { loop.SetExceptionDisplay(ShowErrorBox); });
        window.FormCreate();
        if (!window.Terminated()) {
            // No notification area: the window is the only way in, so it is shown at once.
            if (!window.TTray->Available()) window.PUML_MainWindowClick();
            // Ended by the session or a terminal, as by the exit item: nothing is left behind.
            const zentu::TQuitSignals quitSignals([&window] { window.PUML_Exit->trigger(); });
            zentu::TMprisService mpris(window, QDBusConnection::sessionBus(), std::getenv("XDG_RUNTIME_DIR"));
            result = application.exec();
        }
    }
    zentu::SetMainLoop(nullptr);
    return result;
}
