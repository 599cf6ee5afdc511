#include "ui/CkelTidewellUIDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTimer>
#include <QRadioButton>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <array>
#include <thread>
#include <vector>

#include "tests/ui/QtWait.h"
#include "tests/support/ScriptedControl.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CPictureButton.h"
#include "ui/CSkinListCtrl.h"
#include "ui/UiText.h"

namespace {

using ui::CkelTidewellUIDlg;
using uitest::ScriptedControl;

// The window with a scripted controller and desktop hooks that record what
// the window asks of the desktop instead of opening anything.
struct WindowFixture : testing::Test {
    ScriptedControl control;
    std::vector<QString> messages;
    std::vector<std::pair<std::string, bool>> revealed;
    QString picked;
    std::function<int(QDialog&)> on_dialog = [](QDialog&) { return 0; };

    std::unique_ptr<CkelTidewellUIDlg> Make() {
        ui::WindowEnvironment env;
        env.pick_folder = [this](QWidget*, const QString&, const QString&) { return picked; };
        env.reveal = [this](const std::string& path, bool select) { revealed.emplace_back(path, select); };
        env.open = [](const std::string&) {};
        env.inform = [this](const QString& text) { messages.push_back(text); };
        env.run_dialog = [this](QDialog& dialog) { return on_dialog(dialog); };
        env.skin_folder = QStringLiteral("/nonexistent");
        return std::make_unique<CkelTidewellUIDlg>(control, env);
    }

