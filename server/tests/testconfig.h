#pragma once

#include "config.h"

// A server for the tests: any free port, its data in dataDir, the cheapest password hash,
// and no wait before a new code.
inline tavrel::server::Config testConfig(const QString &dataDir)
{
    tavrel::server::Config config;
    config.port = 0;
    config.dataDir = dataDir;
    config.pwhashOps = crypto_pwhash_OPSLIMIT_MIN;
    config.pwhashMem = crypto_pwhash_MEMLIMIT_MIN;
    config.codeResendSeconds = 0;
    return config;
}
