#include "ui/SkinImages.h"

#include <QDir>
#include <QFileInfo>

namespace ui {

SkinImages::SkinImages(QString folder) : m_folder(std::move(folder)) {}

const QImage& SkinImages::Collapsed() {
    return Load(QStringLiteral("res/bg2.bmp"), QStringLiteral(":/skin/bg_collapsed.png"));
}

const QImage& SkinImages::Expanded() {
    return Load(QStringLiteral("res/bg.bmp"), QStringLiteral(":/skin/bg_expanded.png"));
}

void SkinImages::Release() {
    m_cache.clear();
}

const QImage& SkinImages::Load(const QString& file, const QString& fallback) {
    QString path = m_folder.isEmpty() ? file : QDir(m_folder).filePath(file);
    auto found = m_cache.find(path);
    if (found != m_cache.end()) return *found;
    QImage image;
    if (QFileInfo::exists(path)) image.load(path);
    if (!image.isNull()) return *m_cache.insert(path, image.convertToFormat(QImage::Format_RGB32));
    auto built_in = m_cache.find(fallback);
    if (built_in != m_cache.end()) return *built_in;
    QImage resource(fallback);
    return *m_cache.insert(fallback, resource.isNull() ? QImage() : resource.convertToFormat(QImage::Format_RGB32));
}

QRegion SkinImages::CutRegion(const QImage& source, int width, int height, int first_row, int last_row,
                              const QColor& key_colour) {
    QRegion region(0, 0, width, height);
    QImage image = source.convertToFormat(QImage::Format_RGB32);
    QRgb key = key_colour.rgb();
    int rows_end = std::min({last_row + 1, image.height(), height});
    int columns = std::min(image.width(), width);
    for (int y = std::max(0, first_row); y < rows_end; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int x = 0;
        while (x < columns) {
            if ((line[x] & 0xFFFFFF) != (key & 0xFFFFFF)) {
                ++x;
                continue;
            }
            int run = x;
            while (run < columns && (line[run] & 0xFFFFFF) == (key & 0xFFFFFF)) ++run;
            region -= QRegion(x, y, run - x, 1);
            x = run;
        }
    }
    return region;
}

}  // namespace ui
