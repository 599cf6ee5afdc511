#pragma once
// A push button drawn entirely from bitmaps: normal, pressed, hover,
// focused-after-click and disabled images (a missing one falls back to the
// normal image), or one strip of four frames side by side. Key-coloured
// pixels can be made transparent so the window's skin shows through, and the
// button's own shape can be cut from its normal image.
//
// Owner: its parent window. Thread: the UI thread only.

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>

namespace ui {

class CPictureButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Image { Normal, Pressed, Hover, Focused, Disabled };

    explicit CPictureButton(QWidget* parent = nullptr);

    // Resource or file paths of the five images; an empty hover, focused or
    // disabled path means the normal image. With `fit` the button takes the
    // normal image's size (it is not moved).
    void SetBitmaps(const QString& normal, const QString& pressed, const QString& hover, const QString& focused,
                    const QString& disabled, bool fit);
    // One image holding the frames normal, hover, pressed and disabled side by
    // side, each as wide as the button.
    void SetStrip(const QString& strip, bool fit);
    // Key-coloured pixels show what lies behind the button. An invalid colour
    // means the colour of the image's top-left pixel.
    void SetTransparent(bool on, const QColor& key = QColor());
    // Gives the button the shape of its normal image minus the key colour.
    void CutShape(const QColor& key);

    // The image for a set of flags (a disabled button has already dropped
    // its hover, down and clicked flags).
    static Image ChooseImage(bool clicked, bool down, bool hover, bool disabled);
    Image CurrentImage() const;
    bool IsHovered() const { return m_hover; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void DropStaleFlags();
    QPixmap PixmapFor(Image image) const;
    QPixmap Prepared(const QPixmap& pixmap) const;

    QPixmap m_images[5];
    QPixmap m_strip;
    bool m_transparent = false;
    QColor m_key;
    bool m_hover = false;
    bool m_down = false;
    bool m_clicked = false;
};

}  // namespace ui
