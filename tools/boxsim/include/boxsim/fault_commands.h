// The control commands that stop a conversation at a chosen point, so that
// a test can kill the agent exactly there ("hold", then "wait-held") or see
// what the agent does when the box goes away there ("drop").
#pragma once

#include <QString>
#include <memory>

#include "boxsim/control.h"
#include "boxsim/simulator.h"

namespace boxsim {

// A trap from an action and a point in its text form (see phase_trap.h);
// null with error set when the text is not a point.
std::shared_ptr<PhaseTrap> makeTrap(PhaseTrap::Action action, const QString& point, QString* error);

// simulator must outlive the commands' use.
void addFaultCommands(ControlCommands& commands, BoxSimulator& simulator);

}  // namespace boxsim
