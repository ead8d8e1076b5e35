// The control commands that prepare restorations and deletions, so that a
// script can start them with the agent's launch actions, and show what the
// agent reported.
#pragma once

#include "boxsim/control.h"
#include "boxsim/file_operation_handlers.h"

namespace boxsim {

// box must outlive the commands' use.
void addFileOperationCommands(ControlCommands& commands, FileOperationsBox& box);

}  // namespace boxsim
