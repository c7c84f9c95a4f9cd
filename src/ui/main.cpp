#include "ui/application.h"

#include <QGuiApplication>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

int main(int argc, char *argv[])
{
    // Help and version need no display, so they are answered before the
    // application object connects to one; what is left once Qt has taken its
    // own options is refused before any window opens.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> code = ui::answerCommandLine(arguments, false))
        return *code;
    QGuiApplication app(argc, argv);
    if (const std::optional<int> code = ui::answerCommandLine(QGuiApplication::arguments(), true))
        return *code;
    ui::describeApplication(app);
    return ui::runApplication(app);
}
