#include "ui/CExitWndSetDlg.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>

namespace {

using ui::CExitWndSetDlg;

void Confirm(CExitWndSetDlg& dialog, bool exit, bool remember) {
    dialog.Prepare();
    dialog.findChild<QRadioButton*>(QLatin1String(exit ? "exitRadio" : "trayRadio"))->setChecked(true);
    dialog.findChild<QCheckBox*>(QStringLiteral("rememberCheck"))->setChecked(remember);
    dialog.findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
}

TEST(CExitWndSetDlg, OffersTrayFirstAndRemembersOnlyOnRequest) {
    CExitWndSetDlg dialog;
    EXPECT_EQ(dialog.Choice(), CExitWndSetDlg::ChoiceNone);
    EXPECT_TRUE(dialog.findChild<QRadioButton*>(QStringLiteral("trayRadio"))->isChecked());
    QSignalSpy remembered(&dialog, &CExitWndSetDlg::ChoiceRemembered);

    Confirm(dialog, false, false);
    EXPECT_EQ(dialog.Choice(), CExitWndSetDlg::ChoiceTray);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(remembered.count(), 0);

    Confirm(dialog, true, true);
    EXPECT_EQ(dialog.Choice(), CExitWndSetDlg::ChoiceExit);
    ASSERT_EQ(remembered.count(), 1);
    EXPECT_EQ(remembered.at(0).at(0).toInt(), CExitWndSetDlg::ChoiceExit);

    // Closed with its window button: the last confirmed choice stays.
    dialog.Prepare();
    dialog.reject();
    EXPECT_EQ(dialog.Choice(), CExitWndSetDlg::ChoiceExit);
    EXPECT_TRUE(dialog.findChild<QRadioButton*>(QStringLiteral("trayRadio"))->isChecked());
}

}  // namespace
