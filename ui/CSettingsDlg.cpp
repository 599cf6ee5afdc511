#include "ui/CSettingsDlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/ProcessOptions.h"

namespace ui {

namespace {

QToolButton* ArrowButton(Qt::ArrowType arrow, const char* name, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setObjectName(QLatin1String(name));
    button->setAutoRepeat(true);
    button->setFixedSize(18, 12);
    return button;
}

}  // namespace

CSettingsDlg::CSettingsDlg(ProcessOptions& options, QWidget* parent) : QDialog(parent), m_options(options) {
    setWindowTitle(QStringLiteral("下载设置"));
    BuildControls();
    if (m_options.speed_limit_kib > 0) {
        m_limit_check->setChecked(true);
        SetPosition(m_options.speed_limit_kib);
    } else {
        m_limit_check->setChecked(false);
        ShowNoLimit();
    }
    m_shutdown_check->setChecked(m_options.shutdown_when_finished);
    m_p2p_check->setChecked(m_options.p2p_enabled);
    connect(m_limit_check, &QCheckBox::toggled, this, &CSettingsDlg::OnLimitToggled);
}

void CSettingsDlg::BuildControls() {
    auto* speed_group = new QGroupBox(QStringLiteral("速度设置"), this);
    m_limit_check = new QCheckBox(QStringLiteral("下载速度限制:"), speed_group);
    m_limit_check->setObjectName(QStringLiteral("limitCheck"));
    m_limit_edit = new QLineEdit(speed_group);
    m_limit_edit->setObjectName(QStringLiteral("limitEdit"));
    m_limit_edit->setFixedWidth(70);
    m_up = ArrowButton(Qt::UpArrow, "limitUp", speed_group);
    m_down = ArrowButton(Qt::DownArrow, "limitDown", speed_group);
    connect(m_up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
    auto* arrows = new QVBoxLayout;
    arrows->setSpacing(0);
    arrows->addWidget(m_up);
    arrows->addWidget(m_down);
    auto* speed_row = new QHBoxLayout(speed_group);
    speed_row->addWidget(m_limit_check);
    speed_row->addWidget(m_limit_edit);
    speed_row->addLayout(arrows);
    speed_row->addWidget(new QLabel(QStringLiteral("KB/s"), speed_group));
    speed_row->addStretch();

    auto* advanced_group = new QGroupBox(QStringLiteral("高级设置"), this);
    m_shutdown_check = new QCheckBox(QStringLiteral("下载完成后关机"), advanced_group);
    m_shutdown_check->setObjectName(QStringLiteral("shutdownCheck"));
    m_p2p_check = new QCheckBox(QStringLiteral("启用P2P"), advanced_group);
    m_p2p_check->setObjectName(QStringLiteral("p2pCheck"));
    m_p2p_check->hide();
    auto* advanced_rows = new QVBoxLayout(advanced_group);
    advanced_rows->addWidget(m_shutdown_check);
    advanced_rows->addWidget(m_p2p_check);

    auto* apply = new QPushButton(QStringLiteral("设置"), this);
    apply->setObjectName(QStringLiteral("applyButton"));
    apply->setAutoDefault(false);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect(apply, &QPushButton::clicked, this, &CSettingsDlg::OnApply);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(apply);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(speed_group);
    layout->addWidget(advanced_group);
    layout->addLayout(buttons);
}

int CSettingsDlg::Position() const {
    bool ok = false;
    int value = m_limit_edit->text().trimmed().toInt(&ok);
    return ok ? value : -1;
}

void CSettingsDlg::SetPosition(int position) {
    m_limit_edit->setText(QString::number(position));
}

void CSettingsDlg::Step(int delta) {
    if (!m_limit_edit->isEnabled()) return;
    int from = Position() < 0 ? InitialPosition : Position();
    SetPosition(std::clamp(from + delta, MinimumLimit, MaximumLimit));
}

void CSettingsDlg::ShowNoLimit() {
    m_limit_edit->setText(QStringLiteral("无限制"));
    m_limit_edit->setEnabled(false);
    m_up->setEnabled(false);
    m_down->setEnabled(false);
}

void CSettingsDlg::OnLimitToggled(bool checked) {
    if (!checked) {
        ShowNoLimit();
        return;
    }
    m_limit_edit->setEnabled(true);
    m_up->setEnabled(true);
    m_down->setEnabled(true);
    SetPosition(InitialPosition);
}

void CSettingsDlg::OnApply() {
    int limit = 0;
    if (m_limit_check->isChecked()) {
        int position = Position();
        if (position < MinimumLimit || position > MaximumLimit) {
            auto* warning = new QMessageBox(
                QMessageBox::Warning, QStringLiteral("警告"),
                QStringLiteral("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"), QMessageBox::Ok, this);
            warning->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
            warning->setAttribute(Qt::WA_DeleteOnClose);
            warning->open();
            return;
        }
        limit = position;
    }
    m_options.speed_limit_kib = limit;
    emit SpeedLimitChosen(limit);
    m_options.shutdown_when_finished = m_shutdown_check->isChecked();
    emit ShutdownChosen(m_options.shutdown_when_finished);
    m_options.p2p_enabled = m_p2p_check->isChecked();
    emit P2PChosen(m_options.p2p_enabled);
    reject();  // closed as cancel: the values are already applied
}

}  // namespace ui
