#include "options.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>

// Writes the sample config file the package installs: sampleconfig TEMPLATE OUTPUT.
int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TEMPLATE OUTPUT\n", argv[0]);
        return 2;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    QSaveFile out(QString::fromLocal8Bit(argv[2]));
    QString sample;
    QString why = QStringLiteral("cannot read it");
    const bool made = in.open(QIODevice::ReadOnly) &&
                      tavrel::server::sampleConfig(QString::fromUtf8(in.readAll()), &sample, &why);
    if (!made || !out.open(QIODevice::WriteOnly) || out.write(sample.toUtf8()) < 0 || !out.commit()) {
        std::fprintf(stderr, "%s: %s\n", argv[made ? 2 : 1], qPrintable(made ? out.errorString() : why));
        return 1;
    }
    return 0;
}
