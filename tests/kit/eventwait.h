#pragma once

#include <functional>

// Runs the event loop until done() holds or timeoutMs has passed; returns done(). done() is
// asked every intervalMs.
bool waitUntil(const std::function<bool()> &done, int timeoutMs, int intervalMs = 10);
