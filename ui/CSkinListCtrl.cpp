#include "ui/CSkinListCtrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include "ui/CSkinVerticleScrollbar.h"

namespace ui {

namespace {

// One notch of a standard mouse wheel.
constexpr int WheelNotch = 120;

const QColor RowText(40, 48, 58);
const QColor SelectedRow(214, 228, 242);
const QColor FocusedSelectedRow(51, 122, 196);

}  // namespace

CSkinListCtrl::CSkinListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, Qt::white);
    setPalette(colours);
}

int CSkinListCtrl::ScrollPosition() const {
    return verticalScrollBar()->value();
}

int CSkinListCtrl::ScrollLimit() const {
    return verticalScrollBar()->maximum();
}

void CSkinListCtrl::ScrollLines(int lines) {
    verticalScrollBar()->setValue(verticalScrollBar()->value() + lines);
    UpdateScrollbar();
}

void CSkinListCtrl::ScrollPage(int direction) {
    ScrollLines(direction * std::max(1, verticalScrollBar()->pageStep()));
}

int CSkinListCtrl::RowHeight() const {
    if (topLevelItemCount() == 0) return 0;
    return visualItemRect(topLevelItem(0)).height();
}

void CSkinListCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    bool selected = selectionModel() && selectionModel()->isSelected(index);
    bool focused = hasFocus();
    QColor background = selected ? (focused ? FocusedSelectedRow : SelectedRow) : QColor(Qt::white);
    QColor ink = selected && focused ? QColor(Qt::white) : RowText;
    painter->fillRect(option.rect, background);
    painter->setPen(ink);
    painter->setFont(option.font);
    const QHeaderView* head = header();
    for (int column = 0; column < columnCount(); ++column) {
        // The first column's cell starts at the row's left edge, so no
        // indentation gap is left in front of the file name.
        int left = head->sectionViewportPosition(column);
        QRect cell(column == 0 ? option.rect.left() : left, option.rect.top(),
                   head->sectionSize(column) - (column == 0 ? option.rect.left() - left : 0), option.rect.height());
        QModelIndex sibling = index.siblingAtColumn(column);
        QString text = sibling.data(Qt::DisplayRole).toString();
        int alignment = sibling.data(Qt::TextAlignmentRole).toInt();
        Qt::Alignment horizontal = (alignment & Qt::AlignRight) ? Qt::AlignRight : Qt::AlignLeft;
        QRect inner = cell.adjusted(6, 0, -6, 0);
        QString shown = painter->fontMetrics().elidedText(text, Qt::ElideRight, inner.width());
        painter->drawText(inner, int(horizontal | Qt::AlignVCenter), shown);
    }
}

void CSkinListCtrl::wheelEvent(QWheelEvent* event) {
    int notches = event->angleDelta().y() / WheelNotch;
    if (QApplication::wheelScrollLines() != 0 && notches != 0) ScrollLines(-notches);  // away from the user: up
    event->accept();
}

void CSkinListCtrl::keyPressEvent(QKeyEvent* event) {
    QTreeWidget::keyPressEvent(event);
    UpdateScrollbar();
}

void CSkinListCtrl::paintEvent(QPaintEvent* event) {
    QTreeWidget::paintEvent(event);
    UpdateScrollbar();
}

void CSkinListCtrl::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    UpdateScrollbar();
}

void CSkinListCtrl::UpdateScrollbar() {
    if (m_scrollbar) m_scrollbar->UpdateThumbPosition();
}

}  // namespace ui
