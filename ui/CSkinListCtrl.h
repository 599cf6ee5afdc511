#pragma once
// The package list: a report-style list that draws its own rows and never
// shows a native scroll bar; a linked thin bitmap scroll bar
// (CSkinVerticleScrollbar) follows and drives it. The mouse wheel scrolls one
// line per notch.
//
// Owner: the main window. Thread: the UI thread only.

#include <QTreeWidget>

namespace ui {

class CSkinVerticleScrollbar;

class CSkinListCtrl : public QTreeWidget {
    Q_OBJECT
public:
    explicit CSkinListCtrl(QWidget* parent = nullptr);

    void SetScrollbar(CSkinVerticleScrollbar* scrollbar) { m_scrollbar = scrollbar; }

    // Scrolling in rows, as the scroll bar asks for it.
    int ScrollPosition() const;
    int ScrollLimit() const;  // 0: everything fits
    void ScrollLines(int lines);
    void ScrollPage(int direction);
    int RowHeight() const;

protected:
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateScrollbar();

    CSkinVerticleScrollbar* m_scrollbar = nullptr;
};

}  // namespace ui
