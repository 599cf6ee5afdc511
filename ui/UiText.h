#pragma once
// The one place where the downloader's text (UTF-8 bytes from the controller,
// the settings file and the engine) becomes Qt text and back. ui/ builds with
// QT_NO_CAST_FROM_ASCII, so every other conversion is a compile error.

#include <QString>
#include <string>

namespace ui {

QString ToUiText(const std::string& utf8);
std::string FromUiText(const QString& text);

}  // namespace ui
