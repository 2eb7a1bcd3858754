#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <string_view>
#include <vector>

namespace bench {

// The chat text of a load line: "@@sender.seq.us;" and then filler up to textBytes. The
// stamp lets every receiver find the line's sender, its place in the sender's sequence and
// when it was sent; the filler makes the line as long as a typical chat line.
QByteArray loadLineText(int sender, int seq, qint64 us, int textBytes);

struct Stamp
{
    qint64 sender = 0;
    qint64 seq = 0;
    qint64 us = 0;
    // The name in front of the stamp; empty for a stamp found inside a line that ran into
    // the next message.
    std::string_view name;
};

struct ChatReading
{
    std::vector<Stamp> stamps;
    int foreign = 0;                          // lines without a stamp: notices of the server
    int misframed = 0;                        // a missing comma, a broken stamp, lines run together
    std::vector<std::string_view> problems;   // the misframed lines (or the message), in order
    std::vector<std::string_view> otherLines; // the foreign lines
};

// Reads one chat message the way the server relays load lines: "c," and then lines of
// name + ": " + text, joined by '\n'. Views in the result point into message.
ChatReading readChatMessage(const QByteArray &message);

} // namespace bench
