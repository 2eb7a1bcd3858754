#pragma once

#include "config.h"

// A server for the tests: any free port, its data in dataDir and the cheapest password
// hash. Every limit keeps its default: a test that needs time to pass moves the clock.
inline tavrel::server::Config testConfig(const QString &dataDir)
{
    tavrel::server::Config config;
    config.port = 0;
    config.dataDir = dataDir;
    config.pwhashOps = crypto_pwhash_OPSLIMIT_MIN;
    config.pwhashMem = crypto_pwhash_MEMLIMIT_MIN;
    return config;
}
