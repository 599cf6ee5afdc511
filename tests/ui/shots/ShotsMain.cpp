// Renders the window in a few states and both dialogs, and saves what the
// screen shows as PNG files: a picture for a person to look at (run under
// Xvfb by scripts/screenshots). The controller is the tests' scripted one,
// so the pictures show fixed, typical figures.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QScreen>
#include <QThread>
#include <cstdio>

#include "tests/support/ScriptedControl.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CSettingsDlg.h"
#include "ui/CkelTidewellUIDlg.h"

namespace {

void Settle(int ms = 300) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

// What the screen shows over the widget's frame: the skinned window's cut
// corners show the desktop behind it, as a user sees them.
bool Save(QWidget& widget, const QDir& folder, const char* name) {
    Settle();
    QScreen* screen = widget.screen();
    QRect frame = widget.frameGeometry();
    QPixmap shot = screen ? screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()) : QPixmap();
    if (shot.isNull()) shot = widget.grab();
    QString path = folder.filePath(QLatin1String(name));
    bool ok = shot.save(path);
    std::printf("%s %s\n", ok ? "saved" : "FAILED", path.toUtf8().constData());
    return ok;
}

void Downloading(uitest::ScriptedControl& c) {
    c.state = 4;
    c.overall = 4213;
    c.speed_text = "2.4 MB/s";
    c.size_text = "1.9 GB/4.5 GB";
    c.statuses = {"√ 下载完成  ", "63.08%    ", "12.55%    ", "准备下载    "};
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots"));
    folder.mkpath(QStringLiteral("."));
    bool ok = true;

    struct Shot {
        const char* file;
        void (*script)(uitest::ScriptedControl&);
        bool expanded;
    };
    const Shot shots[] = {
        {"state-1-ready.png", [](uitest::ScriptedControl& c) { c.state = 1; }, false},
        {"state-4-downloading.png", Downloading, false},
        {"state-4-downloading-list.png", Downloading, true},
        {"state-8-finished.png",
         [](uitest::ScriptedControl& c) {
             c.state = 8;
             c.overall = 10000;
             c.size_text = "4.5 GB/4.5 GB";
             c.statuses.assign(4, "√ 下载完成  ");
         },
         false},
        {"state-11-repairing.png",
         [](uitest::ScriptedControl& c) {
             c.state = 11;
             c.overall = 10000;
             c.repair = 3725;
             c.verify = 5210;
             c.size_text = "4.5 GB/4.5 GB";
             c.statuses = {"√ 验证通过  ", "修复中：37.25%  ", "待验证    ", "待验证    "};
         },
         true},
    };
    for (const Shot& shot : shots) {
        uitest::ScriptedControl control;
        shot.script(control);
        ui::CkelTidewellUIDlg window(control);
        window.move(40, 40);
        window.Start();
        window.show();
        if (shot.expanded) window.ToggleExpanded();
        window.SlowRefresh();
        window.FastRefresh();
        ok &= Save(window, folder, shot.file);
        control.close_selection = 2;
        window.CloseCommand();
    }

    ui::ProcessOptions options;
    options.speed_limit_kib = 500;
    ui::CSettingsDlg settings(options);
    settings.move(40, 40);
    settings.show();
    ok &= Save(settings, folder, "dialog-settings.png");
    settings.hide();

    ui::CExitWndSetDlg close_dialog;
    close_dialog.move(40, 40);
    close_dialog.show();
    ok &= Save(close_dialog, folder, "dialog-close.png");
    return ok ? 0 : 1;
}
