#include "logging.h"

Q_LOGGING_CATEGORY(lcServer, "tavrel.server", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAccounts, "tavrel.server.accounts", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFiles, "tavrel.server.files", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBus, "tavrel.server.bus", QtInfoMsg)
