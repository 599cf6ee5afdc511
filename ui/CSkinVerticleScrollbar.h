#pragma once
// A thin bitmap scroll bar that follows and drives a CSkinListCtrl: a track
// stretched to the bar's height and a 49-pixel thumb placed in proportion to
// the list's scroll position. The end zones act as arrows (one line at once,
// then repeating while held), the track around the thumb pages, and the
// thumb can be dragged.
//
// Owner: the main window, next to its list. Thread: the UI thread only.

#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace ui {

class CSkinListCtrl;

class CSkinVerticleScrollbar : public QWidget {
    Q_OBJECT
public:
    static constexpr int ThumbHeight = 49;
    // Height of the arrow zone at each end of the bar.
    static constexpr int ArrowZone = 6;
    // A held arrow scrolls once at once, again after the first delay and then
    // every repeat interval.
    static constexpr int FirstRepeatMs = 250;
    static constexpr int RepeatMs = 50;

    explicit CSkinVerticleScrollbar(QWidget* parent = nullptr);

    void SetList(CSkinListCtrl* list) { m_list = list; }
    void SetImages(const QString& track, const QString& thumb);
    // Follows the list's scroll position.
    void UpdateThumbPosition();

    int ThumbTop() const { return m_thumb_top; }
    bool ThumbShown() const;
    // The running arrow-repeat interval, 0 when no arrow is held.
    int RepeatInterval() const { return m_repeat.isActive() ? m_repeat.interval() : 0; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    double Ratio() const;
    void OnRepeat();
    void StopArrows();

    CSkinListCtrl* m_list = nullptr;
    QPixmap m_track;
    QPixmap m_thumb;
    QTimer m_repeat;
    int m_thumb_top = 0;
    bool m_dragging = false;
    bool m_up_held = false;
    bool m_down_held = false;
};

}  // namespace ui
