#include "eventdispatcher.h"

#include <QtGlobal>

// Every server test runs the server in its own process: on the event loop tavrel-server runs
// on, installed before QTest makes the application object.
static void useServerEventLoop()
{
    tavrel::server::installEventDispatcher();
}
Q_CONSTRUCTOR_FUNCTION(useServerEventLoop)
