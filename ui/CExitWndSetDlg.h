#pragma once
// The "关闭" dialog: asks whether the close button sends the window to the
// tray or exits, optionally remembering the answer. It keeps its last
// confirmed choice for the rest of the run, so closing it with its own
// window button repeats that choice (none before the first confirmation).
//
// Owner: the main window (one instance, shown modally). Thread: the UI thread.

#include <QDialog>

class QCheckBox;
class QRadioButton;

namespace ui {

class CExitWndSetDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int ChoiceNone = 0;
    static constexpr int ChoiceTray = 1;
    static constexpr int ChoiceExit = 2;

    explicit CExitWndSetDlg(QWidget* parent = nullptr);

    // Checks "to tray" again before the dialog is shown.
    void Prepare();
    int Choice() const { return m_choice; }

signals:
    // The user asked to remember this choice.
    void ChoiceRemembered(int choice);

private:
    void OnConfirm();

    QRadioButton* m_tray = nullptr;
    QRadioButton* m_exit = nullptr;
    QCheckBox* m_remember = nullptr;
    int m_choice = ChoiceNone;
};

}  // namespace ui
