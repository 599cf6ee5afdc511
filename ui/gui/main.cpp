// tidewell: the downloader's window. Start-up order: the single-instance
// guard (a later copy hands over to the running one and ends), then the
// controller and the window; the program ends when the window does.
#include <cstdio>
#include <QApplication>
#include <QMessageBox>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>

#include "app/ConfigSlots.h"
#include "app/ControllerFrontEnd.h"
#include "app/EmbeddedPackage.h"
#include "app/ProgramVersion.h"
#include "app/SingleInstanceGuard.h"
#include "engine/frame/EngineApiHooks.h"
#include "ui/CkelTidewellUIDlg.h"
#include "ui/UiText.h"

namespace {

// Messages come from worker threads; each becomes a non-modal box on the UI
// thread, so the worker is never held up by the user.
void ShowMessagesInBoxes(QApplication& application) {
    engine::SetMessageHandler([&application](void*, const std::string& text, const std::string& caption, uint32_t) {
        QString body = ui::ToUiText(text);
        QString title = ui::ToUiText(caption);
        QMetaObject::invokeMethod(
            &application,
            [body, title] {
                auto* box = new QMessageBox(QMessageBox::Information, title, body);
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->show();
            },
            Qt::QueuedConnection);
    });
}

// A later copy asked this one to come to the front: done on the UI thread,
// answered only when that thread responded.
bool BringToFront(ui::CkelTidewellUIDlg& window) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> answered = done->get_future();
    QMetaObject::invokeMethod(
        &window,
        [&window, done] {
            window.TrayRestore();
            done->set_value();
        },
        Qt::QueuedConnection);
    return answered.wait_for(std::chrono::milliseconds(app::SingleInstanceGuard::ReplyTimeoutMs)) ==
           std::future_status::ready;
}

}  // namespace

int main(int argc, char** argv) {
    app::PackageConfig package = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
    app::SingleInstanceGuard guard;
    if (!guard.Start(package.PackageId())) {
        if (guard.Outcome() != platform::SingleInstance::Outcome::Held) return 0;
        // No window exists yet to say it in.
        std::fprintf(stderr, "%s\n", "另一个下载器正在下载此游戏，且未能结束它，本次不运行。");
        return 1;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationVersion(ui::ToUiText(app::ProgramVersion()));
    // Matches the installed desktop entry, so the desktop shows its icon and name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tidewell.Tidewell"));
    // The tray keeps the program running while the window is hidden.
    application.setQuitOnLastWindowClosed(false);
    ShowMessagesInBoxes(application);

    app::FrontEndOptions front;
    // Set by the demo: where the default save folder goes, and what opens
    // its installer script.
    if (const char* opener = std::getenv("TIDEWELL_INSTALLER_OPENER")) front.opener = opener;
    if (const char* root = std::getenv("TIDEWELL_SAVE_ROOT")) front.save_root = root;
    front.port_forwarding = app::PortForwardingEnvironment{};
    app::ControllerFrontEnd control(front);
    ui::CkelTidewellUIDlg window(control);
    if (!window.Start()) return 0;
    guard.SetWindowActivator([&window](const std::string&) { return BringToFront(window); });
    QObject::connect(&window, &QDialog::finished, &application, &QCoreApplication::quit);
    window.show();
    int status = application.exec();
    guard.SetWindowActivator({});
    engine::SetMessageHandler({});
    return status;
}
