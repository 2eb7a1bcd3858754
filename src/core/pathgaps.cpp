#include "pathgaps.h"

#include "assembler.h"

#if defined(Q_OS_LINUX)
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#elif defined(Q_OS_WIN)
#include <winsock2.h>
#endif

namespace tavrel {

namespace {

bool isNear(const PathFigures &figures, qint64 rttBelowUs)
{
    return figures.minRttUs >= 0 && figures.minRttUs < rttBelowUs;
}

#if defined(Q_OS_WIN)
// SIO_TCP_INFO and TCP_INFO_v0 as mstcpip.h gives them for Windows 10 1703 and later, which
// older headers leave out.
constexpr DWORD kTcpInfoControl = _WSAIORW(IOC_VENDOR, 39);
struct TcpInfoV0
{
    INT state;
    ULONG mss;
    ULONG64 connectionTimeMs;
    BOOLEAN timestampsEnabled;
    ULONG rttUs;
    ULONG minRttUs;
    ULONG bytesInFlight;
    ULONG cwnd;
    ULONG sndWnd;
    ULONG rcvWnd;
    ULONG rcvBuf;
    ULONG64 bytesOut;
    ULONG64 bytesIn;
    ULONG bytesReordered;
    ULONG bytesRetrans;
    ULONG fastRetrans;
    ULONG dupAcksIn;
    ULONG timeoutEpisodes;
    UCHAR synRetrans;
};
#endif

} // namespace

PathFigures measurePath(qintptr socketDescriptor)
{
    PathFigures figures;
    if (socketDescriptor < 0)
        return figures;
#if defined(Q_OS_LINUX)
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(int(socketDescriptor), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return figures;
    // An older kernel fills less of the structure.
    const auto has = [size](std::size_t end) { return size >= end; };
    if (has(offsetof(tcp_info, tcpi_min_rtt) + sizeof info.tcpi_min_rtt) && info.tcpi_min_rtt != ~0U)
        figures.minRttUs = info.tcpi_min_rtt;
    if (has(offsetof(tcp_info, tcpi_data_segs_out) + sizeof info.tcpi_data_segs_out) &&
        info.tcpi_data_segs_out > 0)
        figures.resentShare = double(info.tcpi_total_retrans) / double(info.tcpi_data_segs_out);
    if (has(offsetof(tcp_info, tcpi_delivery_rate) + sizeof info.tcpi_delivery_rate) &&
        !info.tcpi_delivery_rate_app_limited && info.tcpi_delivery_rate > 0)
        figures.deliveryBytesPerSecond = qint64(info.tcpi_delivery_rate);
    if (has(offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) && info.tcpi_snd_wnd > 0)
        figures.peerWindowBytes = info.tcpi_snd_wnd;
    if (has(offsetof(tcp_info, tcpi_snd_mss) + sizeof info.tcpi_snd_mss) && info.tcpi_snd_mss > 0)
        figures.segmentBytes = info.tcpi_snd_mss;
#elif defined(Q_OS_WIN)
    DWORD version = 0;
    TcpInfoV0 info = {};
    DWORD returned = 0;
    if (WSAIoctl(SOCKET(socketDescriptor), kTcpInfoControl, &version, sizeof version, &info, sizeof info,
                 &returned, nullptr, nullptr) != 0 ||
        returned < sizeof info)
        return figures;
    figures.minRttUs = info.minRttUs == ~ULONG(0) ? -1 : qint64(info.minRttUs);
    if (info.bytesOut > 0)
        figures.resentShare = double(info.bytesRetrans) / double(info.bytesOut);
    if (info.sndWnd > 0)
        figures.peerWindowBytes = info.sndWnd;
    if (info.mss > 0)
        figures.segmentBytes = info.mss;
#endif
    return figures;
}

int quietGapMs(const PathFigures &figures)
{
    const bool slow =
        figures.deliveryBytesPerSecond >= 0 && figures.deliveryBytesPerSecond < kNearBytesPerSecond;
    const bool held = figures.peerWindowBytes >= 0 && figures.peerWindowBytes < kNearWindowBytes;
    const bool lossy = figures.resentShare > kNearResentShare;
    return isNear(figures, kNearRttUs) && !lossy && !slow && !held ? kNearQuietGapMs : kQuietGapMs;
}

int pacingPauseMs(const PathFigures &writer)
{
    return quietGapMs(writer) + kTextPauseMarginMs;
}

int pacedQuietGapMs(const PathFigures &reader)
{
    return reader.minRttUs < 0 || isNear(reader, kPacedNearRttUs) ? kNearQuietGapMs : kQuietGapMs;
}

void followPacedPath(MessageAssembler &assembler, qintptr socketDescriptor)
{
    assembler.setTextQuietGap(pacedQuietGapMs(measurePath(socketDescriptor)));
}

} // namespace tavrel
