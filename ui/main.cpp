#include <QApplication>

#include "ui/app.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    varnell::CVarnellApp app;
    app.InstallSignalHandlers();
    app.InitInstance();
    return QApplication::exec();
}
