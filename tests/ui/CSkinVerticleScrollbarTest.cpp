#include "ui/CSkinVerticleScrollbar.h"

#include <gtest/gtest.h>

#include <QTest>

#include "tests/ui/QtWait.h"
#include "ui/CSkinListCtrl.h"

namespace {

using ui::CSkinListCtrl;
using ui::CSkinVerticleScrollbar;

// A list with its scroll bar beside it, as the window lays them out.
struct ListFixture : testing::Test {
    QWidget host;
    CSkinListCtrl* list = new CSkinListCtrl(&host);
    CSkinVerticleScrollbar* bar = new CSkinVerticleScrollbar(&host);

    void Fill(int rows) {
        list->setColumnCount(2);
        for (int i = 0; i < rows; ++i) {
            auto* item = new QTreeWidgetItem(list);
            item->setText(0, QStringLiteral("file %1").arg(i));
            item->setText(1, QStringLiteral("%1%").arg(i));
        }
        host.resize(411, 160);
        list->setGeometry(0, 0, 408, 160);
        bar->setGeometry(408, 0, 3, 160);
        bar->SetList(list);
        list->SetScrollbar(bar);
        host.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    }
};

TEST_F(ListFixture, FewRowsShowTheTrackWithoutThumb) {
    Fill(3);
    EXPECT_EQ(list->ScrollLimit(), 0);
    EXPECT_FALSE(bar->ThumbShown());
}

TEST_F(ListFixture, WheelScrollsOneLinePerNotchAndMovesTheThumb) {
    Fill(40);
    ASSERT_GT(list->ScrollLimit(), 3);
    EXPECT_TRUE(bar->ThumbShown());
    EXPECT_EQ(bar->ThumbTop(), 0);
    QWheelEvent down(QPointF(50, 50), list->mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, -240), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(list->viewport(), &down);
    EXPECT_EQ(list->ScrollPosition(), 2);
    EXPECT_GT(bar->ThumbTop(), 0);
    list->ScrollLines(list->ScrollLimit());
    EXPECT_EQ(bar->ThumbTop(), bar->height() - CSkinVerticleScrollbar::ThumbHeight);
}

TEST_F(ListFixture, HeldArrowScrollsAtOnceThenRepeats) {
    Fill(40);
    QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(1, bar->height() - 2));
    EXPECT_EQ(list->ScrollPosition(), 1);
    EXPECT_EQ(bar->RepeatInterval(), CSkinVerticleScrollbar::FirstRepeatMs);
    ASSERT_TRUE(uitest::WaitWithEvents([&] { return list->ScrollPosition() >= 3; }));
    EXPECT_EQ(bar->RepeatInterval(), CSkinVerticleScrollbar::RepeatMs);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(1, bar->height() - 2));
    EXPECT_EQ(bar->RepeatInterval(), 0);
}

TEST_F(ListFixture, TrackPagesAndThumbDrags) {
    Fill(40);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(1, 100));  // below the thumb
    int paged = list->ScrollPosition();
    EXPECT_GT(paged, 1);
    QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(1, bar->ThumbTop() + 24));
    QTest::mouseMove(bar, QPoint(1, bar->height() - 8));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(1, bar->height() - 8));
    EXPECT_EQ(list->ScrollPosition(), list->ScrollLimit());
}

}  // namespace
