#include "ui/CkelTidewellUIDlg.h"

#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWindow>

#include "platform/File.h"
#include "platform/Process.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CPictureButton.h"
#include "ui/CSettingsDlg.h"
#include "ui/CSkinListCtrl.h"
#include "ui/CSkinVerticleScrollbar.h"
#include "ui/UiText.h"
#include "ui/WindowTexts.h"

// The skin lives in a static library, so its resources are registered
// explicitly (the static initialiser alone may be dropped by the linker).
static void RegisterSkinResources() {
    Q_INIT_RESOURCE(skin);
}

namespace ui {

namespace {

const QColor White(255, 255, 255);
const QColor Steel(182, 204, 218);
const QColor Rust(204, 51, 0);
const QColor Sand(214, 187, 170);

// Text regions (left, top, right, bottom in client pixels).
const QRect TitleRegion(QPoint(9, 205), QPoint(129, 229));
const QRect FolderLabelRegion(QPoint(190, 205), QPoint(249, 229));
const QRect FolderRegion(QPoint(255, 205), QPoint(366, 229));
const QRect SizeRegion(QPoint(9, 260), QPoint(123, 279));
const QRect StatusRegion(QPoint(129, 260), QPoint(203, 279));
const QRect LabelRegion(QPoint(209, 260), QPoint(258, 279));
const QRect ValueRegion(QPoint(262, 260), QPoint(311, 279));
const QRect FinalRegion(QPoint(129, 260), QPoint(311, 279));
const QRect BarRegion(QPoint(11, 244), QPoint(296, 255));
// The top strip that moves the window, and the drawer toggle below the body.
const QRect CaptionStrip(0, 0, 411, 38);
const QRect ToggleArea(QPoint(186, 278), QPoint(217, 307));
// The collapsed skin's key-coloured pixels are cut only from its bottom rows.
constexpr int CutFirstRow = 283;
constexpr int CutLastRow = 308;
const QRect ListCollapsed(0, 342, 408, 78);
const QRect ListExpanded(0, 322, 408, 78);
// Without a folder from the controller the window still shows one.
const char* const FallbackFolder = "QV12";

QString ProductTitle() {
    return QStringLiteral("雾港长歌高速下载器");
}

// Message boxes with the buttons in the program's own language: Qt's
// standard button texts follow translations the desktop may not have.
bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("questionBox"));
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void Inform(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Information, ProductTitle(), text, QMessageBox::Ok, parent);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
}

QString Skin(const char* name) {
    return QStringLiteral(":/skin/") + QLatin1String(name) + QStringLiteral(".png");
}

CPictureButton* MakeButton(QWidget* parent, const char* object_name, const char* role, QPoint at, bool has_disabled) {
    auto* button = new CPictureButton(parent);
    button->setObjectName(QLatin1String(object_name));
    std::string base = std::string("btn_") + role + "_";
    button->SetBitmaps(Skin((base + "normal").c_str()), Skin((base + "pressed").c_str()),
                       Skin((base + "hover").c_str()), QString(),
                       has_disabled ? Skin((base + "disabled").c_str()) : QString(), true);
    button->move(at);
    return button;
}

void Apply(CPictureButton* button, const ButtonLook& look) {
    button->setVisible(look.visible);
    button->setEnabled(look.enabled);
}

WindowEnvironment WithDefaults(WindowEnvironment env, QWidget* window) {
    if (!env.pick_folder) {
        env.pick_folder = [](QWidget* parent, const QString& title, const QString& start) {
            return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
        };
    }
    if (!env.reveal) {
        // The desktop's opener has no "select this file"; it opens the folder.
        env.reveal = [](const std::string& path, bool select_file) {
            std::string folder = path;
            if (select_file) {
                size_t slash = path.find_last_of('/');
                folder = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
            }
            platform::OpenWithDesktop(folder);
        };
    }
    if (!env.open) env.open = [](const std::string& target) { platform::OpenWithDesktop(target); };
    if (!env.inform) {
        env.inform = [window](const QString& text) { Inform(window, text); };
    }
    if (!env.run_dialog) env.run_dialog = [](QDialog& dialog) { return dialog.exec(); };
    return env;
}

}  // namespace

