#include "CLumoraApp.h"
#include "ClientPaths.h"
#include "MainFrame.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumora"));
    ApplyDataFolderOption(QApplication::arguments());

    CLumoraApp lumora;
    lumora.setMainFrameFactory([] {
        auto* frame = new CMainFrame;
        frame->setAttribute(Qt::WA_DeleteOnClose);
        return frame;
    });
    QObject::connect(&lumora, &CLumoraApp::finished, &app, [](int code) { QCoreApplication::exit(code); });
    lumora.InitInstance();
    const int code = QApplication::exec();
    lumora.ExitInstance();
    return code;
}
