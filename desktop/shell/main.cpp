#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Names the application's data folder (Paths::applicationSupport()).
    QCoreApplication::setApplicationName(QStringLiteral("Quillmere Zudizur"));
    return 0;
}
