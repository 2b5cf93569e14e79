#include "emulator.h"

bool handleFirmwareCommand(Emulator &, Session &, Node &, const QByteArray &)
{
    return false;
}
