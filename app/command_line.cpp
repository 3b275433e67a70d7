#include "app/command_line.h"

#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/dispatch.h"
#include "playback/text_format.h"

namespace {

// The locale's language as the C library would pick it for messages.
bool Russian() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = std::getenv(name); value && *value)
            return std::strncmp(value, "ru", 2) == 0;
    return false;
}

const char* Text(const char* english, const char* russian) {
    return Russian() ? russian : english;
}

void Say(std::FILE* to, const QString& text) {
    std::fputs(text.toUtf8().constData(), to);
}

QString Usage() {
    return QString::fromUtf8(Text(
        "Usage: tellwick [OPTION]... [FILE | FOLDER]\n"
        "Tellwick, an audiobook player. Opens FILE for the current book, or the first track of\n"
        "FOLDER; without either it resumes the current book where it stopped. When Tellwick is\n"
        "already running, the path goes to that player and its window comes forward.\n"
        "\n"
        "  -h, --help     show this help and exit\n"
        "      --version  show the versions of Tellwick, its audio engine, FFmpeg and Qt, and exit\n"
        "      --         end of options: what follows is a path\n"
        "\n"
        "Qt's own options (-platform NAME, -display DISPLAY, -style STYLE, -reverse, ...) are\n"
        "passed to Qt. Exit status: 0 done, 1 no display or the running player did not answer,\n"
        "2 a wrong option. See tellwick(1).\n",
        "Использование: tellwick [ПАРАМЕТР]... [ФАЙЛ | ПАПКА]\n"
        "Tellwick — проигрыватель аудиокниг. Открывает ФАЙЛ для текущей книги или первую дорожку\n"
        "ПАПКИ; без них продолжает текущую книгу с места остановки. Если Tellwick уже запущен,\n"
        "путь передаётся ему, и его окно выходит на передний план.\n"
        "\n"
        "  -h, --help     показать эту справку и выйти\n"
        "      --version  показать версии Tellwick, его звукового движка, FFmpeg и Qt и выйти\n"
        "      --         конец параметров: дальше идёт путь\n"
        "\n"
        "Параметры самой Qt (-platform ИМЯ, -display ДИСПЛЕЙ, -style СТИЛЬ, -reverse, ...)\n"
        "передаются Qt. Код выхода: 0 — успех, 1 — нет дисплея или запущенный проигрыватель\n"
        "не ответил, 2 — неверный параметр. См. tellwick(1).\n"));
}

QString Version() {
    return QStringLiteral("Tellwick %1\n%2\nQt %3\n")
        .arg(QStringLiteral(TELLWICK_VERSION), EngineVersionText(), QString::fromLatin1(qVersion()));
}

int WrongOption(const char* english, const char* russian, const char* option) {
    Say(stderr, QStringLiteral("tellwick: ") +
                    QString::fromUtf8(Text(english, russian)).arg(QString::fromLocal8Bit(option)) +
                    QLatin1Char('\n') + Usage());
    return 2;
}

// Qt's options as QGuiApplication and QApplication read them (one dash or two).
enum class Value { None, Next, Joined };
struct QtOption {
    const char* name;
    Value value;
};
constexpr QtOption kQtOptions[] = {
    {"platform", Value::Next}, {"platformpluginpath", Value::Next}, {"platformtheme", Value::Next},
    {"plugin", Value::Next}, {"display", Value::Next}, {"geometry", Value::Next},
    {"qwindowgeometry", Value::Next}, {"title", Value::Next}, {"qwindowtitle", Value::Next},
    {"icon", Value::Next}, {"qwindowicon", Value::Next}, {"name", Value::Next},
    {"style", Value::Next}, {"stylesheet", Value::Next}, {"session", Value::Next},
    {"style", Value::Joined}, {"stylesheet", Value::Joined}, {"qmljsdebugger", Value::Joined},
    {"reverse", Value::None}, {"sync", Value::None}, {"nograb", Value::None}, {"dograb", Value::None},
    {"widgetcount", Value::None}, {"testability", Value::None},
};

