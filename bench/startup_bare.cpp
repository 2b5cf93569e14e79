// The start-up baseline: a Qt program that shows an empty main window of
// the configurator's size and nothing else.

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Tarvo configurator ver. 1.00"));
    window.setFixedSize(760, 550);
    window.show();
    return app.exec();
}
