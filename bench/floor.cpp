// The floor: the least a Qt 6 Widgets program of the drawer window's shape
// costs. One empty window of the same size, and a 100 ms timer that does
// nothing.

#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Kestrin Floor"));
    window.setFixedSize(360, 395);
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [] {});
    timer.start(100);
    window.show();
    return app.exec();
}