const QtOption* FindQtOption(const char* argument) {
    const char* name = argument + (std::strncmp(argument, "--", 2) == 0 ? 2 : 1);
    for (const QtOption& option : kQtOptions) {
        const std::size_t length = std::strlen(option.name);
        if (std::strncmp(name, option.name, length) != 0)
            continue;
        if (option.value == Value::Joined ? name[length] == '=' : name[length] == '\0')
            return &option;
    }
    return nullptr;
}

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

std::optional<int> ReadCommandLine(int argc, char** argv, CommandLine& line) {
    line.qtArgv.assign(argv, argv + 1);
    QList<QByteArray> paths;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!options || argument[0] != '-' || argument[1] == '\0') {
            paths << QByteArray(argument);
        } else if (!std::strcmp(argument, "--")) {
            options = false;
        } else if (!std::strcmp(argument, "--help") || !std::strcmp(argument, "-h")) {
            Say(stdout, Usage());
            return 0;
        } else if (!std::strcmp(argument, "--version")) {
            Say(stdout, Version());
            return 0;
        } else if (const QtOption* option = FindQtOption(argument)) {
            line.qtArgv.push_back(argv[i]);
            if (option->value == Value::Next) {
                if (++i == argc)
                    return WrongOption("option %1 needs a value", "параметру %1 нужно значение", argument);
                line.qtArgv.push_back(argv[i]);
            }
        } else {
            return WrongOption("unknown option %1", "неизвестный параметр %1", argument);
        }
    }
    line.qtArgc = int(line.qtArgv.size());
    line.qtArgv.push_back(nullptr);
    if (!paths.isEmpty())
        line.openPath = paths.takeFirst();
    QStringList ignored;
    for (const QByteArray& path : paths)
        ignored << NameText(path.toStdString());
    if (!ignored.isEmpty())
        Say(stderr, QStringLiteral("tellwick: ") +
                        QString::fromUtf8(Text("only the first path is opened; ignored: %1\n",
                                               "открывается только первый путь; пропущено: %1\n"))
                            .arg(ignored.join(QStringLiteral(", "))));
    return std::nullopt;
}

bool DisplayAvailable(const CommandLine& line) {
    // The platform Qt will pick: -platform, else QT_QPA_PLATFORM, else its default.
    QString platform = QString::fromLocal8Bit(std::getenv("QT_QPA_PLATFORM"));
    bool displayOption = false;
    for (int i = 1; i < line.qtArgc; ++i) {
        const QtOption* option = FindQtOption(line.qtArgv[i]);
        if (option->value != Value::Next)
            continue;
        const char* value = line.qtArgv[++i];
        if (!std::strcmp(option->name, "platform"))
            platform = QString::fromLocal8Bit(value);
        displayOption |= !std::strcmp(option->name, "display");
    }
    // Qt tries the platforms listed in order; those other than X11 and Wayland need no display.
    const QStringList tried = platform.isEmpty() ? QStringList{QStringLiteral("xcb"), QStringLiteral("wayland")}
                                                 : platform.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString& entry : tried) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0);
        if (name == QLatin1String("xcb") ? Set("DISPLAY") || displayOption
            : name.startsWith(QLatin1String("wayland")) ? Set("WAYLAND_DISPLAY")
                                                         : true)
            return true;
    }
    Say(stderr, QString::fromUtf8(Text("tellwick: no display to open the window on (neither DISPLAY nor "
                                       "WAYLAND_DISPLAY is set); start it in a graphical session\n",
                                       "tellwick: нет дисплея для окна (не заданы ни DISPLAY, ни WAYLAND_DISPLAY); "
                                       "запустите программу в графическом сеансе\n")));
    return false;
}

int ReportUnreachablePlayer() {
    Say(stderr, QString::fromUtf8(Text("tellwick: the running Tellwick cannot be reached over the session bus "
                                       "(no bus, or no answer within 3 s)\n",
                                       "tellwick: запущенный Tellwick недоступен через сеансовую шину "
                                       "(шины нет или нет ответа за 3 с)\n")));
    return 1;
}
