#include "playback/text_format.h"

#include <QStringDecoder>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <vector>

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

namespace {

// 0x80..0xBF of Windows-1251 (0 where undefined); 0xC0..0xFF are U+0410..U+044F in order.
constexpr std::array<char16_t, 64> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0,      0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

} // namespace

QString NameText(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (!utf8.hasError())
        return text;
    text.clear();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            text += QChar(byte);
        else if (byte >= 0xC0)
            text += QChar(char16_t(0x0410 + byte - 0xC0));
        else if (const char16_t mapped = kCp1251High[byte - 0x80])
            text += QChar(mapped);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString FolderNameText(const std::string& folder) {
    const auto slash = folder.rfind('/');
    return NameText(slash == std::string::npos ? std::string_view(folder) : std::string_view(folder).substr(slash + 1));
}
