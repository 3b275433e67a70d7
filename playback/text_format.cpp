#include "playback/text_format.h"

#include <QStringDecoder>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "engine/cp1251.h"

QString FormatText(const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    QString text;
    if (length < 0) {
        text.clear();
    } else if (std::size_t(length) < sizeof small) {
        text = QString::fromUtf8(small, length);
    } else {
        std::vector<char> large(std::size_t(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        text = QString::fromUtf8(large.data(), length);
    }
    va_end(again);
    return text;
}

Hms SplitHms(double t) {
    Hms r;
    r.hours = std::int32_t(t / 3600);
    const double rest = t - double(r.hours * 3600);
    r.minutes = std::int32_t(rest / 60);
    r.seconds = std::int32_t(rest - double(r.minutes * 60));
    return r;
}

QString NameText(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (!utf8.hasError())
        return text;
    text.clear();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (const char32_t mapped = engine::Cp1251ToUnicode(byte); mapped != 0xFFFD)
            text += QChar(char16_t(mapped));
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString FolderNameText(const std::string& folder) {
    const auto slash = folder.rfind('/');
    return NameText(slash == std::string::npos ? std::string_view(folder) : std::string_view(folder).substr(slash + 1));
}
