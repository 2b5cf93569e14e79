#ifndef TARVO_RUNAPPLICATION_H
#define TARVO_RUNAPPLICATION_H

#include "link/nodesession.h"

// Starts the application of a node in its boot loader. The node sends no
// reply; the tool leaves the connection, and what was written still goes
// out before the close.
inline void runApplication(NodeSession &session)
{
    session.say(QStringLiteral("Run Application"));
    session.sendCommand(RunApplication);
    session.close();
}

#endif