    static ui::CPictureButton* Button(CkelTidewellUIDlg& window, const char* name) {
        auto* button = window.findChild<ui::CPictureButton*>(QLatin1String(name));
        EXPECT_NE(button, nullptr) << name;
        return button;
    }
};

struct Look {
    bool visible;
    bool enabled;
};

struct ButtonCase {
    const char* name;
    int start_answer;
    std::vector<int> states;  // passed through in order
    bool busy;
    Look start, pause, resume, install, change_folder, open_folder;
};

TEST_F(WindowFixture, ButtonsFollowTheTableInEveryState) {
    const Look shown{true, true}, shown_off{true, false}, hidden{false, true}, hidden_off{false, false};
    const std::array cases{
        ButtonCase{"ready", 0, {1}, false, shown, hidden, hidden, hidden, shown, hidden},
        ButtonCase{"back, busy", 0, {0}, true, shown_off, hidden, hidden, hidden, shown, hidden},
        ButtonCase{"back then ready", 0, {0, 1}, false, shown, hidden, hidden, hidden, shown, hidden},
        ButtonCase{"preparing", 0, {1, 3}, false, hidden, shown, hidden, hidden, shown_off, hidden},
        ButtonCase{"downloading", 0, {1, 3, 4}, false, hidden, shown, hidden, hidden, {false, false}, shown},
        // Busy throughout: the start button was disabled in state 1 already.
        ButtonCase{"downloading, busy", 0, {1, 3, 4}, true, hidden_off, shown_off, hidden, hidden, hidden_off, shown},
        ButtonCase{"paused", 0, {1, 3, 4, 5}, false, hidden, hidden, shown, hidden, hidden_off, shown},
        ButtonCase{"paused, busy", 0, {1, 3, 4, 5}, true, hidden_off, hidden_off, shown_off, hidden, hidden_off,
                   shown},
        ButtonCase{"resumed", 0, {1, 3, 4, 5, 6}, false, hidden, shown, hidden, hidden, hidden_off, shown},
        ButtonCase{"failed", 0, {1, 3, 4, 7}, false, hidden_off, shown_off, hidden_off, hidden_off, hidden_off, shown},
        ButtonCase{"finished", 0, {1, 3, 4, 8}, false, hidden, hidden, hidden, shown, hidden_off, shown},
        ButtonCase{"finished at start", 1, {8}, false, hidden, hidden, hidden, shown, hidden, shown},
        ButtonCase{"state 9, started by hand", 0, {1, 9}, false, shown_off, hidden, hidden, hidden, shown, hidden},
        ButtonCase{"state 9, continued", 1, {9}, false, hidden, shown_off, hidden, hidden, shown, hidden},
        ButtonCase{"checking", 0, {8, 10}, false, hidden, hidden, hidden, shown_off, hidden, shown},
        ButtonCase{"repairing", 0, {8, 10, 11}, false, hidden, hidden, hidden, shown_off, hidden, shown},
        ButtonCase{"checked", 0, {8, 10, 12}, false, hidden, hidden, hidden, shown, hidden, shown},
        ButtonCase{"installing keeps the look", 0, {8, 10, 12, 13}, false, hidden, hidden, hidden, shown, hidden,
                   shown},
        ButtonCase{"recovering", 1, {15}, false, hidden, shown_off, hidden, hidden, shown_off, hidden},
        ButtonCase{"reloading", 1, {16}, false, hidden, shown_off, hidden, hidden, shown_off, hidden},
        ButtonCase{"recovered, downloading", 1, {15, 4}, false, hidden, shown, hidden, hidden, hidden_off, shown},
        // States without a row in the table leave the buttons as they were.
        ButtonCase{"other states keep the look", 0, {1, 3, 4, 2, 14}, false, hidden, shown, hidden, hidden,
                   hidden_off, shown},
    };
    for (const ButtonCase& c : cases) {
        SCOPED_TRACE(c.name);
        control = ScriptedControl{};
        control.start_answer = c.start_answer;
        control.state = c.states.front();
        auto window = Make();
        ASSERT_TRUE(window->Start());
        for (int state : c.states) {
            control.state = state;
            control.blocked = c.busy;
            window->FastRefresh();
        }
        const std::array<std::pair<const char*, Look>, 6> expected{{{"startButton", c.start},
                                                                    {"pauseButton", c.pause},
                                                                    {"continueButton", c.resume},
                                                                    {"installButton", c.install},
                                                                    {"changeFolderButton", c.change_folder},
                                                                    {"openFolderButton", c.open_folder}}};
        for (const auto& [name, look] : expected) {
            SCOPED_TRACE(name);
            ui::CPictureButton* button = Button(*window, name);
            ASSERT_NE(button, nullptr);
            EXPECT_EQ(!button->isHidden(), look.visible);
            EXPECT_EQ(button->isEnabled(), look.enabled);
        }
    }
}

TEST_F(WindowFixture, StartButtonSwapsForPauseUnlessTheControllerIsBusy) {
    for (bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "busy" : "not busy");
        control = ScriptedControl{};
        auto window = Make();
        ASSERT_TRUE(window->Start());
        window->show();
        control.blocked = busy;
        QTest::mouseClick(Button(*window, "startButton"), Qt::LeftButton, {}, QPoint(40, 16));
        EXPECT_EQ(control.main_button_presses, 1);
        EXPECT_EQ(Button(*window, "pauseButton")->isHidden(), busy);
        EXPECT_EQ(Button(*window, "startButton")->isHidden(), !busy);
    }
}

// A port-mapping notification from a worker thread reaches the controller
// on the UI thread, and the notice it answers with is the window's tip.
TEST_F(WindowFixture, PortMappingNoticeIsShown) {
    control.port_notices = {{34, "uPnP成功"}};
    auto window = Make();
    ASSERT_TRUE(control.port_forward_handler);
    std::thread worker([this] {
        control.port_forward_handler(33, 2);
        control.port_forward_handler(34, 0);
    });
    worker.join();
    ASSERT_TRUE(uitest::WaitWithEvents([&] { return control.port_notifications.size() == 2; }));
    EXPECT_EQ(window->PortForwardNotice(), QStringLiteral("uPnP成功"));
    EXPECT_EQ(window->toolTip(), QStringLiteral("uPnP成功"));
    window.reset();
    EXPECT_FALSE(control.port_forward_handler);
}

