#include "measure.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace bench {

// utime + stime of a process or thread, in clock ticks; -1 when it cannot be read.
qint64 cpuTicks(const QString &statPath)
{
    QFile file(statPath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // The command name in parentheses may hold spaces; the fields that follow do not.
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Counting from the state field, utime and stime are the 12th and 13th.
    if (fields.size() < 13)
        return -1;
    return fields.at(11).toLongLong() + fields.at(12).toLongLong();
}

// utime + stime of a process and all its descendants; -1 when the process is gone.
qint64 treeTicks(qint64 root)
{
    QHash<qint64, QList<qint64>> children;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = file.readAll();
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children[fields.at(1).toLongLong()].append(pid);
    }
    qint64 total = cpuTicks(QStringLiteral("/proc/%1/stat").arg(root));
    if (total < 0)
        return -1;
    QList<qint64> pending = children.value(root);
    while (!pending.isEmpty()) {
        const qint64 pid = pending.takeLast();
        total += std::max<qint64>(0, cpuTicks(QStringLiteral("/proc/%1/stat").arg(pid)));
        pending += children.value(pid);
    }
    return total;
}

bool isServer(const QString &processName)
{
    return processName.startsWith(QLatin1String("server"));
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().split(' ').value(0).toDouble();
}

Percentiles percentiles(std::vector<qint32> samples)
{
    Percentiles p;
    p.count = qint64(samples.size());
    if (samples.empty())
        return p;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        const size_t rank = size_t(std::ceil(q * double(samples.size())));
        return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1] / 1000.0;
    };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    p.max = samples.back() / 1000.0;
    return p;
}

namespace {

QString mainThreadStat(qint64 pid)
{
    return QStringLiteral("/proc/%1/task/%1/stat").arg(pid);
}

} // namespace

CpuWindow::CpuWindow(const QList<QPair<QString, qint64>> &processes)
    : m_processes(processes)
{}

void CpuWindow::start()
{
    m_all0.clear();
    m_main0.clear();
    for (const auto &[name, pid] : m_processes) {
        m_all0.append(treeTicks(pid));
        m_main0.append(cpuTicks(mainThreadStat(pid)));
    }
}

QList<CpuWindow::Use> CpuWindow::stop(double seconds) const
{
    const double ticksPerSecond = double(sysconf(_SC_CLK_TCK));
    const auto percent = [&](qint64 before, qint64 after) {
        return before < 0 || after < 0 ? -1.0 : 100.0 * double(after - before) / ticksPerSecond / seconds;
    };
    QList<Use> uses;
    for (qsizetype i = 0; i < m_processes.size(); ++i) {
        const auto &[name, pid] = m_processes.at(i);
        uses.append({name, percent(m_all0.at(i), treeTicks(pid)),
                     percent(m_main0.at(i), cpuTicks(mainThreadStat(pid)))});
    }
    return uses;
}

} // namespace bench
