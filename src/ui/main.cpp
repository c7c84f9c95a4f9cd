#include "ui/application.h"

#include <QGuiApplication>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

int main(int argc, char *argv[])
{
    // The command line is answered before the application object connects
    // to a display: help, version and unknown options need none.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> code = ui::answerCommandLine(arguments))
        return *code;
    QGuiApplication app(argc, argv);
    ui::describeApplication(app);
    return ui::runApplication(app);
}
