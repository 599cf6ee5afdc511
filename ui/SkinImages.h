#pragma once
// The window's skin images: the two backgrounds, which a file in the current
// folder ("res/bg2.bmp" collapsed, "res/bg.bmp" expanded) overrides, else the
// built-in artwork; each is loaded once and kept by its name. Also cuts the
// window's shape out of an image by its key colour.
//
// Owner: the main window. Thread: the UI thread only.

#include <QColor>
#include <QHash>
#include <QImage>
#include <QRegion>
#include <QString>

namespace ui {

// Pixels of this colour are cut out of the window and the main buttons.
inline const QColor KeyColour(232, 5, 246);

class SkinImages {
public:
    // `folder` is where the override files are looked for (the current folder).
    explicit SkinImages(QString folder = QString());

    const QImage& Collapsed();
    const QImage& Expanded();
    void Release();

    // The rectangle 0, 0, width, height minus every pixel of rows first_row
    // to last_row (inclusive) that has the key colour in `image`.
    static QRegion CutRegion(const QImage& image, int width, int height, int first_row, int last_row,
                             const QColor& key = KeyColour);

private:
    const QImage& Load(const QString& file, const QString& fallback);

    QString m_folder;
    QHash<QString, QImage> m_cache;
};

}  // namespace ui
