#include "ui/CPictureButton.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <QTest>
#include <array>

#include "tests/support/Sandbox.h"

namespace {

using ui::CPictureButton;
using Image = CPictureButton::Image;

TEST(CPictureButtonChoice, FollowsClickDownHoverAndDisabledFlags) {
    struct Case {
        const char* name;
        bool clicked, down, hover, disabled;
        Image expected;
    };
    const std::array cases{
        Case{"pressed", true, true, true, false, Image::Pressed},
        Case{"released outside", true, false, false, false, Image::Focused},
        Case{"released inside", true, false, true, false, Image::Hover},
        Case{"hovered", false, false, true, false, Image::Hover},
        Case{"disabled", false, false, false, true, Image::Disabled},
        Case{"idle", false, false, false, false, Image::Normal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CPictureButton::ChooseImage(c.clicked, c.down, c.hover, c.disabled), c.expected);
    }
}

// Buttons drawn from one-colour images, so the colour on screen tells which
// image was used.
struct ButtonFixture : testing::Test {
    testing_support::Sandbox sandbox;

    QString Solid(const char* name, QColor colour, QSize size = {20, 10}) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        QString path = QString::fromStdString(sandbox.File(name));
        image.save(path);
        return path;
    }
    static QColor Centre(CPictureButton& button) {
        return button.grab().toImage().pixelColor(button.width() / 2, button.height() / 2);
    }
    static void Hover(CPictureButton& button) {
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(&button, &enter);
    }
};

TEST_F(ButtonFixture, MissingHoverAndDisabledImagesFallBackToNormal) {
    CPictureButton button;
    button.SetBitmaps(Solid("n.png", Qt::red), Solid("p.png", Qt::blue), QString(), QString(), QString(), true);
    EXPECT_EQ(button.size(), QSize(20, 10));
    Hover(button);
    EXPECT_EQ(button.CurrentImage(), Image::Hover);
    EXPECT_EQ(Centre(button), QColor(Qt::red));
    button.setEnabled(false);
    EXPECT_EQ(Centre(button), QColor(Qt::red));
}

TEST_F(ButtonFixture, DisabledButtonNeverShowsHover) {
    CPictureButton button;
    button.SetBitmaps(Solid("n.png", Qt::red), Solid("p.png", Qt::blue), Solid("h.png", Qt::green), QString(),
                      Solid("d.png", Qt::gray), true);
    Hover(button);
    EXPECT_EQ(Centre(button), QColor(Qt::green));
    button.setEnabled(false);
    Hover(button);
    EXPECT_EQ(button.CurrentImage(), Image::Disabled);
    EXPECT_EQ(Centre(button), QColor(Qt::gray));
}

TEST_F(ButtonFixture, PressShowsPressedImageAndReleaseKeepsTheClick) {
    CPictureButton button;
    button.SetBitmaps(Solid("n.png", Qt::red), Solid("p.png", Qt::blue), Solid("h.png", Qt::green),
                      Solid("f.png", Qt::yellow), QString(), true);
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    button.activateWindow();
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(button.CurrentImage(), Image::Pressed);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_NE(button.CurrentImage(), Image::Pressed);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    EXPECT_EQ(button.CurrentImage(), Image::Focused);
}

TEST_F(ButtonFixture, StripFramesAreNormalHoverPressedDisabled) {
    QImage strip(80, 10, QImage::Format_RGB32);
    const std::array<QColor, 4> frames{Qt::red, Qt::green, Qt::blue, Qt::gray};
    for (int f = 0; f < 4; ++f) {
        for (int x = 0; x < 20; ++x) {
            for (int y = 0; y < 10; ++y) strip.setPixelColor(f * 20 + x, y, frames[size_t(f)]);
        }
    }
    QString path = QString::fromStdString(sandbox.File("strip.png"));
    strip.save(path);
    CPictureButton button;
    button.SetStrip(path, true);
    EXPECT_EQ(button.size(), QSize(20, 10));
    EXPECT_EQ(Centre(button), QColor(Qt::red));
    Hover(button);
    EXPECT_EQ(Centre(button), QColor(Qt::green));
    button.setEnabled(false);
    EXPECT_EQ(Centre(button), QColor(Qt::gray));
}

TEST_F(ButtonFixture, KeyColourIsCutFromTheShape) {
    QImage image(20, 10, QImage::Format_RGB32);
    image.fill(Qt::red);
    for (int y = 0; y < 10; ++y) image.setPixelColor(0, y, QColor(232, 5, 246));
    QString path = QString::fromStdString(sandbox.File("keyed.png"));
    image.save(path);
    CPictureButton button;
    button.SetBitmaps(path, QString(), QString(), QString(), QString(), true);
    button.CutShape(QColor(232, 5, 246));
    EXPECT_FALSE(button.mask().contains(QPoint(0, 5)));
    EXPECT_TRUE(button.mask().contains(QPoint(1, 5)));
}

TEST_F(ButtonFixture, TransparentKeyPixelsShowTheParent) {
    QImage image(20, 10, QImage::Format_RGB32);
    image.fill(Qt::red);
    for (int y = 0; y < 10; ++y) image.setPixelColor(3, y, QColor(232, 5, 246));
    QString path = QString::fromStdString(sandbox.File("keyed.png"));
    image.save(path);
    QWidget parent;
    parent.setAutoFillBackground(true);
    QPalette colours = parent.palette();
    colours.setColor(QPalette::Window, Qt::green);
    parent.setPalette(colours);
    parent.resize(20, 10);
    auto* button = new CPictureButton(&parent);
    button->SetBitmaps(path, QString(), QString(), QString(), QString(), true);
    button->SetTransparent(true, QColor(232, 5, 246));
    QImage shot = parent.grab().toImage();
    EXPECT_EQ(shot.pixelColor(3, 5), QColor(Qt::green));
    EXPECT_EQ(shot.pixelColor(4, 5), QColor(Qt::red));
}

}  // namespace
