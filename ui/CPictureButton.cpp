#include "ui/CPictureButton.h"

#include <QEnterEvent>
#include <QPainter>

#include "ui/SkinImages.h"

namespace ui {

namespace {

QPixmap Load(const QString& path) {
    return path.isEmpty() ? QPixmap() : QPixmap(path);
}

// Frames of a strip: normal, hover, pressed, disabled. The focused-after-click
// look has no frame of its own and reuses the normal one.
int StripFrame(CPictureButton::Image image) {
    switch (image) {
    case CPictureButton::Image::Pressed: return 2;
    case CPictureButton::Image::Hover: return 1;
    case CPictureButton::Image::Disabled: return 3;
    case CPictureButton::Image::Focused:
    case CPictureButton::Image::Normal: return 0;
    }
    return 0;
}

}  // namespace

CPictureButton::CPictureButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
}

void CPictureButton::SetBitmaps(const QString& normal, const QString& pressed, const QString& hover,
                                const QString& focused, const QString& disabled, bool fit) {
    m_strip = QPixmap();
    m_images[int(Image::Normal)] = Load(normal);
    m_images[int(Image::Pressed)] = Load(pressed);
    m_images[int(Image::Hover)] = Load(hover);
    m_images[int(Image::Focused)] = Load(focused);
    m_images[int(Image::Disabled)] = Load(disabled);
    if (fit && !m_images[int(Image::Normal)].isNull()) resize(m_images[int(Image::Normal)].size());
    update();
}

void CPictureButton::SetStrip(const QString& strip, bool fit) {
    for (QPixmap& image : m_images) image = QPixmap();
    m_strip = Load(strip);
    if (fit && !m_strip.isNull()) resize(m_strip.width() / 4, m_strip.height());
    update();
}

void CPictureButton::SetTransparent(bool on, const QColor& key) {
    m_transparent = on;
    m_key = key;
    update();
}

void CPictureButton::CutShape(const QColor& key) {
    const QPixmap& normal = m_strip.isNull() ? m_images[int(Image::Normal)] : m_strip.copy(0, 0, width(), height());
    if (normal.isNull()) return;
    QImage image = normal.toImage();
    setMask(SkinImages::CutRegion(image, image.width(), image.height(), 0, image.height() - 1, key));
}

CPictureButton::Image CPictureButton::ChooseImage(bool clicked, bool down, bool hover, bool disabled) {
    if (clicked && down) return Image::Pressed;
    if (clicked && !down && !hover) return Image::Focused;
    if (hover && !down) return Image::Hover;
    if (disabled) return Image::Disabled;
    return Image::Normal;
}

CPictureButton::Image CPictureButton::CurrentImage() const {
    bool focused = hasFocus();
    bool disabled = !isEnabled();
    bool clicked = focused && !disabled && m_clicked;
    bool down = focused && !disabled && m_down;
    bool hover = !disabled && m_hover;
    return ChooseImage(clicked, down, hover, disabled);
}

QSize CPictureButton::sizeHint() const {
    if (!m_strip.isNull()) return {m_strip.width() / 4, m_strip.height()};
    if (!m_images[int(Image::Normal)].isNull()) return m_images[int(Image::Normal)].size();
    return QAbstractButton::sizeHint();
}

void CPictureButton::DropStaleFlags() {
    if (!hasFocus()) m_clicked = m_down = false;
    if (!isEnabled()) m_clicked = m_down = m_hover = false;
}

QPixmap CPictureButton::PixmapFor(Image image) const {
    if (!m_strip.isNull()) return m_strip.copy(StripFrame(image) * width(), 0, width(), m_strip.height());
    const QPixmap& chosen = m_images[int(image)];
    return chosen.isNull() ? m_images[int(Image::Normal)] : chosen;
}

QPixmap CPictureButton::Prepared(const QPixmap& pixmap) const {
    if (!m_transparent || pixmap.isNull()) return pixmap;
    QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    QRgb key = (m_key.isValid() ? m_key.rgb() : image.pixel(0, 0)) & RGB_MASK;
    for (int y = 0; y < image.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & RGB_MASK) == key) line[x] = 0;
        }
    }
    return QPixmap::fromImage(image);
}

void CPictureButton::paintEvent(QPaintEvent*) {
    DropStaleFlags();
    QPixmap pixmap = Prepared(PixmapFor(CurrentImage()));
    if (pixmap.isNull()) return;
    QPainter painter(this);
    painter.drawPixmap(rect(), pixmap, pixmap.rect());
}

void CPictureButton::enterEvent(QEnterEvent* event) {
    m_hover = isEnabled();
    update();
    QAbstractButton::enterEvent(event);
}

void CPictureButton::leaveEvent(QEvent* event) {
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CPictureButton::mousePressEvent(QMouseEvent* event) {
    if (isEnabled()) m_down = m_clicked = true;
    QAbstractButton::mousePressEvent(event);
    update();
}

void CPictureButton::mouseReleaseEvent(QMouseEvent* event) {
    m_down = false;
    QAbstractButton::mouseReleaseEvent(event);
    update();
}

void CPictureButton::focusOutEvent(QFocusEvent* event) {
    m_clicked = m_down = false;
    QAbstractButton::focusOutEvent(event);
    update();
}

void CPictureButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange && !isEnabled()) m_clicked = m_down = m_hover = false;
    QAbstractButton::changeEvent(event);
}

}  // namespace ui
