#pragma once

#include <functional>

namespace bench {

// Runs the event loop until done() holds or timeoutMs has passed; returns done().
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

} // namespace bench
