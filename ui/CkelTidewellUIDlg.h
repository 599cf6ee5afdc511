#pragma once
// The downloader's one window: a frameless, fixed-size, skinned dialog that
// shows the package download and lets the user start, pause, continue,
// install, choose and open the download folder, change the settings and send
// the window to the tray. It owns nothing of the download: it drives the
// download controller from two timers (100 ms: state and buttons; 1000 ms:
// figures and texts) and shows what the controller reports.
//
// Owner: the program's main function. Thread: the UI thread only; the
// controller's worker threads reach it only through queued calls.

#include <QDialog>
#include <QFont>
#include <QTimer>
#include <functional>
#include <string>

#include "app/DownloadControl.h"
#include "ui/ButtonTable.h"
#include "ui/ProcessOptions.h"
#include "ui/SkinImages.h"

class QSystemTrayIcon;
class QMenu;

namespace ui {

class CPictureButton;
class CSkinListCtrl;
class CSkinVerticleScrollbar;
class CExitWndSetDlg;

// What the window needs from the desktop, replaceable in tests.
struct WindowEnvironment {
    // The folder browser: the picked folder, or empty when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QString& start)> pick_folder;
    // Opens a folder, or shows a file inside its folder.
    std::function<void(const std::string& path, bool select_file)> reveal;
    // Opens a page or file with the desktop's "open".
    std::function<void(const std::string& target)> open;
    // A message captioned with the product title; blocks until dismissed.
    std::function<void(const QString& text)> inform;
    // Shows the settings dialog or the close dialog modally.
    std::function<int(QDialog& dialog)> run_dialog;
    // Where "res/bg.bmp" and "res/bg2.bmp" are looked for; empty: the current folder.
    QString skin_folder;
};

class CkelTidewellUIDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int Width = 411;
    static constexpr int CollapsedHeight = 307;
    static constexpr int ExpandExtra = 78;
    static constexpr int FastRefreshMs = 100;
    static constexpr int SlowRefreshMs = 1000;

    CkelTidewellUIDlg(app::IDownloadControl& control, WindowEnvironment environment = {}, QWidget* parent = nullptr);
    ~CkelTidewellUIDlg() override;

    // Dialog initialisation: asks the controller what to do at start and
    // starts the timers. False when the program is to end at once.
    bool Start();

    // The two refreshes the timers run.
    void FastRefresh();
    void SlowRefresh();

    // Commands, as the buttons, the tray and the settings dialog trigger them.
    void CloseCommand();
    void FolderCommand();
    void ToggleExpanded();
    void OnSpeedLimit(int kib_per_s);
    void OnShutdownFlag(bool enabled);
    void OnP2PFlag(bool enabled);
    void OnCloseChoiceRemembered(int choice);
    void ShowSettings();
    void TrayRestore();       // double click on the tray icon
    void TrayMenuRequested(); // right button on the tray icon

    // What the window currently shows, for tests and screenshots.
    const ButtonStates& Buttons() const { return m_buttons; }
    bool IsCollapsed() const { return m_collapsed; }
    bool InTray() const { return m_in_tray; }
    bool ExitRequested() const { return m_exit_requested; }
    bool Ended() const { return m_ended; }
    QString FolderText() const { return m_folder_text; }
    QString StatusShown() const { return m_status_text; }
    QString ProgressValueShown() const { return m_value_text; }
    // The last notice of the router port mapping (also the window's tip).
    QString PortForwardNotice() const { return m_port_notice; }
    // A port-mapping notification carried to the UI thread.
    void OnPortForwardNotification(int code, int64_t status);
    CExitWndSetDlg& ExitDialog();
    ProcessOptions& Options() { return m_options; }
    CSkinListCtrl* List() const { return m_list; }

public slots:
    // The controller's request to act after a verification asked for before
    // installing (any thread may queue it).
    void OnInstallRequest();
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateButtons();
    void CreateList();
    void FillList();
    void RefreshList();
    void ApplyButtons();
    void ApplyCollapsedShape();
    void StartMainAction();
    void MainButton();
    void SendToTray();
    void EndDialog();
    void TearDown();
    void OpenFolderForState(int state);
    void PaintTexts(QPainter& painter);
    void PaintProgress(QPainter& painter);
    QString Title() const;

    app::IDownloadControl& m_control;
    WindowEnvironment m_env;
    SkinImages m_skin;
    ProcessOptions m_options;
    QFont m_font;
    QTimer m_fast;
    QTimer m_slow;

    CPictureButton* m_start = nullptr;
    CPictureButton* m_pause = nullptr;
    CPictureButton* m_resume = nullptr;
    CPictureButton* m_install = nullptr;
    CPictureButton* m_change_folder = nullptr;
    CPictureButton* m_open_folder = nullptr;
    CSkinListCtrl* m_list = nullptr;
    CSkinVerticleScrollbar* m_scrollbar = nullptr;
    CExitWndSetDlg* m_exit_dialog = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_tray_menu = nullptr;

    ButtonStates m_buttons;
    int m_state = -1;
    bool m_busy = false;
    bool m_continued_at_start = false;
    int32_t m_bar_drawn = -1;
    bool m_verify_bar = false;
    QString m_title_text;
    QString m_folder_text;
    QString m_size_text;
    QString m_status_text;
    QString m_label_text;
    QString m_value_text;
    QString m_final_text;
    QString m_port_notice;
    uint32_t m_seconds = 0;
    bool m_collapsed = true;
    bool m_in_tray = false;
    bool m_exit_requested = false;
    bool m_ended = false;
    bool m_torn_down = false;
    bool m_dragging = false;
    QPoint m_drag_offset;
};

}  // namespace ui