TEST_F(WindowFixture, EscapeAndEnterAreSwallowed) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(window.get(), key);
        EXPECT_TRUE(window->isVisible());
        EXPECT_FALSE(window->Ended());
    }
    EXPECT_FALSE(control.user_exit);
    EXPECT_EQ(control.exits, 0);
}

TEST_F(WindowFixture, ClickOnTheDrawerTabExpandsAndCollapses) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(window->IsCollapsed());
    EXPECT_FALSE(window->mask().isEmpty());
    EXPECT_FALSE(window->mask().contains(QPoint(0, 306)));   // cut corner beside the tab
    EXPECT_TRUE(window->mask().contains(QPoint(200, 300)));  // the tab itself

    QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(200, 290));
    EXPECT_FALSE(window->IsCollapsed());
    EXPECT_EQ(window->height(), CkelTidewellUIDlg::CollapsedHeight + CkelTidewellUIDlg::ExpandExtra);
    EXPECT_TRUE(window->mask().isEmpty());
    EXPECT_TRUE(window->List()->isVisible());
    EXPECT_EQ(window->List()->topLevelItemCount(), 4);

    QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(200, 290));
    EXPECT_TRUE(window->IsCollapsed());
    EXPECT_EQ(window->height(), CkelTidewellUIDlg::CollapsedHeight);
    EXPECT_FALSE(window->List()->isVisible());

    QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(100, 290));  // beside the tab: nothing
    EXPECT_TRUE(window->IsCollapsed());
}

TEST_F(WindowFixture, RememberedCloseChoiceIsFollowedWithoutAsking) {
    int asked = 0;
    on_dialog = [&asked](QDialog&) {
        ++asked;
        return 0;
    };
    {
        control.close_selection = 1;
        auto window = Make();
        ASSERT_TRUE(window->Start());
        window->show();
        QTest::mouseClick(Button(*window, "closeButton"), Qt::LeftButton, {}, QPoint(12, 12));
        EXPECT_FALSE(window->Ended());
        EXPECT_FALSE(control.user_exit);
        // Without a tray on this desktop "to tray" minimises the window.
        EXPECT_TRUE(window->InTray() || window->isMinimized());
        EXPECT_EQ(control.exits, 0);
    }
    control = ScriptedControl{};
    {
        control.close_selection = 2;
        auto window = Make();
        ASSERT_TRUE(window->Start());
        window->show();
        QSignalSpy finished(window.get(), &QDialog::finished);
        QTest::mouseClick(Button(*window, "closeButton"), Qt::LeftButton, {}, QPoint(12, 12));
        EXPECT_TRUE(window->Ended());
        EXPECT_TRUE(control.user_exit);
        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(control.exits, 1);
        EXPECT_FALSE(window->isVisible());
    }
    EXPECT_EQ(control.exits, 1);  // the controller's exit runs once, not again at destruction
    EXPECT_EQ(asked, 0);
}

TEST_F(WindowFixture, CloseDialogAnswerIsFollowedAndRememberedOnRequest) {
    on_dialog = [](QDialog& dialog) {
        dialog.findChild<QRadioButton*>(QStringLiteral("exitRadio"))->setChecked(true);
        dialog.findChild<QCheckBox*>(QStringLiteral("rememberCheck"))->setChecked(true);
        dialog.findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
        return dialog.result();
    };
    auto window = Make();
    ASSERT_TRUE(window->Start());
    window->CloseCommand();
    EXPECT_EQ(control.close_selections_set, std::vector<int>{2});
    EXPECT_TRUE(window->Ended());
    EXPECT_TRUE(control.user_exit);
}

