#include "ui/CSettingsDlg.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <array>

#include "ui/ProcessOptions.h"

namespace {

using ui::CSettingsDlg;

struct SettingsFixture : testing::Test {
    ui::ProcessOptions options;

    static QLineEdit* Edit(CSettingsDlg& dialog) { return dialog.findChild<QLineEdit*>(QStringLiteral("limitEdit")); }
    static QCheckBox* Check(CSettingsDlg& dialog, const char* name) {
        return dialog.findChild<QCheckBox*>(QLatin1String(name));
    }
    static void Apply(CSettingsDlg& dialog) { dialog.findChild<QPushButton*>(QStringLiteral("applyButton"))->click(); }
    static QMessageBox* Warning(CSettingsDlg& dialog) { return dialog.findChild<QMessageBox*>(); }
};

TEST_F(SettingsFixture, LimitOutsideTheRangeIsRefusedWithAWarning) {
    for (const char* typed : {"9", "30001", "0", "abc"}) {
        SCOPED_TRACE(typed);
        options = ui::ProcessOptions{};
        options.speed_limit_kib = 500;
        CSettingsDlg dialog(options);
        dialog.show();
        QSignalSpy limits(&dialog, &CSettingsDlg::SpeedLimitChosen);
        Edit(dialog)->setText(QString::fromUtf8(typed));
        Apply(dialog);
        QMessageBox* warning = Warning(dialog);
        ASSERT_NE(warning, nullptr);
        EXPECT_EQ(warning->windowTitle(), QStringLiteral("警告"));
        EXPECT_EQ(warning->text(), QStringLiteral("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"));
        EXPECT_EQ(limits.count(), 0);
        EXPECT_EQ(options.speed_limit_kib, 500);
        EXPECT_TRUE(dialog.isVisible());
    }
}

TEST_F(SettingsFixture, LimitAtEitherEndOfTheRangeIsApplied) {
    for (int limit : {10, 30000, 200}) {
        SCOPED_TRACE(limit);
        options = ui::ProcessOptions{};
        CSettingsDlg dialog(options);
        dialog.show();
        QSignalSpy limits(&dialog, &CSettingsDlg::SpeedLimitChosen);
        Check(dialog, "limitCheck")->setChecked(true);
        Edit(dialog)->setText(QString::number(limit));
        Apply(dialog);
        EXPECT_EQ(Warning(dialog), nullptr);
        ASSERT_EQ(limits.count(), 1);
        EXPECT_EQ(limits.at(0).at(0).toInt(), limit);
        EXPECT_EQ(options.speed_limit_kib, limit);
        EXPECT_FALSE(dialog.isVisible());
    }
}

TEST_F(SettingsFixture, UncheckedLimitAppliesNoLimitWhateverTheEditHolds) {
    options.speed_limit_kib = 800;
    CSettingsDlg dialog(options);
    EXPECT_TRUE(Check(dialog, "limitCheck")->isChecked());
    EXPECT_EQ(Edit(dialog)->text(), QStringLiteral("800"));
    QSignalSpy limits(&dialog, &CSettingsDlg::SpeedLimitChosen);
    Check(dialog, "limitCheck")->setChecked(false);
    EXPECT_EQ(Edit(dialog)->text(), QStringLiteral("无限制"));
    EXPECT_FALSE(Edit(dialog)->isEnabled());
    Edit(dialog)->setText(QStringLiteral("5"));
    Apply(dialog);
    ASSERT_EQ(limits.count(), 1);
    EXPECT_EQ(limits.at(0).at(0).toInt(), 0);
    EXPECT_EQ(options.speed_limit_kib, 0);
}

TEST_F(SettingsFixture, OpensFromTheRememberedValues) {
    options.shutdown_when_finished = true;
    options.p2p_enabled = false;
    CSettingsDlg dialog(options);
    EXPECT_FALSE(Check(dialog, "limitCheck")->isChecked());
    EXPECT_EQ(Edit(dialog)->text(), QStringLiteral("无限制"));
    EXPECT_TRUE(Check(dialog, "shutdownCheck")->isChecked());
    EXPECT_TRUE(Check(dialog, "p2pCheck")->isHidden());
    Check(dialog, "limitCheck")->setChecked(true);
    EXPECT_EQ(Edit(dialog)->text(), QStringLiteral("200"));
    EXPECT_TRUE(Edit(dialog)->isEnabled());

    // Applying hands both flags on, the hidden P2P switch unchanged.
    QSignalSpy shutdown(&dialog, &CSettingsDlg::ShutdownChosen);
    QSignalSpy p2p(&dialog, &CSettingsDlg::P2PChosen);
    Check(dialog, "shutdownCheck")->setChecked(false);
    Apply(dialog);
    ASSERT_EQ(shutdown.count(), 1);
    EXPECT_FALSE(shutdown.at(0).at(0).toBool());
    ASSERT_EQ(p2p.count(), 1);
    EXPECT_FALSE(p2p.at(0).at(0).toBool());
    EXPECT_FALSE(options.shutdown_when_finished);
}

TEST_F(SettingsFixture, ArrowsStepWithinTheRange) {
    options.speed_limit_kib = 30000;
    CSettingsDlg dialog(options);
    dialog.findChild<QWidget*>(QStringLiteral("limitUp"))->setFocus();
    qobject_cast<QAbstractButton*>(dialog.findChild<QWidget*>(QStringLiteral("limitUp")))->click();
    EXPECT_EQ(dialog.Position(), 30000);
    qobject_cast<QAbstractButton*>(dialog.findChild<QWidget*>(QStringLiteral("limitDown")))->click();
    EXPECT_EQ(dialog.Position(), 29999);
}

}  // namespace