CkelTidewellUIDlg::CkelTidewellUIDlg(app::IDownloadControl& control, WindowEnvironment environment, QWidget* parent)
    : QDialog(parent),
      m_control(control),
      m_env(WithDefaults(std::move(environment), this)),
      m_skin(m_env.skin_folder) {
    RegisterSkinResources();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
    setFixedSize(Width, CollapsedHeight);
    setWindowTitle(ProductTitle());
    setWindowIcon(QIcon(Skin("icon256")));
    m_font.setFamilies({QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
                        QStringLiteral("Noto Sans CJK SC")});
    // A cell height of 18 pixels: with these fonts' tall line spacing the
    // glyphs are about 12 pixels, which is what the text regions were laid
    // out for.
    m_font.setPixelSize(12);
    m_font.setWeight(QFont::Normal);
    CreateButtons();
    CreateList();
    ApplyCollapsedShape();
    m_fast.setInterval(FastRefreshMs);
    m_slow.setInterval(SlowRefreshMs);
    connect(&m_fast, &QTimer::timeout, this, &CkelTidewellUIDlg::FastRefresh);
    connect(&m_slow, &QTimer::timeout, this, &CkelTidewellUIDlg::SlowRefresh);
    m_control.SetInstallRequestHandler(
        [this] { QMetaObject::invokeMethod(this, &CkelTidewellUIDlg::OnInstallRequest, Qt::QueuedConnection); });
    m_control.SetEndHandler([this] {
        QMetaObject::invokeMethod(this, [this] { EndDialog(); }, Qt::QueuedConnection);
    });
    m_control.SetQuestionHandler([this](const std::string& text, const std::string& caption) {
        return AskYesNo(this, ToUiText(caption), ToUiText(text));
    });
    m_control.SetPortForwardHandler([this](int code, int64_t status) {
        QMetaObject::invokeMethod(
            this, [this, code, status] { OnPortForwardNotification(code, status); }, Qt::QueuedConnection);
    });
}

void CkelTidewellUIDlg::OnPortForwardNotification(int code, int64_t status) {
    const std::string notice = m_control.OnPortForwardNotification(code, status);
    if (notice.empty()) return;
    // The outcome of the router mapping, for whoever wonders why peers can
    // or cannot reach this machine.
    m_port_notice = ToUiText(notice);
    setToolTip(m_port_notice);
}

CkelTidewellUIDlg::~CkelTidewellUIDlg() {
    m_control.SetPortForwardHandler({});
    TearDown();
    m_control.SetInstallRequestHandler({});
    m_control.SetEndHandler({});
    m_control.SetQuestionHandler({});
}

void CkelTidewellUIDlg::CreateButtons() {
    const QPoint main_place(318, 244);
    const QPoint folder_place(372, 203);
    m_start = MakeButton(this, "startButton", "start", main_place, true);
    m_pause = MakeButton(this, "pauseButton", "pause", main_place, true);
    m_resume = MakeButton(this, "continueButton", "continue", main_place, true);
    m_install = MakeButton(this, "installButton", "install", main_place, true);
    for (CPictureButton* button : {m_start, m_pause, m_resume, m_install}) {
        button->SetTransparent(true, KeyColour);
        button->CutShape(KeyColour);
        if (button != m_start) connect(button, &QAbstractButton::clicked, this, &CkelTidewellUIDlg::MainButton);
    }
    connect(m_start, &QAbstractButton::clicked, this, &CkelTidewellUIDlg::StartMainAction);
    m_change_folder = MakeButton(this, "changeFolderButton", "folder", folder_place, true);
    m_open_folder = MakeButton(this, "openFolderButton", "folder", folder_place, true);
    connect(m_change_folder, &QAbstractButton::clicked, this, &CkelTidewellUIDlg::FolderCommand);
    connect(m_open_folder, &QAbstractButton::clicked, this, &CkelTidewellUIDlg::FolderCommand);
    auto* settings = MakeButton(this, "settingsButton", "settings", {318, 10}, false);
    auto* minimise = MakeButton(this, "minimiseButton", "minimise", {346, 10}, false);
    auto* close = MakeButton(this, "closeButton", "close", {374, 10}, false);
    connect(settings, &QAbstractButton::clicked, this, &CkelTidewellUIDlg::ShowSettings);
    connect(minimise, &QAbstractButton::clicked, this, &QWidget::showMinimized);
    connect(close, &QAbstractButton::clicked, this, &CkelTidewellUIDlg::CloseCommand);
    m_buttons = ButtonStates{};
    ApplyButtons();
}