TEST_F(WindowFixture, DismissedCloseDialogRepeatsOnlyAConfirmedChoice) {
    int round = 0;
    on_dialog = [&round](QDialog& dialog) {
        // The second round confirms "to tray"; the others close the dialog
        // with its window button.
        if (++round == 2) dialog.findChild<QPushButton*>(QStringLiteral("confirmButton"))->click();
        else dialog.reject();
        return dialog.result();
    };
    auto window = Make();
    ASSERT_TRUE(window->Start());
    window->show();
    window->CloseCommand();  // dismissed, nothing chosen before: nothing happens
    EXPECT_FALSE(window->InTray() || window->isMinimized());
    EXPECT_FALSE(window->Ended());
    window->CloseCommand();  // confirmed "to tray", not remembered
    EXPECT_TRUE(window->InTray() || window->isMinimized());
    EXPECT_TRUE(control.close_selections_set.empty());
    window->showNormal();
    window->CloseCommand();  // dismissed again: the last confirmed choice repeats
    EXPECT_TRUE(window->InTray() || window->isMinimized());
    EXPECT_FALSE(window->Ended());
}

TEST_F(WindowFixture, TrayMenuLeavesExitRequestedUntilRestored) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    window->TrayMenuRequested();
    EXPECT_TRUE(control.user_exit);
    window->TrayRestore();
    EXPECT_FALSE(control.user_exit);
    EXPECT_FALSE(window->Ended());
    window->TrayMenuRequested();
    window->reject();  // the menu's "退出(&X)"
    EXPECT_TRUE(window->Ended());
    EXPECT_TRUE(control.user_exit);
}

TEST_F(WindowFixture, ChosenFolderGainsThePackageFolder) {
    struct Case {
        const char* picked;
        const char* expected;
    };
    const std::array cases{Case{"/srv/games", "/srv/games/wg311"}, Case{"/srv/games/", "/srv/games/wg311"},
                           Case{"/", "/wg311"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.picked);
        control = ScriptedControl{};
        control.state = 0;
        auto window = Make();
        ASSERT_TRUE(window->Start());
        picked = QString::fromUtf8(c.picked);
        window->show();
        QTest::mouseClick(Button(*window, "changeFolderButton"), Qt::LeftButton, {}, QPoint(12, 12));
        EXPECT_EQ(control.folders_chosen, std::vector<std::string>{c.picked});
        EXPECT_EQ(control.save_folder, c.expected);
        EXPECT_EQ(window->FolderText(), QString::fromUtf8(c.expected));
        EXPECT_EQ(control.state, 1);
    }
}

TEST_F(WindowFixture, CancelledFolderBrowserChangesNothing) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    picked.clear();
    window->FolderCommand();
    EXPECT_TRUE(control.folders_chosen.empty());
    EXPECT_EQ(window->FolderText(), QStringLiteral("/tmp/tidewell-ui/wg311"));
}

TEST_F(WindowFixture, OpenFolderShowsTheSetupFileOrTheFolder) {
    control.state = 8;
    control.setup_path = std::string(TIDEWELL_SOURCE_DIR) + "/README.md";  // a file that exists
    control.save_folder = TIDEWELL_SOURCE_DIR;
    auto window = Make();
    ASSERT_TRUE(window->Start());
    window->FolderCommand();
    control.state = 4;
    window->FolderCommand();
    control.save_folder.clear();
    window->FolderCommand();
    ASSERT_EQ(revealed.size(), 2u);
    EXPECT_EQ(revealed[0], std::make_pair(control.setup_path, true));
    EXPECT_EQ(revealed[1], std::make_pair(std::string(TIDEWELL_SOURCE_DIR), false));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("下载位置不存在"));
}

TEST_F(WindowFixture, StartAnswerDecidesTheFirstButtonOrEndsTheProgram) {
    control.start_answer = -1;
    auto ended = Make();
    EXPECT_FALSE(ended->Start());
    EXPECT_TRUE(control.user_exit);

    control = ScriptedControl{};
    control.expired = true;
    control.expiry_message = "本下载器已过期";
    auto expired = Make();
    EXPECT_FALSE(expired->Start());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("本下载器已过期"));

    control = ScriptedControl{};
    control.start_answer = 1;
    control.state = 15;
    auto continued = Make();
    ASSERT_TRUE(continued->Start());
    EXPECT_FALSE(control.shutdown_when_finished);
    EXPECT_FALSE(Button(*continued, "pauseButton")->isHidden());
    EXPECT_TRUE(Button(*continued, "startButton")->isHidden());
}

