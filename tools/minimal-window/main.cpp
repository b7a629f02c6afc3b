// The yardstick of the application's memory measurement (scripts/measure-app): the least a Qt
// Widgets program showing one frameless window takes, measured in the same run and conditions.

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window.resize(310, 260);
    window.show();
    return app.exec();
}
