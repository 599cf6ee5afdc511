#include "ui/CSkinVerticleScrollbar.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/CSkinListCtrl.h"

namespace ui {

namespace {

// The thumb is dragged by its middle.
constexpr int ThumbGrip = 24;

}  // namespace

CSkinVerticleScrollbar::CSkinVerticleScrollbar(QWidget* parent) : QWidget(parent) {
    connect(&m_repeat, &QTimer::timeout, this, &CSkinVerticleScrollbar::OnRepeat);
}

void CSkinVerticleScrollbar::SetImages(const QString& track, const QString& thumb) {
    m_track = QPixmap(track);
    m_thumb = QPixmap(thumb);
    update();
}

bool CSkinVerticleScrollbar::ThumbShown() const {
    return m_list && m_list->ScrollLimit() > 0;
}

double CSkinVerticleScrollbar::Ratio() const {
    int limit = m_list ? m_list->ScrollLimit() : 0;
    return limit > 0 ? double(height() - ThumbHeight) / limit : 0.0;
}

void CSkinVerticleScrollbar::UpdateThumbPosition() {
    if (!m_list || m_dragging) return;
    int top = int(Ratio() * m_list->ScrollPosition());
    top = std::clamp(top, 0, std::max(0, height() - ThumbHeight));
    if (top != m_thumb_top) {
        m_thumb_top = top;
        update();
    }
}

void CSkinVerticleScrollbar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!m_track.isNull()) painter.drawPixmap(QRect(0, 0, 3, height()), m_track);
    if (ThumbShown() && !m_thumb.isNull()) painter.drawPixmap(QRect(0, m_thumb_top, 3, ThumbHeight), m_thumb);
}

void CSkinVerticleScrollbar::mousePressEvent(QMouseEvent* event) {
    if (!m_list || event->button() != Qt::LeftButton) return;
    int y = int(event->position().y());
    // The arrow zones come first: with the thumb at an end they overlap it,
    // and a click at the very end means "one line".
    if (y < ArrowZone || y >= height() - ArrowZone) {
        m_up_held = y < ArrowZone;
        m_down_held = !m_up_held;
        m_list->ScrollLines(m_up_held ? -1 : 1);
        m_repeat.start(FirstRepeatMs);
    } else if (ThumbShown() && y >= m_thumb_top && y < m_thumb_top + ThumbHeight) {
        m_dragging = true;
    } else if (ThumbShown()) {
        m_list->ScrollPage(y < m_thumb_top ? -1 : 1);
    }
    update();
}

void CSkinVerticleScrollbar::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging || !m_list) return;
    double ratio = Ratio();
    if (ratio <= 0.0) return;
    m_thumb_top = std::clamp(int(event->position().y()) - ThumbGrip, 0, std::max(0, height() - ThumbHeight));
    int lines = int(std::floor((m_thumb_top + 1) / ratio)) - m_list->ScrollPosition();
    if (lines != 0) m_list->ScrollLines(lines);
    update();
}

void CSkinVerticleScrollbar::mouseReleaseEvent(QMouseEvent*) {
    StopArrows();
    if (m_dragging) {
        m_dragging = false;
        UpdateThumbPosition();
    }
}

void CSkinVerticleScrollbar::OnRepeat() {
    if (!m_list || (!m_up_held && !m_down_held)) {
        StopArrows();
        return;
    }
    if (m_repeat.interval() != RepeatMs) m_repeat.start(RepeatMs);
    m_list->ScrollLines(m_up_held ? -1 : 1);
}

void CSkinVerticleScrollbar::StopArrows() {
    m_repeat.stop();
    m_up_held = m_down_held = false;
}

}  // namespace ui
