#include "ui/CExitWndSetDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace ui {

CExitWndSetDlg::CExitWndSetDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关闭"));
    auto* group = new QGroupBox(QStringLiteral("您点击了关闭按钮，您是想："), this);
    m_tray = new QRadioButton(QStringLiteral("最小化到系统托盘，不退出程序"), group);
    m_tray->setObjectName(QStringLiteral("trayRadio"));
    m_exit = new QRadioButton(QStringLiteral("退出程序"), group);
    m_exit->setObjectName(QStringLiteral("exitRadio"));
    auto* choices = new QVBoxLayout(group);
    choices->addWidget(m_tray);
    choices->addWidget(m_exit);

    m_remember = new QCheckBox(QStringLiteral("记住我的选择"), this);
    m_remember->setObjectName(QStringLiteral("rememberCheck"));
    auto* confirm = new QPushButton(QStringLiteral("确定"), this);
    confirm->setObjectName(QStringLiteral("confirmButton"));
    connect(confirm, &QPushButton::clicked, this, &CExitWndSetDlg::OnConfirm);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_remember);
    bottom->addStretch();
    bottom->addWidget(confirm);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(bottom);
    Prepare();
}

void CExitWndSetDlg::Prepare() {
    m_tray->setChecked(true);
    setWindowState(windowState() & ~Qt::WindowMinimized);
}

void CExitWndSetDlg::OnConfirm() {
    m_choice = m_tray->isChecked() ? ChoiceTray : ChoiceExit;
    if (m_remember->isChecked()) emit ChoiceRemembered(m_choice);
    accept();
}

}  // namespace ui
