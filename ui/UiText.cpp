#include "ui/UiText.h"

namespace ui {

QString ToUiText(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::string FromUiText(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace ui