void CkelTidewellUIDlg::CreateList() {
    m_list = new CSkinListCtrl(this);
    m_list->setObjectName(QStringLiteral("packageList"));
    m_list->setColumnCount(2);
    m_list->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Percent")});
    m_list->header()->resizeSection(0, 280);
    m_list->header()->resizeSection(1, 128);
    m_list->setFont(m_font);
    m_scrollbar = new CSkinVerticleScrollbar(this);
    m_scrollbar->SetImages(Skin("scroll_track"), Skin("scroll_thumb"));
    m_scrollbar->SetList(m_list);
    m_list->SetScrollbar(m_scrollbar);
    m_list->setGeometry(ListCollapsed);
    m_list->hide();
    m_scrollbar->hide();
}

void CkelTidewellUIDlg::FillList() {
    m_list->clear();
    for (int i = 0; i < m_control.FileCount(); ++i) {
        auto* row = new QTreeWidgetItem(m_list);
        QString name = ToUiText(m_control.FileName(i));
        row->setText(0, name);
        row->setToolTip(0, name);  // the label tip for names wider than the column
        row->setText(1, ToUiText(m_control.FileStatusText(i)));
    }
}

void CkelTidewellUIDlg::RefreshList() {
    for (int i = 0; i < m_list->topLevelItemCount() && i < m_control.FileCount(); ++i) {
        m_list->topLevelItem(i)->setText(1, ToUiText(m_control.FileStatusText(i)));
    }
}

void CkelTidewellUIDlg::ApplyButtons() {
    Apply(m_start, m_buttons.start);
    Apply(m_pause, m_buttons.pause);
    Apply(m_resume, m_buttons.resume);
    Apply(m_install, m_buttons.install);
    Apply(m_change_folder, m_buttons.change_folder);
    Apply(m_open_folder, m_buttons.open_folder);
}

void CkelTidewellUIDlg::ApplyCollapsedShape() {
    setMask(SkinImages::CutRegion(m_skin.Collapsed(), Width, CollapsedHeight, CutFirstRow, CutLastRow));
}

QString CkelTidewellUIDlg::Title() const {
    return ProductTitle();
}

bool CkelTidewellUIDlg::Start() {
    m_control.SetShutdownWhenFinished(false);
    m_options.shutdown_when_finished = false;
    int answer = m_control.Initialize();
    if (answer < 0) {
        m_exit_requested = true;
        m_control.SetUserExit(true);
        return false;
    }
    if (answer == app::StartWaitsForUser) {
        std::string message;
        std::string url;
        if (m_control.CheckExpiry(&message, &url)) {
            m_env.inform(ToUiText(message));
            if (!url.empty()) m_env.open(url);
            m_exit_requested = true;
            m_control.SetUserExit(true);
            return false;
        }
    }
    m_options.p2p_enabled = m_control.P2PEnabled();
    m_continued_at_start = answer > 0;
    m_buttons = InitialButtons(m_continued_at_start);
    ApplyButtons();
    FillList();
    std::string folder = m_control.SaveFolder();
    m_folder_text = folder.empty() ? QDir::home().filePath(QLatin1String(FallbackFolder)) : ToUiText(folder);
    m_title_text = ToUiText(m_control.TitleText());
    m_size_text = ToUiText(m_control.SizeText());  // finished at start: no refresh updates it
    m_label_text = ToUiText(ProgressLabel(m_control.State()));
    setWindowTitle(Title());
    if (!m_fast.isActive()) m_fast.start();
    if (!m_slow.isActive()) m_slow.start();
    SlowRefresh();
    FastRefresh();
    return true;
}

