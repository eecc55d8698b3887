#include "CLumoraApp.h"
#include "ClientPaths.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumora"));
    ApplyDataFolderOption(QApplication::arguments());

    CLumoraApp lumora;
    QObject::connect(&lumora, &CLumoraApp::finished, &app, [](int code) { QCoreApplication::exit(code); });
    lumora.InitInstance();
    const int code = QApplication::exec();
    lumora.ExitInstance();
    return code;
}
