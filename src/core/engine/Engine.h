#pragma once
// The transfer engine as the window and the program's runs use it: connecting
// and disconnecting, the automatic cycle, the receive and send passes, the
// keep-alive and abort, and what a look at a mailbox without a cycle needs
// (the listing names a cycle would take, the files of an outbox). Nothing
// outside the engine includes its rooms.
#include "engine/AutoCycle.h"
#include "engine/TransferPasses.h"
#include "engine/receive/ListingLine.h"
#include "engine/send/OutboxListing.h"
#include "engine/session/Connection.h"
#include "engine/session/SessionEvents.h"
