#include "ui/application.h"

#include <QGuiApplication>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    ui::describeApplication(app);
    return ui::runApplication(app);
}
