#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>

// The smallest Qt program with a tray icon: the baseline of bench_startup.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkCyan);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.show();
    return app.exec();
}