void CkelTidewellUIDlg::FastRefresh() {
    int state = m_control.UpdateState();
    bool busy = m_control.Blocked();
    ProgressInputs progress{state, m_control.OverallProgress(), m_control.VerifyProgress(),
                            m_control.RepairProgress()};
    int32_t bar = BarProgress(progress);
    bool verify_bar = UsesVerifyBar(state);
    if (bar != m_bar_drawn || verify_bar != m_verify_bar) {
        m_bar_drawn = bar;
        m_verify_bar = verify_bar;
        update(BarRegion);
    }
    if (state != m_state || busy != m_busy) {
        ApplyButtonTable(state, busy, m_continued_at_start, m_buttons);
        ApplyButtons();
        m_state = state;
        m_busy = busy;
    }
}

void CkelTidewellUIDlg::SlowRefresh() {
    ++m_seconds;
    int state = m_control.State();
    m_final_text = ToUiText(FinalMessage(state, m_control.MismatchSeen()));
    if (state != 8 && state != 12) {
        m_control.PollTasks();
        StatusInputs status{state, m_control.RepairProgress(), m_seconds, m_control.RepairRateText(),
                            m_control.SpeedText()};
        m_status_text = ToUiText(StatusText(status));
        m_size_text = ToUiText(m_control.SizeText());
        m_label_text = ToUiText(ProgressLabel(state));
        ProgressInputs progress{state, m_control.OverallProgress(), m_control.VerifyProgress(),
                                m_control.RepairProgress()};
        m_value_text = ToUiText(ProgressValueText(progress));
    }
    RefreshList();
    update();
}

void CkelTidewellUIDlg::StartMainAction() {
    m_control.OnMainButton();
    if (!m_control.Blocked()) {
        m_buttons.pause.visible = true;
        m_buttons.start.visible = false;
        ApplyButtons();
    }
}

void CkelTidewellUIDlg::MainButton() {
    m_control.OnMainButton();
}

void CkelTidewellUIDlg::OnInstallRequest() {
    MainButton();
}

void CkelTidewellUIDlg::FolderCommand() {
    int state = m_control.State();
    if (state == 0 || state == 1) {
        QString picked = m_env.pick_folder(this, QStringLiteral("请选择安装包存放目录:"), m_folder_text);
        // The controller adds the package's folder name and returns to ready.
        if (picked.isEmpty() || !m_control.ChooseSaveFolder(FromUiText(picked))) return;
        m_folder_text = ToUiText(m_control.SaveFolder());
        update(FolderRegion);
        return;
    }
    OpenFolderForState(state);
}

void CkelTidewellUIDlg::OpenFolderForState(int state) {
    std::string folder = m_control.SaveFolder();
    if (folder.empty()) {
        m_env.inform(QStringLiteral("下载位置不存在"));
        return;
    }
    if (state == 8 || state == 10 || state == 11 || state == 12) {
        std::string setup = m_control.SetupFilePath();
        if (!setup.empty() && platform::Exists(setup)) {
            m_env.reveal(setup, true);
            return;
        }
    }
    m_env.reveal(folder, false);
}

CExitWndSetDlg& CkelTidewellUIDlg::ExitDialog() {
    if (!m_exit_dialog) {
        m_exit_dialog = new CExitWndSetDlg(this);
        connect(m_exit_dialog, &CExitWndSetDlg::ChoiceRemembered, this, &CkelTidewellUIDlg::OnCloseChoiceRemembered);
    }
    return *m_exit_dialog;
}

