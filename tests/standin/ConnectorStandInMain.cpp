// The stand-in connector service as a program, for running the connector HTTP check suite from
// the command line: it writes the suite's fixture (origin and a fresh one-use pairing code) to the
// given path, then serves until it is terminated.

#include "support/ConnectorStandIn.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: connector-stand-in <fixture.json>\n");
        return 2;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); // the server thread inherits the mask

    quillmere::testing::ConnectorStandIn service;
    QSaveFile fixture(QString::fromLocal8Bit(argv[1]));
    if (!fixture.open(QIODevice::WriteOnly) || fixture.write(service.fixture()) < 0 || !fixture.commit()) {
        std::fprintf(stderr, "connector-stand-in: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("connector-stand-in: serving %s\n", qPrintable(service.origin()));
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
