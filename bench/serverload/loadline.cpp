#include "loadline.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace bench {

namespace {

constexpr std::string_view kStampMark = "@@";

const std::string &filler()
{
    static const std::string text = [] {
        std::string t;
        while (t.size() < 4096)
            t += "the quick brown fox jumps over the lazy dog ";
        return t;
    }();
    return text;
}

bool parseNumber(std::string_view text, size_t *pos, char end, qint64 *value)
{
    const char *first = text.data() + *pos;
    const char *last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, *value);
    if (ec != std::errc() || ptr == first || ptr == last || *ptr != end)
        return false;
    *pos = size_t(ptr - text.data()) + 1;
    return true;
}

// Reads the stamp that starts at `at`; on success *end is just past its ';'.
bool parseStamp(std::string_view line, size_t at, Stamp *stamp, size_t *end)
{
    size_t pos = at + kStampMark.size();
    if (!parseNumber(line, &pos, '.', &stamp->sender) || !parseNumber(line, &pos, '.', &stamp->seq) ||
        !parseNumber(line, &pos, ';', &stamp->us))
        return false;
    *end = pos;
    return true;
}

} // namespace

QByteArray loadLineText(int sender, int seq, qint64 us, int textBytes)
{
    QByteArray text(kStampMark.data(), int(kStampMark.size()));
    text += QByteArray::number(sender) + '.' + QByteArray::number(seq) + '.' + QByteArray::number(us) + ';';
    const int fill = std::min<int>(textBytes - int(text.size()), int(filler().size()));
    if (fill > 0)
        text.append(filler().data(), fill);
    return text;
}

ChatReading readChatMessage(const QByteArray &message)
{
    ChatReading reading;
    const std::string_view whole(message.constData(), size_t(message.size()));
    if (whole.size() < 2 || whole[0] != 'c' || whole[1] != ',') {
        ++reading.misframed;
        reading.problems.push_back(whole);
    }
    const std::string_view body = whole.substr(std::min<size_t>(2, whole.size()));
    size_t start = 0;
    while (start <= body.size()) {
        size_t stop = body.find('\n', start);
        if (stop == std::string_view::npos)
            stop = body.size();
        const std::string_view line = body.substr(start, stop - start);
        start = stop + 1;

        const size_t colon = line.find(": ");
        if (colon == std::string_view::npos || line.compare(colon + 2, kStampMark.size(), kStampMark) != 0) {
            ++reading.foreign;
            reading.otherLines.push_back(line);
            continue;
        }
        Stamp stamp;
        size_t end = 0;
        if (!parseStamp(line, colon + 2, &stamp, &end)) {
            ++reading.misframed;
            reading.problems.push_back(line);
            continue;
        }
        stamp.name = line.substr(0, colon);
        // A user list that ran into a chat message leaves its last name in front of the
        // next message's prefix: "load199c,load056: ...".
        const size_t joinedPrefix = stamp.name.rfind("c,");
        if (joinedPrefix != std::string_view::npos) {
            ++reading.misframed;
            reading.problems.push_back(line);
            stamp.name = stamp.name.substr(joinedPrefix + 2);
        }
        reading.stamps.push_back(stamp);

        // Anything after the stamp but the filler means the next message ran into this one;
        // a client would show both as one line. The stamps in it still count as delivered.
        const std::string_view rest = line.substr(end);
        if (rest == std::string_view(filler()).substr(0, rest.size()))
            continue;
        ++reading.misframed;
        reading.problems.push_back(line);
        for (size_t at = line.find(kStampMark, end); at != std::string_view::npos;
             at = line.find(kStampMark, at + kStampMark.size())) {
            Stamp joined;
            size_t joinedEnd = 0;
            if (parseStamp(line, at, &joined, &joinedEnd)) {
                reading.stamps.push_back(joined);
                at = joinedEnd - kStampMark.size();
            }
        }
    }
    return reading;
}

} // namespace bench