TEST_F(WindowFixture, SlowRefreshShowsTheStateTexts) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    control.state = 4;
    control.overall = 1234;
    control.speed_text = "1.2 MB/s";
    window->SlowRefresh();
    EXPECT_EQ(window->StatusShown(), QStringLiteral("1.2 MB/s"));
    EXPECT_EQ(window->ProgressValueShown(), QStringLiteral("12.34%"));
    int polls = control.polls;

    control.state = 8;  // finished: no poll, texts stay
    control.statuses[0] = "√ 下载完成  ";
    window->SlowRefresh();
    EXPECT_EQ(control.polls, polls);
    EXPECT_EQ(window->List()->topLevelItem(0)->text(1), QStringLiteral("√ 下载完成  "));

    control.state = 10;
    control.verify = 5000;
    window->SlowRefresh();
    EXPECT_EQ(window->StatusShown(), QStringLiteral("文件验证中..."));
    EXPECT_EQ(window->ProgressValueShown(), QStringLiteral("50.00%"));
}

TEST_F(WindowFixture, SettingsReachTheController) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    on_dialog = [](QDialog& dialog) {
        dialog.findChild<QCheckBox*>(QStringLiteral("limitCheck"))->setChecked(true);
        dialog.findChild<QCheckBox*>(QStringLiteral("shutdownCheck"))->setChecked(true);
        dialog.findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
        return dialog.result();
    };
    QTest::mouseClick(Button(*window, "settingsButton"), Qt::LeftButton, {}, QPoint(12, 12));
    EXPECT_EQ(control.speed_limit, 200);
    EXPECT_TRUE(control.shutdown_when_finished);
    EXPECT_TRUE(control.p2p);
    EXPECT_EQ(window->Options().speed_limit_kib, 200);
}

// The resource list switches P2P off after the window started; applying the
// settings hands the switch back and must not undo that decision.
TEST_F(WindowFixture, SettingsKeepTheResourceListsP2PDecision) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    control.p2p = false;  // what the resource list decided meanwhile
    bool shown_on = true;
    on_dialog = [&shown_on](QDialog& dialog) {
        shown_on = dialog.findChild<QCheckBox*>(QStringLiteral("p2pCheck"))->isChecked();
        dialog.findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
        return dialog.result();
    };
    QTest::mouseClick(Button(*window, "settingsButton"), Qt::LeftButton, {}, QPoint(12, 12));
    EXPECT_FALSE(shown_on);
    EXPECT_FALSE(control.p2p);
}

TEST_F(WindowFixture, InstallQuestionShowsTheProgramsOwnButtons) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    ASSERT_TRUE(control.question);
    for (bool yes : {true, false}) {
        SCOPED_TRACE(yes ? "yes" : "no");
        QStringList shown;
        QTimer::singleShot(0, [&shown, yes] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(top);
                if (!box || !box->isVisible()) continue;
                for (QAbstractButton* button : box->buttons()) shown << button->text();
                box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            }
        });
        EXPECT_EQ(control.question("是否验证安装文件的正确性？", "雾港长歌高速下载器"), yes);
        shown.sort();
        EXPECT_EQ(shown, (QStringList{QStringLiteral("否(&N)"), QStringLiteral("是(&Y)")}));
    }
}

TEST_F(WindowFixture, VerificationEndingAsksForTheMainActionOnTheWindowThread) {
    auto window = Make();
    ASSERT_TRUE(window->Start());
    ASSERT_TRUE(control.install_request);
    std::thread worker([this] { control.install_request(); });
    worker.join();
    EXPECT_EQ(control.main_button_presses, 0);  // queued, not run on the worker
    EXPECT_TRUE(uitest::WaitWithEvents([this] { return control.main_button_presses == 1; }));
}

}  // namespace
