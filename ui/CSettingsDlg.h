#pragma once
// The "下载设置" dialog: the download speed limit (10-30000 KiB/s or none)
// and the automatic shut-down after the download. It edits the process-wide
// options and tells the main window through signals, which hands the values
// on to the controller. The P2P switch and the connection count exist but
// stay hidden.
//
// Owner: the main window (shown modally). Thread: the UI thread only.

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QToolButton;

namespace ui {

struct ProcessOptions;

class CSettingsDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int MinimumLimit = 10;
    static constexpr int MaximumLimit = 30000;
    static constexpr int InitialPosition = 200;

    CSettingsDlg(ProcessOptions& options, QWidget* parent = nullptr);

    // The up-down control's position: the number in the edit, or -1 when it
    // holds none.
    int Position() const;
    void SetPosition(int position);

signals:
    void SpeedLimitChosen(int kib_per_s);
    void ShutdownChosen(bool enabled);
    void P2PChosen(bool enabled);

private:
    void BuildControls();
    void OnLimitToggled(bool checked);
    void OnApply();
    void Step(int delta);
    void ShowNoLimit();

    ProcessOptions& m_options;
    QCheckBox* m_limit_check = nullptr;
    QLineEdit* m_limit_edit = nullptr;
    QToolButton* m_up = nullptr;
    QToolButton* m_down = nullptr;
    QCheckBox* m_shutdown_check = nullptr;
    QCheckBox* m_p2p_check = nullptr;
};

}  // namespace ui