void CkelTidewellUIDlg::CloseCommand() {
    int choice = m_control.CloseSelection();
    if (choice != CExitWndSetDlg::ChoiceTray && choice != CExitWndSetDlg::ChoiceExit) {
        CExitWndSetDlg& dialog = ExitDialog();
        dialog.Prepare();
        m_env.run_dialog(dialog);
        choice = dialog.Choice();
    }
    if (choice == CExitWndSetDlg::ChoiceTray) {
        SendToTray();
    } else if (choice == CExitWndSetDlg::ChoiceExit) {
        m_exit_requested = true;
        m_control.SetUserExit(true);
        EndDialog();
    }
}

void CkelTidewellUIDlg::SendToTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        showMinimized();
        return;
    }
    if (!m_tray) {
        m_tray = new QSystemTrayIcon(QIcon(Skin("icon")), this);
        m_tray->setToolTip(ToUiText(AboutText(FromUiText(Title()))));
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) TrayRestore();
            if (reason == QSystemTrayIcon::Context) TrayMenuRequested();
        });
    }
    m_tray->show();
    m_in_tray = true;
    hide();
}

void CkelTidewellUIDlg::TrayRestore() {
    m_exit_requested = false;
    m_control.SetUserExit(false);
    if (m_tray) m_tray->hide();
    m_in_tray = false;
    showNormal();
    raise();
    activateWindow();
}

void CkelTidewellUIDlg::TrayMenuRequested() {
    m_exit_requested = true;
    m_control.SetUserExit(true);
    if (!m_tray_menu) {
        m_tray_menu = new QMenu(this);
        QAction* about = m_tray_menu->addAction(QStringLiteral("关于(&A)"));
        connect(about, &QAction::triggered, this, [this] {
            m_exit_requested = false;
            m_control.SetUserExit(false);
            Inform(this, ToUiText(AboutText(FromUiText(Title()))));
        });
        QAction* quit = m_tray_menu->addAction(QStringLiteral("退出(&X)"));
        connect(quit, &QAction::triggered, this, &CkelTidewellUIDlg::reject);
    }
    m_tray_menu->popup(QCursor::pos());
}

void CkelTidewellUIDlg::reject() {
    if (m_exit_requested) {
        m_control.SetUserExit(true);
        EndDialog();
        return;
    }
    CloseCommand();
}

void CkelTidewellUIDlg::EndDialog() {
    if (m_ended) return;
    m_ended = true;
    TearDown();
    done(QDialog::Accepted);
}

void CkelTidewellUIDlg::TearDown() {
    if (m_torn_down) return;
    m_torn_down = true;
    hide();
    m_fast.stop();
    m_slow.stop();
    if (m_tray) m_tray->hide();
    m_skin.Release();
    m_control.OnExit();
}

void CkelTidewellUIDlg::ToggleExpanded() {
    if (m_collapsed) {
        m_collapsed = false;
        QRect place = ListExpanded.intersected(QRect(0, 0, Width, CollapsedHeight + ExpandExtra));
        m_list->setGeometry(place);
        m_scrollbar->setGeometry(place.right() + 1, place.top(), 3, place.height());
        m_list->show();
        m_scrollbar->show();
        setFixedSize(Width, CollapsedHeight + ExpandExtra);
        clearMask();
    } else {
        m_collapsed = true;
        update();
        ApplyCollapsedShape();
        setFixedSize(Width, CollapsedHeight);
        m_list->setGeometry(ListCollapsed);
        m_list->hide();
        m_scrollbar->hide();
    }
    update();
}

void CkelTidewellUIDlg::OnSpeedLimit(int kib_per_s) {
    m_options.speed_limit_kib = kib_per_s;
    m_control.SetSpeedLimit(kib_per_s);
}

void CkelTidewellUIDlg::OnShutdownFlag(bool enabled) {
    m_options.shutdown_when_finished = enabled;
    m_control.SetShutdownWhenFinished(enabled);
}

void CkelTidewellUIDlg::OnP2PFlag(bool enabled) {
    m_options.p2p_enabled = enabled;
    m_control.SetP2PEnabled(enabled);
}

