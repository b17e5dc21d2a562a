#pragma once
// The transfer engine as the window and the program's runs use it: connecting
// and disconnecting, the automatic cycle, the receive and send passes, the
// keep-alive and abort. Nothing outside the engine includes its rooms.
#include "engine/AutoCycle.h"
#include "engine/TransferPasses.h"
#include "engine/session/Connection.h"
#include "engine/session/SessionEvents.h"
