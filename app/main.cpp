#include "app/mainwindow.h"

#include <QApplication>
#include <QDirIterator>
#include <QIcon>

namespace {

// The menu entry's icon, in every size it is drawn in, built into the
// program so that the window shows it without an icon theme.
QIcon windowIcon()
{
    QIcon icon;
    QDirIterator it(QStringLiteral(":/icons"), {QStringLiteral("*.png")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        icon.addFile(it.next());
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    // The installed desktop entry's name: task switchers group the window
    // with its menu entry by it (Wayland's app id; on X11 the entry's
    // StartupWMClass matches the program's name).
    QApplication::setDesktopFileName(QStringLiteral("org.tarvo.configurator"));
    QApplication app(argc, argv);
    QApplication::setWindowIcon(windowIcon());
    MainWindow window;
    window.show();
    return app.exec();
}
