#pragma once

#include <QtGlobal>

namespace tavrel::server {

// The rest of a message that is too big to hold, a file: read in pieces while the message
// goes out.
class MessageTail
{
public:
    virtual ~MessageTail() = default;
    virtual qint64 size() const = 0;
    // Reads up to max of the bytes that follow; 0 or -1 before the end only on an error.
    virtual qint64 read(char *data, qint64 max) = 0;
};

} // namespace tavrel::server
