#pragma once

// What the load benchmarks measure besides their own traffic: CPU of processes and their
// descendants from /proc, the load average, and percentiles of timings.

#include <QList>
#include <QPair>
#include <QString>

#include <vector>

namespace bench {

struct Percentiles
{
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    qint64 count = 0;
};

// utime + stime of a process or thread, in clock ticks; -1 when it cannot be read.
qint64 cpuTicks(const QString &statPath);
// utime + stime of a process and all its descendants; -1 when the process is gone.
qint64 treeTicks(qint64 root);
bool isServer(const QString &processName);
double loadAverage();
// Of samples in microseconds, in milliseconds.
Percentiles percentiles(std::vector<qint32> samples);

// The CPU named processes use over a window, each with its descendants, in % of one core;
// their main threads too.
class CpuWindow
{
public:
    explicit CpuWindow(const QList<QPair<QString, qint64>> &processes);
    void start();
    struct Use
    {
        QString name;
        double all = -1;
        double main = -1;
    };
    QList<Use> stop(double seconds) const;

private:
    QList<QPair<QString, qint64>> m_processes;
    QList<qint64> m_all0;
    QList<qint64> m_main0;
};

} // namespace bench