void CkelTidewellUIDlg::OnCloseChoiceRemembered(int choice) {
    m_control.SetCloseSelection(choice);
}

void CkelTidewellUIDlg::ShowSettings() {
    // The resource list may have switched P2P since start-up; the dialog hands
    // its switch back on apply, so it must start from the value in force.
    m_options.p2p_enabled = m_control.P2PEnabled();
    CSettingsDlg dialog(m_options, this);
    connect(&dialog, &CSettingsDlg::SpeedLimitChosen, this, &CkelTidewellUIDlg::OnSpeedLimit);
    connect(&dialog, &CSettingsDlg::ShutdownChosen, this, &CkelTidewellUIDlg::OnShutdownFlag);
    connect(&dialog, &CSettingsDlg::P2PChosen, this, &CkelTidewellUIDlg::OnP2PFlag);
    m_env.run_dialog(dialog);
}

void CkelTidewellUIDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QImage& skin = m_collapsed ? m_skin.Collapsed() : m_skin.Expanded();
    if (!skin.isNull()) painter.drawImage(0, 0, skin);
    PaintProgress(painter);
    PaintTexts(painter);
}

void CkelTidewellUIDlg::PaintProgress(QPainter& painter) {
    if (m_bar_drawn <= 0) return;
    QPixmap bar(Skin(m_verify_bar ? "progress_verify" : "progress_download"));
    if (bar.isNull()) return;
    int width = int(int64_t(BarRegion.width()) * m_bar_drawn / 10000);
    painter.drawPixmap(QRect(BarRegion.left(), BarRegion.top(), width, BarRegion.height()), bar,
                       QRect(0, 0, width, bar.height()));
}

void CkelTidewellUIDlg::PaintTexts(QPainter& painter) {
    painter.setFont(m_font);
    auto draw = [&painter](const QRect& region, const QColor& colour, const QString& text, bool centred) {
        painter.setPen(colour);
        int flags = Qt::AlignVCenter | Qt::TextSingleLine | (centred ? Qt::AlignHCenter : Qt::AlignLeft);
        painter.drawText(region, flags, text);
    };
    draw(TitleRegion, White, m_title_text, false);
    draw(FolderLabelRegion, Steel, QStringLiteral("保存位置:"), false);
    QString folder = painter.fontMetrics().elidedText(m_folder_text, Qt::ElideMiddle, FolderRegion.width());
    draw(FolderRegion, Rust, folder, false);
    draw(SizeRegion, Sand, m_size_text, false);
    int state = m_state;
    if (ShowsFinalMessage(state)) {
        draw(FinalRegion, Sand, m_final_text, true);
        return;
    }
    bool checking = state == 10 || state == 11 || state == 12;
    draw(StatusRegion, checking ? Steel : Sand, m_status_text, false);
    draw(LabelRegion, Steel, m_label_text, false);
    draw(ValueRegion, Sand, m_value_text, true);
}

void CkelTidewellUIDlg::keyPressEvent(QKeyEvent* event) {
    // The window is never closed by keys: Esc and Enter are swallowed.
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CkelTidewellUIDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && CaptionStrip.contains(event->position().toPoint())) {
        if (windowHandle() && windowHandle()->startSystemMove()) return;
        m_dragging = true;
        m_drag_offset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QDialog::mousePressEvent(event);
}

void CkelTidewellUIDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging) move(event->globalPosition().toPoint() - m_drag_offset);
    QDialog::mouseMoveEvent(event);
}

void CkelTidewellUIDlg::mouseReleaseEvent(QMouseEvent* event) {
    m_dragging = false;
    if (event->button() == Qt::LeftButton && ToggleArea.contains(event->position().toPoint())) ToggleExpanded();
    QDialog::mouseReleaseEvent(event);
}

void CkelTidewellUIDlg::closeEvent(QCloseEvent* event) {
    if (m_ended) {
        event->accept();
        return;
    }
    event->ignore();
    CloseCommand();
}

}  // namespace ui
