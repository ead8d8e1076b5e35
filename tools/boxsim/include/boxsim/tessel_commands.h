// The control commands that drive the Tessel channel: waiting for the
// agent, queries, launch actions, live logs, tasks, uploads and the fault
// knobs.
#pragma once

#include "boxsim/control.h"
#include "boxsim/tessel_box.h"

namespace boxsim {

// box must outlive the commands' use (stop the control server first, or
// stop the box, which makes every wait return at once).
void addTesselCommands(ControlCommands& commands, TesselBox& box);

}  // namespace boxsim
