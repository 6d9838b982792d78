#include "window/main_window.h"
#include "window/qt_prompts.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString(corvanel::kProductName));

    corvanel::MainWindow window;
    window.StartWindow(); // the load event, before the window is seen
    window.show();
    return QApplication::exec();
}
