#pragma once

// The whole seam, as the window's procedures reach it through Form1: the window toolkit, the
// system clock, the files, the network and the user's session. The Qt implementation serves the
// program; tests use a recording fake. Procedures that need less take the interface they use
// (DeviceTable its Folders, UpdateDatabase its Network and Hashing), so that vettrix-cli gives
// them only those.

#include "seam/Clock.h"
#include "seam/Dialogs.h"
#include "seam/Folders.h"
#include "seam/Hashing.h"
#include "seam/Network.h"
#include "seam/Session.h"

namespace vettrix {

class Platform : public Dialogs,
                 public Session,
                 public Clock,
                 public Folders,
                 public Network,
                 public Hashing {};

}  // namespace vettrix
